#include "SliceImages.h"

#include "SliceModel.h"

#include "VolumeOps.h"
#include "imgkernel.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VOLINSPECT_X86_SHUFFLES 1
#endif

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

void WriteGreenRowPlain(const uint8_t* row, uint8_t* pixels, int count)
{
    for (int i = 0; i < count; ++i) {
        pixels[3 * i] = 0;
        pixels[3 * i + 1] = row[i];
        pixels[3 * i + 2] = 0;
    }
}

#ifdef VOLINSPECT_X86_SHUFFLES
// Sixteen voxels become 48 bytes: voxel i goes to byte 3i + 1, every other byte is 0.
// Each mask picks the voxels for one 16-byte third of the output; an index with the
// top bit set makes the byte 0.
#define VOLINSPECT_GREEN_MASK_0 -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1
#define VOLINSPECT_GREEN_MASK_1 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10
#define VOLINSPECT_GREEN_MASK_2 -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1

__attribute__((target("ssse3"))) void WriteGreenRowSsse3(const uint8_t* row, uint8_t* pixels,
                                                         int count)
{
    const __m128i mask0 = _mm_setr_epi8(VOLINSPECT_GREEN_MASK_0);
    const __m128i mask1 = _mm_setr_epi8(VOLINSPECT_GREEN_MASK_1);
    const __m128i mask2 = _mm_setr_epi8(VOLINSPECT_GREEN_MASK_2);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        auto* out = reinterpret_cast<__m128i*>(pixels + 3 * i);
        _mm_storeu_si128(out, _mm_shuffle_epi8(v, mask0));
        _mm_storeu_si128(out + 1, _mm_shuffle_epi8(v, mask1));
        _mm_storeu_si128(out + 2, _mm_shuffle_epi8(v, mask2));
    }
    WriteGreenRowPlain(row + i, pixels + 3 * i, count - i);
}

__attribute__((target("avx2"))) void WriteGreenRowAvx2(const uint8_t* row, uint8_t* pixels,
                                                       int count)
{
    // vpshufb works within each 128-bit lane, so the lanes get the 16 voxels that
    // their output third needs: 32 voxels give the thirds 0 1 | 2 0 | 1 2.
    const __m256i mask01 = _mm256_setr_epi8(VOLINSPECT_GREEN_MASK_0, VOLINSPECT_GREEN_MASK_1);
    const __m256i mask20 = _mm256_setr_epi8(VOLINSPECT_GREEN_MASK_2, VOLINSPECT_GREEN_MASK_0);
    const __m256i mask12 = _mm256_setr_epi8(VOLINSPECT_GREEN_MASK_1, VOLINSPECT_GREEN_MASK_2);
    int i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i + 16));
        const __m256i loLo = _mm256_broadcastsi128_si256(lo);
        const __m256i loHi = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
        const __m256i hiHi = _mm256_broadcastsi128_si256(hi);
        auto* out = reinterpret_cast<__m256i*>(pixels + 3 * i);
        _mm256_storeu_si256(out, _mm256_shuffle_epi8(loLo, mask01));
        _mm256_storeu_si256(out + 1, _mm256_shuffle_epi8(loHi, mask20));
        _mm256_storeu_si256(out + 2, _mm256_shuffle_epi8(hiHi, mask12));
    }
    WriteGreenRowSsse3(row + i, pixels + 3 * i, count - i);
}

#undef VOLINSPECT_GREEN_MASK_0
#undef VOLINSPECT_GREEN_MASK_1
#undef VOLINSPECT_GREEN_MASK_2
#endif

using GreenRowFunction = void (*)(const uint8_t*, uint8_t*, int);

/** The fastest row writer this processor runs; all give the same bytes. */
GreenRowFunction ChooseGreenRow()
{
#ifdef VOLINSPECT_X86_SHUFFLES
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return WriteGreenRowAvx2;
    if (__builtin_cpu_supports("ssse3")) return WriteGreenRowSsse3;
#endif
    return WriteGreenRowPlain;
}

} // namespace

void WriteGreenRow(const uint8_t* row, uint8_t* pixels, int count)
{
    static const GreenRowFunction write = ChooseGreenRow();
    write(row, pixels, count);
}

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
    constexpr int64_t ParallelPixels = int64_t(1) << 17;
    const int32_t half = volume.SizeY / 2;
    if (int64_t(volume.SizeY) * volume.SizeZ >= ParallelPixels &&
        std::thread::hardware_concurrency() > 1) {
        try {
            std::thread other(gather, half, volume.SizeY);
            gather(0, half);
            other.join();
            return;
        } catch (const std::system_error&) {
            // No thread to be had: gather it all on this one.
        }
    }
    gather(0, volume.SizeY);
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

bool DrawGreenSlice(const ImageStruct& slice, const BitmapView& bitmap)
{
    if (ImageKind(&slice) != ImageKind8 || !slice.Data || !Fits(bitmap, slice.XSize, slice.YSize))
        return false;
    for (int32_t v = 0; v < slice.YSize; ++v)
        WriteGreenRow(slice.Data + int64_t(v) * slice.LineStep, Row(bitmap, v), slice.XSize);
    return true;
}

bool DrawModelSlice(SliceModel& model, SlicePlane plane, int position, const BitmapView& bitmap)
{
    // The model would clamp the position: one outside the volume shows no slice.
    if (position < 0 || position >= model.Positions(plane)) return false;
    // Nor does a bitmap of another size, and then no voxel is read.
    if (bitmap.Width != model.SliceWidth(plane) || bitmap.Height != model.SliceHeight(plane))
        return false;
    model.SetPosition(plane, position);
    const ImageStruct* slice = model.Slice(plane);
    return slice && DrawGreenSlice(*slice, bitmap);
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
