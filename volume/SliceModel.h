#pragma once

#include "ByteVolume.h"
#include "StackVoxels.h"
#include "VolumeSamples.h"
#include "VolumeStack.h"
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
 * A new image of `width` × `height` elements of the imaging kind `kind` (ImageKind8,
 * ImageKind16, ImageKind32 or ImageKindFloat) for a slice; null for any other kind.
 */
ImageStruct* NewSliceImage(int16_t kind, int32_t width, int32_t height);

/** The voxel (x, y, z) that pixel (u, v) of a slice of `plane` at `position` shows. */
std::array<int, 3> SliceVoxel(SlicePlane plane, int position, int u, int v);

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
 *
 * A model may also run on samples alone, without voxels (SetSamples with no volume), or
 * on one volume of a stack (SetStackVolume): samples of one byte are then shown as
 * voxels that refer to the stack's memory; samples whose kind is a display kind through
 * a view of them (no copy); samples of other kinds are converted one slice at a time
 * into the display kind, never as a whole volume.
 *
 * The model refers to itself (its voxels and samples of a stack): it cannot be copied
 * or moved.
 */
class SliceModel
{
public:
    explicit SliceModel(const ByteVolume* volume = nullptr);
    SliceModel(const SliceModel&) = delete;
    SliceModel& operator=(const SliceModel&) = delete;

    /**
     * Shows `volume` (null for none), leaving a stack's volume; every position goes to the
     * middle of its axis.
     */
    void SetVolume(const ByteVolume* volume);
    const ByteVolume* Volume() const { return volume_; }
    /** The volume's voxels changed: slices are taken afresh. */
    void VolumeChanged();

    /**
     * Shows volume (c, t) of `stack` (null for none), in place of a volume and samples of
     * the program's (see the class). The positions stay where the sizes are those shown
     * before (another time point or channel of a stack), else go to the middle. The stack
     * must outlive the model or be replaced first; it is read here only for unsigned
     * 32-bit samples (their display kind, StackDisplayKind).
     */
    void SetStackVolume(const VolumeStack* stack, int c, int t);
    /** The stack shown, null for none. */
    const VolumeStack* Stack() const { return stack_; }

    /**
     * The element kind SampleSlice gives: ImageKind8 for voxels, else the samples'
     * display kind; 0 when nothing is shown.
     */
    int16_t DisplayKind() const;

    /** The positions `plane` can take: SizeZ, SizeY or SizeX (0 without voxels or samples). */
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
     * SetVolume drops samples whose sizes differ from the new volume's. Without voxels
     * the model runs on the samples alone, its positions going to the middle when their
     * sizes differ from those shown before. Leaves a stack's volume.
     */
    bool SetSamples(const VolumeSamples* samples);
    /** The samples shown, null for none. */
    const VolumeSamples* Samples() const { return samples_; }
    /** True when samples are shown and still match the volume's sizes (if any). */
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
     * shown (converted to their display kind), else the voxel. NaN outside the slice or
     * without voxels or samples.
     */
    double SampleAt(SlicePlane plane, int u, int v) const;

private:
    static int Index(SlicePlane plane) { return int(plane); }
    bool HasVoxels() const;
    /** True when converting a stack's samples slice by slice. */
    bool Converts() const { return convertKind_ != 0; }
    /** The sizes shown: the voxels', else the samples', else the converted stack's; 0 for none. */
    std::array<int32_t, 3> Sizes() const;
    /** Positions to the middle when the sizes shown are no longer `before`; slices afresh. */
    void Reframe(const std::array<int32_t, 3>& before);
    /** Forgets a stack's volume: its voxels, view and conversion. */
    void LeaveStack();
    /** The slice of `plane` of the stack's samples, converted into the display kind. */
    const ImageStruct* ConvertedSlice(SlicePlane plane);
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
    ImageStruct sampleReference_[2];     ///< top and front sample slices referring to the samples
    ImagePtr sampleCopy_[3];             ///< sample slices that had to be copied
    const VolumeStack* stack_ = nullptr; ///< the stack whose volume is shown, if any
    int stackChannel_ = 0, stackTime_ = 0;
    StackVoxels stackVoxels_; ///< one-byte samples of the stack, as voxels
    VolumeSamples stackView_; ///< a view of the stack's samples in their display kind
    int16_t convertKind_ = 0; ///< the display kind the stack's samples are converted to
};
