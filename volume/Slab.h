#pragma once

#include "SliceModel.h"
#include "imgkernel.h"

/** How a view shows its plane: the slice at the position, or a slab of slices around it. */
enum class SlabMode
{
    Single,  ///< the slice at the position
    Maximum, ///< the largest value of each pixel through the slab
    Mean     ///< the mean value of each pixel through the slab
};

/** The positions of a slab of `count` slices around `position` within 0 … positions − 1. */
struct SlabRange
{
    int First = 0, Last = -1; ///< inclusive; empty when Last < First
};
/**
 * The slab of `count` (at least 1) slices centred on `position`: from position − (count −
 * 1) / 2 to position + count / 2, cut to the volume.
 */
SlabRange SlabAround(int position, int count, int positions);

/**
 * The slab of `count` slices of `plane` around `position` as `model` shows them
 * (SampleSlice: voxels, or samples in their display kind), folded into one image of the
 * slice's size: for Maximum the largest value of each pixel, in the slices' own kind; for
 * Mean the mean of each pixel as floats (ImageKindFloat). NaN values of floats are left
 * out of both. The model's position of `plane` comes back to where it was. Null for
 * Single, a model without slices or no memory.
 */
ImagePtr MakeSlab(SliceModel& model, SlicePlane plane, int position, int count, SlabMode mode);
