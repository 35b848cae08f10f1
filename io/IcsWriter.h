#pragma once

#include <cstddef>
#include <string>

/** How WriteIcsVolume stores the samples. */
struct IcsWriteOptions
{
    /** Unsigned: 1, 2 or 4; Real: 4 or 8 (float, double); Complex: 8 or 16 (two of them). */
    int BytesPerSample = 1;
    int SignificantBits = 0; ///< 0: all bits of the sample
    bool Gzip = false;       ///< compress the data with gzip
    bool SingleFile = false; ///< version 2: header and data in one .ics file
    enum Format
    {
        Unsigned,
        Real,
        Complex
    };
    Format SampleFormat = Unsigned; ///< unsigned integers, floating point, or complex
};

/**
 * Writes a three-dimensional image of `sizeX` × `sizeY` × `sizeZ` samples (X fastest)
 * through libics. `samples` holds them in the host's byte order. Returns false with
 * the reason in `message` on failure.
 */
bool WriteIcsVolume(const std::string& fileName, size_t sizeX, size_t sizeY, size_t sizeZ,
                    const void* samples, const IcsWriteOptions& options, std::string* message);
