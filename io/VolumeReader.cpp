#include "VolumeReader.h"

#include "FileIo.h"
#include "IcsHeaderCheck.h"
#include "IcsLocale.h"
#include "StackBytes.h"
#include "TiffReader.h"
#include "VolumeFileType.h"
#include "imgkernel.h"

#include <libics.h>
#include <libics_ll.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

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

/** The axes a file's samples may run along, in the order the stack keeps them. */
enum Axis
{
    AxisX,
    AxisY,
    AxisZ,
    AxisChannel,
    AxisTime,
    AxisCount
};

/**
 * Makes room in `stack` for `layout`; false with the reason when memory is short or the
 * sizes are more than the machine holds.
 */
bool AllocateStack(VolumeStack& stack, const StackLayout& layout, std::string& message,
                   bool& tooLarge)
{
    // Sizes too large to multiply are too large to hold as well.
    tooLarge = double(layout.SizeX) * layout.SizeY * layout.SizeZ * SampleKindBytes(layout.Kind) *
                   layout.Channels * layout.Frames >
               double(ByteVolume::MaxVoxelCount());
    try {
        if (tooLarge) throw std::bad_alloc();
        stack.Allocate(layout);
        return true;
    } catch (const std::bad_alloc&) {
        std::string sizes = SizesText(layout.SizeX, layout.SizeY, layout.SizeZ);
        if (layout.Channels > 1) sizes += " x " + std::to_string(layout.Channels) + " channels";
        if (layout.Frames > 1) sizes += " x " + std::to_string(layout.Frames) + " time points";
        message = "not enough memory for " + sizes + " voxels";
        return false;
    }
}

/**
 * The voxel spacing of the x, y and z axes of an open ICS file, whose dimensions
 * `dimension` gives (−1 for an axis the file has not); the caller holds an
 * IcsLocaleScope. libics gives a missing scale as 1 and a missing unit as "undefined", so
 * scales of 1 without a unit tell nothing and leave the spacing unknown.
 */
VoxelSpacing ReadSpacing(const ICS* ics, const int (&dimension)[AxisCount])
{
    VoxelSpacing read;
    bool informative = false;
    for (int axis = AxisX; axis <= AxisZ; ++axis) {
        if (dimension[axis] < 0) continue;
        double scale = 0;
        const char* unit = nullptr;
        if (IcsGetPositionF(ics, dimension[axis], nullptr, &scale, &unit) != IcsErr_Ok ||
            !std::isfinite(scale) || scale <= 0)
            return VoxelSpacing();
        read.Size[axis] = scale;
        if (unit && *unit && std::strcmp(unit, "undefined") != 0) read.Units[axis] = unit;
        informative = informative || scale != 1 || !read.Units[axis].empty();
    }
    if (!informative) return VoxelSpacing();
    read.Known = true;
    return read;
}

/** The axis an ICS order label names, or AxisCount for one that names none. */
Axis AxisOfLabel(const char* label)
{
    static constexpr std::pair<const char*, Axis> labels[] = {
        {"x", AxisX},        {"y", AxisY},       {"z", AxisZ},
        {"ch", AxisChannel}, {"c", AxisChannel}, {"t", AxisTime}};
    for (const auto& [name, axis] : labels)
        if (label && strcasecmp(label, name) == 0) return axis;
    return AxisCount;
}

/** The stack's kind of samples of an ICS data type; false for complex and unknown types. */
bool KindOfIcsType(Ics_DataType type, SampleKind& kind)
{
    switch (type) {
    case Ics_uint8:
        kind = SampleKind::UInt8;
        return true;
    case Ics_sint8:
        kind = SampleKind::Int8;
        return true;
    case Ics_uint16:
        kind = SampleKind::UInt16;
        return true;
    case Ics_sint16:
        kind = SampleKind::Int16;
        return true;
    case Ics_uint32:
        kind = SampleKind::UInt32;
        return true;
    case Ics_sint32:
        kind = SampleKind::Int32;
        return true;
    case Ics_uint64:
        kind = SampleKind::UInt64;
        return true;
    case Ics_sint64:
        kind = SampleKind::Int64;
        return true;
    case Ics_real32:
        kind = SampleKind::Float32;
        return true;
    case Ics_real64:
        kind = SampleKind::Float64;
        return true;
    default:
        return false;
    }
}

/**
 * Where the samples of an ICS file go in the stack: the file's dimensions, each along
 * one axis. Samples arrive in the file's order, the first dimension fastest.
 */
class IcsScatter
{
public:
    IcsScatter(VolumeStack& stack, int dims, const size_t* size, const Axis* axes)
        : stack_(stack), dims_(dims), bytes_(size_t(SampleKindBytes(stack.Layout().Kind)))
    {
        for (int d = 0; d < dims; ++d) {
            size_[d] = size[d];
            axis_[d] = axes[d];
        }
        // The stack's order is x, y, z, channel, time: a file in that order (leaving out
        // axes it has not) goes straight into the volumes, one after another.
        canonical_ = std::is_sorted(axes, axes + dims);
    }

    /** True when the file's order is the stack's: Volume() takes the data in place. */
    bool Canonical() const { return canonical_; }

    /** Takes the next `count` samples of the file from `block`. */
    void Put(const uint8_t* block, size_t count)
    {
        while (count > 0) {
            // A run along the first dimension, up to its end or the block's.
            const size_t run = std::min(count, size_[0] - coordinate_[0]);
            uint8_t* out = Target();
            if (axis_[0] == AxisX) {
                std::memcpy(out, block, run * bytes_);
            } else {
                for (size_t j = 0; j < run; ++j) {
                    std::memcpy(Target(), block + j * bytes_, bytes_);
                    ++coordinate_[0];
                }
                coordinate_[0] -= run;
            }
            block += run * bytes_;
            count -= run;
            Advance(run);
        }
    }

private:
    /** The stack's place of the sample at the present coordinates. */
    uint8_t* Target()
    {
        int64_t at[AxisCount] = {0, 0, 0, 0, 0};
        for (int d = 0; d < dims_; ++d)
            at[axis_[d]] = int64_t(coordinate_[d]);
        return stack_.Row(int(at[AxisChannel]), int(at[AxisTime]), at[AxisZ], at[AxisY]) +
               at[AxisX] * int64_t(bytes_);
    }

    void Advance(size_t run)
    {
        coordinate_[0] += run;
        for (int d = 0; d < dims_ && coordinate_[d] == size_[d]; ++d) {
            if (d + 1 == dims_) break;
            coordinate_[d] = 0;
            ++coordinate_[d + 1];
        }
    }

    VolumeStack& stack_;
    int dims_;
    size_t bytes_;
    size_t size_[ICS_MAXDIM] = {};
    Axis axis_[ICS_MAXDIM] = {};
    size_t coordinate_[ICS_MAXDIM] = {};
    bool canonical_ = false;
};

/** An ICS file checked and opened, its layout known, its data not yet read. */
struct IcsImage
{
    IcsDataFile dataFile;
    IcsHandle handle;
    StackLayout layout;
    int dims = 0;
    size_t size[ICS_MAXDIM] = {};
    Axis axes[ICS_MAXDIM] = {};
    size_t bytesPerSample = 0;
    size_t count = 0; ///< samples
    bool compressed = false;
    /** The data's byte order: the host's, the reverse, or neither (a mixed order). */
    enum class Order
    {
        Host,
        Swapped,
        Mixed
    } order = Order::Host;
    /** The first sample's offset in the data file, when the data are not compressed. */
    int64_t dataOffset = 0;
};

/**
 * Checks and opens the ICS file whose header the probe opened, and `ids`, the .ids file
 * it was reached through if any, and reads its layout and spacing into `image`.
 */
int32_t OpenIcs(FileIo::OpenedFile& header, FileIo::OpenedFile& ids, IcsImage& image,
                std::string& message)
{
    IcsDataFile& dataFile = image.dataFile;
    IcsHandle& handle = image.handle;
    // The check goes on with the files the probe opened, and opens those it checks
    // besides; libics is handed those, not their names, which another process may have
    // given to a FIFO by now.
    const bool checked = CheckIcsHeader(std::move(header), message, &dataFile, &ids);
    ids.Handle.Close(); // unless the check took it as the data file
    if (!checked) return ByteVolume::LoadFailed;

    if (!handle.Open(dataFile, message)) return ByteVolume::LoadFailed;

    Ics_DataType dataType = Ics_unknown;
    int& dims = image.dims;
    size_t* size = image.size;
    size_t significantBits = 0;
    size_t dataSize = 0;
    size_t typeBytes = 0;
    Axis* axes = image.axes;
    std::string labelProblem;
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
        for (int d = 0; d < dims && d < ICS_MAXDIM && labelProblem.empty(); ++d) {
            const char* order = nullptr;
            if (IcsGetOrderF(handle.ics, d, &order, nullptr) != IcsErr_Ok) order = nullptr;
            axes[d] = AxisOfLabel(order);
            if (axes[d] == AxisCount)
                labelProblem = "its axis '" + std::string(order ? order : "") +
                               "' is none of x, y, z, ch (or c) and t";
            for (int e = 0; e < d && labelProblem.empty(); ++e)
                if (axes[e] == axes[d])
                    labelProblem = "two of its axes ('" + std::string(order ? order : "") +
                                   "' and the one before) name the same axis";
        }
    }
    const bool real = dataType == Ics_real32 || dataType == Ics_real64;
    // Floating-point samples are as wide as their type; integers as their bits.
    const size_t bytesPerSample = real ? typeBytes : (significantBits + 7) / 8;

    if (dims < 2 || dims > 5) {
        message = "the image has " + std::to_string(dims) +
                  (dims == 1 ? " dimension" : " dimensions") +
                  "; images of 2 to 5 dimensions (x, y, z, channels, time) load";
        return ByteVolume::LoadFailed;
    }
    if (!labelProblem.empty()) {
        message = "the image cannot be read: " + labelProblem;
        return ByteVolume::LoadFailed;
    }
    if (dataType == Ics_complex32 || dataType == Ics_complex64) {
        message = "the image holds complex samples, which have no single grey value";
        return ByteVolume::LoadFailed;
    }
    size_t sizes[AxisCount] = {1, 1, 1, 1, 1};
    int dimension[AxisCount] = {-1, -1, -1, -1, -1};
    size_t expected = bytesPerSample;
    bool overflow = bytesPerSample == 0;
    for (int d = 0; d < dims; ++d) {
        sizes[axes[d]] = size[d];
        dimension[axes[d]] = d;
        overflow = overflow || __builtin_mul_overflow(expected, size[d], &expected);
    }
    const std::string sizesText =
        SizesText(int64_t(sizes[0]), int64_t(sizes[1]), int64_t(sizes[2]));
    if (overflow || expected != dataSize) {
        message = "the data size does not match " +
                  std::to_string(real ? bytesPerSample * 8 : significantBits) + "-bit samples of " +
                  sizesText +
                  (dims > 3 ? " voxels, " + std::to_string(sizes[AxisChannel]) + " channels and " +
                                  std::to_string(sizes[AxisTime]) + " time points"
                            : std::string());
        return ByteVolume::LoadFailed;
    }
    SampleKind kind = SampleKind::UInt8;
    if (!KindOfIcsType(dataType, kind) || size_t(SampleKindBytes(kind)) != bytesPerSample) {
        message = "the image's samples are of a kind that cannot be read";
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
    if (sizes[0] > INT32_MAX || sizes[1] > INT32_MAX || sizes[2] > INT32_MAX ||
        sizes[AxisChannel] > INT32_MAX || sizes[AxisTime] > INT32_MAX) {
        message = "the image of " + sizesText + " voxels is larger than this machine can hold";
        return ByteVolume::LoadFailed;
    }

    StackLayout& layout = image.layout;
    layout.SizeX = int32_t(sizes[AxisX]);
    layout.SizeY = int32_t(sizes[AxisY]);
    layout.SizeZ = int32_t(sizes[AxisZ]);
    layout.Channels = int32_t(sizes[AxisChannel]);
    layout.Frames = int32_t(sizes[AxisTime]);
    layout.Kind = kind;
    layout.SignificantBits = real ? int(bytesPerSample * 8) : int(significantBits);
    if (layout.Channels == 0 || layout.Frames == 0) {
        // No volume at all: an empty image of the sizes given.
        layout.Channels = layout.Frames = 1;
        layout.SizeZ = 0;
    }
    image.bytesPerSample = bytesPerSample;
    image.count = count;
    image.compressed = dataFile.Compressed;
    const FileIo::File& data = dataFile.Data.IsOpen() ? dataFile.Data : dataFile.Header;
    image.dataOffset = data.Size() - dataFile.Available;
    {
        const IcsLocaleScope cLocale;
        layout.Spacing = ReadSpacing(handle.ics, dimension);
        // libics takes the order "1 2 … n" as little-endian, its reverse as big-endian;
        // none given is the host's.
        bool little = true, big = true;
        const int n = int(bytesPerSample);
        for (int b = 0; b < n; ++b) {
            little = little && handle.ics->byteOrder[b] == b + 1;
            big = big && handle.ics->byteOrder[b] == n - b;
        }
        const bool none = handle.ics->byteOrder[0] == 0;
        const bool hostLittle = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
        image.order = none || n == 1 || (hostLittle ? little : big) ? IcsImage::Order::Host
                      : (hostLittle ? big : little)                 ? IcsImage::Order::Swapped
                                                                    : IcsImage::Order::Mixed;
    }
    return ByteVolume::LoadOk;
}

/** Reads the data of the ICS file `image` into `stack`. */
int32_t ReadIcsData(IcsImage& image, VolumeStack& stack, std::string& message,
                    const StackReadOptions* options, bool& tooLarge)
{
    const StackLayout& layout = image.layout;
    const size_t count = image.count, bytesPerSample = image.bytesPerSample;
    if (count > uint64_t(ByteVolume::MaxVoxelCount())) {
        tooLarge = true;
        message = "the image of " + SizesText(layout.SizeX, layout.SizeY, layout.SizeZ) +
                  " voxels is larger than this machine can hold";
        return ByteVolume::LoadFailed;
    }
    IcsHandle& handle = image.handle;
    VolumeStack fresh;
    if (!AllocateStack(fresh, layout, message, tooLarge)) return ByteVolume::LoadFailed;

    // The data is read block by block: straight into the volumes when the file's order
    // is theirs, else through a small scratch block from which the samples are put in
    // place, so that memory beyond the stack stays small whatever the image's size.
    constexpr size_t BlockSamples = size_t(1) << 20;
    IcsScatter scatter(fresh, image.dims, image.size, image.axes);
    std::vector<uint8_t> scratch;
    if (!scatter.Canonical()) scratch.resize(std::min(count, BlockSamples) * bytesPerSample);
    const int64_t planeSamples = int64_t(layout.SizeX) * layout.SizeY;
    const int64_t volumeSamples = layout.VoxelCount();
    for (size_t done = 0; done < count;) {
        size_t n = std::min(count - done, BlockSamples);
        uint8_t* block = scratch.data();
        if (scatter.Canonical()) {
            // Blocks run on over the planes of one volume, which follow each other, but
            // never into the next volume.
            const int64_t volume = int64_t(done) / volumeSamples;
            const int64_t within = int64_t(done) % volumeSamples;
            n = std::min<size_t>(n, size_t(volumeSamples - within));
            block = fresh.Plane(int(volume % layout.Channels), int(volume / layout.Channels),
                                within / planeSamples) +
                    within % planeSamples * int64_t(bytesPerSample);
        }
        Ics_Error error = IcsErr_Ok;
        {
            const IcsLocaleScope cLocale;
            error = IcsGetDataBlock(handle.ics, block, n * bytesPerSample);
        }
        if (error != IcsErr_Ok) {
            message = "cannot read the image data: " + IcsReason(error);
            return ByteVolume::LoadReadFailed;
        }
        if (!scatter.Canonical()) scatter.Put(block, n);
        done += n;
        if (options && options->Progress && !options->Progress(double(done) / double(count))) {
            message = "the load was cancelled";
            return ByteVolume::LoadCancelled;
        }
    }
    stack = std::move(fresh);
    message.clear();
    if (const Ics_Error error = handle.Close(); error != IcsErr_Ok) {
        message = "the file did not close cleanly: " + IcsReason(error);
        return ByteVolume::LoadCloseFailed;
    }
    return ByteVolume::LoadOk;
}

/**
 * Reads the ICS file whose header the probe opened, and `ids`, the .ids file it was
 * reached through if any, into `stack`.
 */
int32_t LoadIcs(FileIo::OpenedFile& header, FileIo::OpenedFile& ids, VolumeStack& stack,
                std::string& message, const StackReadOptions* options, bool& tooLarge)
{
    IcsImage image;
    if (const int32_t code = OpenIcs(header, ids, image, message); code != ByteVolume::LoadOk)
        return code;
    return ReadIcsData(image, stack, message, options, tooLarge);
}

/** The sizes a raw volume file's header gives, checked. */
struct RawLayout
{
    int32_t X = 0, Y = 0, Z = 0;
    int64_t Count = 0;
};

/** The sizes of a raw volume file from the bytes the probe read; false with the reason. */
bool ReadRawHeader(const FileIo::OpenedFile& file, RawLayout& layout, std::string& message,
                   bool inMemory, bool& tooLarge)
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
    const bool counted = CheckedVoxelCount(x, y, z, layout.Count);
    tooLarge = counted && inMemory && layout.Count > ByteVolume::MaxVoxelCount();
    if (!counted || tooLarge) {
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

/** Reads the raw volume file that the probe opened into `stack`: one 8-bit volume. */
int32_t LoadRaw(FileIo::OpenedFile& file, VolumeStack& stack, std::string& message,
                const StackReadOptions* options, bool& tooLarge)
{
    RawLayout raw;
    if (!ReadRawHeader(file, raw, message, true, tooLarge)) return ByteVolume::LoadFailed;
    StackLayout layout;
    layout.SizeX = raw.X;
    layout.SizeY = raw.Y;
    layout.SizeZ = raw.Z;
    VolumeStack fresh;
    if (!AllocateStack(fresh, layout, message, tooLarge)) return ByteVolume::LoadFailed;

    // In chunks of at most 16 MiB between progress reports: runs of whole planes where
    // planes are small, so that a volume of tiny planes is not read plane by plane.
    constexpr int64_t ChunkBytes = int64_t(16) << 20;
    const int64_t planeBytes = fresh.PlaneBytes();
    size_t got = 0, taken = RawHeaderBytes;
    for (int64_t at = 0; at < raw.Count;) {
        const size_t want = size_t(std::min(raw.Count - at, ChunkBytes));
        const size_t read =
            ReadRawVoxels(file, taken, fresh.Plane(0, 0, at / planeBytes) + at % planeBytes, want);
        got += read;
        at += int64_t(read);
        if (options && options->Progress && !options->Progress(double(got) / double(raw.Count))) {
            message = "the load was cancelled";
            return ByteVolume::LoadCancelled;
        }
        if (read < want) break;
    }
    stack = std::move(fresh);
    message = RawDataWarning(file.Handle, raw, got);
    return ByteVolume::LoadOk;
}

/** The planes of compressed ICS data in the stack's order, decoded as they are asked for. */
class IcsStreamSource : public PlaneSource
{
public:
    explicit IcsStreamSource(std::unique_ptr<IcsImage> image) : image_(std::move(image))
    {
        layout_ = image_->layout;
    }
    bool RandomAccess() const override { return false; }

    bool ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error) override
    {
        const int64_t index = (int64_t(t) * layout_.Channels + c) * layout_.SizeZ + z;
        if (!failure_.empty()) {
            error = failure_;
            return false;
        }
        if (index < next_) {
            // Another pass over data read already starts from the beginning again.
            std::string message;
            if (!image_->handle.Reopen(image_->dataFile, message)) {
                failure_ = message;
                error = failure_;
                return false;
            }
            next_ = 0;
        }
        // Planes before the one asked for are decoded and passed over.
        std::vector<uint8_t> skipped(index > next_ ? size_t(PlaneBytes()) : 0);
        while (next_ < index)
            if (!Decode(skipped.data(), error)) return false;
        return Decode(out, error);
    }

private:
    /** Decodes the next plane into `out`. */
    bool Decode(uint8_t* out, std::string& error)
    {
        Ics_Error status = IcsErr_Ok;
        {
            const IcsLocaleScope cLocale;
            status = IcsGetDataBlock(image_->handle.ics, out, size_t(PlaneBytes()));
        }
        if (status != IcsErr_Ok) {
            failure_ = "cannot read the image data: " + IcsReason(status);
            error = failure_;
            return false;
        }
        ++next_;
        return true;
    }

    std::unique_ptr<IcsImage> image_;
    int64_t next_ = 0; ///< the plane the stream is at, counted over all volumes
    std::string failure_;
};

/**
 * A source for the ICS file the probe opened: mapped when its rows lie in the data file
 * as they are, a stream when compressed in the stack's order, else read whole if it fits.
 */
int32_t OpenIcsSource(FileIo::OpenedFile& header, FileIo::OpenedFile& ids,
                      std::unique_ptr<PlaneSource>& source, std::string& message)
{
    auto image = std::make_unique<IcsImage>();
    if (const int32_t code = OpenIcs(header, ids, *image, message); code != ByteVolume::LoadOk)
        return code;
    const StackLayout& layout = image->layout;
    const bool rowsFirst = image->axes[0] == AxisX;
    if (!image->compressed && rowsFirst && image->order != IcsImage::Order::Mixed) {
        // The stride of each axis in the data file, from its dimensions' order.
        int64_t stride[AxisCount] = {0, 0, 0, 0, 0};
        int64_t step = int64_t(image->bytesPerSample);
        for (int d = 0; d < image->dims; ++d) {
            stride[image->axes[d]] = step;
            step *= int64_t(image->size[d]);
        }
        const FileIo::File& data =
            image->dataFile.Data.IsOpen() ? image->dataFile.Data : image->dataFile.Header;
        std::string error;
        auto file = MappedFile::Map(data.Descriptor(), data.Size(), error);
        if (!file) {
            message = error;
            return ByteVolume::LoadFailed;
        }
        MappedPlaneSource::Geometry geometry;
        geometry.Offset = image->dataOffset;
        geometry.StrideY = stride[AxisY];
        geometry.StrideZ = stride[AxisZ];
        geometry.StrideC = stride[AxisChannel];
        geometry.StrideT = stride[AxisTime];
        geometry.Swap = image->order == IcsImage::Order::Swapped;
        source = std::make_unique<MappedPlaneSource>(std::move(file), layout, geometry);
        return ByteVolume::LoadOk;
    }
    const bool inOrder = std::is_sorted(image->axes, image->axes + image->dims);
    if (image->compressed && inOrder) {
        source = std::make_unique<IcsStreamSource>(std::move(image));
        return ByteVolume::LoadOk;
    }
    if (!FitsInMemory(layout.VolumeBytes() * layout.VolumeCount())) {
        message = std::string("the image is larger than memory and its samples are not stored ") +
                  (image->compressed ? "plane by plane" : "in rows along x") +
                  ", so it cannot be read a plane at a time";
        return ByteVolume::LoadFailed;
    }
    VolumeStack stack;
    bool tooLarge = false;
    const int32_t code = ReadIcsData(*image, stack, message, nullptr, tooLarge);
    if (code != ByteVolume::LoadOk && code != ByteVolume::LoadCloseFailed) return code;
    source = std::make_unique<StackPlaneSource>(std::move(stack), message);
    return code;
}

/** A source for the raw volume file the probe opened: its voxels, mapped. */
int32_t OpenRawSource(FileIo::OpenedFile& opened, std::unique_ptr<PlaneSource>& source,
                      std::string& message)
{
    RawLayout raw;
    bool tooLarge = false;
    if (!ReadRawHeader(opened, raw, message, false, tooLarge)) return ByteVolume::LoadFailed;
    const FileIo::File& file = opened.Handle;
    const int64_t held = std::max<int64_t>(file.Size() - int64_t(RawHeaderBytes), 0);
    // A header asking for more voxels than the file holds is trusted only as far as
    // memory would have held them: the rest would be zeros made up from nothing.
    if (held < raw.Count && raw.Count > ByteVolume::MaxVoxelCount()) {
        message = "the raw volume header asks for " + SizesText(raw.X, raw.Y, raw.Z) +
                  " voxels, more than this machine can hold";
        return ByteVolume::LoadFailed;
    }
    std::string error;
    auto mapped = MappedFile::Map(file.Descriptor(), file.Size(), error);
    if (!mapped) {
        message = error;
        return ByteVolume::LoadFailed;
    }
    StackLayout layout;
    layout.SizeX = raw.X;
    layout.SizeY = raw.Y;
    layout.SizeZ = raw.Z;
    MappedPlaneSource::Geometry geometry;
    geometry.Offset = int64_t(RawHeaderBytes);
    geometry.StrideY = raw.X;
    geometry.StrideZ = int64_t(raw.X) * raw.Y;
    source = std::make_unique<MappedPlaneSource>(
        std::move(mapped), layout, geometry,
        RawDataWarning(file, raw, size_t(std::min(held, raw.Count))));
    return ByteVolume::LoadOk;
}

} // namespace

namespace {

/**
 * True, with the reason in `read`, when the probed file is no volume: unreadable, a
 * picture, or a name that promises ICS over something else.
 */
bool Refused(VolumeFileProbe& probe, const std::string& fileName, VolumeReadResult& read)
{
    switch (probe.Type) {
    case VolumeFileType::Unreadable:
        read.Message = probe.Reason;
        return true;
    case VolumeFileType::Picture:
        read.Message = "a picture file, not a volume";
        return true;
    case VolumeFileType::Other:
        // A name that promises ICS but holds something else is refused, not misread.
        if (!ByteVolume::IsIcsFileName(fileName)) return false;
        if (CheckIcsHeader(std::move(probe.File), read.Message))
            read.Message = "the file is not an ICS header";
        return true;
    default:
        return false;
    }
}

} // namespace

VolumeReadResult ReadStack(const std::string& fileName, VolumeStack& stack,
                           const StackReadOptions* options)
{
    // The content decides how a file is read, before any raw header is trusted.
    VolumeReadResult read;
    VolumeFileProbe probe = ProbeVolumeFile(fileName);
    if (Refused(probe, fileName, read)) return read;
    switch (probe.Type) {
    case VolumeFileType::Ics:
        read.Code = LoadIcs(probe.File, probe.IdsFile, stack, read.Message, options, read.TooLarge);
        break;
    case VolumeFileType::Tiff:
        read.Code = ReadTiffStack(probe.File, stack, read.Message, options, &read.TooLarge);
        break;
    case VolumeFileType::Other:
        read.Code = LoadRaw(probe.File, stack, read.Message, options, read.TooLarge);
        break;
    default:
        break;
    }
    return read;
}

namespace {

std::string OmittedVolumesText(const StackLayout& layout)
{
    std::string text;
    if (layout.Channels > 1) text = "channel 1 of " + std::to_string(layout.Channels);
    if (layout.Frames > 1) {
        if (!text.empty()) text += ", ";
        text += "time point 1 of " + std::to_string(layout.Frames);
    }
    return text.empty() ? text : "loaded " + text;
}

} // namespace

std::string LoadWarning(const std::string& reduced, const StackLayout& layout,
                        const std::string& reader)
{
    std::string message;
    for (const std::string& part : {reduced, OmittedVolumesText(layout), reader})
        if (!part.empty()) message += (message.empty() ? "" : "; ") + part;
    return message;
}

VolumeReadResult ReadVolume(const std::string& fileName, ByteVolume& volume,
                            const VolumeLoadOptions* options)
{
    VolumeStack stack;
    StackReadOptions stackOptions;
    if (options) stackOptions.Progress = options->Progress;
    VolumeReadResult read = ReadStack(fileName, stack, options ? &stackOptions : nullptr);
    if (read.TooLarge)
        read.Message += "; the inspector (volinspect --inspect FILE) shows volumes larger than "
                        "memory, and --figures computes their figures";
    if (!read.Loaded()) return read;

    // The volume, its samples and its spacing are made apart and moved in together.
    const StackLayout& layout = stack.Layout();
    ByteVolume fresh;
    VolumeSamples samples;
    std::string reduced;
    try {
        if (options && options->Samples) MakeDisplaySamples(stack, 0, 0, samples);
        if (!TakeByteVolume(stack, 0, 0, fresh, reduced)) {
            read.Code = ByteVolume::LoadFailed;
            read.Message = reduced;
            return read;
        }
    } catch (const std::bad_alloc&) {
        read.Code = ByteVolume::LoadFailed;
        read.Message = "not enough memory for " +
                       SizesText(layout.SizeX, layout.SizeY, layout.SizeZ) + " voxels";
        return read;
    }
    // The reduction's warning comes first, then what the file left out, then the
    // reader's own (a short raw data section, a failed close).
    read.Message = LoadWarning(reduced, layout, read.Message);
    volume = std::move(fresh);
    if (options && options->Samples) *options->Samples = std::move(samples);
    if (options && options->Spacing) *options->Spacing = layout.Spacing;
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

VolumeReadResult OpenStackSource(const std::string& fileName, std::unique_ptr<PlaneSource>& source)
{
    VolumeReadResult read;
    std::unique_ptr<PlaneSource> opened;
    VolumeFileProbe probe = ProbeVolumeFile(fileName);
    if (Refused(probe, fileName, read)) return read;
    switch (probe.Type) {
    case VolumeFileType::Ics:
        read.Code = OpenIcsSource(probe.File, probe.IdsFile, opened, read.Message);
        break;
    case VolumeFileType::Tiff:
        read.Code = OpenTiffSource(probe.File, opened, read.Message);
        break;
    case VolumeFileType::Other:
        read.Code = OpenRawSource(probe.File, opened, read.Message);
        break;
    default:
        break;
    }
    if (!read.Loaded()) return read;
    if (read.Message.empty()) read.Message = opened->Warning();
    source = std::move(opened);
    return read;
}
