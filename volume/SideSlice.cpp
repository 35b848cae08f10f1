#include "SideSlice.h"

#include "imgkernel.h"

#include <algorithm>
#include <cstring>

namespace {

/**
 * Gathers rows yBegin to yEnd − 1 of the side slice at x, handing them on in pieces:
 * emit(piece, y, z0, n) receives voxels (x, y, z0 … z0 + n − 1).
 */
template <class Emit>
void GatherSideRows(const ByteVolume& volume, int x, int32_t yBegin, int32_t yEnd, Emit emit)
{
    // Pixel (z, y) shows voxel (x, y, z). Voxels of one row of the bitmap are a whole
    // X–Y plane apart, so each lies in a cache line of its own and fetching those lines
    // is what the drawing costs. They are read in storage order, plane after plane and
    // y inner: for a dense volume of up to TileRows rows one steady stride of StrideY
    // bytes through memory, which a software prefetch keeps ahead of (hardware
    // prefetchers stop at 4 KiB page boundaries, here every few voxels). A tile of Band
    // planes by TileRows rows is gathered transposed into a small buffer, whose rows
    // then go out as runs of voxels.
    constexpr int32_t Band = 32;
    constexpr int32_t TileRows = 512;
    constexpr int32_t PrefetchRows = 64;
    alignas(64) uint8_t tile[TileRows * Band];
    const int64_t strideY = volume.StrideY;
    for (int32_t y0 = yBegin; y0 < yEnd; y0 += TileRows) {
        const int32_t rows = std::min(TileRows, yEnd - y0);
        // The last PrefetchRows reads of a plane prefetch the first rows of the next.
        const int32_t ahead = std::min(PrefetchRows, rows);
        for (int32_t z0 = 0; z0 < volume.SizeZ; z0 += Band) {
            const int32_t n = std::min(Band, volume.SizeZ - z0);
            for (int32_t k = 0; k < n; ++k) {
                const int32_t z = z0 + k;
                const uint8_t* in = volume.VoxelPtr(x, y0, z);
                const uint8_t* next = z + 1 < volume.SizeZ ? volume.VoxelPtr(x, y0, z + 1) : in;
                uint8_t* out = tile + k;
                int32_t j = 0;
                for (; j < rows - ahead; ++j) {
                    __builtin_prefetch(in + (j + ahead) * strideY);
                    out[j * Band] = in[j * strideY];
                }
                for (; j < rows; ++j) {
                    __builtin_prefetch(next + (j + ahead - rows) * strideY);
                    out[j * Band] = in[j * strideY];
                }
            }
            for (int32_t j = 0; j < rows; ++j)
                emit(tile + j * Band, y0 + j, z0, n);
        }
    }
}

/**
 * Runs gather(yBegin, yEnd) over the rows 0 … SizeY − 1 of a side slice: a large slice
 * is split between two cores. Fetching one cache line per pixel is bound by how many
 * misses a core keeps in flight.
 */
template <class Gather> void ForSideRows(const ByteVolume& volume, Gather gather)
{
    // Slices of 2^17 pixels and more, a half each.
    constexpr int64_t HalfPixels = int64_t(1) << 16;
    SplitRows(
        {.Rows = volume.SizeY,
         .Threads = std::min(2u, ProcessorCores()),
         .RowWork = volume.SizeZ,
         .ThreadWork = HalfPixels},
        [&](int64_t yBegin, int64_t yEnd, unsigned) { gather(int32_t(yBegin), int32_t(yEnd)); });
}

} // namespace

bool CopySideSlice(const ByteVolume& volume, int x, uint8_t* out, ptrdiff_t lineStep)
{
    // Rows may go either way in memory (bottom-up images have a negative step), but
    // they must not overlap.
    if (!volume.Data || !out || x < 0 || x >= volume.SizeX || volume.SizeY <= 0 ||
        volume.SizeZ <= 0 || (lineStep < volume.SizeZ && lineStep > -volume.SizeZ))
        return false;
    ForSideRows(volume, [&](int32_t yBegin, int32_t yEnd) {
        GatherSideRows(volume, x, yBegin, yEnd,
                       [&](const uint8_t* piece, int32_t y, int32_t z0, int32_t n) {
                           std::memcpy(out + y * lineStep + z0, piece, size_t(n));
                       });
    });
    return true;
}
