#include "ByteVolume.h"

#include "FileIo.h"
#include "IcsHeaderCheck.h"
#include "IcsLocale.h"
#include "VolumeFileType.h"

#include <libics.h>
#include <libics_ll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

/** Sizes of a raw volume file header, in bytes. */
constexpr size_t RawHeaderBytes = 12;

bool CheckedVoxelCount(int64_t x, int64_t y, int64_t z, int64_t& count)
{
    if (x < 0 || y < 0 || z < 0) return false;
    int64_t xy = 0;
    if (__builtin_mul_overflow(x, y, &xy)) return false;
    return !__builtin_mul_overflow(xy, z, &count);
}

/**
 * Asks for huge pages over the whole pages inside [buffer, buffer + bytes): the first
 * touch of a 2 MiB page costs little more than that of a 4 KiB one, and walks across
 * slices miss the address cache far less often.
 */
void AdviseHugePages(void* buffer, size_t bytes)
{
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(buffer) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(buffer) + bytes) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

std::string SizesText(int64_t x, int64_t y, int64_t z)
{
    return std::to_string(x) + " x " + std::to_string(y) + " x " + std::to_string(z);
}

int32_t ReadLe32(const unsigned char* p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

void WriteLe32(unsigned char* p, int32_t value)
{
    const uint32_t v = uint32_t(value);
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

std::string IcsReason(Ics_Error error)
{
    const char* text = IcsGetErrorText(error);
    return text && *text ? text : "libics error " + std::to_string(int(error));
}

/** An ICS file open for reading, closed on every return path. */
struct IcsHandle
{
    ICS* ics = nullptr;
    ~IcsHandle() { Close(); }

    /** Opens the header `fileName` exactly as named (libics' "f" mode). */
    bool Open(const std::string& fileName, std::string& message)
    {
        Ics_Error error = IcsErr_Ok;
        {
            const IcsLocaleScope cLocale;
            error = IcsOpen(&ics, fileName.c_str(), "rf");
        }
        if (error == IcsErr_Ok) return true;
        ics = nullptr;
        message = IcsReason(error);
        return false;
    }

    /** Closes and opens the file again, to read its data from the start. */
    bool Reopen(const std::string& fileName, std::string& message)
    {
        Close();
        if (!Open(fileName, message)) {
            message = "cannot read the image data again: " + message;
            return false;
        }
        return true;
    }

    Ics_Error Close()
    {
        ICS* handle = std::exchange(ics, nullptr);
        if (!handle) return IcsErr_Ok;
        const IcsLocaleScope cLocale;
        return IcsClose(handle);
    }
};

template <class Sample> Sample SampleAt(const uint8_t* samples, size_t j)
{
    Sample value;
    std::memcpy(&value, samples + j * sizeof(Sample), sizeof(Sample));
    return value;
}

/**
 * Floating-point samples become voxels by a linear map of their finite range onto
 * 0 … 255, truncated: v = (s − min) / (max − min) · 255, so that min gives 0 and max
 * 255. NaN and −∞ give 0, +∞ gives 255; a constant image gives 0 everywhere.
 */
class FloatRange
{
public:
    void Add(const uint8_t* samples, size_t count, size_t bytesPerSample)
    {
        if (bytesPerSample == 4)
            AddAll<float>(samples, count);
        else
            AddAll<double>(samples, count);
    }

    bool AnyFinite() const { return finite_ > 0; }

    void Map(const uint8_t* samples, size_t count, size_t bytesPerSample, uint8_t* voxels) const
    {
        if (bytesPerSample == 4)
            MapAll<float>(samples, count, voxels);
        else
            MapAll<double>(samples, count, voxels);
    }

    std::string Description(size_t bytesPerSample) const
    {
        char text[256];
        if (min_ == max_)
            std::snprintf(text, sizeof text, "every finite sample equals %.9g; all voxels are 0",
                          min_);
        else
            std::snprintf(text, sizeof text,
                          "%zu-bit floating-point samples from %.9g to %.9g were mapped linearly "
                          "onto 0 to 255",
                          bytesPerSample * 8, min_, max_);
        std::string description = text;
        if (const uint64_t other = total_ - finite_; other > 0)
            description += "; " + std::to_string(other) + " sample" + (other == 1 ? "" : "s") +
                           " that are not finite numbers became 0 (NaN, -inf) or 255 (+inf)";
        return description;
    }

private:
    template <class Sample> void AddAll(const uint8_t* samples, size_t count)
    {
        for (size_t j = 0; j < count; ++j) {
            const double s = SampleAt<Sample>(samples, j);
            if (!std::isfinite(s)) continue;
            if (finite_ == 0 || s < min_) min_ = s;
            if (finite_ == 0 || s > max_) max_ = s;
            ++finite_;
        }
        total_ += count;
    }

    template <class Sample> void MapAll(const uint8_t* samples, size_t count, uint8_t* voxels) const
    {
        // Halving both ends keeps the width finite for ranges wider than a double holds.
        const bool halve = !std::isfinite(max_ - min_);
        const double low = halve ? min_ * 0.5 : min_;
        const double width = halve ? max_ * 0.5 - min_ * 0.5 : max_ - min_;
        for (size_t j = 0; j < count; ++j) {
            const double s = SampleAt<Sample>(samples, j);
            uint8_t v = 0;
            if (std::isfinite(s)) {
                if (width > 0) {
                    const double t = ((halve ? s * 0.5 : s) - low) / width * 255.0;
                    v = uint8_t(std::clamp(t, 0.0, 255.0));
                }
            } else if (s > 0) {
                v = 255;
            }
            voxels[j] = v;
        }
    }

    double min_ = 0;
    double max_ = 0;
    uint64_t finite_ = 0;
    uint64_t total_ = 0;
};

/**
 * Turns samples of more than one byte into voxels. Samples of two or three bytes
 * give their top eight significant bits, clamped to 255; wider samples give bits 24
 * to 29 of the sample, times 4.
 */
void ConvertSamples(const uint8_t* samples, size_t count, size_t bytesPerSample,
                    size_t significantBits, uint8_t* voxels)
{
    if (bytesPerSample >= 4) {
        for (size_t j = 0; j < count; ++j)
            voxels[j] = uint8_t((samples[j * bytesPerSample + 3] & 0x3F) << 2);
        return;
    }
    const unsigned shift = unsigned(significantBits - 8);
    for (size_t j = 0; j < count; ++j) {
        const uint8_t* s = samples + j * bytesPerSample;
        uint32_t sample = uint32_t(s[0]) | uint32_t(s[1]) << 8;
        if (bytesPerSample == 3) sample |= uint32_t(s[2]) << 16;
        voxels[j] = uint8_t(std::min<uint32_t>(sample >> shift, 255));
    }
}

} // namespace

ByteVolume::~ByteVolume()
{
    Release();
}

ByteVolume::ByteVolume(ByteVolume&& other) noexcept
{
    *this = std::move(other);
}

ByteVolume& ByteVolume::operator=(ByteVolume&& other) noexcept
{
    if (this != &other) {
        Release();
        Data = std::exchange(other.Data, nullptr);
        SizeX = std::exchange(other.SizeX, 0);
        SizeY = std::exchange(other.SizeY, 0);
        SizeZ = std::exchange(other.SizeZ, 0);
        StrideX = other.StrideX;
        StrideY = other.StrideY;
        StrideZ = other.StrideZ;
    }
    return *this;
}

int64_t ByteVolume::MaxVoxelCount()
{
    static const int64_t limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || pageSize <= 0) return int64_t(1) << 32;
        return int64_t(pages) * pageSize;
    }();
    return limit;
}

void ByteVolume::Allocate(int32_t x, int32_t y, int32_t z)
{
    Release();
    int64_t count = 0;
    if (!CheckedVoxelCount(x, y, z, count) || count > MaxVoxelCount()) throw std::bad_alloc();
    if (count > 0) {
        // calloc hands out fresh zero pages for large blocks, so zeroing costs no
        // pass over memory.
        void* buffer = std::calloc(size_t(count), 1);
        if (!buffer) throw std::bad_alloc();
        if (count >= (int64_t(4) << 20)) AdviseHugePages(buffer, size_t(count));
        Data = static_cast<uint8_t*>(buffer);
    }
    SizeX = x;
    SizeY = y;
    SizeZ = z;
    StrideX = 1;
    StrideY = x;
    StrideZ = int64_t(x) * y;
}

void ByteVolume::Release()
{
    std::free(Data);
    Data = nullptr;
    SizeX = SizeY = SizeZ = 0;
}

bool ByteVolume::IsIcsFileName(const std::string& fileName)
{
    return fileName.size() >= 5 && fileName.compare(fileName.size() - 4, 4, ".ics") == 0;
}

int32_t ByteVolume::Load(const std::string& fileName, std::string* message)
{
    // The content decides how a file is read, before any raw header is trusted.
    std::string text;
    int32_t code = LoadFailed;
    const VolumeFileProbe probe = ProbeVolumeFile(fileName);
    switch (probe.Type) {
    case VolumeFileType::Unreadable:
        text = probe.Reason;
        break;
    case VolumeFileType::Ics:
        code = LoadIcs(probe.HeaderName, text);
        break;
    case VolumeFileType::Picture:
        text = "a picture file, not a volume";
        break;
    case VolumeFileType::Other:
        // A name that promises ICS but holds something else is refused, not misread.
        if (IsIcsFileName(fileName)) {
            if (CheckIcsHeader(fileName, text)) text = "the file is not an ICS header";
        } else {
            code = LoadRaw(fileName, text);
        }
        break;
    }
    if (message) *message = std::move(text);
    return code;
}

int32_t ByteVolume::LoadRaw(const std::string& fileName, std::string& message)
{
    FileIo::File file;
    if (!file.OpenRegular(fileName, message)) return LoadFailed;

    unsigned char header[RawHeaderBytes];
    if (file.ReadFully(header, sizeof header) != sizeof header) {
        message =
            file.Failed() ? file.Error() : "the file is shorter than the 12-byte raw volume header";
        return LoadFailed;
    }
    const int32_t x = ReadLe32(header), y = ReadLe32(header + 4), z = ReadLe32(header + 8);
    int64_t count = 0;
    if (x < 0 || y < 0 || z < 0) {
        message = "the raw volume header gives a negative size (" + SizesText(x, y, z) + ")";
        return LoadFailed;
    }
    if (!CheckedVoxelCount(x, y, z, count) || count > MaxVoxelCount()) {
        message = "the raw volume header asks for " + SizesText(x, y, z) +
                  " voxels, more than this machine can hold";
        return LoadFailed;
    }

    // The new buffer is made before the old one goes, so that a failed allocation
    // leaves the volume as it was. Its pages are untouched until the read, so the old
    // and the new volume never occupy memory at the same time.
    ByteVolume fresh;
    try {
        fresh.Allocate(x, y, z);
    } catch (const std::bad_alloc&) {
        message = "not enough memory for " + SizesText(x, y, z) + " voxels";
        return LoadFailed;
    }
    *this = std::move(fresh);

    const size_t got = file.ReadFully(Data, size_t(count));
    message.clear();
    if (got < size_t(count)) {
        message = "the data section holds " + std::to_string(got) + " of " + std::to_string(count) +
                  " voxel bytes; the rest are 0";
        if (file.Failed()) message += " (" + file.Error() + ")";
    } else if (const int64_t extra = file.Size() - int64_t(RawHeaderBytes) - count; extra > 0) {
        message = "the file holds " + std::to_string(extra) + " more byte" +
                  (extra == 1 ? "" : "s") + " than the header's " + SizesText(x, y, z) +
                  " voxels; they were ignored";
    }
    return LoadOk;
}

int32_t ByteVolume::LoadIcs(const std::string& fileName, std::string& message)
{
    IcsDataFile dataFile;
    if (!CheckIcsHeader(fileName, message, &dataFile)) return LoadFailed;

    // The name is forced, so that libics reads exactly the header that was checked,
    // whatever its name ends in.
    IcsHandle handle;
    if (!handle.Open(fileName, message)) return LoadFailed;

    Ics_DataType dataType = Ics_unknown;
    int dims = 0;
    size_t size[ICS_MAXDIM] = {};
    size_t significantBits = 0;
    if (const Ics_Error error = IcsGetLayout(handle.ics, &dataType, &dims, size);
        error != IcsErr_Ok) {
        message = IcsReason(error);
        return LoadFailed;
    }
    IcsGetSignificantBits(handle.ics, &significantBits);
    const size_t dataSize = IcsGetDataSize(handle.ics);
    const bool real = dataType == Ics_real32 || dataType == Ics_real64;
    // Floating-point samples are as wide as their type; integers as their bits.
    const size_t bytesPerSample = real ? IcsGetDataTypeSize(dataType) : (significantBits + 7) / 8;

    if (dims != 3) {
        message = "the image is not three-dimensional (it has " + std::to_string(dims) +
                  (dims == 1 ? " dimension)" : " dimensions)");
        return LoadFailed;
    }
    if (dataType == Ics_complex32 || dataType == Ics_complex64) {
        message = "the image holds complex samples, which have no single grey value";
        return LoadFailed;
    }
    size_t expected = 0;
    if (bytesPerSample == 0 || __builtin_mul_overflow(bytesPerSample, size[0], &expected) ||
        __builtin_mul_overflow(expected, size[1], &expected) ||
        __builtin_mul_overflow(expected, size[2], &expected) || expected != dataSize) {
        message = "the data size does not match " +
                  std::to_string(real ? bytesPerSample * 8 : significantBits) + "-bit samples of " +
                  SizesText(int64_t(size[0]), int64_t(size[1]), int64_t(size[2]));
        return LoadFailed;
    }
    // The data size as libics reads the header must fit the data file: whole when
    // uncompressed, and within what gzip can expand to (about 1032:1) otherwise.
    constexpr uint64_t MaxExpansion = 1040;
    const uint64_t available = uint64_t(dataFile.Available);
    if (dataSize > (dataFile.Compressed ? available * MaxExpansion + 4096 : available)) {
        message = "the data file holds " + std::to_string(available) + " bytes, too few for the " +
                  std::to_string(dataSize) + " bytes of image data the header gives";
        return LoadFailed;
    }
    const size_t count = dataSize / bytesPerSample;
    if (size[0] > INT32_MAX || size[1] > INT32_MAX || size[2] > INT32_MAX ||
        count > uint64_t(MaxVoxelCount())) {
        message = "the image of " +
                  SizesText(int64_t(size[0]), int64_t(size[1]), int64_t(size[2])) +
                  " voxels is larger than this machine can hold";
        return LoadFailed;
    }

    ByteVolume fresh;
    try {
        fresh.Allocate(int32_t(size[0]), int32_t(size[1]), int32_t(size[2]));
    } catch (const std::bad_alloc&) {
        message = "not enough memory for " +
                  SizesText(int64_t(size[0]), int64_t(size[1]), int64_t(size[2])) + " voxels";
        return LoadFailed;
    }

    // Wide samples are read and converted block by block, so the scratch memory stays
    // small whatever the size of the volume.
    constexpr size_t BlockSamples = size_t(1) << 20;
    std::vector<uint8_t> scratch;
    const auto readBlocks = [&](auto&& convert) {
        scratch.resize(std::min(count, BlockSamples) * bytesPerSample);
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(count - done, BlockSamples);
            if (const Ics_Error error =
                    IcsGetDataBlock(handle.ics, scratch.data(), n * bytesPerSample);
                error != IcsErr_Ok) {
                message = "cannot read the image data: " + IcsReason(error);
                return false;
            }
            convert(scratch.data(), n, done);
            done += n;
        }
        return true;
    };

    std::string warning;
    if (count == 0) {
        // Nothing to read: an image with an empty axis.
    } else if (real) {
        // The finite range is found in a first pass over the data, which is then read
        // again to map it.
        FloatRange range;
        if (!readBlocks([&](const uint8_t* samples, size_t n, size_t) {
                range.Add(samples, n, bytesPerSample);
            }))
            return LoadReadFailed;
        if (!range.AnyFinite()) {
            message = "the image holds no finite sample (all are NaN or infinite)";
            return LoadFailed;
        }
        if (!handle.Reopen(fileName, message)) return LoadReadFailed;
        if (!readBlocks([&](const uint8_t* samples, size_t n, size_t done) {
                range.Map(samples, n, bytesPerSample, fresh.Data + done);
            }))
            return LoadReadFailed;
        warning = range.Description(bytesPerSample);
    } else if (bytesPerSample == 1) {
        if (const Ics_Error error = IcsGetData(handle.ics, fresh.Data, dataSize);
            error != IcsErr_Ok) {
            message = "cannot read the image data: " + IcsReason(error);
            return LoadReadFailed;
        }
    } else if (!readBlocks([&](const uint8_t* samples, size_t n, size_t done) {
                   ConvertSamples(samples, n, bytesPerSample, significantBits, fresh.Data + done);
               })) {
        return LoadReadFailed;
    }

    *this = std::move(fresh);
    message = warning;
    if (const Ics_Error error = handle.Close(); error != IcsErr_Ok) {
        if (!message.empty()) message += "; ";
        message += "the file did not close cleanly: " + IcsReason(error);
        return LoadCloseFailed;
    }
    return LoadOk;
}

int32_t ByteVolume::SaveRaw(const std::string& fileName, std::string* message) const
{
    unsigned char header[RawHeaderBytes];
    WriteLe32(header, SizeX);
    WriteLe32(header + 4, SizeY);
    WriteLe32(header + 8, SizeZ);
    const size_t count = Data ? size_t(VoxelCount()) : 0;

    std::string text;
    FileIo::AtomicWriter writer;
    const bool ok = writer.Begin(fileName, text) && writer.Write(header, sizeof header, text) &&
                    writer.Write(Data, count, text) && writer.Commit(text);
    if (message) *message = ok ? std::string() : text;
    return ok ? 0 : 1;
}
