#include "IcsWriter.h"

#include "IcsLocale.h"

#include <libics.h>

bool WriteIcsVolume(const std::string& fileName, size_t sizeX, size_t sizeY, size_t sizeZ,
                    const void* samples, const IcsWriteOptions& options, std::string* message)
{
    Ics_DataType type = Ics_uint8;
    switch (options.BytesPerSample) {
    case 1: type = Ics_uint8; break;
    case 2: type = Ics_uint16; break;
    case 4: type = Ics_uint32; break;
    default:
        if (message) *message = "unsupported sample size";
        return false;
    }
    const size_t dims[3] = {sizeX, sizeY, sizeZ};
    const size_t bytes = sizeX * sizeY * sizeZ * size_t(options.BytesPerSample);

    // libics keeps names in 512-byte buffers and quietly cuts longer ones, which
    // would write a different file; the data file's name is 4 bytes longer.
    if (fileName.size() + 4 > 511) {
        if (message) *message = "the name is too long for an ICS file";
        return false;
    }
    // Opening for writing and closing both switch the locale inside libics.
    const IcsLocaleScope cLocale;
    ICS* ics = nullptr;
    Ics_Error error = IcsOpen(&ics, fileName.c_str(), options.SingleFile ? "w2" : "w1");
    if (error == IcsErr_Ok) error = IcsSetLayout(ics, type, 3, dims);
    if (error == IcsErr_Ok && options.SignificantBits > 0)
        error = IcsSetSignificantBits(ics, size_t(options.SignificantBits));
    if (error == IcsErr_Ok) error = IcsSetData(ics, samples, bytes);
    if (error == IcsErr_Ok)
        error = IcsSetCompression(ics, options.Gzip ? IcsCompr_gzip : IcsCompr_uncompressed, 6);
    if (ics) {
        const Ics_Error closeError = IcsClose(ics);
        if (error == IcsErr_Ok) error = closeError;
    }
    if (error != IcsErr_Ok && message) *message = IcsGetErrorText(error);
    return error == IcsErr_Ok;
}
