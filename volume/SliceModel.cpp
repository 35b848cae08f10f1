#include "SliceModel.h"

#include "SideSlice.h"
#include "StackBytes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

/**
 * Makes `record` a fresh reference to rows of `width` elements of `type`, `lineStep`
 * bytes apart from `data` on (the step fits: the callers check it), with a new
 * Generation. The record owns nothing.
 */
void Refer(ImageStruct& record, int width, int height, int64_t lineStep, int16_t type,
           const uint8_t* data)
{
    record = ImageStruct();
    record.XSize = width;
    record.YSize = height;
    record.LineStep = int32_t(lineStep);
    record.Type = type;
    record.Data = const_cast<uint8_t*>(data);
    TouchImage(&record);
}

} // namespace

SliceModel::SliceModel(const ByteVolume* volume)
{
    SetVolume(volume);
}

bool SliceModel::HasVoxels() const
{
    return volume_ && volume_->Data && volume_->SizeX > 0 && volume_->SizeY > 0 &&
           volume_->SizeZ > 0;
}

void SliceModel::SetVolume(const ByteVolume* volume)
{
    LeaveStack();
    volume_ = volume;
    if (!HasVoxels() || !SampleSizesMatch(samples_)) samples_ = nullptr;
    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
        position_[Index(plane)] = std::max(Positions(plane) - 1, 0) / 2;
        Invalidate(plane);
    }
}

std::array<int32_t, 3> SliceModel::Sizes() const
{
    if (HasVoxels()) return {volume_->SizeX, volume_->SizeY, volume_->SizeZ};
    if (samples_ && !samples_->Empty()) return {samples_->SizeX, samples_->SizeY, samples_->SizeZ};
    if (Converts()) {
        const StackLayout& layout = stack_->Layout();
        return {layout.SizeX, layout.SizeY, layout.SizeZ};
    }
    return {0, 0, 0};
}

void SliceModel::Reframe(const std::array<int32_t, 3>& before)
{
    const bool same = Sizes() == before;
    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
        if (!same) position_[Index(plane)] = std::max(Positions(plane) - 1, 0) / 2;
        Invalidate(plane);
    }
}

void SliceModel::LeaveStack()
{
    if (!stack_) return;
    if (volume_ == &stackVoxels_.Volume()) volume_ = nullptr;
    if (samples_ == &stackView_) samples_ = nullptr;
    stackVoxels_.Clear();
    stackView_.Clear();
    convertKind_ = 0;
    stack_ = nullptr;
}

void SliceModel::SetStackVolume(const VolumeStack* stack, int c, int t)
{
    const std::array<int32_t, 3> before = Sizes();
    LeaveStack();
    volume_ = nullptr;
    samples_ = nullptr;
    if (stack && !stack->Empty()) {
        stack_ = stack;
        stackChannel_ = c;
        stackTime_ = t;
        const SampleKind kind = stack->Layout().Kind;
        const int16_t display = StackDisplayKind(*stack, c, t);
        if (SampleKindBytes(kind) == 1) {
            stackVoxels_.Refer(*stack, c, t);
            volume_ = &stackVoxels_.Volume();
        } else if (IsStoredAsDisplayKind(kind, display)) {
            MakeDisplaySamples(*stack, c, t, stackView_, true);
            samples_ = &stackView_;
        } else {
            convertKind_ = display;
        }
    }
    Reframe(before);
}

int16_t SliceModel::DisplayKind() const
{
    if (HasSamples()) return samples_->Kind;
    if (Converts()) return convertKind_;
    return HasVoxels() ? int16_t(ImageKind8) : int16_t(0);
}

void SliceModel::VolumeChanged()
{
    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side})
        Invalidate(plane);
}

int SliceModel::Positions(SlicePlane plane) const
{
    const std::array<int32_t, 3> sizes = Sizes();
    switch (plane) {
    case SlicePlane::Top:
        return sizes[2];
    case SlicePlane::Front:
        return sizes[1];
    default:
        return sizes[0];
    }
}

int SliceModel::SetPosition(SlicePlane plane, int position)
{
    const int clamped = std::clamp(position, 0, std::max(Positions(plane) - 1, 0));
    if (clamped != position_[Index(plane)]) {
        position_[Index(plane)] = clamped;
        Invalidate(plane);
    }
    return clamped;
}

int SliceModel::SliceWidth(SlicePlane plane) const
{
    const std::array<int32_t, 3> sizes = Sizes();
    return plane == SlicePlane::Side ? sizes[2] : sizes[0];
}

int SliceModel::SliceHeight(SlicePlane plane) const
{
    const std::array<int32_t, 3> sizes = Sizes();
    return plane == SlicePlane::Front ? sizes[2] : sizes[1];
}

std::array<int, 3> SliceVoxel(SlicePlane plane, int position, int u, int v)
{
    switch (plane) {
    case SlicePlane::Top:
        return {u, v, position};
    case SlicePlane::Front:
        return {u, position, v};
    default:
        return {position, v, u};
    }
}

std::array<int, 3> SliceModel::VoxelAt(SlicePlane plane, int u, int v) const
{
    return SliceVoxel(plane, Position(plane), u, v);
}

bool SliceModel::IsReference(SlicePlane plane) const
{
    if (!HasVoxels() || plane == SlicePlane::Side || volume_->StrideX != 1) return false;
    const int64_t step = plane == SlicePlane::Top ? volume_->StrideY : volume_->StrideZ;
    return step > 0 && step <= INT32_MAX;
}

const ImageStruct* SliceModel::Slice(SlicePlane plane)
{
    if (!HasVoxels()) return nullptr;
    const int i = Index(plane);
    const int width = SliceWidth(plane), height = SliceHeight(plane);
    if (IsReference(plane)) {
        ImageStruct& record = reference_[i];
        if (!current_[i]) {
            const bool top = plane == SlicePlane::Top;
            // Drawable as they stand by a display that takes top-down rows at any address
            // (the image control's options for a mirrored and an unaligned layout); every
            // other display converts them.
            Refer(record, width, height, top ? volume_->StrideY : volume_->StrideZ,
                  ImageKind8 | ImageAttributeDirect8,
                  top ? volume_->VoxelPtr(0, 0, Position(plane))
                      : volume_->VoxelPtr(0, Position(plane), 0));
            current_[i] = true;
        }
        return &record;
    }
    ImagePtr& copy = copy_[i];
    if (!current_[i] || !copy) {
        if (!copy || copy->XSize != width || copy->YSize != height)
            copy.reset(NewImage8(width, height));
        if (!copy) return nullptr;
        if (plane == SlicePlane::Side &&
            CopySideSlice(*volume_, Position(plane), copy->Data, copy->LineStep)) {
            TouchImage(copy.get());
            current_[i] = true;
            return copy.get();
        }
        for (int v = 0; v < height; ++v) {
            uint8_t* row = copy->Data + int64_t(v) * copy->LineStep;
            for (int u = 0; u < width; ++u) {
                const auto [x, y, z] = VoxelAt(plane, u, v);
                row[u] = volume_->Voxel(x, y, z);
            }
        }
        TouchImage(copy.get());
        current_[i] = true;
    }
    return copy.get();
}

bool SliceModel::SampleSizesMatch(const VolumeSamples* samples) const
{
    if (!samples || samples->Empty()) return false;
    return !HasVoxels() || (samples->SizeX == volume_->SizeX && samples->SizeY == volume_->SizeY &&
                            samples->SizeZ == volume_->SizeZ);
}

bool SliceModel::SetSamples(const VolumeSamples* samples)
{
    const std::array<int32_t, 3> before = Sizes();
    LeaveStack();
    samples_ = SampleSizesMatch(samples) ? samples : nullptr;
    for (bool& current : sampleCurrent_)
        current = false;
    if (!HasVoxels()) Reframe(before);
    return samples_ != nullptr;
}

bool SliceModel::HasSamples() const
{
    return SampleSizesMatch(samples_);
}

bool SliceModel::IsSampleReference(SlicePlane plane) const
{
    if (!HasSamples() || plane == SlicePlane::Side) return false;
    const int64_t row = int64_t(samples_->SizeX) * samples_->ElementBytes();
    const int64_t step = plane == SlicePlane::Top ? row : row * samples_->SizeY;
    return step <= INT32_MAX;
}

ImageStruct* NewSliceImage(int16_t kind, int32_t width, int32_t height)
{
    switch (kind) {
    case ImageKind8:
        return NewImage8(width, height);
    case ImageKind16:
        return NewImage16(width, height);
    case ImageKind32:
        return NewImage32(width, height);
    case ImageKindFloat:
        return NewImageFloat(width, height);
    default:
        return nullptr;
    }
}

namespace {

/**
 * Calls fn(From{}, To{}) with the stored type of `kind` and the element type of the
 * display kind its samples are converted to: signed 16-bit to 32-bit integers, unsigned
 * 32-bit (beyond the signed range), 64-bit integers and doubles to floats.
 */
template <class Fn> void WithConversion(SampleKind kind, Fn&& fn)
{
    switch (kind) {
    case SampleKind::Int16:
        return fn(int16_t{}, int32_t{});
    case SampleKind::UInt32:
        return fn(uint32_t{}, float{});
    case SampleKind::UInt64:
        return fn(uint64_t{}, float{});
    case SampleKind::Int64:
        return fn(int64_t{}, float{});
    case SampleKind::Float64:
        return fn(double{}, float{});
    default:
        return;
    }
}

/**
 * Writes `out`'s pixels (u, v) from the samples at element base + u·du + v·dv, each
 * converted from From to To as MakeDisplaySamples converts them.
 */
template <class From, class To>
void ConvertSlice(const uint8_t* samples, int64_t base, int64_t du, int64_t dv, ImageStruct& out)
{
    for (int v = 0; v < out.YSize; ++v) {
        uint8_t* row = out.Data + int64_t(v) * out.LineStep;
        const uint8_t* in = samples + (base + v * dv) * int64_t(sizeof(From));
        for (int u = 0; u < out.XSize; ++u) {
            From value;
            std::memcpy(&value, in + u * du * int64_t(sizeof(From)), sizeof value);
            const To shown = To(value);
            std::memcpy(row + u * sizeof(To), &shown, sizeof shown);
        }
    }
}

/** Copies the Z–Y slice at `x` of samples of `Element`: row y, column z is sample (x, y, z). */
template <class Element>
void CopySideSamples(const VolumeSamples& samples, int x, uint8_t* out, int32_t lineStep)
{
    const int64_t planeStep = int64_t(samples.SizeX) * samples.SizeY;
    const uint8_t* column = samples.Data() + int64_t(x) * sizeof(Element);
    for (int y = 0; y < samples.SizeY; ++y) {
        uint8_t* row = out + int64_t(y) * lineStep;
        const uint8_t* in = column + int64_t(y) * samples.SizeX * sizeof(Element);
        for (int z = 0; z < samples.SizeZ; ++z)
            std::memcpy(row + z * sizeof(Element), in + z * planeStep * sizeof(Element),
                        sizeof(Element));
    }
}

} // namespace

const ImageStruct* SliceModel::ConvertedSlice(SlicePlane plane)
{
    const int i = Index(plane);
    ImagePtr& copy = sampleCopy_[i];
    if (sampleCurrent_[i] && copy) return copy.get();
    const int width = SliceWidth(plane), height = SliceHeight(plane);
    if (!copy || ImageKind(copy.get()) != convertKind_ || copy->XSize != width ||
        copy->YSize != height)
        copy.reset(NewSliceImage(convertKind_, width, height));
    if (!copy) return nullptr;
    // Pixel (u, v) is element base + u·du + v·dv of the volume's samples.
    const int64_t sx = stack_->Layout().SizeX, planeStep = sx * stack_->Layout().SizeY;
    const int64_t position = Position(plane);
    const int64_t base = plane == SlicePlane::Top     ? position * planeStep
                         : plane == SlicePlane::Front ? position * sx
                                                      : position;
    const int64_t du = plane == SlicePlane::Side ? planeStep : 1;
    const int64_t dv = plane == SlicePlane::Front ? planeStep : sx;
    const uint8_t* samples = stack_->Samples(stackChannel_, stackTime_);
    WithConversion(stack_->Layout().Kind, [&](auto from, auto to) {
        ConvertSlice<decltype(from), decltype(to)>(samples, base, du, dv, *copy);
    });
    TouchImage(copy.get());
    sampleCurrent_[i] = true;
    return copy.get();
}

const ImageStruct* SliceModel::SampleSlice(SlicePlane plane)
{
    if (Converts()) return ConvertedSlice(plane);
    if (!HasSamples()) return Slice(plane);
    const int i = Index(plane);
    const int width = SliceWidth(plane), height = SliceHeight(plane);
    const int elementBytes = samples_->ElementBytes();
    if (IsSampleReference(plane)) {
        ImageStruct& record = sampleReference_[i];
        if (!sampleCurrent_[i]) {
            const bool top = plane == SlicePlane::Top;
            const int64_t row = int64_t(samples_->SizeX) * elementBytes;
            Refer(record, width, height, top ? row : row * samples_->SizeY, samples_->Kind,
                  samples_->Data() + (top ? samples_->Offset(0, 0, Position(plane))
                                          : samples_->Offset(0, Position(plane), 0)));
            sampleCurrent_[i] = true;
        }
        return &record;
    }
    ImagePtr& copy = sampleCopy_[i];
    if (!sampleCurrent_[i] || !copy) {
        if (!copy || ImageKind(copy.get()) != samples_->Kind || copy->XSize != width ||
            copy->YSize != height)
            copy.reset(NewSliceImage(samples_->Kind, width, height));
        if (!copy) return nullptr;
        if (plane == SlicePlane::Side) {
            if (elementBytes == 2)
                CopySideSamples<uint16_t>(*samples_, Position(plane), copy->Data, copy->LineStep);
            else
                CopySideSamples<uint32_t>(*samples_, Position(plane), copy->Data, copy->LineStep);
        } else {
            // A top or front slice whose row step does not fit the record: rows copied.
            const int position = Position(plane);
            for (int v = 0; v < height; ++v) {
                const int64_t offset = plane == SlicePlane::Top ? samples_->Offset(0, v, position)
                                                                : samples_->Offset(0, position, v);
                std::memcpy(copy->Data + int64_t(v) * copy->LineStep, samples_->Data() + offset,
                            size_t(width) * size_t(elementBytes));
            }
        }
        TouchImage(copy.get());
        sampleCurrent_[i] = true;
    }
    return copy.get();
}

double SliceModel::SampleAt(SlicePlane plane, int u, int v) const
{
    if (u < 0 || v < 0 || u >= SliceWidth(plane) || v >= SliceHeight(plane)) return std::nan("");
    const auto [x, y, z] = VoxelAt(plane, u, v);
    if (HasSamples()) return samples_->Value(x, y, z);
    if (Converts()) {
        const StackLayout& layout = stack_->Layout();
        const int64_t index = (int64_t(z) * layout.SizeY + y) * layout.SizeX + x;
        const uint8_t* sample =
            stack_->Samples(stackChannel_, stackTime_) + index * SampleKindBytes(layout.Kind);
        double shown = 0;
        WithConversion(layout.Kind, [&](auto from, auto to) {
            std::memcpy(&from, sample, sizeof from);
            shown = double(decltype(to)(from));
        });
        return shown;
    }
    return HasVoxels() ? volume_->Voxel(x, y, z) : std::nan("");
}
