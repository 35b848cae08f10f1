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

/** The range of the finite floating-point samples among `count`, into `notes`. */
template <class Sample>
void AddFloatRange(const uint8_t* samples, size_t count, ReductionNotes& notes)
{
    for (size_t j = 0; j < count; ++j) {
        const double s = SampleAt<Sample>(samples, j);
        if (!std::isfinite(s)) continue;
        if (notes.Finite == 0 || s < notes.Min) notes.Min = s;
        if (notes.Finite == 0 || s > notes.Max) notes.Max = s;
        ++notes.Finite;
    }
    notes.Total += count;
}

/**
 * Floating-point samples become voxels by a linear map of their finite range onto
 * 0 … 255, truncated: v = (s − min) / (max − min) · 255, so that min gives 0 and max
 * 255. NaN and −∞ give 0, +∞ gives 255; a constant image gives 0 everywhere.
 */
template <class Sample>
void MapFloat(const ReductionNotes& range, const uint8_t* samples, size_t count, uint8_t* voxels)
{
    // Halving both ends keeps the width finite for ranges wider than a double holds.
    const double min = range.Min, max = range.Max;
    const bool halve = !std::isfinite(max - min);
    const double low = halve ? min * 0.5 : min;
    const double width = halve ? max * 0.5 - min * 0.5 : max - min;
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

std::string FloatDescription(const ReductionNotes& range, int bits)
{
    char text[256];
    if (range.Min == range.Max)
        std::snprintf(text, sizeof text, "every finite sample equals %.9g; all voxels are 0",
                      range.Min);
    else
        std::snprintf(text, sizeof text,
                      "%d-bit floating-point samples from %.9g to %.9g were mapped linearly "
                      "onto 0 to 255",
                      bits, range.Min, range.Max);
    std::string description = text;
    if (const uint64_t other = range.Total - range.Finite; other > 0)
        description += "; " + std::to_string(other) + " sample" + (other == 1 ? "" : "s") +
                       " that are not finite numbers became 0 (NaN, -inf) or 255 (+inf)";
    return description;
}

template <unsigned Shift>
void ReduceSixteenBy(const uint8_t* samples, size_t count, uint8_t* voxels)
{
    for (size_t j = 0; j < count; ++j)
        voxels[j] = uint8_t(std::min<uint32_t>(SampleAt<uint16_t>(samples, j) >> Shift, 255));
}

/**
 * 16-bit samples: their top eight significant bits, clamped to 255. The shift is a
 * constant in each loop, which the compiler then turns into vector instructions.
 */
void ReduceSixteen(const uint8_t* samples, size_t count, int significantBits, uint8_t* voxels)
{
    switch (std::clamp(significantBits, 8, 16) - 8) {
    case 0:
        return ReduceSixteenBy<0>(samples, count, voxels);
    case 1:
        return ReduceSixteenBy<1>(samples, count, voxels);
    case 2:
        return ReduceSixteenBy<2>(samples, count, voxels);
    case 3:
        return ReduceSixteenBy<3>(samples, count, voxels);
    case 4:
        return ReduceSixteenBy<4>(samples, count, voxels);
    case 5:
        return ReduceSixteenBy<5>(samples, count, voxels);
    case 6:
        return ReduceSixteenBy<6>(samples, count, voxels);
    case 7:
        return ReduceSixteenBy<7>(samples, count, voxels);
    default:
        return ReduceSixteenBy<8>(samples, count, voxels);
    }
}

/** Samples of 32 or 64 bits: bits 24 to 29, times 4. */
void ReduceWide(const uint8_t* samples, size_t count, size_t bytes, uint8_t* voxels)
{
    for (size_t j = 0; j < count; ++j)
        voxels[j] = uint8_t((samples[j * bytes + 3] & 0x3F) << 2);
}

template <class Sample>
void IntegerRange(const uint8_t* samples, size_t count, ReductionNotes& notes)
{
    Sample low = SampleAt<Sample>(samples, 0), high = low;
    for (size_t j = 1; j < count; ++j) {
        const Sample s = SampleAt<Sample>(samples, j);
        low = std::min(low, s);
        high = std::max(high, s);
    }
    if constexpr (std::is_signed_v<Sample>) {
        notes.Low = notes.Seen ? std::min<int64_t>(notes.Low, low) : low;
        notes.High = notes.Seen ? std::max<int64_t>(notes.High, high) : high;
    } else {
        notes.ULow = notes.Seen ? std::min<uint64_t>(notes.ULow, low) : low;
        notes.UHigh = notes.Seen ? std::max<uint64_t>(notes.UHigh, high) : high;
    }
}

/**
 * Watches the reduction of integer samples wider than a byte for one that loses the
 * whole image: samples that vary, all reduced to the same voxel (16-bit counts below
 * 256, 32-bit counts below 2^24). It stops looking once voxels differ, so ordinary data
 * pay for one pass over a block of voxels; the samples' range is taken only while every
 * voxel so far is the same.
 */
void WatchFlat(SampleKind kind, const uint8_t* samples, size_t count, const uint8_t* voxels,
               ReductionNotes& notes)
{
    if (!notes.Uniform || count == 0) return;
    if (!notes.Seen) notes.Voxel = voxels[0];
    uint8_t differ = 0;
    for (size_t j = 0; j < count; ++j)
        differ |= uint8_t(voxels[j] ^ notes.Voxel);
    if (differ) {
        notes.Uniform = false;
        return;
    }
    switch (kind) {
    case SampleKind::UInt16:
        IntegerRange<uint16_t>(samples, count, notes);
        break;
    case SampleKind::Int16:
        IntegerRange<int16_t>(samples, count, notes);
        break;
    case SampleKind::UInt32:
        IntegerRange<uint32_t>(samples, count, notes);
        break;
    case SampleKind::Int32:
        IntegerRange<int32_t>(samples, count, notes);
        break;
    case SampleKind::UInt64:
        IntegerRange<uint64_t>(samples, count, notes);
        break;
    default:
        IntegerRange<int64_t>(samples, count, notes);
        break;
    }
    notes.Seen = true;
}

} // namespace

void ReductionNotes::Merge(const ReductionNotes& next)
{
    if (next.Finite > 0) {
        Min = Finite ? std::min(Min, next.Min) : next.Min;
        Max = Finite ? std::max(Max, next.Max) : next.Max;
    }
    Finite += next.Finite;
    Total += next.Total;
    if (!next.Seen) {
        Uniform = Uniform && next.Uniform;
        return;
    }
    if (!Seen) {
        if (!Uniform) return; // voxels differed before any was noted
        const uint64_t finite = Finite, total = Total;
        const double min = Min, max = Max;
        *this = next;
        Finite = finite, Total = total, Min = min, Max = max;
        return;
    }
    if (!Uniform || !next.Uniform || next.Voxel != Voxel) {
        Uniform = false;
        return;
    }
    Low = std::min(Low, next.Low), High = std::max(High, next.High);
    ULow = std::min(ULow, next.ULow), UHigh = std::max(UHigh, next.UHigh);
}

ByteReduction::ByteReduction(const StackLayout& layout)
    : kind_(layout.Kind), significantBits_(layout.SignificantBits)
{
}

bool ByteReduction::NeedsRange() const
{
    return IsFloatKind(kind_);
}

void ByteReduction::NoteRange(const uint8_t* samples, size_t count, ReductionNotes& notes) const
{
    if (kind_ == SampleKind::Float32)
        AddFloatRange<float>(samples, count, notes);
    else if (kind_ == SampleKind::Float64)
        AddFloatRange<double>(samples, count, notes);
}

bool ByteReduction::SetRange(const ReductionNotes& range, std::string& message)
{
    range_ = range;
    if (range.Finite > 0) return true;
    message = "the image holds no finite sample (all are NaN or infinite)";
    return false;
}

void ByteReduction::Reduce(const uint8_t* samples, size_t count, uint8_t* voxels,
                           ReductionNotes& notes) const
{
    const size_t bytes = size_t(SampleKindBytes(kind_));
    if (bytes == 1) {
        std::memcpy(voxels, samples, count);
    } else if (kind_ == SampleKind::Float32) {
        MapFloat<float>(range_, samples, count, voxels);
    } else if (kind_ == SampleKind::Float64) {
        MapFloat<double>(range_, samples, count, voxels);
    } else {
        // In blocks, so that the flat-reduction watch reads them while warm.
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(count - done, BlockSamples);
            const uint8_t* block = samples + done * bytes;
            if (bytes == 2)
                ReduceSixteen(block, n, significantBits_, voxels + done);
            else
                ReduceWide(block, n, bytes, voxels + done);
            WatchFlat(kind_, block, n, voxels + done, notes);
            done += n;
        }
    }
}

std::string ByteReduction::Warning(const ReductionNotes& notes) const
{
    const int bytes = SampleKindBytes(kind_);
    if (IsFloatKind(kind_)) return FloatDescription(range_, bytes * 8);
    const bool isSigned = IsSignedKind(kind_);
    if (bytes == 1 || !notes.Uniform || !notes.Seen ||
        (isSigned ? notes.Low == notes.High : notes.ULow == notes.UHigh))
        return {};
    const int bits = bytes == 2 ? significantBits_ : bytes * 8;
    const std::string low = isSigned ? std::to_string(notes.Low) : std::to_string(notes.ULow);
    const std::string high = isSigned ? std::to_string(notes.High) : std::to_string(notes.UHigh);
    return "its " + std::string(isSigned ? "signed " : "") + std::to_string(bits) +
           "-bit samples (" + low + " to " + high + ") all reduce to the same 8-bit voxel (" +
           std::to_string(notes.Voxel) + "); the figure is computed on the 8-bit voxels";
}

bool MakeByteVolume(const VolumeStack& stack, int c, int t, ByteVolume& volume,
                    std::string& message)
{
    const StackLayout& layout = stack.Layout();
    const size_t count = size_t(layout.VoxelCount());
    const uint8_t* samples = count ? stack.Samples(c, t) : nullptr;
    ByteVolume fresh;
    fresh.Allocate(layout.SizeX, layout.SizeY, layout.SizeZ);
    message.clear();
    if (count > 0) {
        ByteReduction reduction(layout);
        ReductionNotes notes;
        if (reduction.NeedsRange()) {
            reduction.NoteRange(samples, count, notes);
            if (!reduction.SetRange(notes, message)) return false;
        }
        reduction.Reduce(samples, count, fresh.Data, notes);
        message = reduction.Warning(notes);
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
