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
