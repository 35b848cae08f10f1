#include "VolumeReader.h"

#include "FileIo.h"
#include "IcsHeaderCheck.h"
#include "IcsLocale.h"
#include "VolumeFileType.h"
#include "imgkernel.h"

#include <libics.h>
#include <libics_ll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

/** Sizes of a raw volume file header, in bytes. */
constexpr size_t RawHeaderBytes = 12;

std::string SizesText(int64_t x, int64_t y, int64_t z)
{
    return std::to_string(x) + " x " + std::to_string(y) + " x " + std::to_string(z);
}

int32_t ReadLe32(const unsigned char* p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
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

    /**
     * Opens the header that CheckIcsHeader opened and checked, through its descriptor
     * (libics' "f" mode keeps a name as given), and points libics at the checked data
     * file the same way, so that libics reads exactly the files that were checked,
     * whatever has become of their names.
     */
    bool Open(const IcsDataFile& files, std::string& message)
    {
        const std::string header = files.Header.DescriptorName();
        Ics_Error error = IcsErr_Ok;
        {
            const IcsLocaleScope cLocale;
            error = IcsOpen(&ics, header.c_str(), "rf");
        }
        if (error != IcsErr_Ok) {
            ics = nullptr;
            message = ::access(header.c_str(), F_OK) == 0
                          ? IcsReason(error)
                          : "cannot open the checked header again through " + header +
                                " (is /proc mounted?)";
            return false;
        }
        // As version 1, libics would derive the data file's name from the header's, and
        // look for compressed copies by name; as version 2 it reads the file srcFile
        // names from srcOffset on, with the declared compression. The version matters
        // to nothing else when reading.
        if (files.Data.IsOpen()) {
            if (ics->version == 1) {
                ics->srcOffset = 0;
                if (files.DataCodec == IcsDataFile::Codec::Gzip)
                    ics->compression = IcsCompr_gzip;
                else if (files.DataCodec == IcsDataFile::Codec::Compress)
                    ics->compression = IcsCompr_compress;
            }
            std::snprintf(ics->srcFile, sizeof ics->srcFile, "%s",
                          files.Data.DescriptorName().c_str());
        } else {
            // The data follow the header's end line, and srcFile names the header as
            // libics was given it: its descriptor.
            std::snprintf(ics->srcFile, sizeof ics->srcFile, "%s", header.c_str());
        }
        ics->version = 2;
        return true;
    }

    /** Closes and opens the files again, to read the data from the start. */
    bool Reopen(const IcsDataFile& files, std::string& message)
    {
        Close();
        if (!Open(files, message)) {
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

bool IsSignedType(Ics_DataType type)
{
    return type == Ics_sint8 || type == Ics_sint16 || type == Ics_sint32 || type == Ics_sint64;
}

/**
 * Watches the reduction of integer samples wider than a byte for one that loses the
 * whole image: samples that vary, all reduced to the same voxel (16-bit counts below
 * 256, 32-bit counts below 2^24). It stops looking at the first block whose voxels
 * differ, so ordinary data pay for one pass over a block of voxels; the samples' range
 * is taken only while every voxel so far is the same.
 */
class FlatReduction
{
public:
    FlatReduction(Ics_DataType type, size_t bytesPerSample, size_t significantBits)
        : signed_(IsSignedType(type)), bytes_(bytesPerSample),
          bits_(bytesPerSample <= 3 ? significantBits : bytesPerSample * 8),
          flat_(bytesPerSample == 2 || bytesPerSample == 3 || bytesPerSample == 4 ||
                bytesPerSample == 8)
    {
    }

    /** Takes the next `count` samples and the voxels they were reduced to. */
    void Add(const uint8_t* samples, size_t count, const uint8_t* voxels)
    {
        if (!flat_ || count == 0) return;
        if (!seen_) voxel_ = voxels[0];
        uint8_t differ = 0;
        for (size_t j = 0; j < count; ++j)
            differ |= uint8_t(voxels[j] ^ voxel_);
        if (differ) {
            flat_ = false;
            return;
        }
        switch (bytes_) {
        case 2:
            signed_ ? Range<int16_t>(samples, count) : Range<uint16_t>(samples, count);
            break;
        case 3:
            Range24(samples, count);
            break;
        case 4:
            signed_ ? Range<int32_t>(samples, count) : Range<uint32_t>(samples, count);
            break;
        default:
            signed_ ? Range<int64_t>(samples, count) : Range<uint64_t>(samples, count);
            break;
        }
        seen_ = true;
    }

    /** The warning when the samples vary and every voxel is the same; else empty. */
    std::string Warning() const
    {
        if (!flat_ || !seen_ || (signed_ ? low_ == high_ : ulow_ == uhigh_)) return {};
        const std::string low = signed_ ? std::to_string(low_) : std::to_string(ulow_);
        const std::string high = signed_ ? std::to_string(high_) : std::to_string(uhigh_);
        return "its " + std::string(signed_ ? "signed " : "") + std::to_string(bits_) +
               "-bit samples (" + low + " to " + high + ") all reduce to the same 8-bit voxel (" +
               std::to_string(voxel_) + "); the figure is computed on the 8-bit voxels";
    }

private:
    template <class Sample> void Range(const uint8_t* samples, size_t count)
    {
        Sample low = SampleAt<Sample>(samples, 0), high = low;
        for (size_t j = 1; j < count; ++j) {
            const Sample s = SampleAt<Sample>(samples, j);
            low = std::min(low, s);
            high = std::max(high, s);
        }
        Note(low, high);
    }

    void Range24(const uint8_t* samples, size_t count)
    {
        int64_t low = 0, high = 0;
        for (size_t j = 0; j < count; ++j) {
            const uint8_t* s = samples + j * 3;
            int64_t value = int64_t(s[0]) | int64_t(s[1]) << 8 | int64_t(s[2]) << 16;
            if (signed_ && (value & 0x800000)) value -= 0x1000000;
            low = j == 0 ? value : std::min(low, value);
            high = j == 0 ? value : std::max(high, value);
        }
        if (signed_)
            Note(low, high);
        else
            Note(uint64_t(low), uint64_t(high));
    }

    template <class Value> void Note(Value low, Value high)
    {
        if constexpr (std::is_signed_v<Value>) {
            low_ = seen_ ? std::min<int64_t>(low_, low) : low;
            high_ = seen_ ? std::max<int64_t>(high_, high) : high;
        } else {
            ulow_ = seen_ ? std::min<uint64_t>(ulow_, low) : low;
            uhigh_ = seen_ ? std::max<uint64_t>(uhigh_, high) : high;
        }
    }

    bool signed_;
    size_t bytes_;
    size_t bits_; ///< the width the samples are named by
    bool flat_;   ///< every voxel so far equals voxel_
    bool seen_ = false;
    uint8_t voxel_ = 0;
    int64_t low_ = 0, high_ = 0;    ///< the range of signed samples
    uint64_t ulow_ = 0, uhigh_ = 0; ///< the range of unsigned samples
};

/**
 * Samples of more than one byte kept in their own kind (see ByteVolume::Load), filled
 * block by block from the same blocks that give the voxels.
 */
class NativeSamples
{
public:
    NativeSamples(Ics_DataType type, size_t bytesPerSample)
        : type_(type), bytesPerSample_(bytesPerSample), signed_(IsSignedType(type))
    {
        if (type == Ics_real32 || type == Ics_real64)
            samples_.Kind = ImageKindFloat;
        else if (bytesPerSample == 2)
            samples_.Kind = signed_ ? ImageKind32 : ImageKind16;
        else if (bytesPerSample == 3 || bytesPerSample == 4)
            samples_.Kind = ImageKind32;
        else if (bytesPerSample == 8)
            samples_.Kind = ImageKindFloat;
    }

    /** Makes room for x·y·z samples when the type has a kind of its own; may throw bad_alloc. */
    void Allocate(int32_t x, int32_t y, int32_t z)
    {
        if (samples_.Kind == 0) return;
        samples_.SizeX = x;
        samples_.SizeY = y;
        samples_.SizeZ = z;
        const size_t bytes = size_t(samples_.Count()) * size_t(samples_.ElementBytes());
        // Reserved first, so that huge pages are asked for before the zeroing touches them.
        samples_.Bytes.reserve(bytes);
        if (bytes >= (size_t(4) << 20)) AdviseHugePages(samples_.Bytes.data(), bytes);
        samples_.Bytes.resize(bytes);
        allocated_ = true;
    }

    /** True when Allocate made room: the samples are kept. */
    bool Kept() const { return allocated_; }
    uint8_t* Data() { return samples_.Bytes.data(); }

    /** Keeps the `count` samples of `block` as samples `done` … `done` + `count` − 1. */
    void Keep(const uint8_t* block, size_t count, size_t done)
    {
        uint8_t* out = samples_.Bytes.data() + done * size_t(samples_.ElementBytes());
        if (type_ == Ics_real64) {
            for (size_t j = 0; j < count; ++j)
                Put(out, j, float(SampleAt<double>(block, j)));
        } else if (bytesPerSample_ == 8) {
            for (size_t j = 0; j < count; ++j)
                Put(out, j,
                    signed_ ? float(SampleAt<int64_t>(block, j))
                            : float(SampleAt<uint64_t>(block, j)));
        } else if (bytesPerSample_ == 2 && signed_) {
            for (size_t j = 0; j < count; ++j)
                Put(out, j, int32_t(SampleAt<int16_t>(block, j)));
        } else if (bytesPerSample_ == 3) {
            for (size_t j = 0; j < count; ++j) {
                const uint8_t* s = block + j * 3;
                uint32_t value = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16;
                if (signed_ && (value & 0x800000)) value |= 0xFF000000;
                Put(out, j, int32_t(value));
            }
        } else {
            // Same size and bits as kept: unsigned 16-bit, 32-bit integers, floats.
            std::memcpy(out, block, count * bytesPerSample_);
            if (bytesPerSample_ == 4 && !signed_ && type_ != Ics_real32)
                for (size_t j = 0; j < count; ++j)
                    unsignedBits_ |= SampleAt<uint32_t>(block, j);
        }
    }

    /**
     * Moves the samples, or none when they were not kept, into `target`. Unsigned
     * 32-bit samples of which one exceeds INT32_MAX first become floats.
     */
    void MoveTo(VolumeSamples& target)
    {
        if (!allocated_) {
            target.Clear();
            return;
        }
        if (unsignedBits_ & 0x80000000u) {
            uint8_t* data = samples_.Bytes.data();
            for (size_t j = 0, n = size_t(samples_.Count()); j < n; ++j)
                Put(data, j, float(SampleAt<uint32_t>(data, j)));
            samples_.Kind = ImageKindFloat;
        }
        target = std::move(samples_);
        samples_ = VolumeSamples();
    }

private:
    template <class Value> static void Put(uint8_t* out, size_t j, Value value)
    {
        std::memcpy(out + j * sizeof value, &value, sizeof value);
    }

    Ics_DataType type_;
    size_t bytesPerSample_;
    bool signed_;
    bool allocated_ = false;
    /** Every unsigned 32-bit sample or-ed together: bit 31 tells one exceeds INT32_MAX. */
    uint32_t unsignedBits_ = 0;
    VolumeSamples samples_;
};

/**
 * The voxel spacing of an open ICS file; the caller holds an IcsLocaleScope. libics
 * gives a missing scale as 1 and a missing unit as "undefined", so scales of 1 without
 * a unit tell nothing and leave the spacing unknown.
 */
VoxelSpacing ReadSpacing(const ICS* ics)
{
    VoxelSpacing read;
    bool informative = false;
    for (int d = 0; d < 3; ++d) {
        double scale = 0;
        const char* unit = nullptr;
        if (IcsGetPositionF(ics, d, nullptr, &scale, &unit) != IcsErr_Ok || !std::isfinite(scale) ||
            scale <= 0)
            return VoxelSpacing();
        read.Size[d] = scale;
        if (unit && *unit && std::strcmp(unit, "undefined") != 0) read.Units[d] = unit;
        informative = informative || scale != 1 || !read.Units[d].empty();
    }
    if (!informative) return VoxelSpacing();
    read.Known = true;
    return read;
}

/** The sizes a raw volume file's header gives, checked. */
struct RawLayout
{
    int32_t X = 0, Y = 0, Z = 0;
    int64_t Count = 0;
};

/** Gives `volume` the voxels of `layout`; false with the reason when memory is short. */
bool AllocateRaw(ByteVolume& volume, const RawLayout& layout, std::string& message)
{
    try {
        volume.Allocate(layout.X, layout.Y, layout.Z);
        return true;
    } catch (const std::bad_alloc&) {
        message = "not enough memory for " + SizesText(layout.X, layout.Y, layout.Z) + " voxels";
        return false;
    }
}

/** The sizes of a raw volume file from the bytes the probe read; false with the reason. */
bool ReadRawHeader(const FileIo::OpenedFile& file, RawLayout& layout, std::string& message)
{
    // A read error made the probe report the file unreadable: these are all its bytes.
    if (file.Head.size() < RawHeaderBytes) {
        message = "the file is shorter than the 12-byte raw volume header";
        return false;
    }
    const auto* header = reinterpret_cast<const unsigned char*>(file.Head.data());
    const int32_t x = ReadLe32(header), y = ReadLe32(header + 4), z = ReadLe32(header + 8);
    if (x < 0 || y < 0 || z < 0) {
        message = "the raw volume header gives a negative size (" + SizesText(x, y, z) + ")";
        return false;
    }
    if (!CheckedVoxelCount(x, y, z, layout.Count) || layout.Count > ByteVolume::MaxVoxelCount()) {
        message = "the raw volume header asks for " + SizesText(x, y, z) +
                  " voxels, more than this machine can hold";
        return false;
    }
    layout.X = x;
    layout.Y = y;
    layout.Z = z;
    return true;
}

/**
 * Reads the next `count` voxel bytes of a raw volume file into `out`: first those among
 * the bytes the probe read, of which `taken` (the header's included) are used, then on
 * from the file. Returns the number of bytes read.
 */
size_t ReadRawVoxels(FileIo::OpenedFile& file, size_t& taken, uint8_t* out, size_t count)
{
    if (count == 0) return 0;
    const size_t fromHead = std::min(count, file.Head.size() - taken);
    std::memcpy(out, file.Head.data() + taken, fromHead);
    taken += fromHead;
    if (fromHead == count) return count;
    return fromHead + file.Handle.ReadFully(out + fromHead, count - fromHead);
}

/** The warning for a raw data section of `got` bytes: short, too long, or none. */
std::string RawDataWarning(const FileIo::File& file, const RawLayout& layout, size_t got)
{
    const int64_t count = layout.Count;
    std::string message;
    if (got < size_t(count)) {
        message = "the data section holds " + std::to_string(got) + " of " + std::to_string(count) +
                  " voxel bytes; the rest are 0";
        if (file.Failed()) message += " (" + file.Error() + ")";
    } else if (const int64_t extra = file.Size() - int64_t(RawHeaderBytes) - count; extra > 0) {
        message = "the file holds " + std::to_string(extra) + " more byte" +
                  (extra == 1 ? "" : "s") + " than the header's " +
                  SizesText(layout.X, layout.Y, layout.Z) + " voxels; they were ignored";
    }
    return message;
}

/** Reads the raw volume file that the probe opened into `volume`. */
int32_t LoadRaw(FileIo::OpenedFile& file, ByteVolume& volume, std::string& message)
{
    RawLayout layout;
    if (!ReadRawHeader(file, layout, message)) return ByteVolume::LoadFailed;

    // The new buffer is made before the old one goes, so that a failed allocation
    // leaves the volume as it was. Its pages are untouched until the read, so the old
    // and the new volume never occupy memory at the same time.
    ByteVolume fresh;
    if (!AllocateRaw(fresh, layout, message)) return ByteVolume::LoadFailed;
    volume = std::move(fresh);

    size_t taken = RawHeaderBytes;
    const size_t got = ReadRawVoxels(file, taken, volume.Data, size_t(layout.Count));
    message = RawDataWarning(file.Handle, layout, got);
    return ByteVolume::LoadOk;
}

/** LoadRaw with progress and cancelling, as options ask. */
int32_t LoadRawInChunks(FileIo::OpenedFile& file, ByteVolume& volume, std::string& message,
                        const VolumeLoadOptions& options)
{
    RawLayout layout;
    if (!ReadRawHeader(file, layout, message)) return ByteVolume::LoadFailed;

    // Cancelling must leave the volume as it was, so the old one stays until the end.
    ByteVolume fresh;
    if (!AllocateRaw(fresh, layout, message)) return ByteVolume::LoadFailed;

    constexpr size_t ChunkBytes = size_t(16) << 20;
    const size_t count = size_t(layout.Count);
    size_t got = 0, taken = RawHeaderBytes;
    while (got < count) {
        const size_t want = std::min(count - got, ChunkBytes);
        const size_t read = ReadRawVoxels(file, taken, fresh.Data + got, want);
        got += read;
        if (read < want) break;
        if (options.Progress && !options.Progress(double(got) / double(count))) {
            message = "the load was cancelled";
            return ByteVolume::LoadCancelled;
        }
    }

    volume = std::move(fresh);
    message = RawDataWarning(file.Handle, layout, got);
    if (options.Samples) options.Samples->Clear();
    if (options.Spacing) *options.Spacing = VoxelSpacing();
    return ByteVolume::LoadOk;
}

/**
 * Reads the ICS file whose header the probe opened, and `ids`, the .ids file it was
 * reached through if any, into `volume`.
 */
int32_t LoadIcs(FileIo::OpenedFile& header, FileIo::OpenedFile& ids, ByteVolume& volume,
                std::string& message, const VolumeLoadOptions* options)
{
    // The check goes on with the files the probe opened, and opens those it checks
    // besides; libics is handed those, not their names, which another process may have
    // given to a FIFO by now.
    IcsDataFile dataFile;
    const bool checked = CheckIcsHeader(std::move(header), message, &dataFile, &ids);
    ids.Handle.Close(); // unless the check took it as the data file
    if (!checked) return ByteVolume::LoadFailed;

    IcsHandle handle;
    if (!handle.Open(dataFile, message)) return ByteVolume::LoadFailed;

    Ics_DataType dataType = Ics_unknown;
    int dims = 0;
    size_t size[ICS_MAXDIM] = {};
    size_t significantBits = 0;
    size_t dataSize = 0;
    size_t typeBytes = 0;
    {
        const IcsLocaleScope cLocale;
        if (const Ics_Error error = IcsGetLayout(handle.ics, &dataType, &dims, size);
            error != IcsErr_Ok) {
            message = IcsReason(error);
            return ByteVolume::LoadFailed;
        }
        IcsGetSignificantBits(handle.ics, &significantBits);
        dataSize = IcsGetDataSize(handle.ics);
        typeBytes = IcsGetDataTypeSize(dataType);
    }
    const bool real = dataType == Ics_real32 || dataType == Ics_real64;
    // Floating-point samples are as wide as their type; integers as their bits.
    const size_t bytesPerSample = real ? typeBytes : (significantBits + 7) / 8;

    if (dims != 3) {
        message = "the image is not three-dimensional (it has " + std::to_string(dims) +
                  (dims == 1 ? " dimension)" : " dimensions)");
        return ByteVolume::LoadFailed;
    }
    if (dataType == Ics_complex32 || dataType == Ics_complex64) {
        message = "the image holds complex samples, which have no single grey value";
        return ByteVolume::LoadFailed;
    }
    size_t expected = 0;
    if (bytesPerSample == 0 || __builtin_mul_overflow(bytesPerSample, size[0], &expected) ||
        __builtin_mul_overflow(expected, size[1], &expected) ||
        __builtin_mul_overflow(expected, size[2], &expected) || expected != dataSize) {
        message = "the data size does not match " +
                  std::to_string(real ? bytesPerSample * 8 : significantBits) + "-bit samples of " +
                  SizesText(int64_t(size[0]), int64_t(size[1]), int64_t(size[2]));
        return ByteVolume::LoadFailed;
    }
    // The data size as libics reads the header must fit the data file: whole when
    // uncompressed, and within what gzip can expand to (about 1032:1) otherwise.
    constexpr uint64_t MaxExpansion = 1040;
    const uint64_t available = uint64_t(dataFile.Available);
    if (dataSize > (dataFile.Compressed ? available * MaxExpansion + 4096 : available)) {
        message = "the data file holds " + std::to_string(available) + " bytes, too few for the " +
                  std::to_string(dataSize) + " bytes of image data the header gives";
        return ByteVolume::LoadFailed;
    }
    const size_t count = dataSize / bytesPerSample;
    if (size[0] > INT32_MAX || size[1] > INT32_MAX || size[2] > INT32_MAX ||
        count > uint64_t(ByteVolume::MaxVoxelCount())) {
        message = "the image of " +
                  SizesText(int64_t(size[0]), int64_t(size[1]), int64_t(size[2])) +
                  " voxels is larger than this machine can hold";
        return ByteVolume::LoadFailed;
    }

    ByteVolume fresh;
    NativeSamples native(dataType, bytesPerSample);
    try {
        fresh.Allocate(int32_t(size[0]), int32_t(size[1]), int32_t(size[2]));
        if (options && options->Samples)
            native.Allocate(int32_t(size[0]), int32_t(size[1]), int32_t(size[2]));
    } catch (const std::bad_alloc&) {
        message = "not enough memory for " +
                  SizesText(int64_t(size[0]), int64_t(size[1]), int64_t(size[2])) + " voxels";
        return ByteVolume::LoadFailed;
    }
    const bool keep = native.Kept();

    // Floating-point data is read twice (its range first) unless its samples are kept
    // as they are, which then give the voxels without a second read.
    const bool mapKept = real && keep && bytesPerSample == 4;
    const int passes = real && !mapKept ? 2 : 1;
    int pass = 0;
    const auto progress = [&](size_t done) {
        if (!options || !options->Progress) return true;
        return options->Progress((pass + double(done) / double(count)) / passes);
    };

    // Samples are read and converted block by block, so the scratch memory stays small
    // whatever the size of the volume; one-byte samples go straight into the volume.
    constexpr size_t BlockSamples = size_t(1) << 20;
    std::vector<uint8_t> scratch;
    const auto readBlocks = [&](uint8_t* direct, auto&& convert) -> int32_t {
        if (!direct) scratch.resize(std::min(count, BlockSamples) * bytesPerSample);
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(count - done, BlockSamples);
            uint8_t* block = direct ? direct + done * bytesPerSample : scratch.data();
            Ics_Error error = IcsErr_Ok;
            {
                const IcsLocaleScope cLocale;
                error = IcsGetDataBlock(handle.ics, block, n * bytesPerSample);
            }
            if (error != IcsErr_Ok) {
                message = "cannot read the image data: " + IcsReason(error);
                return ByteVolume::LoadReadFailed;
            }
            convert(block, n, done);
            done += n;
            if (!progress(done)) {
                message = "the load was cancelled";
                return ByteVolume::LoadCancelled;
            }
        }
        ++pass;
        return ByteVolume::LoadOk;
    };

    std::string warning;
    int32_t code = ByteVolume::LoadOk;
    if (count == 0) {
        // Nothing to read: an image with an empty axis.
    } else if (real) {
        // The finite range is found in a first pass over the data, which is then
        // mapped from the kept samples or read again.
        FloatRange range;
        code = readBlocks(nullptr, [&](const uint8_t* samples, size_t n, size_t done) {
            range.Add(samples, n, bytesPerSample);
            if (keep) native.Keep(samples, n, done);
        });
        if (code != ByteVolume::LoadOk) return code;
        if (!range.AnyFinite()) {
            message = "the image holds no finite sample (all are NaN or infinite)";
            return ByteVolume::LoadFailed;
        }
        if (mapKept) {
            range.Map(native.Data(), count, bytesPerSample, fresh.Data);
        } else {
            if (!handle.Reopen(dataFile, message)) return ByteVolume::LoadReadFailed;
            code = readBlocks(nullptr, [&](const uint8_t* samples, size_t n, size_t done) {
                range.Map(samples, n, bytesPerSample, fresh.Data + done);
            });
        }
        warning = range.Description(bytesPerSample);
    } else if (bytesPerSample == 1 && !options) {
        Ics_Error error = IcsErr_Ok;
        {
            const IcsLocaleScope cLocale;
            error = IcsGetData(handle.ics, fresh.Data, dataSize);
        }
        if (error != IcsErr_Ok) {
            message = "cannot read the image data: " + IcsReason(error);
            return ByteVolume::LoadReadFailed;
        }
    } else if (bytesPerSample == 1) {
        code = readBlocks(fresh.Data, [](const uint8_t*, size_t, size_t) {});
    } else {
        FlatReduction flat(dataType, bytesPerSample, significantBits);
        code = readBlocks(nullptr, [&](const uint8_t* samples, size_t n, size_t done) {
            ConvertSamples(samples, n, bytesPerSample, significantBits, fresh.Data + done);
            flat.Add(samples, n, fresh.Data + done);
            if (keep) native.Keep(samples, n, done);
        });
        warning = flat.Warning();
    }
    if (code != ByteVolume::LoadOk) return code;

    VoxelSpacing spacing;
    if (options && options->Spacing) {
        const IcsLocaleScope cLocale;
        spacing = ReadSpacing(handle.ics);
    }

    volume = std::move(fresh);
    if (options && options->Samples) native.MoveTo(*options->Samples);
    if (options && options->Spacing) *options->Spacing = std::move(spacing);
    message = warning;
    if (const Ics_Error error = handle.Close(); error != IcsErr_Ok) {
        if (!message.empty()) message += "; ";
        message += "the file did not close cleanly: " + IcsReason(error);
        return ByteVolume::LoadCloseFailed;
    }
    return ByteVolume::LoadOk;
}

} // namespace

VolumeReadResult ReadVolume(const std::string& fileName, ByteVolume& volume,
                            const VolumeLoadOptions* options)
{
    // The content decides how a file is read, before any raw header is trusted.
    VolumeReadResult read;
    VolumeFileProbe probe = ProbeVolumeFile(fileName);
    switch (probe.Type) {
    case VolumeFileType::Unreadable:
        read.Message = probe.Reason;
        break;
    case VolumeFileType::Ics:
        read.Code = LoadIcs(probe.File, probe.IdsFile, volume, read.Message, options);
        break;
    case VolumeFileType::Tiff:
    case VolumeFileType::Picture:
        read.Message = "a picture file, not a volume";
        break;
    case VolumeFileType::Other:
        // A name that promises ICS but holds something else is refused, not misread.
        if (ByteVolume::IsIcsFileName(fileName)) {
            if (CheckIcsHeader(std::move(probe.File), read.Message))
                read.Message = "the file is not an ICS header";
        } else {
            read.Code = options ? LoadRawInChunks(probe.File, volume, read.Message, *options)
                                : LoadRaw(probe.File, volume, read.Message);
        }
        break;
    }
    return read;
}

int32_t ByteVolume::Load(const std::string& fileName, std::string* message)
{
    VolumeReadResult read = ReadVolume(fileName, *this);
    if (message) *message = std::move(read.Message);
    return read.Code;
}

int32_t ByteVolume::Load(const std::string& fileName, std::string* message,
                         const VolumeLoadOptions& options)
{
    VolumeReadResult read = ReadVolume(fileName, *this, &options);
    if (message) *message = std::move(read.Message);
    return read.Code;
}
