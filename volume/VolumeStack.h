#pragma once

#include "ByteVolume.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

/** The kind of a file's samples, kept as the file stores them. */
enum class SampleKind : uint8_t
{
    UInt8,
    Int8,
    UInt16,
    Int16,
    UInt32,
    Int32,
    UInt64,
    Int64,
    Float32,
    Float64
};

/**
 * The sample of `kind` stored at `at` (host byte order, any alignment) as a double: exact
 * for every kind but 64-bit integers beyond 2^53.
 */
inline double SampleValue(const uint8_t* at, SampleKind kind)
{
    const auto load = [at](auto value) {
        std::memcpy(&value, at, sizeof value);
        return double(value);
    };
    switch (kind) {
    case SampleKind::UInt8:
        return *at;
    case SampleKind::Int8:
        return load(int8_t{});
    case SampleKind::UInt16:
        return load(uint16_t{});
    case SampleKind::Int16:
        return load(int16_t{});
    case SampleKind::UInt32:
        return load(uint32_t{});
    case SampleKind::Int32:
        return load(int32_t{});
    case SampleKind::UInt64:
        return load(uint64_t{});
    case SampleKind::Int64:
        return load(int64_t{});
    case SampleKind::Float32:
        return load(float{});
    case SampleKind::Float64:
        break;
    }
    return load(double{});
}

/** Bytes per sample of `kind`: 1, 2, 4 or 8. */
int SampleKindBytes(SampleKind kind);
/** True for Float32 and Float64. */
bool IsFloatKind(SampleKind kind);
/** True for the signed integer kinds. */
bool IsSignedKind(SampleKind kind);
/** The kind's name for people: "8-bit unsigned", "16-bit signed", "32-bit float", … */
std::string SampleKindName(SampleKind kind);

/** A channel as the file describes it. */
struct ChannelInfo
{
    std::string Name;    ///< as the file names it; empty when it does not
    uint32_t Colour = 0; ///< 0xRRGGBB, when HasColour
    bool HasColour = false;
};

/**
 * What a file holds: X·Y·Z voxels for each of Channels channels at each of Frames time
 * points, every sample of one kind. No Qt.
 */
struct StackLayout
{
    int32_t SizeX = 0;
    int32_t SizeY = 0;
    int32_t SizeZ = 0;
    int32_t Channels = 1;
    int32_t Frames = 1; ///< time points
    SampleKind Kind = SampleKind::UInt8;
    /**
     * The bits of an integer sample that hold its value, from bit 0: the ICS header's
     * significant bits, a TIFF's bits per sample. The 8-bit voxels of 16-bit samples
     * are their top eight significant bits.
     */
    int SignificantBits = 8;
    VoxelSpacing Spacing;
    /** One entry per channel (names and colours); may be shorter, names then empty. */
    std::vector<ChannelInfo> ChannelInfos;

    /** SizeX·SizeY·SizeZ: the voxels of one channel at one time point. */
    int64_t VoxelCount() const { return int64_t(SizeX) * SizeY * SizeZ; }
    /** Channels·Frames: the volumes the file holds. */
    int64_t VolumeCount() const { return int64_t(Channels) * Frames; }
    /** Bytes of one volume's samples. */
    int64_t VolumeBytes() const { return VoxelCount() * SampleKindBytes(Kind); }
    /** The name of channel `c`: the file's, else empty. */
    std::string ChannelName(int c) const;
};

/**
 * Every sample of a file, in the file's own kind, one buffer per channel and time point:
 * the volume store of the program. No Qt.
 *
 * Volume (c, t) holds sample (x, y, z) at element x + y·SizeX + z·SizeX·SizeY of
 * Samples(c, t), in the host's byte order. Readers fill it plane by plane or row by row
 * through Plane and Row, never through one pointer to the whole stack, so that a store
 * backed otherwise (a file mapping) can stand behind the same calls. The planes of one
 * volume follow each other (Plane(c, t, z + 1) is Plane(c, t, z) + PlaneBytes()), so a
 * reader may write a run that goes on over several planes of one volume. The 8-bit voxels
 * that the figure and the classic window work on are made from one volume by
 * MakeByteVolume (StackBytes.h).
 *
 * Access does no bounds checking.
 */
class VolumeStack
{
public:
    VolumeStack() = default;
    VolumeStack(VolumeStack&&) noexcept = default;
    VolumeStack& operator=(VolumeStack&&) noexcept = default;

    /**
     * Takes `layout` and makes room for all its samples, all 0. Throws std::bad_alloc
     * (the stack is then empty) when the sizes are negative, overflow, exceed the
     * machine's memory together (MachineMemory), or cannot be allocated. Whether a file's
     * volume should be loaded at all is the readers' to decide (FitsInMemory).
     */
    void Allocate(const StackLayout& layout);
    /** Drops every sample and the layout. */
    void Clear();

    const StackLayout& Layout() const { return layout_; }
    /** The layout's spacing and channel descriptions, which readers may set after Allocate. */
    VoxelSpacing& Spacing() { return layout_.Spacing; }
    std::vector<ChannelInfo>& ChannelInfos() { return layout_.ChannelInfos; }
    /** True when no volume holds a sample. */
    bool Empty() const { return volumes_.empty() || layout_.VoxelCount() == 0; }

    /** The SizeY rows of plane z of channel c at time point t, one after another. */
    uint8_t* Plane(int c, int t, int64_t z) { return Samples(c, t) + z * PlaneBytes(); }
    const uint8_t* Plane(int c, int t, int64_t z) const { return Samples(c, t) + z * PlaneBytes(); }
    /** Row y of plane z of channel c at time point t: SizeX samples. */
    uint8_t* Row(int c, int t, int64_t z, int64_t y) { return Plane(c, t, z) + y * RowBytes(); }
    const uint8_t* Row(int c, int t, int64_t z, int64_t y) const
    {
        return Plane(c, t, z) + y * RowBytes();
    }
    /** All samples of channel c at time point t, in storage order. */
    uint8_t* Samples(int c, int t) { return volumes_[Index(c, t)].get(); }
    const uint8_t* Samples(int c, int t) const { return volumes_[Index(c, t)].get(); }

    int64_t RowBytes() const { return int64_t(layout_.SizeX) * SampleKindBytes(layout_.Kind); }
    int64_t PlaneBytes() const { return RowBytes() * layout_.SizeY; }

    /** Sample (x, y, z) of channel c at time point t as a double (exact up to 2^53). */
    double Value(int c, int t, int64_t x, int64_t y, int64_t z) const;
    /** Element `index` of volume (c, t) as a double. */
    double ValueAt(int c, int t, int64_t index) const;

    /**
     * Hands over the buffer of volume (c, t), allocated by std::calloc, for the caller
     * to free with std::free; the stack no longer holds that volume's samples.
     */
    uint8_t* ReleaseSamples(int c, int t) { return volumes_[Index(c, t)].release(); }
    /** True while volume (c, t) holds its samples (not released). */
    bool HasSamples(int c, int t) const { return volumes_[Index(c, t)] != nullptr; }

private:
    struct Free
    {
        void operator()(uint8_t* p) const;
    };
    size_t Index(int c, int t) const { return size_t(t) * size_t(layout_.Channels) + size_t(c); }

    StackLayout layout_;
    std::vector<std::unique_ptr<uint8_t[], Free>> volumes_;
};
