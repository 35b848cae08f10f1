#include "SliceImages.h"

#include "SliceModel.h"

#include "VolumeOps.h"
#include "imgkernel.h"

#include <algorithm>
#include <cstring>
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
