#pragma once

#include "ByteVolume.h"
#include "imgkernel.h"

#include <cstddef>
#include <cstdint>

class SliceModel;
enum class SlicePlane : int;

/**
 * The classic window's slice drawings. Each writes the pixel (0, v, 0) for a voxel
 * value v, so slices appear as shades of green on black, and returns false, writing
 * nothing, when it cannot draw (the cases each function names).
 */

/**
 * A 24-bit bitmap in memory: Height rows of Width pixels, three bytes each in the
 * order blue, green, red; row 0 first, rows BytesPerLine bytes apart.
 */
struct BitmapView
{
    uint8_t* Bits = nullptr;
    int Width = 0;
    int Height = 0;
    ptrdiff_t BytesPerLine = 0;
};

/**
 * Draws an 8-bit slice record (as SliceModel::Slice gives it): pixel (u, v) shows
 * element (u, v), rows taken at the record's LineStep, whatever their alignment or
 * direction. False, writing nothing, for a record that is not 8-bit or has no pixels,
 * or a bitmap that does not have the record's size.
 */
bool DrawGreenSlice(const ImageStruct& slice, const BitmapView& bitmap);

/**
 * Draws the slice of `plane` at `position` as `model` gives it (DrawGreenSlice): the
 * top view (X–Y, bitmap SizeX × SizeY), the front view (X–Z, SizeX × SizeZ) or the side
 * view (Z–Y, SizeZ × SizeY). False, writing nothing and reading no voxel, for a position
 * outside the volume or a bitmap of another size; otherwise the model moves there.
 */
bool DrawModelSlice(SliceModel& model, SlicePlane plane, int position, const BitmapView& bitmap);

/**
 * Maximum-intensity projection along Z: pixel (x, y) shows the largest voxel of the
 * column (x, y, 0 … SizeZ − 1), 0 for an empty column; bitmap SizeX × SizeY. False,
 * writing nothing, for a volume without voxels or a bitmap of another size.
 */
bool DrawMaxProjection(const ByteVolume& volume, const BitmapView& bitmap);

/** Writes `count` pixels (0, v, 0) for the voxel values of `row`. */
void WriteGreenRow(const uint8_t* row, uint8_t* pixels, int count);
