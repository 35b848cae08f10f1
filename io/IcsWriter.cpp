#include "IcsWriter.h"

#include "IcsLocale.h"

#include <libics.h>

bool WriteIcsVolume(const std::string& fileName, size_t sizeX, size_t sizeY, size_t sizeZ,
                    const void* samples, const IcsWriteOptions& options, std::string* message)
{
    Ics_DataType type = Ics_unknown;
    const int sampleBytes = options.BytesPerSample;
    switch (options.SampleFormat) {
    case IcsWriteOptions::Unsigned:
        type = sampleBytes == 1   ? Ics_uint8
               : sampleBytes == 2 ? Ics_uint16
               : sampleBytes == 4 ? Ics_uint32
                                  : type;
        break;
    case IcsWriteOptions::Real:
        type = sampleBytes == 4 ? Ics_real32 : sampleBytes == 8 ? Ics_real64 : type;
        break;
    case IcsWriteOptions::Complex:
        type = sampleBytes == 8 ? Ics_complex32 : sampleBytes == 16 ? Ics_complex64 : type;
        break;
    }
    if (type == Ics_unknown) {
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
