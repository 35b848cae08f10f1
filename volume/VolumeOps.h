#pragma once

#include "ByteVolume.h"

#include <cstdint>
#include <vector>

/**
 * The largest voxel of every column (x, y) over all slices, starting from 0: entry
 * x + y·SizeX. Empty when the volume holds no voxels.
 */
std::vector<uint8_t> ColumnMaxima(const ByteVolume& volume);

/**
 * The block [cutX, cutX + size) × [cutY, cutY + size) × [0, SizeZ) of `volume` as a
 * new size × size × SizeZ volume. Voxels of the block that lie outside `volume` are 0;
 * a negative size counts as 0. Nothing outside `volume` is read.
 * Throws std::bad_alloc when the block cannot be held.
 */
ByteVolume CutBlock(const ByteVolume& volume, int64_t cutX, int64_t cutY, int32_t size);

/**
 * Counts the voxel values of the slice z: counts[v] = how many voxels of the X–Y
 * slice hold v. All counts are 0 when z lies outside the volume.
 */
void CountSliceValues(const ByteVolume& volume, int z, int64_t counts[256]);

/**
 * Makes `volume` an 80 × 80 × 1 test image: each row y holds a dark-to-bright edge
 * centred on x = 40 (value 127 there) along a sine ramp whose half-width grows with
 * the row, 0.3·(y + 1)·π/2 voxels: a sharp step in row 0, a soft one in row 79.
 */
void FillSyntheticEdge(ByteVolume& volume);

/**
 * Clears every voxel column (x, y) whose brightest voxel lies below `threshold`;
 * a column whose brightest voxel equals it stays.
 */
void ThresholdColumns(ByteVolume& volume, int threshold);
