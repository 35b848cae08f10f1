#include "SliceImages.h"

#include "VolumeOps.h"

#include <cstring>

namespace {

bool Fits(const BitmapView& bitmap, int64_t width, int64_t height)
{
    return bitmap.Bits && width > 0 && height > 0 && bitmap.Width == width &&
           bitmap.Height == height && bitmap.BytesPerLine >= 3 * width;
}

uint8_t* Row(const BitmapView& bitmap, int64_t r)
{
    return bitmap.Bits + r * bitmap.BytesPerLine;
}

} // namespace

void WriteGreenRow(const uint8_t* row, uint8_t* pixels, int count)
{
    for (int i = 0; i < count; ++i) {
        pixels[3 * i] = 0;
        pixels[3 * i + 1] = row[i];
        pixels[3 * i + 2] = 0;
    }
}

bool DrawTopSlice(const ByteVolume& volume, int z, const BitmapView& bitmap)
{
    if (!volume.Data || z < 0 || z >= volume.SizeZ ||
        !Fits(bitmap, volume.SizeX, volume.SizeY))
        return false;
    for (int32_t y = 0; y < volume.SizeY; ++y)
        WriteGreenRow(volume.VoxelPtr(0, y, z), Row(bitmap, y), volume.SizeX);
    return true;
}

bool DrawFrontSlice(const ByteVolume& volume, int y, const BitmapView& bitmap)
{
    if (!volume.Data || y < 0 || y >= volume.SizeY ||
        !Fits(bitmap, volume.SizeX, volume.SizeZ))
        return false;
    for (int32_t z = 0; z < volume.SizeZ; ++z)
        WriteGreenRow(volume.VoxelPtr(0, y, z), Row(bitmap, z), volume.SizeX);
    return true;
}

bool DrawSideSlice(const ByteVolume& volume, int x, const BitmapView& bitmap)
{
    if (!volume.Data || x < 0 || x >= volume.SizeX ||
        !Fits(bitmap, volume.SizeZ, volume.SizeY))
        return false;
    // Pixel (z, y) shows voxel (x, y, z). Walking the volume in storage order (z
    // outer, y inner) reads each slice front to back instead of jumping a whole slice
    // per pixel; the bitmap is cleared first so only the green bytes are scattered.
    for (int32_t y = 0; y < volume.SizeY; ++y) std::memset(Row(bitmap, y), 0, 3 * size_t(volume.SizeZ));
    constexpr int32_t Block = 16;
    for (int32_t z0 = 0; z0 < volume.SizeZ; z0 += Block) {
        const int32_t z1 = z0 + Block < volume.SizeZ ? z0 + Block : volume.SizeZ;
        for (int32_t y = 0; y < volume.SizeY; ++y) {
            uint8_t* out = Row(bitmap, y) + 1;
            for (int32_t z = z0; z < z1; ++z) out[3 * z] = volume.Voxel(x, y, z);
        }
    }
    return true;
}

bool DrawMaxProjection(const ByteVolume& volume, const BitmapView& bitmap)
{
    if (!volume.Data || !Fits(bitmap, volume.SizeX, volume.SizeY)) return false;
    const std::vector<uint8_t> maxima = ColumnMaxima(volume);
    for (int32_t y = 0; y < volume.SizeY; ++y)
        WriteGreenRow(maxima.data() + size_t(y) * size_t(volume.SizeX), Row(bitmap, y),
                      volume.SizeX);
    return true;
}
