#include "VolumeOps.h"

#include <algorithm>
#include <cmath>
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
        for (size_t i = 0; i < plane; ++i)
            out[i] = std::max(out[i], in[i]);
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

void CountSliceValues(const ByteVolume& volume, int z, int64_t counts[256])
{
    std::fill(counts, counts + 256, 0);
    if (!volume.Data || z < 0 || z >= volume.SizeZ) return;
    // Four interleaved tables keep runs of equal voxels from waiting on each other.
    std::vector<uint32_t> partial(4 * 256, 0);
    const size_t plane = size_t(volume.SizeX) * size_t(volume.SizeY);
    const uint8_t* in = volume.VoxelPtr(0, 0, z);
    // 32-bit partial counts are flushed before they can overflow.
    constexpr size_t Run = size_t(1) << 30;
    for (size_t start = 0; start < plane; start += Run) {
        const size_t end = std::min(plane, start + Run);
        size_t i = start;
        for (; i + 4 <= end; i += 4) {
            ++partial[in[i]];
            ++partial[256 + in[i + 1]];
            ++partial[512 + in[i + 2]];
            ++partial[768 + in[i + 3]];
        }
        for (; i < end; ++i)
            ++partial[in[i]];
        for (int v = 0; v < 256; ++v) {
            counts[v] +=
                int64_t(partial[v]) + partial[256 + v] + partial[512 + v] + partial[768 + v];
            partial[v] = partial[256 + v] = partial[512 + v] = partial[768 + v] = 0;
        }
    }
}

void FillSyntheticEdge(ByteVolume& volume)
{
    volume.Allocate(80, 80, 1);
    constexpr double HalfPi = 1.5707963267948966;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) {
            float t = float(x - 40);
            // The divisor is formed in extended precision with 0.3 as a double.
            const long double divisor = (long double)(y + 1) * (long double)0.3;
            t = float((long double)t / divisor);
            if (!(t >= -HalfPi)) t = -float(HalfPi);
            if (t > HalfPi) t = float(HalfPi);
            const float s = float(std::sin(double(t)));
            volume.Voxel(x, y, 0) = uint8_t((0.5L * s + 0.5L) * 255.0L);
        }
}

void ThresholdColumns(ByteVolume& volume, int threshold)
{
    const std::vector<uint8_t> maxima = ColumnMaxima(volume);
    if (maxima.empty()) return;
    const size_t plane = maxima.size();
    for (int32_t z = 0; z < volume.SizeZ; ++z) {
        uint8_t* slice = volume.VoxelPtr(0, 0, z);
        for (size_t i = 0; i < plane; ++i)
            if (maxima[i] < threshold) slice[i] = 0;
    }
}
