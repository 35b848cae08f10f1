#pragma once

#include "ByteVolume.h"

#include <cstddef>
#include <cstdint>

/**
 * Copies the Z–Y slice at `x` as 8-bit voxels: out[y · lineStep + z] = voxel (x, y, z),
 * SizeY rows of SizeZ bytes; a negative lineStep puts the rows bottom-up, as in the
 * imaging library's 8-bit images. False, writing nothing, for a position outside the
 * volume, a volume without voxels or a lineStep of size below SizeZ. A large slice is
 * gathered on two cores.
 */
bool CopySideSlice(const ByteVolume& volume, int x, uint8_t* out, ptrdiff_t lineStep);
