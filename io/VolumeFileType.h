#pragma once

#include "FileIo.h"

#include <string>

/** What a file's first bytes (and, for an .ids name, its .ics partner) say it is. */
enum class VolumeFileType
{
    Unreadable, ///< missing, not a regular file, or unreadable: the reason says why
    Ics,        ///< an ICS header: HeaderName is the header to read
    Tiff,       ///< a TIFF or BigTIFF file: a stack of planes
    Picture,    ///< a PNG, JPEG or BMP picture
    Other       ///< anything else: a raw volume file, if its header allows
};

struct VolumeFileProbe
{
    VolumeFileType Type = VolumeFileType::Other;
    std::string HeaderName;  ///< for Ics: the header file (the name itself, or the .ics of an .ids)
    std::string Reason;      ///< for Unreadable: why
    const char* Format = ""; ///< for Picture: "PNG", "JPEG" or "BMP"
    /**
     * Unless Unreadable: the file whose first bytes decided the type, open, with those
     * bytes (up to 1 KiB and a little): for Ics the header, else the file named. The
     * reader goes on from here, so that the name is not opened again.
     */
    FileIo::OpenedFile File;
    /**
     * For Ics reached through an .ids name: that file, open. The header check takes it
     * as the data file when the header leads to the same name.
     */
    FileIo::OpenedFile IdsFile;
};

/**
 * Looks at `fileName` to decide how it is read, before any raw header is trusted:
 *  - a name ending in .ids (any case, also .ids.gz and .ids.Z) whose .ics partner (the
 *    name libics derives) holds an ICS header is that ICS pair;
 *  - a file that starts as an ICS header is ICS, whatever its name;
 *  - TIFF and BigTIFF files, by their magic numbers, are stacks;
 *  - PNG and JPEG files by their magic numbers, and BMP files by theirs and a
 *    file-size field that matches the file, are pictures;
 *  - everything else is Other.
 * Only regular files are opened; FIFOs and devices are reported unreadable unopened.
 * The files opened stay open in the result, each opened once.
 */
VolumeFileProbe ProbeVolumeFile(const std::string& fileName);
