#pragma once

#include "ByteVolume.h"

#include <cstddef>
#include <cstdint>

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
 * The slice drawings write the pixel (0, v, 0) for a voxel value v, so slices appear
 * as shades of green on black. Each returns false and writes nothing when the bitmap
 * does not have the slice's size, the position lies outside the volume, or the
 * volume holds no voxels.
 */

/** X–Y slice at `z`: pixel (column x, row y) shows voxel (x, y, z); bitmap SizeX × SizeY. */
bool DrawTopSlice(const ByteVolume& volume, int z, const BitmapView& bitmap);

/** X–Z slice at `y`: pixel (x, z) shows voxel (x, y, z); bitmap SizeX × SizeZ. */
bool DrawFrontSlice(const ByteVolume& volume, int y, const BitmapView& bitmap);

/** Z–Y slice at `x`: pixel (z, y) shows voxel (x, y, z); bitmap SizeZ × SizeY. */
bool DrawSideSlice(const ByteVolume& volume, int x, const BitmapView& bitmap);

/**
 * Copies the Z–Y slice at `x` as 8-bit voxels: out[y · lineStep + z] = voxel (x, y, z),
 * SizeY rows of SizeZ bytes. False, writing nothing, for a position outside the volume,
 * a volume without voxels or a lineStep below SizeZ. As fast as DrawSideSlice.
 */
bool CopySideSlice(const ByteVolume& volume, int x, uint8_t* out, ptrdiff_t lineStep);

/**
 * Maximum-intensity projection along Z: pixel (x, y) shows the largest voxel of the
 * column (x, y, 0 … SizeZ − 1), 0 for an empty column; bitmap SizeX × SizeY.
 */
bool DrawMaxProjection(const ByteVolume& volume, const BitmapView& bitmap);

/** Writes `count` pixels (0, v, 0) for the voxel values of `row`. */
void WriteGreenRow(const uint8_t* row, uint8_t* pixels, int count);
