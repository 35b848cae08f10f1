// Conversions between element kinds (declared in imgkernel.h).

#include "imgkernel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define VOLINSPECT_CONVERT_X86 1
#endif

// Every display level is defined by one per-pixel formula in double precision (Level
// below): 255 for values at or beyond Max, else the window's expression. The
// conversions never approximate it; they only avoid evaluating it per pixel:
//
// - The formula is monotonic in the element value: non-decreasing, or non-increasing
//   for an inverted window (255, the greatest level, only joins the top of the scale).
//   So each level k starts at a threshold, the least value (in the order of the scale)
//   whose level is at least k, and a pixel's level is the number of thresholds at or
//   below its value. The thresholds are found by bisection with the formula itself,
//   over the integers of the element kind or over the bit patterns of floats and
//   doubles in value order.
// - 8-bit sources and RGB greys go through a table of the 256 levels. 16-bit sources
//   have a table of all 65536, filled run by run between the thresholds; with AVX2
//   every other eight elements of a row take the formula instead (see Source16).
// - Float sources (also the real or imaginary component of complex ones) cut the 2^32
//   ordered bit patterns into 65536 buckets of 65536. A bucket's entry holds the level
//   at its start and, when one threshold value lies inside it, where and by how much
//   the level rises; the rare bucket holding two distinct threshold values sends its
//   pixels past the first to a binary search of the thresholds.
// - 32-bit sources and complex powers on the linear scale evaluate the formula itself,
//   four doubles at a time with AVX2: the same comparison with Max and the same IEEE
//   operations in the same order, then a clamp that gives what the comparisons give.
// - Complex powers on the logarithmic scale search the thresholds of the power.
// - Small images skip the tables (building them costs more than the formula would)
//   and large ones share their rows among a few threads.
//
// The AVX2 versions are chosen at run time; their row tails run the plain code. Each
// clears the upper halves of the vector registers when done: left dirty, they slow
// down the SSE code that runs after it (std::log1p among it) several times over.

namespace {

// --- the levels ------------------------------------------------------------------

/** A display window, with what the formula needs formed once. */
struct Window
{
    enum class Form
    {
        Step,
        Linear,
        Log
    };
    Form form = Form::Step;
    double min = 0;
    double max = 0;        ///< values at or beyond it (towards Max from Min) give 255
    double factor = 0;     ///< linear: 255 / (Max − Min)
    double logRange = 0;   ///< logarithmic: log1p(|Max − Min|)
    bool inverted = false; ///< Min > Max: the level falls as the value rises
};

Window MakeWindow(float min, float max, bool logarithmic)
{
    Window window;
    window.min = min;
    window.max = max;
    if (min == max) return window;
    window.inverted = min > max;
    if (logarithmic) {
        window.form = Window::Form::Log;
        window.logRange = std::log1p(std::fabs(double(max) - double(min)));
    } else {
        window.form = Window::Form::Linear;
        window.factor = 255.0 / (double(max) - double(min));
    }
    return window;
}

/**
 * Whether `s` has reached Max: s ≥ Max, or s ≤ Max on an inverted scale (never for
 * NaN). Such values give 255 whatever the rounding of the formula: the factor
 * 255 / (Max − Min) is rounded, so (Max − Min) · factor may fall short of 255 by an
 * ulp (0 … 100: 254.99999999999997), and so may the logarithmic ratio.
 */
bool Reached(const Window& window, double s)
{
    return window.inverted ? s <= window.max : s >= window.max;
}

/** The display level of element value `s`: the documented formula, literally. */
uint8_t Level(const Window& window, double s)
{
    // The step too is "255 from Max on" (Min = Max, not inverted).
    if (Reached(window, s)) return 255;
    double t = 0;
    switch (window.form) {
    case Window::Form::Step:
        return 0;
    case Window::Form::Linear:
        t = (s - window.min) * window.factor;
        break;
    case Window::Form::Log: {
        const double q = window.inverted ? window.min - s : s - window.min;
        t = 255.0 * std::log1p(std::max(0.0, q)) / window.logRange;
        break;
    }
    }
    if (!(t >= 1)) return 0; // also NaN
    if (t >= 255) return 255;
    return uint8_t(t);
}

/** Whether the level falls as the value rises. */
bool Falling(const Window& window)
{
    return window.form != Window::Form::Step && window.inverted;
}

/**
 * Thresholds over ordinals, positions in which the level never falls: entry k is the
 * least ordinal in [first, last] whose level is at least k (entry 0 is 0), or the
 * greatest Ordinal when none reaches k. `valueAt` gives an ordinal's element value.
 * The level of ordinal o is then the greatest k whose entry is at most o.
 */
template <typename Ordinal, typename ValueAt>
std::array<Ordinal, 256> FindThresholds(const Window& window, Ordinal first, Ordinal last,
                                        ValueAt valueAt)
{
    std::array<Ordinal, 256> bounds;
    bounds.fill(std::numeric_limits<Ordinal>::max());
    bounds[0] = 0;
    const int top = Level(window, valueAt(last));
    Ordinal from = first;
    for (int k = 1; k <= top; ++k) {
        Ordinal lo = from, hi = last;
        while (lo < hi) {
            const Ordinal mid = lo + (hi - lo) / 2;
            if (Level(window, valueAt(mid)) >= k)
                hi = mid;
            else
                lo = mid + 1;
        }
        bounds[size_t(k)] = from = lo;
    }
    return bounds;
}

/** The greatest k whose threshold is at most `ordinal` (branch-free binary search). */
template <typename Ordinal>
uint8_t SearchLevel(const std::array<Ordinal, 256>& bounds, Ordinal ordinal)
{
    size_t k = 0;
    for (size_t step = 128; step > 0; step /= 2)
        k += bounds[k + step] <= ordinal ? step : 0;
    return uint8_t(k);
}

/** The levels of all 65536 16-bit values, filled run by run between the thresholds. */
std::vector<uint8_t> Table16(const Window& window)
{
    const uint32_t count = 65536, last = count - 1;
    const bool falling = Falling(window);
    const auto bounds = FindThresholds<uint32_t>(
        window, 0, last, [&](uint32_t o) { return double(falling ? last - o : o); });
    std::vector<uint8_t> table(count);
    for (size_t k = 0; k < 256; ++k) {
        const uint32_t begin = std::min(bounds[k], count);
        const uint32_t end = k == 255 ? count : std::min(bounds[k + 1], count);
        if (begin >= end) continue;
        // Ordinal o is value o, or value last − o on a falling scale.
        uint8_t* run = falling ? table.data() + (count - end) : table.data() + begin;
        std::memset(run, int(k), end - begin);
    }
    return table;
}

// --- float values in order ---------------------------------------------------------

constexpr uint32_t SignBit = 0x80000000u;
constexpr uint32_t FloatInfinity = 0x7F800000u;

/**
 * The position of a float (its bit pattern) in value order, 2^31 for both zeros;
 * 0 for NaN, below every number. `flip` (SignBit on a falling scale) negates the
 * value first, so that levels never fall with the ordinal.
 */
uint32_t FloatOrdinal(uint32_t bits, uint32_t flip)
{
    bits ^= flip;
    const uint32_t magnitude = bits & ~SignBit;
    const uint32_t negative = uint32_t(int32_t(bits) >> 31);                // all ones or 0
    const uint32_t ordinal = ((magnitude ^ negative) - negative) ^ SignBit; // 2^31 ± magnitude
    return magnitude > FloatInfinity ? 0 : ordinal;
}

/** The float at an ordinal of FloatOrdinal (not 0), as a double. */
double FloatAtOrdinal(uint32_t ordinal, uint32_t flip)
{
    const uint32_t bits = ordinal >= SignBit ? ordinal - SignBit : (SignBit | (SignBit - ordinal));
    float value;
    const uint32_t flipped = bits ^ flip;
    std::memcpy(&value, &flipped, sizeof value);
    return value;
}

/** The levels of all floats, for large float and complex images. */
struct FloatLevels
{
    static constexpr uint32_t NoThreshold = std::numeric_limits<uint32_t>::max();
    uint32_t flip = 0;
    std::array<uint32_t, 256> bounds{}; ///< thresholds over FloatOrdinal
    /**
     * One entry a bucket of 65536 ordinals (the top 16 bits): bits 0–7 the level at
     * the bucket's start, bits 16–31 the offset of the first threshold inside the
     * bucket (0: none inside) and bits 8–15 the rise at that offset, or 0 when a
     * further threshold follows inside, which the thresholds then decide.
     */
    std::vector<uint32_t> buckets;

    explicit FloatLevels(const Window& window)
    {
        flip = Falling(window) ? SignBit : 0;
        bounds = FindThresholds<uint32_t>(window, SignBit - FloatInfinity, SignBit + FloatInfinity,
                                          [&](uint32_t o) { return FloatAtOrdinal(o, flip); });
        int reached = 0; // levels 1 … reached occur
        while (reached < 255 && bounds[size_t(reached) + 1] != NoThreshold)
            ++reached;
        buckets.resize(65536);
        int below = 0; // thresholds 1 … below lie at or before the bucket's start
        for (uint32_t b = 0; b < 65536; ++b) {
            const uint32_t start = b << 16, end = start | 0xFFFFu;
            while (below < reached && bounds[size_t(below) + 1] <= start)
                ++below;
            int inside = below;
            while (inside < reached && bounds[size_t(inside) + 1] <= end)
                ++inside;
            uint32_t entry = uint32_t(below);
            if (inside > below) {
                const uint32_t first = bounds[size_t(below) + 1];
                entry |= (first - start) << 16;
                if (bounds[size_t(inside)] == first) entry |= uint32_t(inside - below) << 8;
            }
            buckets[b] = entry;
        }
    }

    uint8_t Of(uint32_t ordinal) const
    {
        // Without branches on the value: random pixels would mispredict them.
        const uint32_t entry = buckets[ordinal >> 16];
        const uint32_t offset = entry >> 16, rise = (entry >> 8) & 0xFF;
        const bool past = (ordinal & 0xFFFF) >= offset;
        if (past & (rise == 0) & (offset != 0)) return SearchLevel(bounds, ordinal);
        return uint8_t(entry + (past ? rise : 0));
    }
};

// --- rows, threads and checks ----------------------------------------------------

/** The rectangle both images cover, and where its rows lie. */
struct Area
{
    const uint8_t* src = nullptr;
    uint8_t* dst = nullptr;
    std::ptrdiff_t srcStep = 0, dstStep = 0;
    int32_t width = 0, height = 0;

    int64_t Pixels() const { return int64_t(width) * height; }
};

/**
 * Whether `dst` and `src` are of the kinds given and can be converted; `area` then
 * holds their common rectangle (empty when a size is 0). A `dst` about to be written
 * gets a new Generation.
 */
bool Prepare(ImageStruct* dst, const ImageStruct* src, int16_t dstKind, int16_t srcKind, Area& area)
{
    if (ImageKind(dst) != dstKind || ImageKind(src) != srcKind) return false;
    const int32_t width = std::min(dst->XSize, src->XSize);
    const int32_t height = std::min(dst->YSize, src->YSize);
    if (width <= 0 || height <= 0) return true;
    if (!dst->Data || !src->Data) return false;
    TouchImage(dst);
    area = {src->Data, dst->Data, src->LineStep, dst->LineStep, width, height};
    return true;
}

/**
 * The fewest pixels a thread takes on (so images of fewer than twice as many are
 * converted on the calling thread alone), and the most threads.
 */
constexpr int64_t PixelsPerThread = int64_t(1) << 17;
constexpr unsigned MostThreads = 8;
/** Threads take rows in chunks of about this many pixels. */
constexpr int64_t ChunkPixels = int64_t(1) << 16;
/** Float and complex images of fewer pixels than this use the formula, not tables. */
constexpr int64_t TablePixels = int64_t(1) << 15;
/** 16-bit images of fewer pixels than this use the formula, not a table. */
constexpr int64_t Table16Pixels = int64_t(1) << 12;

template <typename RowFunction>
void RunRows(const Area& area, int32_t y0, int32_t y1, RowFunction& row)
{
    for (int32_t y = y0; y < y1; ++y)
        row(area.src + std::ptrdiff_t(y) * area.srcStep,
            area.dst + std::ptrdiff_t(y) * area.dstStep, area.width);
}

/**
 * Calls row(src row, dst row, width) for every row of `area`, each row once. Large
 * areas are shared among a few threads that take chunks of rows as they go, so a core
 * busy with other work holds up nothing.
 */
template <typename RowFunction> void ForEachRow(const Area& area, RowFunction row)
{
    if (area.width <= 0 || area.height <= 0) return;
    const int64_t chunkRows = std::clamp<int64_t>(ChunkPixels / area.width, 1, area.height);
    SplitRows(
        {.Rows = area.height,
         .Threads = std::min<unsigned>(ProcessorCores(), MostThreads),
         .RowWork = area.width,
         .ThreadWork = PixelsPerThread,
         .BandRows = chunkRows},
        [&](int64_t y0, int64_t y1, unsigned) { RunRows(area, int32_t(y0), int32_t(y1), row); });
}

template <typename T> T Load(const uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T> void Store(uint8_t* p, T value)
{
    std::memcpy(p, &value, sizeof value);
}

// --- floats and complex components -----------------------------------------------------

/** Which float of an element the window reads. */
enum class Component
{
    Float,    ///< float images: the element
    Real,     ///< complex images: the first float
    Imaginary ///< complex images: the second float
};

template <Component C> constexpr std::ptrdiff_t ElementBytes = C == Component::Float ? 4 : 8;
template <Component C> constexpr std::ptrdiff_t ComponentOffset = C == Component::Imaginary ? 4 : 0;

template <Component C> uint32_t ComponentBits(const uint8_t* row, int32_t x)
{
    return Load<uint32_t>(row + x * ElementBytes<C> + ComponentOffset<C>);
}

template <Component C> double ComponentValue(const uint8_t* row, int32_t x)
{
    return Load<float>(row + x * ElementBytes<C> + ComponentOffset<C>);
}

template <Component C>
void FloatRowPlain(const FloatLevels& levels, const uint8_t* src, uint8_t* dst, int32_t from,
                   int32_t width)
{
    for (int32_t x = from; x < width; ++x)
        dst[x] = levels.Of(FloatOrdinal(ComponentBits<C>(src, x), levels.flip));
}

#ifdef VOLINSPECT_CONVERT_X86
#define VOLINSPECT_AVX2 __attribute__((target("avx2")))

bool HasAvx2()
{
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return avx2;
}

/** The bit patterns of the component read, for elements x … x + 7. */
template <Component C> VOLINSPECT_AVX2 __m256i ComponentBits8(const uint8_t* row, int32_t x)
{
    const uint8_t* p = row + x * ElementBytes<C>;
    if constexpr (C == Component::Float) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    } else {
        const __m256 a = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
        const __m256 b = _mm256_loadu_ps(reinterpret_cast<const float*>(p + 32));
        // Elements 0 1 4 5 | 2 3 6 7, then the 64-bit quarters put in order.
        const __m256 halves = _mm256_shuffle_ps(a, b, C == Component::Real ? 0x88 : 0xDD);
        return _mm256_permute4x64_epi64(_mm256_castps_si256(halves), 0xD8);
    }
}

/** Stores the low bytes of eight 32-bit levels (each 0 … 255). */
VOLINSPECT_AVX2 void StoreLevels8(uint8_t* dst, __m256i levels)
{
    const __m128i words =
        _mm_packus_epi32(_mm256_castsi256_si128(levels), _mm256_extracti128_si256(levels, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(words, words));
}

/** The same for levels 0 … 3 in `a` and 4 … 7 in `b`. */
VOLINSPECT_AVX2 void StoreLevels8(uint8_t* dst, __m128i a, __m128i b)
{
    const __m128i words = _mm_packus_epi32(a, b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(words, words));
}

template <Component C>
VOLINSPECT_AVX2 void FloatRowAvx2(const FloatLevels& levels, const uint8_t* src, uint8_t* dst,
                                  int32_t width)
{
    const __m256i flip = _mm256_set1_epi32(int32_t(levels.flip));
    const __m256i sign = _mm256_set1_epi32(int32_t(SignBit));
    const __m256i infinity = _mm256_set1_epi32(int32_t(FloatInfinity));
    const __m256i low16 = _mm256_set1_epi32(0xFFFF), low8 = _mm256_set1_epi32(0xFF);
    const __m256i one = _mm256_set1_epi32(1), zero = _mm256_setzero_si256();
    const int* buckets = reinterpret_cast<const int*>(levels.buckets.data());
    int32_t x = 0;
    for (; x + 8 <= width; x += 8) {
        // FloatOrdinal, eight at a time: negative values count down from 2^31.
        const __m256i bits = _mm256_xor_si256(ComponentBits8<C>(src, x), flip);
        const __m256i magnitude = _mm256_andnot_si256(sign, bits);
        const __m256i negative = _mm256_srai_epi32(bits, 31);
        const __m256i key = _mm256_sub_epi32(_mm256_xor_si256(magnitude, negative), negative);
        const __m256i nan = _mm256_cmpgt_epi32(magnitude, infinity);
        const __m256i ordinal = _mm256_andnot_si256(nan, _mm256_xor_si256(key, sign));

        const __m256i entry = _mm256_i32gather_epi32(buckets, _mm256_srli_epi32(ordinal, 16), 4);
        const __m256i base = _mm256_and_si256(entry, low8);
        const __m256i rise = _mm256_and_si256(_mm256_srli_epi32(entry, 8), low8);
        const __m256i offset = _mm256_srli_epi32(entry, 16);
        const __m256i past =
            _mm256_cmpgt_epi32(_mm256_and_si256(ordinal, low16), _mm256_sub_epi32(offset, one));
        const __m256i level = _mm256_add_epi32(base, _mm256_and_si256(past, rise));
        const __m256i search =
            _mm256_and_si256(past, _mm256_andnot_si256(_mm256_cmpeq_epi32(offset, zero),
                                                       _mm256_cmpeq_epi32(rise, zero)));
        StoreLevels8(dst + x, level);
        if (!_mm256_testz_si256(search, search)) {
            alignas(32) uint32_t ordinals[8], searched[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(ordinals), ordinal);
            _mm256_store_si256(reinterpret_cast<__m256i*>(searched), search);
            for (int i = 0; i < 8; ++i)
                if (searched[i]) dst[x + i] = SearchLevel(levels.bounds, ordinals[i]);
        }
    }
    _mm256_zeroupper();
    FloatRowPlain<C>(levels, src, dst, x, width);
}

#endif

// --- 32-bit and complex power --------------------------------------------------------

/**
 * re² + im² in double precision. Both squares of floats are exact (24 significant bits
 * each), so the sum is rounded once however it is formed, fused or not.
 */
double Power(const uint8_t* row, int32_t x)
{
    const double re = Load<float>(row + 8 * x), im = Load<float>(row + 8 * x + 4);
    return re * re + im * im;
}

void Row32Plain(const Window& window, const uint8_t* src, uint8_t* dst, int32_t from, int32_t width)
{
    for (int32_t x = from; x < width; ++x)
        dst[x] = Level(window, Load<int32_t>(src + 4 * x));
}

void PowerRowPlain(const Window& window, const uint8_t* src, uint8_t* dst, int32_t from,
                   int32_t width)
{
    for (int32_t x = from; x < width; ++x)
        dst[x] = Level(window, Power(src, x));
}

#ifdef VOLINSPECT_CONVERT_X86
/** Elements x … x + 7 of a row as doubles, four in each. */
struct Source32
{
    static constexpr bool Tabled = false;

    VOLINSPECT_AVX2 static void Load(const uint8_t* row, int32_t x, __m256d& a, __m256d& b)
    {
        const auto* p = reinterpret_cast<const __m128i*>(row + 4 * x);
        a = _mm256_cvtepi32_pd(_mm_loadu_si128(p));
        b = _mm256_cvtepi32_pd(_mm_loadu_si128(p + 1));
    }
};

/**
 * 16-bit rows alternate: eight elements by the formula, the next eight by the table.
 * The formula's conversions and packing are bound by one execution port at about a
 * cycle per element, the table lookups by the load ports, so the two run side by side
 * (nearly half the time of the formula alone).
 */
struct Source16
{
    static constexpr bool Tabled = true;

    static void LookUp8(const uint8_t* row, int32_t x, uint8_t* dst, const uint8_t* table)
    {
        for (int32_t i = x; i < x + 8; ++i)
            dst[i] = table[::Load<uint16_t>(row + 2 * i)];
    }

    VOLINSPECT_AVX2 static void Load(const uint8_t* row, int32_t x, __m256d& a, __m256d& b)
    {
        const uint8_t* p = row + 2 * x;
        a = _mm256_cvtepi32_pd(
            _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
        b = _mm256_cvtepi32_pd(
            _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8))));
    }
};

/** re² + im² of complex elements, in double precision. */
struct SourcePower
{
    static constexpr bool Tabled = false;

    VOLINSPECT_AVX2 static __m256d Power4(const uint8_t* p)
    {
        const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
        const __m256d a = _mm256_cvtps_pd(_mm256_castps256_ps128(v));   // re0 im0 re1 im1
        const __m256d b = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); // re2 im2 re3 im3
        // hadd gives p0 p2 p1 p3; each sum is re² + im², exactly as written per pixel.
        const __m256d sums = _mm256_hadd_pd(_mm256_mul_pd(a, a), _mm256_mul_pd(b, b));
        return _mm256_permute4x64_pd(sums, 0xD8);
    }

    VOLINSPECT_AVX2 static void Load(const uint8_t* row, int32_t x, __m256d& a, __m256d& b)
    {
        a = Power4(row + 8 * x);
        b = Power4(row + 8 * x + 32);
    }
};

/**
 * The window on a row, eight elements at a time (sixteen for Source16) while that many
 * remain, with Reach the comparison that tells an element at or beyond Max (_CMP_GE_OQ,
 * or _CMP_LE_OQ on an inverted scale; false for NaN); returns where it stopped.
 *
 * Elements beyond Max take the floor 255, the others 0. The step gives the floor; the
 * linear window takes the same IEEE operations as Level, then the floor and a clamp:
 * max returns its second operand, the floor, for NaN, so below 1 and NaN give 0, from
 * 255 on 255, and truncation does the rest.
 */
template <typename Source, int Reach, bool Step>
VOLINSPECT_AVX2 int32_t WindowRowAvx2(const Window& window, const uint8_t* src, uint8_t* dst,
                                      int32_t width, const uint8_t* table)
{
    const __m256d min = _mm256_set1_pd(window.min), max = _mm256_set1_pd(window.max);
    const __m256d factor = _mm256_set1_pd(window.factor), top = _mm256_set1_pd(255.0);
    constexpr int32_t block = Source::Tabled ? 16 : 8;
    int32_t x = 0;
    __m256d a, b;
    for (; x + block <= width; x += block) {
        if constexpr (Source::Tabled) Source::LookUp8(src, x + 8, dst, table);
        Source::Load(src, x, a, b);
        const __m256d floorA = _mm256_and_pd(_mm256_cmp_pd(a, max, Reach), top);
        const __m256d floorB = _mm256_and_pd(_mm256_cmp_pd(b, max, Reach), top);
        if constexpr (Step) {
            StoreLevels8(dst + x, _mm256_cvttpd_epi32(floorA), _mm256_cvttpd_epi32(floorB));
        } else {
            a = _mm256_mul_pd(_mm256_sub_pd(a, min), factor);
            b = _mm256_mul_pd(_mm256_sub_pd(b, min), factor);
            StoreLevels8(dst + x, _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(a, floorA), top)),
                         _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(b, floorB), top)));
        }
    }
    return x;
}

/** The linear window (or the step) on a row, as WindowRowAvx2; returns where it stopped. */
template <typename Source>
VOLINSPECT_AVX2 int32_t LinearRowAvx2(const Window& window, const uint8_t* src, uint8_t* dst,
                                      int32_t width, const uint8_t* table = nullptr)
{
    int32_t x = 0;
    if (window.form == Window::Form::Step)
        x = WindowRowAvx2<Source, _CMP_GE_OQ, true>(window, src, dst, width, table);
    else if (window.inverted)
        x = WindowRowAvx2<Source, _CMP_LE_OQ, false>(window, src, dst, width, table);
    else
        x = WindowRowAvx2<Source, _CMP_GE_OQ, false>(window, src, dst, width, table);
    _mm256_zeroupper();
    return x;
}

#endif

// --- the conversions by source -------------------------------------------------------

template <Component C>
bool FloatToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max, bool logarithmic)
{
    Area area;
    if (!Prepare(dst, src, ImageKind8, C == Component::Float ? ImageKindFloat : ImageKindComplex,
                 area))
        return false;
    const Window window = MakeWindow(min, max, logarithmic);
    if (area.Pixels() < TablePixels) {
        ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
            for (int32_t x = 0; x < width; ++x)
                d[x] = Level(window, ComponentValue<C>(s, x));
        });
        return true;
    }
    const FloatLevels levels(window);
#ifdef VOLINSPECT_CONVERT_X86
    if (HasAvx2()) {
        ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
            FloatRowAvx2<C>(levels, s, d, width);
        });
        return true;
    }
#endif
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        FloatRowPlain<C>(levels, s, d, 0, width);
    });
    return true;
}

/** The level of every RGB grey value 0 … 255 (and of every byte). */
std::array<uint8_t, 256> ByteTable(float min, float max)
{
    const Window window = MakeWindow(min, max, false);
    std::array<uint8_t, 256> table;
    for (int v = 0; v < 256; ++v)
        table[size_t(v)] = Level(window, v);
    return table;
}

uint32_t Grey(uint32_t pixel)
{
    const uint32_t b = pixel & 0xFF, g = (pixel >> 8) & 0xFF, r = (pixel >> 16) & 0xFF;
    return (299 * r + 587 * g + 114 * b) / 1000;
}

/** 8-bit values v written as the elements make(v), of type T, of a `kind` image. */
template <typename T, typename Make>
bool FromImage8(ImageStruct* dst, const ImageStruct* src, int16_t kind, Make make)
{
    Area area;
    if (!Prepare(dst, src, kind, ImageKind8, area)) return false;
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        for (int32_t x = 0; x < width; ++x)
            Store(d + sizeof(T) * size_t(x), make(s[x]));
    });
    return true;
}

struct ComplexElement
{
    float re, im;
};

} // namespace

bool Image8ToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    Area area;
    if (!Prepare(dst, src, ImageKind8, ImageKind8, area)) return false;
    const auto table = ByteTable(min, max);
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        for (int32_t x = 0; x < width; ++x)
            d[x] = table[s[x]];
    });
    return true;
}

bool Image16ToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    Area area;
    if (!Prepare(dst, src, ImageKind8, ImageKind16, area)) return false;
    const Window window = MakeWindow(min, max, false);
    if (area.Pixels() < Table16Pixels) {
        ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
            for (int32_t x = 0; x < width; ++x)
                d[x] = Level(window, Load<uint16_t>(s + 2 * x));
        });
        return true;
    }
    // The table serves the rows' tails, or whole rows without AVX2.
    const std::vector<uint8_t> table = Table16(window);
    const auto lookUp = [&](const uint8_t* s, uint8_t* d, int32_t from, int32_t width) {
        for (int32_t x = from; x < width; ++x)
            d[x] = table[Load<uint16_t>(s + 2 * x)];
    };
#ifdef VOLINSPECT_CONVERT_X86
    if (HasAvx2()) {
        ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
            lookUp(s, d, LinearRowAvx2<Source16>(window, s, d, width, table.data()), width);
        });
        return true;
    }
#endif
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) { lookUp(s, d, 0, width); });
    return true;
}

bool Image32ToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    Area area;
    if (!Prepare(dst, src, ImageKind8, ImageKind32, area)) return false;
    const Window window = MakeWindow(min, max, false);
#ifdef VOLINSPECT_CONVERT_X86
    if (HasAvx2()) {
        ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
            Row32Plain(window, s, d, LinearRowAvx2<Source32>(window, s, d, width), width);
        });
        return true;
    }
#endif
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        Row32Plain(window, s, d, 0, width);
    });
    return true;
}

bool ImageRGBToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    Area area;
    if (!Prepare(dst, src, ImageKind8, ImageKindRGB, area)) return false;
    const auto table = ByteTable(min, max);
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        for (int32_t x = 0; x < width; ++x)
            d[x] = table[Grey(Load<uint32_t>(s + 4 * x))];
    });
    return true;
}

bool ImageFloatToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    return FloatToImage8<Component::Float>(dst, src, min, max, false);
}

bool ImageComplexReToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    return FloatToImage8<Component::Real>(dst, src, min, max, false);
}

bool ImageComplexImToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    return FloatToImage8<Component::Imaginary>(dst, src, min, max, false);
}

bool ImageComplexPowerToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    Area area;
    if (!Prepare(dst, src, ImageKind8, ImageKindComplex, area)) return false;
    const Window window = MakeWindow(min, max, false);
#ifdef VOLINSPECT_CONVERT_X86
    if (HasAvx2()) {
        ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
            PowerRowPlain(window, s, d, LinearRowAvx2<SourcePower>(window, s, d, width), width);
        });
        return true;
    }
#endif
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        PowerRowPlain(window, s, d, 0, width);
    });
    return true;
}

bool ImageFloatLogToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    return FloatToImage8<Component::Float>(dst, src, min, max, true);
}

bool ImageComplexReLogToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    return FloatToImage8<Component::Real>(dst, src, min, max, true);
}

bool ImageComplexImLogToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    return FloatToImage8<Component::Imaginary>(dst, src, min, max, true);
}

bool ImageComplexPowerLogToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    Area area;
    if (!Prepare(dst, src, ImageKind8, ImageKindComplex, area)) return false;
    const Window window = MakeWindow(min, max, true);
    if (area.Pixels() < TablePixels) {
        ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
            PowerRowPlain(window, s, d, 0, width);
        });
        return true;
    }
    // A power is +0 or more, +∞ or NaN: its bit pattern orders the numbers among
    // themselves, counted down from +∞ on a falling scale.
    constexpr uint64_t infinity = 0x7FF0000000000000u;
    const uint64_t flip = Falling(window) ? infinity : 0;
    const auto ordinal = [flip](double p) {
        uint64_t bits;
        std::memcpy(&bits, &p, sizeof bits);
        return flip ? flip - bits : bits;
    };
    const auto bounds = FindThresholds<uint64_t>(window, 0, infinity, [&](uint64_t o) {
        const uint64_t bits = flip ? flip - o : o;
        double p;
        std::memcpy(&p, &bits, sizeof p);
        return p;
    });
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        for (int32_t x = 0; x < width; ++x) {
            const double p = Power(s, x);
            d[x] = std::isnan(p) ? 0 : SearchLevel(bounds, ordinal(p));
        }
    });
    return true;
}

bool ImageRGBToImageRGB(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    return ImageRGBToImageRGBColor(dst, src, 0xFFFFFF, min, max);
}

bool ImageRGBToImageRGBColor(ImageStruct* dst, const ImageStruct* src, uint32_t color, float min,
                             float max)
{
    Area area;
    if (!Prepare(dst, src, ImageKindRGB, ImageKindRGB, area)) return false;
    const auto table = ByteTable(min, max);
    // One table a channel: blue (byte 0) takes the colour's BB, red (byte 2) its RR.
    std::array<std::array<uint32_t, 256>, 3> channels;
    for (int c = 0; c < 3; ++c) {
        const uint32_t scale = (color >> (8 * (2 - c))) & 0xFF;
        for (size_t v = 0; v < 256; ++v)
            channels[size_t(c)][v] = (table[v] * scale / 255) << (8 * c);
    }
    ForEachRow(area, [&](const uint8_t* s, uint8_t* d, int32_t width) {
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t pixel = Load<uint32_t>(s + 4 * x);
            Store(d + 4 * x, channels[0][pixel & 0xFF] | channels[1][(pixel >> 8) & 0xFF] |
                                 channels[2][(pixel >> 16) & 0xFF]);
        }
    });
    return true;
}

bool Image8ToImage16(ImageStruct* dst, const ImageStruct* src)
{
    return FromImage8<uint16_t>(dst, src, ImageKind16, [](uint8_t v) { return uint16_t(v); });
}

bool Image8ToImage32(ImageStruct* dst, const ImageStruct* src)
{
    return FromImage8<int32_t>(dst, src, ImageKind32, [](uint8_t v) { return int32_t(v); });
}

bool Image8ToImageFloat(ImageStruct* dst, const ImageStruct* src)
{
    return FromImage8<float>(dst, src, ImageKindFloat, [](uint8_t v) { return float(v); });
}

bool Image8ToImageComplex(ImageStruct* dst, const ImageStruct* src)
{
    return FromImage8<ComplexElement>(dst, src, ImageKindComplex, [](uint8_t v) {
        return ComplexElement{float(v), 0.0f};
    });
}

bool Image8ToImageRGB(ImageStruct* dst, const ImageStruct* src)
{
    return FromImage8<uint32_t>(dst, src, ImageKindRGB,
                                [](uint8_t v) { return uint32_t(v) * 0x010101u; });
}
