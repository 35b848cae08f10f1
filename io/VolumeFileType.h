#pragma once

#include <string>

/** What a file's first bytes (and, for an .ids name, its .ics partner) say it is. */
enum class VolumeFileType
{
    Unreadable, ///< missing, not a regular file, or unreadable: the reason says why
    Ics,        ///< an ICS header: HeaderName is the header to read
    Picture,    ///< a TIFF, PNG, JPEG or BMP picture
    Other       ///< anything else: a raw volume file, if its header allows
};

struct VolumeFileProbe
{
    VolumeFileType Type = VolumeFileType::Other;
    std::string HeaderName;  ///< for Ics: the header file (the name itself, or the .ics of an .ids)
    std::string Reason;      ///< for Unreadable: why
    const char* Format = ""; ///< for Picture: "TIFF", "PNG", "JPEG" or "BMP"
};

/**
 * Looks at `fileName` to decide how it is read, before any raw header is trusted:
 *  - a name ending in .ids (any case, also .ids.gz and .ids.Z) whose .ics partner (the
 *    name libics derives) holds an ICS header is that ICS pair;
 *  - a file that starts as an ICS header is ICS, whatever its name;
 *  - TIFF, PNG and JPEG files by their magic numbers, and BMP files by theirs and a
 *    file-size field that matches the file, are pictures;
 *  - everything else is Other.
 * Only regular files are opened; FIFOs and devices are reported unreadable unopened.
 */
VolumeFileProbe ProbeVolumeFile(const std::string& fileName);
