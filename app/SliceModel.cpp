#include "SliceModel.h"

#include "SliceImages.h"

#include <algorithm>
#include <climits>
#include <cstring>

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
    volume_ = volume;
    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
        position_[Index(plane)] = std::max(Positions(plane) - 1, 0) / 2;
        Invalidate(plane);
    }
}

void SliceModel::VolumeChanged()
{
    for (bool& current : current_)
        current = false;
}

int SliceModel::Positions(SlicePlane plane) const
{
    if (!HasVoxels()) return 0;
    switch (plane) {
    case SlicePlane::Top:
        return volume_->SizeZ;
    case SlicePlane::Front:
        return volume_->SizeY;
    default:
        return volume_->SizeX;
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
    if (!HasVoxels()) return 0;
    return plane == SlicePlane::Side ? volume_->SizeZ : volume_->SizeX;
}

int SliceModel::SliceHeight(SlicePlane plane) const
{
    if (!HasVoxels()) return 0;
    return plane == SlicePlane::Front ? volume_->SizeZ : volume_->SizeY;
}

std::array<int, 3> SliceModel::VoxelAt(SlicePlane plane, int u, int v) const
{
    switch (plane) {
    case SlicePlane::Top:
        return {u, v, Position(plane)};
    case SlicePlane::Front:
        return {u, Position(plane), v};
    default:
        return {Position(plane), v, u};
    }
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
            record = ImageStruct();
            record.XSize = width;
            record.YSize = height;
            record.LineStep = int32_t(top ? volume_->StrideY : volume_->StrideZ);
            // Rows at any address: no claim of the aligned layout drawing devices take as is.
            record.Type = ImageKind8;
            record.Data = const_cast<uint8_t*>(top ? volume_->VoxelPtr(0, 0, Position(plane))
                                                   : volume_->VoxelPtr(0, Position(plane), 0));
            TouchImage(&record);
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
