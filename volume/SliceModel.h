#pragma once

#include "ByteVolume.h"
#include "VolumeSamples.h"
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
 *
 * Beside the voxels the model may show the volume's samples in their own kind
 * (SetSamples): SampleSlice gives their slices on the same terms, top and front referring
 * to the samples' memory, side copied. The samples are not owned either; after they
 * change (a new load into them) the program calls VolumeChanged or SetSamples again.
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

    /**
     * Shows `samples` beside the voxels: null, samples without a kind, or samples whose
     * sizes differ from the volume's mean none. Returns true when the samples are taken.
     * SetVolume drops samples whose sizes differ from the new volume's.
     */
    bool SetSamples(const VolumeSamples* samples);
    /** The samples shown, null for none. */
    const VolumeSamples* Samples() const { return samples_; }
    /** True when samples are shown and still match the volume's sizes. */
    bool HasSamples() const;

    /**
     * The slice of `plane` in the samples' own kind (ImageKind16, ImageKind32,
     * ImageKindFloat; rows top-down) when samples are shown, else Slice(plane). It
     * stays valid on the same terms as Slice, and also until SetSamples.
     */
    const ImageStruct* SampleSlice(SlicePlane plane);
    /** True when SampleSlice(plane) refers to the samples' memory (no copy). */
    bool IsSampleReference(SlicePlane plane) const;
    /**
     * The value shown at slice pixel (u, v) of `plane`: the sample when samples are
     * shown, else the voxel. NaN outside the slice or without voxels.
     */
    double SampleAt(SlicePlane plane, int u, int v) const;

private:
    static int Index(SlicePlane plane) { return int(plane); }
    bool HasVoxels() const;
    void Invalidate(SlicePlane plane)
    {
        current_[Index(plane)] = false;
        sampleCurrent_[Index(plane)] = false;
    }
    bool SampleSizesMatch(const VolumeSamples* samples) const;

    const ByteVolume* volume_ = nullptr;
    int position_[3] = {0, 0, 0};
    bool current_[3] = {false, false, false};
    ImageStruct reference_[2]; ///< the top and front slices when they refer to the volume
    ImagePtr copy_[3];         ///< slices that had to be copied
    const VolumeSamples* samples_ = nullptr;
    bool sampleCurrent_[3] = {false, false, false};
    ImageStruct sampleReference_[2]; ///< top and front sample slices referring to the samples
    ImagePtr sampleCopy_[3];         ///< sample slices that had to be copied
};
