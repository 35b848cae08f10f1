#include "StackBytes.h"

#include "imgkernel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

template <class Sample> Sample SampleAt(const uint8_t* samples, size_t j)
{
    Sample value;
    std::memcpy(&value, samples + j * sizeof(Sample), sizeof(Sample));
    return value;
}

/** Samples are reduced in blocks, so that the flat-reduction watch reads them while warm. */
constexpr size_t BlockSamples = size_t(1) << 20;

/**
 * Floating-point samples become voxels by a linear map of their finite range onto
 * 0 … 255, truncated: v = (s − min) / (max − min) · 255, so that min gives 0 and max
 * 255. NaN and −∞ give 0, +∞ gives 255; a constant image gives 0 everywhere.
 */
class FloatRange
{
public:
    template <class Sample> void Add(const uint8_t* samples, size_t count)
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

    bool AnyFinite() const { return finite_ > 0; }

    template <class Sample> void Map(const uint8_t* samples, size_t count, uint8_t* voxels) const
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

    std::string Description(int bits) const
    {
        char text[256];
        if (min_ == max_)
            std::snprintf(text, sizeof text, "every finite sample equals %.9g; all voxels are 0",
                          min_);
        else
            std::snprintf(text, sizeof text,
                          "%d-bit floating-point samples from %.9g to %.9g were mapped linearly "
                          "onto 0 to 255",
                          bits, min_, max_);
        std::string description = text;
        if (const uint64_t other = total_ - finite_; other > 0)
            description += "; " + std::to_string(other) + " sample" + (other == 1 ? "" : "s") +
                           " that are not finite numbers became 0 (NaN, -inf) or 255 (+inf)";
        return description;
    }

private:
    double min_ = 0;
    double max_ = 0;
    uint64_t finite_ = 0;
    uint64_t total_ = 0;
};

/** 16-bit samples: their top eight significant bits, clamped to 255. */
void ReduceSixteen(const uint8_t* samples, size_t count, int significantBits, uint8_t* voxels)
{
    const unsigned shift = unsigned(std::clamp(significantBits, 8, 16) - 8);
    for (size_t j = 0; j < count; ++j)
        voxels[j] = uint8_t(std::min<uint32_t>(SampleAt<uint16_t>(samples, j) >> shift, 255));
}

/** Samples of 32 or 64 bits: bits 24 to 29, times 4. */
void ReduceWide(const uint8_t* samples, size_t count, size_t bytes, uint8_t* voxels)
{
    for (size_t j = 0; j < count; ++j)
        voxels[j] = uint8_t((samples[j * bytes + 3] & 0x3F) << 2);
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
    FlatReduction(SampleKind kind, int significantBits)
        : kind_(kind), signed_(IsSignedKind(kind)),
          bits_(SampleKindBytes(kind) == 2 ? significantBits : SampleKindBytes(kind) * 8),
          flat_(SampleKindBytes(kind) > 1 && !IsFloatKind(kind))
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
        switch (kind_) {
        case SampleKind::UInt16:
            Range<uint16_t>(samples, count);
            break;
        case SampleKind::Int16:
            Range<int16_t>(samples, count);
            break;
        case SampleKind::UInt32:
            Range<uint32_t>(samples, count);
            break;
        case SampleKind::Int32:
            Range<int32_t>(samples, count);
            break;
        case SampleKind::UInt64:
            Range<uint64_t>(samples, count);
            break;
        default:
            Range<int64_t>(samples, count);
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
        if constexpr (std::is_signed_v<Sample>) {
            low_ = seen_ ? std::min<int64_t>(low_, low) : low;
            high_ = seen_ ? std::max<int64_t>(high_, high) : high;
        } else {
            ulow_ = seen_ ? std::min<uint64_t>(ulow_, low) : low;
            uhigh_ = seen_ ? std::max<uint64_t>(uhigh_, high) : high;
        }
    }

    SampleKind kind_;
    bool signed_;
    int bits_;  ///< the width the samples are named by
    bool flat_; ///< every voxel so far equals voxel_
    bool seen_ = false;
    uint8_t voxel_ = 0;
    int64_t low_ = 0, high_ = 0;    ///< the range of signed samples
    uint64_t ulow_ = 0, uhigh_ = 0; ///< the range of unsigned samples
};

void AllocateLike(const StackLayout& layout, ByteVolume& volume)
{
    volume.Allocate(layout.SizeX, layout.SizeY, layout.SizeZ);
}

} // namespace

bool MakeByteVolume(const VolumeStack& stack, int c, int t, ByteVolume& volume,
                    std::string& message)
{
    const StackLayout& layout = stack.Layout();
    const SampleKind kind = layout.Kind;
    const size_t count = size_t(layout.VoxelCount());
    const size_t bytes = size_t(SampleKindBytes(kind));
    const uint8_t* samples = count ? stack.Samples(c, t) : nullptr;
    ByteVolume fresh;
    AllocateLike(layout, fresh);
    message.clear();

    if (count == 0) {
        // Nothing to reduce: a volume with an empty axis.
    } else if (bytes == 1) {
        std::memcpy(fresh.Data, samples, count);
    } else if (IsFloatKind(kind)) {
        FloatRange range;
        if (kind == SampleKind::Float32)
            range.Add<float>(samples, count);
        else
            range.Add<double>(samples, count);
        if (!range.AnyFinite()) {
            message = "the image holds no finite sample (all are NaN or infinite)";
            return false;
        }
        if (kind == SampleKind::Float32)
            range.Map<float>(samples, count, fresh.Data);
        else
            range.Map<double>(samples, count, fresh.Data);
        message = range.Description(int(bytes) * 8);
    } else {
        FlatReduction flat(kind, layout.SignificantBits);
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(count - done, BlockSamples);
            const uint8_t* block = samples + done * bytes;
            if (bytes == 2)
                ReduceSixteen(block, n, layout.SignificantBits, fresh.Data + done);
            else
                ReduceWide(block, n, bytes, fresh.Data + done);
            flat.Add(block, n, fresh.Data + done);
            done += n;
        }
        message = flat.Warning();
    }
    volume = std::move(fresh);
    return true;
}

bool TakeByteVolume(VolumeStack& stack, int c, int t, ByteVolume& volume, std::string& message)
{
    const StackLayout& layout = stack.Layout();
    if (SampleKindBytes(layout.Kind) != 1 || !stack.HasSamples(c, t))
        return MakeByteVolume(stack, c, t, volume, message);
    // One-byte samples are the voxels: the buffer changes hands. The strides are those
    // Allocate gives.
    ByteVolume taken;
    taken.Data = stack.ReleaseSamples(c, t);
    taken.SizeX = layout.SizeX;
    taken.SizeY = layout.SizeY;
    taken.SizeZ = layout.SizeZ;
    taken.StrideX = 1;
    taken.StrideY = layout.SizeX;
    taken.StrideZ = int64_t(layout.SizeX) * layout.SizeY;
    volume = std::move(taken);
    message.clear();
    return true;
}

namespace {

template <class From, class To> void Convert(const uint8_t* in, size_t count, uint8_t* out)
{
    for (size_t j = 0; j < count; ++j) {
        const To value = To(SampleAt<From>(in, j));
        std::memcpy(out + j * sizeof(To), &value, sizeof(To));
    }
}

} // namespace

int16_t StackDisplayKind(const VolumeStack& stack, int c, int t)
{
    switch (stack.Layout().Kind) {
    case SampleKind::UInt8:
    case SampleKind::Int8:
        return 0;
    case SampleKind::UInt16:
        return ImageKind16;
    case SampleKind::Int16:
    case SampleKind::Int32:
        return ImageKind32;
    case SampleKind::UInt32: {
        // The top bits of every sample ORed: one set bit 31 makes the volume float.
        const uint8_t* samples = stack.Samples(c, t);
        const size_t count = size_t(stack.Layout().VoxelCount());
        uint32_t bits = 0;
        for (size_t j = 0; j < count; ++j) {
            uint32_t value;
            std::memcpy(&value, samples + j * sizeof value, sizeof value);
            bits |= value;
        }
        return (bits & 0x80000000u) ? ImageKindFloat : ImageKind32;
    }
    default:
        return ImageKindFloat;
    }
}

bool IsStoredAsDisplayKind(SampleKind kind, int16_t displayKind)
{
    switch (kind) {
    case SampleKind::UInt16:
        return displayKind == ImageKind16;
    case SampleKind::Int32:
    case SampleKind::UInt32:
        return displayKind == ImageKind32;
    case SampleKind::Float32:
        return displayKind == ImageKindFloat;
    default:
        return false;
    }
}

void MakeDisplaySamples(const VolumeStack& stack, int c, int t, VolumeSamples& samples, bool view)
{
    const StackLayout& layout = stack.Layout();
    const SampleKind kind = layout.Kind;
    VolumeSamples made;
    made.SizeX = layout.SizeX;
    made.SizeY = layout.SizeY;
    made.SizeZ = layout.SizeZ;
    const size_t count = size_t(layout.VoxelCount());
    const uint8_t* in = count ? stack.Samples(c, t) : nullptr;

    made.Kind = StackDisplayKind(stack, c, t);
    if (made.Kind == 0) {
        samples.Clear();
        return;
    }
    const bool same = IsStoredAsDisplayKind(kind, made.Kind);
    if (same && view) {
        made.View = in;
        samples = std::move(made);
        return;
    }
    made.Bytes.resize(count * size_t(made.ElementBytes()));
    uint8_t* out = made.Bytes.data();
    if (same) {
        if (count) std::memcpy(out, in, made.Bytes.size());
    } else if (made.Kind == ImageKind32) {
        Convert<int16_t, int32_t>(in, count, out);
    } else {
        switch (kind) {
        case SampleKind::UInt32:
            Convert<uint32_t, float>(in, count, out);
            break;
        case SampleKind::UInt64:
            Convert<uint64_t, float>(in, count, out);
            break;
        case SampleKind::Int64:
            Convert<int64_t, float>(in, count, out);
            break;
        case SampleKind::Float64:
            Convert<double, float>(in, count, out);
            break;
        default:
            break;
        }
    }
    samples = std::move(made);
}
