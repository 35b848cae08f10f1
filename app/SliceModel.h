#pragma once

#include "ByteVolume.h"
#include "imgkernel.h"

#include <array>
#include <cstdint>

/** The three orthogonal planes of a volume, as the views show them. */
enum class SlicePlane : int
{
    Top,   ///< X–Y at a z: slice pixel (u, v) is voxel (u, v, z)
    Front, ///< X–Z at a y: slice pixel (u, v) is voxel (u, y, v)
    Side   ///< Z–Y at an x: slice pixel (u, v) is voxel (x, v, u)
};

/**
 * A volume seen through three orthogonal slices: a position per plane, kept within the
 * volume, and each plane's slice at its position as an 8-bit image record for the
 * imaging library. No Qt.
 *
 * The top and front slices refer to the volume's memory through their LineStep, without
 * copying (the front slice only while its row step fits the record, below 2 GiB); their
 * rows need not be 4-byte aligned, so a display draws them with the option for rows at
 * any address. The side slice's voxels are not in rows in memory: it is copied into an
 * image the model owns.
 *
 * The volume is not owned and must outlive the model or be replaced first. After the
 * program writes the volume's voxels it calls VolumeChanged, so that copies are redone
 * and the records' Generation tells drawings to redo theirs.
 */
class SliceModel
{
public:
    explicit SliceModel(const ByteVolume* volume = nullptr);

    /** Shows `volume` (null for none); every position goes to the middle of its axis. */
    void SetVolume(const ByteVolume* volume);
    const ByteVolume* Volume() const { return volume_; }
    /** The volume's voxels changed: slices are taken afresh. */
    void VolumeChanged();

    /** The positions `plane` can take: SizeZ, SizeY or SizeX (0 without voxels). */
    int Positions(SlicePlane plane) const;
    int Position(SlicePlane plane) const { return position_[Index(plane)]; }
    /** Moves `plane` to `position`, clamped to 0 … Positions − 1; returns the position taken. */
    int SetPosition(SlicePlane plane, int position);

    /** The slice's width and height in voxels. */
    int SliceWidth(SlicePlane plane) const;
    int SliceHeight(SlicePlane plane) const;
    /** The voxel (x, y, z) that slice pixel (u, v) of `plane` shows at its position. */
    std::array<int, 3> VoxelAt(SlicePlane plane, int u, int v) const;

    /**
     * The slice of `plane` at its position; null when the volume holds no voxels. The
     * record stays valid, and unchanged, until the plane's position, the volume or its
     * voxels change (SetPosition, SetVolume, VolumeChanged).
     */
    const ImageStruct* Slice(SlicePlane plane);
    /** True when the slice of `plane` refers to the volume's memory (no copy). */
    bool IsReference(SlicePlane plane) const;

private:
    static int Index(SlicePlane plane) { return int(plane); }
    bool HasVoxels() const;
    void Invalidate(SlicePlane plane) { current_[Index(plane)] = false; }

    const ByteVolume* volume_ = nullptr;
    int position_[3] = {0, 0, 0};
    bool current_[3] = {false, false, false};
    ImageStruct reference_[2]; ///< the top and front slices when they refer to the volume
    ImagePtr copy_[3];         ///< slices that had to be copied
};
