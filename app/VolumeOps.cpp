#include "VolumeOps.h"

#include <algorithm>
#include <cstring>

std::vector<uint8_t> ColumnMaxima(const ByteVolume& volume)
{
    std::vector<uint8_t> maxima;
    if (!volume.Data) return maxima;
    const size_t plane = size_t(volume.SizeX) * size_t(volume.SizeY);
    maxima.assign(plane, 0);
    uint8_t* out = maxima.data();
    // Whole planes in storage order: a contiguous, vectorisable max per slice.
    for (int32_t z = 0; z < volume.SizeZ; ++z) {
        const uint8_t* in = volume.VoxelPtr(0, 0, z);
        for (size_t i = 0; i < plane; ++i) out[i] = std::max(out[i], in[i]);
    }
    return maxima;
}

ByteVolume CutBlock(const ByteVolume& volume, int64_t cutX, int64_t cutY, int32_t size)
{
    const int32_t s = std::max(size, 0);
    ByteVolume block;
    block.Allocate(s, s, volume.SizeZ);
    if (!volume.Data || !block.Data) return block;

    // The part of the square's columns and rows that lies inside the volume.
    const int64_t x0 = std::max<int64_t>(cutX, 0);
    const int64_t x1 = std::min<int64_t>(cutX + s, volume.SizeX);
    const int64_t y0 = std::max<int64_t>(cutY, 0);
    const int64_t y1 = std::min<int64_t>(cutY + s, volume.SizeY);
    if (x0 >= x1 || y0 >= y1) return block;
    for (int32_t z = 0; z < volume.SizeZ; ++z)
        for (int64_t y = y0; y < y1; ++y)
            std::memcpy(block.VoxelPtr(x0 - cutX, y - cutY, z), volume.VoxelPtr(x0, y, z),
                        size_t(x1 - x0));
    return block;
}
