#include "Spectrum.h"

#include "imgkernel.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define VOLINSPECT_SPECTRUM_X86 1
#endif

// How the kernel keeps the literal arithmetic while doing far less of it:
//
// - The sum s of a lag is defined as single-precision additions of byte differences in
//   k order. While every partial sum stays below 2^24 it is an integer that a float
//   holds exactly, so no addition rounds and s equals the exact integer sum. A run of
//   at most ExactTerms differences (255 · ExactTerms < 2^24) can never get there. The
//   first ExactTerms differences of every lag are therefore summed as integers with
//   psadbw (sum of absolute byte differences) and converted once; only lines longer
//   than that add their remaining differences one by one in single precision, starting
//   from the exact float the literal loop holds at that point.
// - The curve entries depend on each other only through the order in which lines add
//   into them: entry p needs G of the lags N − p and N − p − 1 of every line, in line
//   order, and nothing of the other entries. Large jobs therefore give each thread a
//   range of entries (of about equal work); it goes through all lines in order,
//   computes G for the lags its range needs and adds into its own entries. Each entry
//   sees exactly the literal sequence of additions, so the curve is the same to the
//   last bit whatever the number of threads, and no G rows are kept between lines.
//
// The SIMD version is chosen at run time from what the processor supports.
// SetSpectrumSimdLimit caps the choice; the tests use it to check every version
// against the literal loops on one machine.

namespace {

/** The longest run of byte differences whose float sum is exact in every order. */
constexpr int64_t ExactTerms = ((int64_t(1) << 24) - 1) / 255; // 65793

/** Bytes read at once by the widest SAD loop; line copies carry this much padding. */
constexpr int64_t Block = 64;

/** Jobs of fewer byte differences than this run on the calling thread alone. */
constexpr int64_t ParallelDifferences = int64_t(1) << 24;

/** The fewest curve entries a thread of a large job takes on. */
constexpr int64_t MinShare = 32;

/**
 * Turns the sums of one line into G for the lags lagFirst … lagLast: g[p] = s[p] /
 * (L · count) for lag L = N − p, whose count is p + 5. s[p] comes in as the exact sum
 * of the first min(count, ExactTerms) differences; longer runs are finished here term
 * by term.
 *
 * Inlined into each SIMD version, whose instruction set then also vectorises the
 * division loop. The divisor is formed as a product of two doubles: both factors are
 * exact and so is the rounding of their product, which makes it the same double as
 * the 64-bit integer L · count converted.
 */
__attribute__((always_inline)) inline void
FinishRow(const uint8_t* line, int32_t sizeX, int64_t lagFirst, int64_t lagLast, float* s, float* g)
{
    const int32_t lags = sizeX - 5;
    for (int64_t lag = lagFirst; lag <= lagLast && sizeX - lag > ExactTerms; ++lag) {
        float sum = s[lags - lag];
        for (int64_t k = ExactTerms; k < sizeX - lag; ++k)
            sum += float(std::abs(int(line[k]) - int(line[k + lag])));
        s[lags - lag] = sum;
    }
    for (int32_t p = int32_t(lags - lagLast); p <= int32_t(lags - lagFirst); ++p)
        g[p] = float(double(s[p]) / (double(lags - p) * double(p + 5)));
}

/** Adds g[p + 1] − g[p] into the curve accumulator c[p] for p < n − 1. */
__attribute__((always_inline)) inline void AddRowBody(const float* __restrict g, int64_t n,
                                                      float* __restrict c)
{
    for (int64_t p = 0; p + 1 < n; ++p)
        c[p] = float((double(g[p + 1]) - double(g[p])) + double(c[p]));
}

/**
 * Computes G for the lags lagFirst … lagLast of a line: `line` holds sizeX voxels
 * followed by Block readable bytes (which never count); s[N − L] receives the sum and
 * g[N − L] the value of G for lag L.
 */
using RowFunction = void (*)(const uint8_t* line, int32_t sizeX, int64_t lagFirst, int64_t lagLast,
                             float* s, float* g);
/** AddRowBody in one instruction set. */
using AddFunction = void (*)(const float* g, int64_t n, float* c);

void RowPlain(const uint8_t* line, int32_t sizeX, int64_t lagFirst, int64_t lagLast, float* s,
              float* g)
{
    const int64_t lags = sizeX - 5;
    for (int64_t lag = lagFirst; lag <= lagLast; ++lag) {
        const int64_t n = std::min(sizeX - lag, ExactTerms);
        uint32_t sum = 0;
        for (int64_t k = 0; k < n; ++k)
            sum += uint32_t(std::abs(int(line[k]) - int(line[k + lag])));
        s[lags - lag] = float(sum);
    }
    FinishRow(line, sizeX, lagFirst, lagLast, s, g);
}

void AddRowPlain(const float* g, int64_t n, float* c)
{
    AddRowBody(g, n, c);
}

#ifdef VOLINSPECT_SPECTRUM_X86
// The SIMD versions sum absolute byte differences with psadbw, which leaves sums of
// eight differences in 64-bit lanes (no overflow possible). Two things keep the loops
// fast for lines of a few hundred voxels, where a lag has only a few blocks:
//  - Lags go in groups of Group consecutive lags sharing one loop over k: each block of
//    line[k …] is loaded once for all of them, and the loop's exit is mispredicted once
//    per group rather than once per lag. The loop runs while the group's last (shortest)
//    lag has whole blocks; each lag then finishes its own remaining 0 … Block + Group − 1
//    differences.
//  - A partial block is masked so that only the differences before the run's end count.
//    Reads go up to a block minus one byte past the run, into the padding of the copy.

/** Loaded at TailMask + 64 − r, the first r bytes (r ≤ 64) are all ones, the rest zero. */
alignas(64) constexpr uint8_t TailMask[128] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// SSE2, part of every x86-64 processor: blocks of 16 bytes.

__m128i Load16(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

/** The psadbw lanes of Σ |a[k] − b[k]| over k < r. */
__m128i SadRunSse2(const uint8_t* a, const uint8_t* b, int64_t r)
{
    __m128i acc = _mm_setzero_si128();
    int64_t k = 0;
    for (; k + 16 <= r; k += 16)
        acc = _mm_add_epi64(acc, _mm_sad_epu8(Load16(a + k), Load16(b + k)));
    if (k < r) {
        const __m128i keep = Load16(TailMask + 64 - (r - k));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_and_si128(Load16(a + k), keep),
                                              _mm_and_si128(Load16(b + k), keep)));
    }
    return acc;
}

float SumLanesSse2(__m128i acc)
{
    acc = _mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc));
    return float(_mm_cvtsi128_si32(acc));
}

/**
 * s[N − L] for the Group lags L = lag … lag + Group − 1 of a line, in one loop over its
 * blocks while the group's shortest lag has whole blocks, each lag then finishing alone.
 */
template <int64_t Group>
void LagGroupSse2(const uint8_t* line, int32_t sizeX, int64_t lag, float* s)
{
    const int64_t lags = sizeX - 5;
    const int64_t shortest = std::min(sizeX - lag - (Group - 1), ExactTerms);
    __m128i acc[Group];
    for (__m128i& a : acc)
        a = _mm_setzero_si128();
    int64_t k = 0;
    for (; k + 16 <= shortest; k += 16) {
        const __m128i a = Load16(line + k);
#pragma GCC unroll 8
        for (int64_t j = 0; j < Group; ++j)
            acc[j] = _mm_add_epi64(acc[j], _mm_sad_epu8(a, Load16(line + k + lag + j)));
    }
#pragma GCC unroll 8
    for (int64_t j = 0; j < Group; ++j) {
        const int64_t n = std::min(sizeX - lag - j, ExactTerms);
        acc[j] = _mm_add_epi64(acc[j], SadRunSse2(line + k, line + k + lag + j, n - k));
        s[lags - lag - j] = SumLanesSse2(acc[j]);
    }
}

void RowSse2(const uint8_t* line, int32_t sizeX, int64_t lagFirst, int64_t lagLast, float* s,
             float* g)
{
    const int64_t lags = sizeX - 5;
    int64_t lag = lagFirst;
    for (; lag + 8 - 1 <= lagLast; lag += 8)
        LagGroupSse2<8>(line, sizeX, lag, s);
    // The figure's five lags, and the last few of a curve, as one group of five.
    for (; lag + 4 <= lagLast; lag += 5)
        LagGroupSse2<5>(line, sizeX, lag, s);
    for (; lag <= lagLast; ++lag)
        s[lags - lag] =
            SumLanesSse2(SadRunSse2(line, line + lag, std::min(sizeX - lag, ExactTerms)));
    FinishRow(line, sizeX, lagFirst, lagLast, s, g);
}

void AddRowSse2(const float* g, int64_t n, float* c)
{
    AddRowBody(g, n, c);
}

// AVX2: blocks of 32 bytes.

#define VOLINSPECT_TARGET_AVX2 __attribute__((target("avx2")))

VOLINSPECT_TARGET_AVX2 __m256i Load32(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

VOLINSPECT_TARGET_AVX2 __m256i SadRunAvx2(const uint8_t* a, const uint8_t* b, int64_t r)
{
    __m256i acc = _mm256_setzero_si256();
    int64_t k = 0;
    for (; k + 32 <= r; k += 32)
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(Load32(a + k), Load32(b + k)));
    if (k < r) {
        const __m256i keep = Load32(TailMask + 64 - (r - k));
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(_mm256_and_si256(Load32(a + k), keep),
                                                    _mm256_and_si256(Load32(b + k), keep)));
    }
    return acc;
}

VOLINSPECT_TARGET_AVX2 float SumLanesAvx2(__m256i acc)
{
    __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    sum = _mm_add_epi64(sum, _mm_unpackhi_epi64(sum, sum));
    return float(_mm_cvtsi128_si32(sum));
}

/**
 * s[N − L] for the Group lags L = lag … lag + Group − 1 of a line, in one loop over its
 * blocks while the group's shortest lag has whole blocks, each lag then finishing alone.
 */
template <int64_t Group>
VOLINSPECT_TARGET_AVX2 void LagGroupAvx2(const uint8_t* line, int32_t sizeX, int64_t lag, float* s)
{
    const int64_t lags = sizeX - 5;
    const int64_t shortest = std::min(sizeX - lag - (Group - 1), ExactTerms);
    __m256i acc[Group];
    for (__m256i& a : acc)
        a = _mm256_setzero_si256();
    int64_t k = 0;
    for (; k + 32 <= shortest; k += 32) {
        const __m256i a = Load32(line + k);
#pragma GCC unroll 8
        for (int64_t j = 0; j < Group; ++j)
            acc[j] = _mm256_add_epi64(acc[j], _mm256_sad_epu8(a, Load32(line + k + lag + j)));
    }
#pragma GCC unroll 8
    for (int64_t j = 0; j < Group; ++j) {
        const int64_t n = std::min(sizeX - lag - j, ExactTerms);
        acc[j] = _mm256_add_epi64(acc[j], SadRunAvx2(line + k, line + k + lag + j, n - k));
        s[lags - lag - j] = SumLanesAvx2(acc[j]);
    }
}

VOLINSPECT_TARGET_AVX2 void RowAvx2(const uint8_t* line, int32_t sizeX, int64_t lagFirst,
                                    int64_t lagLast, float* s, float* g)
{
    const int64_t lags = sizeX - 5;
    int64_t lag = lagFirst;
    for (; lag + 8 - 1 <= lagLast; lag += 8)
        LagGroupAvx2<8>(line, sizeX, lag, s);
    // The figure's five lags, and the last few of a curve, as one group of five.
    for (; lag + 4 <= lagLast; lag += 5)
        LagGroupAvx2<5>(line, sizeX, lag, s);
    for (; lag <= lagLast; ++lag)
        s[lags - lag] =
            SumLanesAvx2(SadRunAvx2(line, line + lag, std::min(sizeX - lag, ExactTerms)));
    FinishRow(line, sizeX, lagFirst, lagLast, s, g);
}

VOLINSPECT_TARGET_AVX2 void AddRowAvx2(const float* g, int64_t n, float* c)
{
    AddRowBody(g, n, c);
}

// AVX-512 (BW for the byte operations): blocks of 64 bytes; a partial block is read
// with a masked load, and 32 registers hold a group of 16 lags.

#define VOLINSPECT_TARGET_AVX512 __attribute__((target("avx512f,avx512bw")))

VOLINSPECT_TARGET_AVX512 __m512i SadRunAvx512(const uint8_t* a, const uint8_t* b, int64_t r)
{
    __m512i acc = _mm512_setzero_si512();
    int64_t k = 0;
    for (; k + 64 <= r; k += 64)
        acc = _mm512_add_epi64(
            acc, _mm512_sad_epu8(_mm512_loadu_si512(a + k), _mm512_loadu_si512(b + k)));
    if (k < r) {
        const __mmask64 keep = ~uint64_t(0) >> (64 - (r - k));
        acc = _mm512_add_epi64(acc, _mm512_sad_epu8(_mm512_maskz_loadu_epi8(keep, a + k),
                                                    _mm512_maskz_loadu_epi8(keep, b + k)));
    }
    return acc;
}

VOLINSPECT_TARGET_AVX512 float SumLanesAvx512(__m512i acc)
{
    // Zero-masking extracts: GCC 12 warns about the undefined lanes of the plain ones.
    const __m256i half = _mm256_add_epi64(_mm512_maskz_extracti64x4_epi64(0xFF, acc, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xFF, acc, 1));
    __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    sum = _mm_add_epi64(sum, _mm_unpackhi_epi64(sum, sum));
    return float(_mm_cvtsi128_si32(sum));
}

/**
 * s[N − L] for the Group lags L = lag … lag + Group − 1 of a line, in one loop over its
 * blocks while the group's shortest lag has whole blocks, each lag then finishing alone.
 */
template <int64_t Group>
VOLINSPECT_TARGET_AVX512 void LagGroupAvx512(const uint8_t* line, int32_t sizeX, int64_t lag,
                                             float* s)
{
    const int64_t lags = sizeX - 5;
    const int64_t shortest = std::min(sizeX - lag - (Group - 1), ExactTerms);
    __m512i acc[Group];
    for (__m512i& a : acc)
        a = _mm512_setzero_si512();
    int64_t k = 0;
    for (; k + 64 <= shortest; k += 64) {
        const __m512i a = _mm512_loadu_si512(line + k);
#pragma GCC unroll 16
        for (int64_t j = 0; j < Group; ++j)
            acc[j] = _mm512_add_epi64(acc[j],
                                      _mm512_sad_epu8(a, _mm512_loadu_si512(line + k + lag + j)));
    }
#pragma GCC unroll 16
    for (int64_t j = 0; j < Group; ++j) {
        const int64_t n = std::min(sizeX - lag - j, ExactTerms);
        acc[j] = _mm512_add_epi64(acc[j], SadRunAvx512(line + k, line + k + lag + j, n - k));
        s[lags - lag - j] = SumLanesAvx512(acc[j]);
    }
}

VOLINSPECT_TARGET_AVX512 void RowAvx512(const uint8_t* line, int32_t sizeX, int64_t lagFirst,
                                        int64_t lagLast, float* s, float* g)
{
    const int64_t lags = sizeX - 5;
    int64_t lag = lagFirst;
    for (; lag + 16 - 1 <= lagLast; lag += 16)
        LagGroupAvx512<16>(line, sizeX, lag, s);
    // The figure's five lags, and the last few of a curve, as one group of five.
    for (; lag + 4 <= lagLast; lag += 5)
        LagGroupAvx512<5>(line, sizeX, lag, s);
    for (; lag <= lagLast; ++lag)
        s[lags - lag] =
            SumLanesAvx512(SadRunAvx512(line, line + lag, std::min(sizeX - lag, ExactTerms)));
    FinishRow(line, sizeX, lagFirst, lagLast, s, g);
}

VOLINSPECT_TARGET_AVX512 void AddRowAvx512(const float* g, int64_t n, float* c)
{
    AddRowBody(g, n, c);
}

#undef VOLINSPECT_TARGET_AVX2
#undef VOLINSPECT_TARGET_AVX512
#endif

enum class Simd
{
    Plain,
    Sse2,
    Avx2,
    Avx512
};

/** The cap set by SetSpectrumSimdLimit; Avx512 means none. */
std::atomic<int> SimdLimit{int(Simd::Avx512)};

/** The widest version this processor runs, within the cap. */
Simd ChooseSimd()
{
    Simd best = Simd::Plain;
#ifdef VOLINSPECT_SPECTRUM_X86
    __builtin_cpu_init();
    best = Simd::Sse2;
    if (__builtin_cpu_supports("avx2")) best = Simd::Avx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
        best = Simd::Avx512;
#endif
    return std::min(best, Simd(SimdLimit.load(std::memory_order_relaxed)));
}

/** The two steps of a line, in one SIMD version. */
struct Kernel
{
    RowFunction row = RowPlain;
    AddFunction add = AddRowPlain;
};

Kernel ChooseKernel()
{
    switch (ChooseSimd()) {
#ifdef VOLINSPECT_SPECTRUM_X86
    case Simd::Avx512:
        return {RowAvx512, AddRowAvx512};
    case Simd::Avx2:
        return {RowAvx2, AddRowAvx2};
    case Simd::Sse2:
        return {RowSse2, AddRowSse2};
#endif
    default:
        return {RowPlain, AddRowPlain};
    }
}

/** The lines of a computation: `rows` rows from yFirst in each of the slices from zFirst. */
struct Job
{
    const ByteVolume* volume = nullptr;
    int64_t zFirst = 0;
    int64_t yFirst = 0;
    int64_t rows = 0;
    int64_t lines = 0;
    int32_t sizeX = 0;
    int64_t lags = 0; ///< N: a G row holds N values
    Kernel kernel;
    SpectrumControl* control = nullptr;
};

/** The differences one control step may take: a few milliseconds of work. */
constexpr int64_t ControlStepDifferences = int64_t(1) << 24;

/** Byte differences of the lags lagFirst … lagLast of a line of sizeX voxels. */
int64_t LagDifferences(int64_t sizeX, int64_t lagFirst, int64_t lagLast)
{
    if (lagLast < lagFirst) return 0;
    return (lagLast - lagFirst + 1) * (2 * sizeX - lagFirst - lagLast) / 2;
}

/** What a thread needs for its lines: a padded line copy, the sums and the G row. */
struct Scratch
{
    std::vector<uint8_t> bytes;
    std::vector<float> sums;
    std::vector<float> g;
    uint8_t* line = nullptr;

    explicit Scratch(const Job& job)
        : bytes(size_t(job.sizeX + 2 * Block), 0), sums(size_t(job.lags)), g(size_t(job.lags))
    {
        // Aligned so that the blocks of line[k …] are aligned loads.
        const uintptr_t address = reinterpret_cast<uintptr_t>(bytes.data());
        line = bytes.data() + ((Block - address % Block) % Block);
    }
    Scratch(const Scratch&) = delete; // `line` points into `bytes`; a move keeps it valid
    Scratch(Scratch&&) = default;
};

/** Copies line i of the job (its rows in slice order) into `line`. */
void CopyLine(const Job& job, int64_t i, uint8_t* line)
{
    const ByteVolume& volume = *job.volume;
    const int64_t z = job.zFirst + i / job.rows, y = job.yFirst + i % job.rows;
    if (volume.StrideX == 1) {
        std::memcpy(line, volume.VoxelPtr(0, y, z), size_t(job.sizeX));
    } else {
        for (int64_t x = 0; x < job.sizeX; ++x)
            line[x] = volume.Voxel(x, y, z);
    }
}

/**
 * Adds the curve entries first … end − 1 of every line, in line order, into c (which
 * holds those entries only). They need G for the lags N − end … N − first.
 */
void AddEntries(const Job& job, int64_t first, int64_t end, Scratch& scratch, float* c)
{
    uint8_t* line = scratch.line;
    for (int64_t i = 0; i < job.lines; ++i) {
        CopyLine(job, i, line);
        const int64_t lagFirst = job.lags - end, lagLast = job.lags - first;
        if (!job.control) {
            job.kernel.row(line, job.sizeX, lagFirst, lagLast, scratch.sums.data(),
                           scratch.g.data());
        } else {
            // Every lag is computed on its own, so a line may be taken in pieces of lags
            // with the same result; between pieces the control is looked at.
            for (int64_t lag = lagFirst; lag <= lagLast;) {
                int64_t last = lag;
                int64_t differences = job.sizeX - lag;
                while (last < lagLast && differences < ControlStepDifferences)
                    differences += job.sizeX - ++last;
                job.kernel.row(line, job.sizeX, lag, last, scratch.sums.data(), scratch.g.data());
                job.control->Done.fetch_add(differences, std::memory_order_relaxed);
                if (job.control->Cancel.load(std::memory_order_relaxed)) return;
                lag = last + 1;
            }
        }
        job.kernel.add(scratch.g.data() + first, end - first + 1, c);
    }
}

void ComputeSerial(const Job& job, float* c)
{
    Scratch scratch(job);
    AddEntries(job, 0, job.lags - 1, scratch, c);
}

/** One thread's part of a large job: a range of curve entries, over all lines. */
struct Share
{
    int64_t first;
    int64_t end;
    Scratch scratch;
    std::vector<float> c; ///< entries first … end − 1, kept apart from other threads'

    Share(const Job& job, int64_t first_, int64_t end_)
        : first(first_), end(end_), scratch(job), c(size_t(end_ - first_), 0.0f)
    {
    }
};

void RunShare(const Job& job, Share& share)
{
    AddEntries(job, share.first, share.end, share.scratch, share.c.data());
}

/**
 * Splits the curve entries 0 … N − 2 into `parts` consecutive ranges of about equal
 * work and returns their parts + 1 bounds. Entry p needs the lag whose count is p + 5,
 * plus a fixed cost per lag (in differences).
 */
std::vector<int64_t> SplitEntries(int64_t lags, int64_t parts)
{
    constexpr double LagCost = 48;
    const int64_t entries = lags - 1;
    const double total =
        double(entries) * (5 + LagCost) + double(entries) * double(entries - 1) / 2;
    std::vector<int64_t> bounds{0};
    double done = 0;
    for (int64_t p = 0; p < entries && int64_t(bounds.size()) < parts; ++p) {
        done += double(p) + 5 + LagCost;
        if (done >= total * double(bounds.size()) / double(parts)) bounds.push_back(p + 1);
    }
    bounds.push_back(entries);
    return bounds;
}

void ComputeParallel(const Job& job, unsigned threads, float* c)
{
    const std::vector<int64_t> bounds = SplitEntries(job.lags, threads);
    std::vector<Share> shares;
    shares.reserve(bounds.size() - 1);
    for (size_t t = 0; t + 1 < bounds.size(); ++t)
        if (bounds[t] < bounds[t + 1]) shares.emplace_back(job, bounds[t], bounds[t + 1]);
    // A share a thread; should threads be refused, the others take on the rest.
    SplitRows({.Rows = int64_t(shares.size()), .Threads = unsigned(shares.size())},
              [&](int64_t first, int64_t end, unsigned) {
                  for (int64_t s = first; s < end; ++s)
                      RunShare(job, shares[size_t(s)]);
              });
    for (const Share& share : shares)
        std::copy(share.c.begin(), share.c.end(), c + share.first);
}

} // namespace

SpectrumResult ComputeLagSpectrum(const ByteVolume& volume, int mode, int z, int y,
                                  SpectrumControl* control)
{
    SpectrumResult result;
    result.Figure = std::numeric_limits<float>::quiet_NaN();
    if (mode < SpectrumLine || mode > SpectrumVolume) return result;
    if (!volume.Data || volume.SizeX <= 0 || volume.SizeY <= 0 || volume.SizeZ <= 0) return result;
    if (mode != SpectrumVolume && (z < 0 || z >= volume.SizeZ)) return result;
    if (mode == SpectrumLine && (y < 0 || y >= volume.SizeY)) return result;
    const int64_t lags = int64_t(volume.SizeX) - 5;
    if (lags < 2) return result; // a curve of N − 1 values needs N ≥ 2

    Job job;
    job.volume = &volume;
    job.sizeX = volume.SizeX;
    job.lags = lags;
    job.zFirst = mode == SpectrumVolume ? 0 : z;
    job.yFirst = mode == SpectrumLine ? y : 0;
    job.rows = mode == SpectrumLine ? 1 : volume.SizeY;
    job.lines = job.rows * (mode == SpectrumVolume ? int64_t(volume.SizeZ) : 1);
    job.kernel = ChooseKernel();
    job.control = control;

    std::vector<float> c(size_t(lags - 1), 0.0f);
    const int64_t differencesPerLine = lags * job.sizeX - lags * (lags + 1) / 2;
    const bool large = mode != SpectrumLine && job.lines > 1 &&
                       differencesPerLine >= ParallelDifferences / job.lines;
    // A thread for every MinShare entries at most, one a core.
    const unsigned threads =
        large ? RowSplitThreads({.Rows = lags - 1, .ThreadWork = MinShare}) : 1;
    if (threads > 1)
        ComputeParallel(job, threads, c.data());
    else
        ComputeSerial(job, c.data());

    if (control && control->Cancel.load()) {
        result.Cancelled = true;
        return result;
    }
    for (float& value : c)
        value = float(double(value) / double(job.lines));
    if (lags >= 5) {
        const int64_t n = lags;
        result.Figure =
            float((((long double)c[size_t(n - 2)] + c[size_t(n - 3)]) + c[size_t(n - 4)]) +
                  c[size_t(n - 5)]);
    }
    result.Curve = std::move(c);
    return result;
}

namespace {

/** Lines whose G of the lags 1 … 5 one round of a threaded figure computes. */
constexpr int64_t FigureChunk = 8192;

/** Volumes of fewer voxels than this get their figure on one thread. */
constexpr int64_t ParallelFigureVoxels = int64_t(1) << 22;

/**
 * G of the lags 1 … 5 of the lines from … end − 1 into `rows`, five values a line in the
 * order of a G row (lag 5 first).
 */
void FigureRows(const Job& job, int64_t from, int64_t end, Scratch& scratch, float* rows)
{
    for (int64_t i = from; i < end; ++i) {
        CopyLine(job, i, scratch.line);
        job.kernel.row(scratch.line, job.sizeX, 1, 5, scratch.sums.data(), scratch.g.data());
        std::memcpy(rows + 5 * (i - from), scratch.g.data() + job.lags - 5, 5 * sizeof(float));
    }
}

} // namespace

float ComputeHighFrequencyFigure(const ByteVolume& volume, unsigned threads)
{
    constexpr float None = std::numeric_limits<float>::quiet_NaN();
    if (!volume.Data || volume.SizeX <= 0 || volume.SizeY <= 0 || volume.SizeZ <= 0) return None;
    const int64_t lags = int64_t(volume.SizeX) - 5;
    if (lags < 5) return None;
    Job job;
    job.volume = &volume;
    job.sizeX = volume.SizeX;
    job.lags = lags;
    job.rows = volume.SizeY;
    job.lines = int64_t(volume.SizeY) * volume.SizeZ;
    job.kernel = ChooseKernel();
    // Entries N − 5 … N − 2 need G of the lags 1 … 5, and nothing else.
    float c[4] = {0, 0, 0, 0};
    if (threads <= 1 || volume.VoxelCount() < ParallelFigureVoxels || job.lines < 2) {
        Scratch scratch(job);
        AddEntries(job, lags - 5, lags - 1, scratch, c);
    } else {
        // The G rows of a chunk of lines are computed on all threads; their differences
        // are then added into the entries on this one, line after line as above.
        std::vector<Scratch> scratches;
        for (unsigned t = 0; t < threads; ++t)
            scratches.emplace_back(job);
        std::vector<float> rows(size_t(5 * std::min(FigureChunk, job.lines)));
        for (int64_t from = 0; from < job.lines; from += FigureChunk) {
            const int64_t end = std::min(from + FigureChunk, job.lines);
            SplitRows({.Rows = end - from, .Threads = threads}, [&](int64_t a, int64_t b,
                                                                    unsigned worker) {
                FigureRows(job, from + a, from + b, scratches[worker], rows.data() + 5 * a);
            });
            for (int64_t i = 0; i < end - from; ++i)
                job.kernel.add(rows.data() + 5 * i, 5, c);
        }
    }
    float v[4];
    for (int i = 0; i < 4; ++i)
        v[i] = float(double(c[i]) / double(job.lines));
    return float((((long double)v[3] + v[2]) + v[1]) + v[0]);
}

FigureStream::FigureStream(int32_t sizeX, int32_t sizeY) : sizeX_(sizeX), sizeY_(sizeY)
{
    static_assert(Padding >= Block);
}

size_t FigureStream::WorkBytes() const
{
    // The sums and the G row.
    const int64_t lags = std::max<int64_t>(int64_t(sizeX_) - 5, 0);
    return 2 * size_t(lags) * sizeof(float) + alignof(float);
}

void FigureStream::RowTerms(const uint8_t* rows, int64_t count, float* terms, void* work) const
{
    const int64_t lags = int64_t(sizeX_) - 5;
    if (lags < 5) return;
    const Kernel kernel = ChooseKernel();
    const uintptr_t address = reinterpret_cast<uintptr_t>(work);
    float* sums = reinterpret_cast<float*>((address + alignof(float) - 1) & ~(alignof(float) - 1));
    float* g = sums + lags;
    // The kernel reads up to a block past a line's end, which never counts: into the next
    // row, or the padding after the last.
    for (int64_t y = 0; y < count; ++y) {
        kernel.row(rows + y * sizeX_, sizeX_, 1, 5, sums, g);
        std::memcpy(terms + 5 * y, g + lags - 5, 5 * sizeof(float));
    }
}

void FigureStream::Add(const float* terms)
{
    if (int64_t(sizeX_) - 5 < 5) return;
    const Kernel kernel = ChooseKernel();
    for (int64_t y = 0; y < sizeY_; ++y)
        kernel.add(terms + 5 * y, 5, c_);
    lines_ += sizeY_;
}

float FigureStream::Figure() const
{
    if (lines_ == 0 || int64_t(sizeX_) - 5 < 5) return std::numeric_limits<float>::quiet_NaN();
    float v[4];
    for (int i = 0; i < 4; ++i)
        v[i] = float(double(c_[i]) / double(lines_));
    return float((((long double)v[3] + v[2]) + v[1]) + v[0]);
}

namespace {

/** The lines a computation in `mode` walks, or 0 when it has none. */
int64_t SpectrumLines(const ByteVolume& volume, int mode)
{
    if (volume.SizeX <= 0 || volume.SizeY <= 0 || volume.SizeZ <= 0) return 0;
    switch (mode) {
    case SpectrumLine:
        return 1;
    case SpectrumPlane:
        return volume.SizeY;
    case SpectrumVolume:
        return int64_t(volume.SizeY) * volume.SizeZ;
    default:
        return 0;
    }
}

} // namespace

int64_t SpectrumDifferences(const ByteVolume& volume, int mode)
{
    const int64_t lags = int64_t(volume.SizeX) - 5;
    if (lags < 2) return 0;
    const int64_t perLine = LagDifferences(volume.SizeX, 1, lags);
    int64_t total = 0;
    if (__builtin_mul_overflow(perLine, SpectrumLines(volume, mode), &total))
        return std::numeric_limits<int64_t>::max();
    return total;
}

double PredictedSpectrumSeconds(const ByteVolume& volume, int mode)
{
    // Rates measured on one core of a 2-core machine: psadbw sums about 4·10^10
    // differences a second; differences past the exact run of a lag are single-
    // precision additions at about 10^9 a second. The guesses are kept low.
    constexpr double FastRate = 2e10, SlowRate = 5e8;
    const int64_t lags = int64_t(volume.SizeX) - 5;
    if (lags < 2) return 0;
    // Lag L has X − L differences, of which those past ExactTerms are slow.
    const double x = volume.SizeX;
    const double all = double(LagDifferences(volume.SizeX, 1, lags));
    const double slowLags = std::max(0.0, x - double(ExactTerms) - 1);
    const double slow = slowLags * (slowLags + 1) / 2;
    const double lines = double(SpectrumLines(volume, mode));
    return lines * ((all - slow) / FastRate + slow / SlowRate);
}

void SetSpectrumSimdLimit(std::string_view name)
{
    const Simd limit = name == "plain"  ? Simd::Plain
                       : name == "sse2" ? Simd::Sse2
                       : name == "avx2" ? Simd::Avx2
                                        : Simd::Avx512;
    SimdLimit.store(int(limit), std::memory_order_relaxed);
}
