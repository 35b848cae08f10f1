#include "Measure.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <type_traits>

namespace {

template <class T> inline T Load(const uint8_t* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

/** Calls `f` with a null pointer of the element type of `kind`. */
template <class F> decltype(auto) WithKind(SampleKind kind, F&& f)
{
    switch (kind) {
    case SampleKind::UInt8:
        return f(static_cast<uint8_t*>(nullptr));
    case SampleKind::Int8:
        return f(static_cast<int8_t*>(nullptr));
    case SampleKind::UInt16:
        return f(static_cast<uint16_t*>(nullptr));
    case SampleKind::Int16:
        return f(static_cast<int16_t*>(nullptr));
    case SampleKind::UInt32:
        return f(static_cast<uint32_t*>(nullptr));
    case SampleKind::Int32:
        return f(static_cast<int32_t*>(nullptr));
    case SampleKind::UInt64:
        return f(static_cast<uint64_t*>(nullptr));
    case SampleKind::Int64:
        return f(static_cast<int64_t*>(nullptr));
    case SampleKind::Float32:
        return f(static_cast<float*>(nullptr));
    case SampleKind::Float64:
        break;
    }
    return f(static_cast<double*>(nullptr));
}

// --- sums of integer samples: exact ----------------------------------------------------

/**
 * Samples ahead that a strided run fetches: each sample of a side slice's run lies in a
 * cache line (and often a page) of its own, beyond what the processor fetches ahead.
 */
constexpr int64_t PrefetchAhead = 16;

/**
 * Exact sums of 8-, 16- or 32-bit integer samples. A square is below 2^64, so the sum of
 * squares of fewer than 2^63 samples fits 128 bits; so does the plain sum.
 */
struct IntegerSums
{
    int64_t Count = 0;
    __int128 Sum = 0;
    __int128 Squares = 0;
    int64_t Min = std::numeric_limits<int64_t>::max();
    int64_t Max = std::numeric_limits<int64_t>::min();

    void Add(const IntegerSums& other)
    {
        Count += other.Count;
        Sum += other.Sum;
        Squares += other.Squares;
        Min = std::min(Min, other.Min);
        Max = std::max(Max, other.Max);
    }
};

/**
 * Adds `count` samples of an 8- or 16-bit kind, `step` bytes apart (Step; 0 for a
 * run-time `step`). The run is taken in pieces short enough for the sum of a piece to fit
 * 32 bits and the sum of its squares 64 bits, in loops the compiler vectorises when the
 * samples are contiguous.
 */
template <class T, int Step>
__attribute__((always_inline)) inline void AddSmallIntegersBody(const uint8_t* at, int64_t count,
                                                                int64_t step, IntegerSums& sums)
{
    using Wide = std::conditional_t<std::is_signed_v<T>, int32_t, uint32_t>;
    constexpr int64_t Piece = 32768; // |sum| < 2^31 for any 16-bit piece
    if (Step != 0) step = Step;
    T low = std::numeric_limits<T>::max(), high = std::numeric_limits<T>::min();
    for (int64_t done = 0; done < count;) {
        const int64_t n = std::min(count - done, Piece);
        const uint8_t* p = at + done * step;
        Wide sum = 0;
        uint64_t squares = 0;
        for (int64_t i = 0; i < n; ++i) {
            if (Step == 0) __builtin_prefetch(p + (i + PrefetchAhead) * step);
            const T v = Load<T>(p + i * step);
            sum += Wide(v);
            squares += uint32_t(Wide(v) * Wide(v));
            low = v < low ? v : low;
            high = v > high ? v : high;
        }
        sums.Sum += sum;
        sums.Squares += squares;
        done += n;
    }
    sums.Count += count;
    sums.Min = std::min<int64_t>(sums.Min, low);
    sums.Max = std::max<int64_t>(sums.Max, high);
}

template <class T, int Step>
void AddSmallIntegers(const uint8_t* at, int64_t count, int64_t step, IntegerSums& sums)
{
    AddSmallIntegersBody<T, Step>(at, count, step, sums);
}

#if defined(__x86_64__)
#define VOLINSPECT_MEASURE_AVX2 __attribute__((target("avx2")))
bool HasAvx2()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#else
#define VOLINSPECT_MEASURE_AVX2
bool HasAvx2()
{
    return false;
}
#endif

/** Contiguous runs again, vectorised for AVX2: twice the samples an instruction. */
template <class T>
VOLINSPECT_MEASURE_AVX2 void AddSmallIntegersAvx2(const uint8_t* at, int64_t count,
                                                  IntegerSums& sums)
{
    AddSmallIntegersBody<T, sizeof(T)>(at, count, sizeof(T), sums);
}

/** The same for 32-bit samples, whose squares need 128-bit sums. */
template <class T, int Step>
void AddWordIntegers(const uint8_t* at, int64_t count, int64_t step, IntegerSums& sums)
{
    using Wide = std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>;
    if (Step != 0) step = Step;
    T low = std::numeric_limits<T>::max(), high = std::numeric_limits<T>::min();
    int64_t sum = 0; // |sum| < 2^63: fewer than 2^31 samples of at most 2^32
    unsigned __int128 squares = 0;
    for (int64_t i = 0; i < count; ++i) {
        if (Step == 0) __builtin_prefetch(at + (i + PrefetchAhead) * step);
        const T v = Load<T>(at + i * step);
        sum += v;
        squares += uint64_t(Wide(v) * Wide(v));
        low = v < low ? v : low;
        high = v > high ? v : high;
    }
    sums.Count += count;
    sums.Sum += sum;
    sums.Squares += __int128(squares);
    sums.Min = std::min<int64_t>(sums.Min, low);
    sums.Max = std::max<int64_t>(sums.Max, high);
}

RegionStats Finish(const IntegerSums& sums)
{
    RegionStats stats;
    stats.Count = sums.Count;
    if (sums.Count == 0) return stats;
    const __int128 n = sums.Count;
    stats.Sum = double(sums.Sum);
    stats.Mean = stats.Sum / double(sums.Count);
    stats.Min = double(sums.Min);
    stats.Max = double(sums.Max);
    if (sums.Count < 2) return stats;
    // Shifted by q = Sum / n (truncated), with r = Sum − q·n: m = Σ(x − q)², and
    // n·Σx² − (Σx)² = n·m − r² for any q. With q near the mean, m stays near n times the
    // variance however large the samples are: exact in 128 bits for any region of fewer
    // than 2^31 samples.
    const __int128 q = sums.Sum / n, r = sums.Sum - q * n;
    const __int128 m = sums.Squares - 2 * q * sums.Sum + n * q * q;
    __int128 nm;
    double variance;
    if (!__builtin_mul_overflow(n, m, &nm))
        variance = double(nm - r * r) / (double(n) * double(n - 1));
    else
        variance = (double(m) - double(r) * (double(r) / double(n))) / double(n - 1);
    stats.Sd = std::sqrt(std::max(variance, 0.0));
    return stats;
}

// --- sums of other samples: in double ---------------------------------------------------

/**
 * Sums of floating-point (or 64-bit integer) samples: the count, the sum, the mean and
 * the sum of squared deviations from it, merged run by run (the pairwise update), so that
 * runs of large values with a small spread keep their spread.
 */
struct FloatSums
{
    int64_t Count = 0, NaNs = 0;
    double Sum = 0, Mean = 0, Deviations = 0;
    double Min = std::numeric_limits<double>::infinity();
    double Max = -std::numeric_limits<double>::infinity();

    void Add(const FloatSums& other)
    {
        NaNs += other.NaNs;
        if (other.Count == 0) return;
        if (Count == 0) {
            const int64_t nans = NaNs;
            *this = other;
            NaNs = nans;
            return;
        }
        const double n = double(Count + other.Count);
        const double delta = other.Mean - Mean;
        Mean += delta * (double(other.Count) / n);
        Deviations += other.Deviations + delta * delta * (double(Count) * double(other.Count) / n);
        Sum += other.Sum;
        Count += other.Count;
        Min = std::min(Min, other.Min);
        Max = std::max(Max, other.Max);
    }
};

/** Adds a run of samples, taken as doubles, NaN left out: its sums in two passes. */
template <class T, int Step>
void AddFloats(const uint8_t* at, int64_t count, int64_t step, FloatSums& sums)
{
    if (Step != 0) step = Step;
    FloatSums run;
    double sum = 0, low = run.Min, high = run.Max;
    int64_t n = 0;
    for (int64_t i = 0; i < count; ++i) {
        if (Step == 0) __builtin_prefetch(at + (i + PrefetchAhead) * step);
        const double v = double(Load<T>(at + i * step));
        const bool number = v == v;
        sum += number ? v : 0.0;
        n += number;
        low = v < low ? v : low;
        high = v > high ? v : high;
    }
    run.Count = n;
    run.NaNs = count - n;
    if (n > 0) {
        run.Sum = sum;
        run.Mean = sum / double(n);
        run.Min = low;
        run.Max = high;
        double deviations = 0;
        for (int64_t i = 0; i < count; ++i) {
            const double d = double(Load<T>(at + i * step)) - run.Mean;
            deviations += d == d ? d * d : 0.0;
        }
        run.Deviations = deviations;
    }
    sums.Add(run);
}

RegionStats Finish(const FloatSums& sums)
{
    RegionStats stats;
    stats.Count = sums.Count;
    stats.NaNs = sums.NaNs;
    if (sums.Count == 0) return stats;
    stats.Sum = sums.Sum;
    stats.Mean = sums.Sum / double(sums.Count);
    stats.Min = sums.Min;
    stats.Max = sums.Max;
    // An infinite sample has no deviation from a mean: the spread is undefined.
    if (sums.Count >= 2 && std::isfinite(sums.Sum))
        stats.Sd = std::sqrt(sums.Deviations / double(sums.Count - 1));
    return stats;
}

/** The sums and the run functions of element type T. */
template <class T> struct Kernel
{
    static constexpr bool Small = std::is_integral_v<T> && sizeof(T) <= 2;
    static constexpr bool Word = std::is_integral_v<T> && sizeof(T) == 4;
    using Sums = std::conditional_t<Small || Word, IntegerSums, FloatSums>;

    static void Run(const uint8_t* at, int64_t count, int64_t step, Sums& sums)
    {
        if constexpr (Small) {
            if (step != int64_t(sizeof(T)))
                AddSmallIntegers<T, 0>(at, count, step, sums);
            else if (HasAvx2())
                AddSmallIntegersAvx2<T>(at, count, sums);
            else
                AddSmallIntegers<T, sizeof(T)>(at, count, step, sums);
        } else if constexpr (Word) {
            if (step == int64_t(sizeof(T)))
                AddWordIntegers<T, sizeof(T)>(at, count, step, sums);
            else
                AddWordIntegers<T, 0>(at, count, step, sums);
        } else {
            if (step == int64_t(sizeof(T)))
                AddFloats<T, sizeof(T)>(at, count, step, sums);
            else
                AddFloats<T, 0>(at, count, step, sums);
        }
    }
};

// --- regions: boxes of samples ----------------------------------------------------------

std::atomic<int> ThreadLimit{0};

/** Boxes of at least this many samples are shared among threads. */
constexpr int64_t ThreadSamples = int64_t(1) << 20;

struct Axis
{
    int64_t Count = 1;
    int64_t Stride = 0; ///< bytes
};

/**
 * The statistics of the samples at base + i0·s0 + i1·s1 + i2·s2 for i < Count along each
 * axis. Runs go along the axis of the smallest stride (memory order, whatever the order
 * of the axes given); each sheet along the outermost axis is summed apart and the sheets
 * are merged in order, so that the result does not depend on which thread summed which.
 */
template <class T> RegionStats BoxStats(const uint8_t* base, std::array<Axis, 3> axes)
{
    using K = Kernel<T>;
    typename K::Sums total;
    for (Axis& axis : axes) {
        if (axis.Count <= 0) return Finish(total);
        // A run backwards is the same run forwards from its other end.
        if (axis.Stride < 0) {
            base += (axis.Count - 1) * axis.Stride;
            axis.Stride = -axis.Stride;
        }
        if (axis.Count == 1) axis.Stride = std::numeric_limits<int64_t>::max();
    }
    // Three axes in order of stride, equal strides keeping their order.
    for (int i = 1; i < 3; ++i)
        for (int j = i; j > 0 && axes[j].Stride < axes[j - 1].Stride; --j)
            std::swap(axes[j], axes[j - 1]);
    const Axis run = axes[0], rows = axes[1], sheets = axes[2];
    const int64_t runStep = run.Count > 1 ? run.Stride : int64_t(sizeof(T));
    auto sumSheet = [&](int64_t k, typename K::Sums& sums) {
        const uint8_t* sheet = base + (k > 0 ? k * sheets.Stride : 0);
        for (int64_t j = 0; j < rows.Count; ++j)
            K::Run(sheet + (j > 0 ? j * rows.Stride : 0), run.Count, runStep, sums);
    };

    std::vector<typename K::Sums> parts(size_t(sheets.Count));
    const int64_t samples = run.Count * rows.Count * sheets.Count;
    const int limit = ThreadLimit.load();
    int threads =
        limit > 0 ? limit : int(std::min(8u, std::max(1u, std::thread::hardware_concurrency())));
    threads = int(std::min<int64_t>(threads, sheets.Count));
    if (samples < ThreadSamples || threads < 2) {
        for (int64_t k = 0; k < sheets.Count; ++k)
            sumSheet(k, parts[size_t(k)]);
    } else {
        std::atomic<int64_t> next{0};
        auto work = [&] {
            for (int64_t k; (k = next.fetch_add(1)) < sheets.Count;)
                sumSheet(k, parts[size_t(k)]);
        };
        std::vector<std::thread> helpers;
        for (int i = 1; i < threads; ++i)
            helpers.emplace_back(work);
        work();
        for (std::thread& helper : helpers)
            helper.join();
    }
    for (const auto& part : parts)
        total.Add(part);
    return Finish(total);
}

RegionStats BoxStats(const uint8_t* base, SampleKind kind, const std::array<Axis, 3>& axes)
{
    if (!base) return {};
    return WithKind(kind, [&](auto* tag) {
        return BoxStats<std::remove_pointer_t<decltype(tag)>>(base, axes);
    });
}

/** The axes of the block (0 x, 1 y, 2 z) along u and v and the normal of `plane`. */
struct PlaneAxes
{
    int U, V, Normal;
};
PlaneAxes AxesOf(SlicePlane plane)
{
    switch (plane) {
    case SlicePlane::Top:
        return {0, 1, 2};
    case SlicePlane::Front:
        return {0, 2, 1};
    case SlicePlane::Side:
        break;
    }
    return {2, 1, 0};
}

// --- reading a box from a source ---------------------------------------------------------

/** Bytes of rows read at once when a box takes part of each row: about a cache's worth. */
constexpr int64_t RowChunkBytes = int64_t(256) << 10;

/** Copies `rows` rows of `bytes` bytes from `from` (`fromStep` apart) to `to` (`toStep` apart). */
void CopyRows(const uint8_t* from, int64_t fromStep, uint8_t* to, int64_t toStep, int64_t rows,
              int64_t bytes)
{
    for (int64_t j = 0; j < rows; ++j)
        std::memcpy(to + j * toStep, from + j * fromStep, size_t(bytes));
}

} // namespace

double SampleBlock::At(int64_t x, int64_t y, int64_t z) const
{
    return SampleValue(Base + x * Stride[0] + y * Stride[1] + z * Stride[2], Kind);
}

double SampleSlice::At(int64_t u, int64_t v) const
{
    return SampleValue(Base + u * StrideU + v * StrideV, Kind);
}

SampleBlock StackBlock(const VolumeStack& stack, int c, int t)
{
    const StackLayout& layout = stack.Layout();
    SampleBlock block;
    block.Kind = layout.Kind;
    if (c < 0 || c >= layout.Channels || t < 0 || t >= layout.Frames || stack.Empty() ||
        !stack.HasSamples(c, t))
        return block;
    const int64_t bytes = SampleKindBytes(layout.Kind);
    block.Base = stack.Samples(c, t);
    block.Size = {layout.SizeX, layout.SizeY, layout.SizeZ};
    block.Stride = {bytes, stack.RowBytes(), stack.PlaneBytes()};
    return block;
}

bool ReadBlock(PlaneSource& source, int c, int t, std::array<int64_t, 3> lo,
               std::array<int64_t, 3> hi, std::vector<uint8_t>& buffer, SampleBlock& block,
               std::string& error)
{
    const StackLayout& layout = source.Layout();
    block = {};
    block.Kind = layout.Kind;
    if (c < 0 || c >= layout.Channels || t < 0 || t >= layout.Frames) {
        error = "the volume holds no channel " + std::to_string(c) + " at time point " +
                std::to_string(t);
        return false;
    }
    const std::array<int64_t, 3> sizes = {layout.SizeX, layout.SizeY, layout.SizeZ};
    std::array<int64_t, 3> n{};
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::clamp<int64_t>(lo[a], 0, sizes[a]);
        hi[a] = std::clamp<int64_t>(hi[a], lo[a], sizes[a]);
        n[a] = hi[a] - lo[a];
    }
    const int64_t bytes = SampleKindBytes(layout.Kind);
    int64_t rowBytes = 0, sheetBytes = 0, total = 0;
    if (__builtin_mul_overflow(n[0], bytes, &rowBytes) ||
        __builtin_mul_overflow(rowBytes, n[1], &sheetBytes) ||
        __builtin_mul_overflow(sheetBytes, n[2], &total) ||
        uint64_t(total) > std::numeric_limits<size_t>::max() / 2) {
        error = "the box is too large to hold in memory";
        return false;
    }
    try {
        buffer.resize(size_t(total));
    } catch (const std::bad_alloc&) {
        error = "no memory for the " + std::to_string(total) + " bytes of the box";
        return false;
    }
    block.Origin = lo;
    block.Size = n;
    block.Stride = {bytes, rowBytes, sheetBytes};
    if (total == 0) return true;

    const int64_t sourceRow = source.RowBytes();
    const bool random = source.RandomAccess();
    const bool wholeRows = n[0] == sizes[0], wholePlanes = wholeRows && n[1] == sizes[1];
    // A column touches a cache line in each row of its plane; rows read alone move their
    // bytes. Sources that read whole planes anyway give a column at the cost of its plane.
    const bool columns =
        random && n[0] == 1 &&
        (!source.ReadsRows() || double(n[1]) * double(sourceRow) > double(sizes[1]) * 64);
    const bool rows = random && !columns && source.ReadsRows();
    std::vector<uint8_t> scratch;
    if (random && wholePlanes) source.WillRead(c, t, lo[2], hi[2], MappedFile::Access::Sequential);
    for (int64_t z = lo[2]; z < hi[2]; ++z) {
        uint8_t* out = buffer.data() + (z - lo[2]) * sheetBytes;
        if (random && source.ZeroPlane(c, t, z)) {
            std::memset(out, 0, size_t(sheetBytes));
            continue;
        }
        bool ok = true;
        if (columns) {
            scratch.resize(size_t(sizes[1] * bytes));
            ok = source.ReadColumn(c, t, z, lo[0], scratch.data(), error);
            if (ok) std::memcpy(out, scratch.data() + lo[1] * bytes, size_t(sheetBytes));
            // The column touched every page of its plane: they leave the resident set.
            if (ok) source.DoneWith(c, t, z, z + 1);
        } else if (rows && wholeRows) {
            ok = source.ReadRows(c, t, z, lo[1], hi[1], out, error);
        } else if (rows) {
            const int64_t chunk = std::max<int64_t>(1, RowChunkBytes / sourceRow);
            scratch.resize(size_t(std::min(chunk, n[1]) * sourceRow));
            for (int64_t y = lo[1]; ok && y < hi[1]; y += chunk) {
                const int64_t y1 = std::min(hi[1], y + chunk);
                ok = source.ReadRows(c, t, z, y, y1, scratch.data(), error);
                if (ok)
                    CopyRows(scratch.data() + lo[0] * bytes, sourceRow,
                             out + (y - lo[1]) * rowBytes, rowBytes, y1 - y, rowBytes);
            }
        } else if (wholePlanes) {
            ok = source.ReadPlane(c, t, z, out, error);
        } else {
            scratch.resize(size_t(source.PlaneBytes()));
            ok = source.ReadPlane(c, t, z, scratch.data(), error);
            if (ok)
                CopyRows(scratch.data() + lo[1] * sourceRow + lo[0] * bytes, sourceRow, out,
                         rowBytes, n[1], rowBytes);
        }
        if (!ok) {
            block = {};
            block.Kind = layout.Kind;
            return false;
        }
    }
    block.Base = buffer.data();
    return true;
}

SampleSlice SliceOf(const SampleBlock& block, SlicePlane plane, int64_t position)
{
    const PlaneAxes axes = AxesOf(plane);
    SampleSlice slice;
    slice.Kind = block.Kind;
    const int64_t k = position - block.Origin[axes.Normal];
    if (!block.Base || block.Empty() || k < 0 || k >= block.Size[axes.Normal]) return slice;
    slice.Base = block.Base + k * block.Stride[axes.Normal];
    slice.Width = block.Size[axes.U];
    slice.Height = block.Size[axes.V];
    slice.StrideU = block.Stride[axes.U];
    slice.StrideV = block.Stride[axes.V];
    return slice;
}

std::array<int64_t, 2> SliceOrigin(const SampleBlock& block, SlicePlane plane)
{
    const PlaneAxes axes = AxesOf(plane);
    return {block.Origin[axes.U], block.Origin[axes.V]};
}

void CentresWithin(double a, double b, int64_t size, int64_t& first, int64_t& end)
{
    first = end = 0;
    if (std::isnan(a) || std::isnan(b) || size <= 0) return;
    if (b < a) std::swap(a, b);
    // Clamped as doubles first: a bound far outside the slice converts to no integer.
    const double top = double(size - 1);
    if (b < 0 || a > top) return;
    const int64_t from = int64_t(std::ceil(std::max(a, 0.0)));
    const int64_t to = int64_t(std::floor(std::min(b, top)));
    if (from > to) return;
    first = from;
    end = to + 1;
}

RegionStats RectStats(const SampleSlice& slice, double u0, double v0, double u1, double v1)
{
    int64_t ua = 0, ub = 0, va = 0, vb = 0;
    CentresWithin(u0, u1, slice.Width, ua, ub);
    CentresWithin(v0, v1, slice.Height, va, vb);
    if (ua == ub || va == vb || !slice.Base) return {};
    return BoxStats(slice.Base + ua * slice.StrideU + va * slice.StrideV, slice.Kind,
                    {Axis{ub - ua, slice.StrideU}, Axis{vb - va, slice.StrideV}, Axis{}});
}

RegionStats StackRectStats(const SampleBlock& block, SlicePlane plane, double u0, double v0,
                           double u1, double v1)
{
    if (!block.Base || block.Empty()) return {};
    const PlaneAxes axes = AxesOf(plane);
    std::array<int64_t, 3> first{}, end = block.Size;
    CentresWithin(u0, u1, block.Size[axes.U], first[axes.U], end[axes.U]);
    CentresWithin(v0, v1, block.Size[axes.V], first[axes.V], end[axes.V]);
    std::array<Axis, 3> box;
    const uint8_t* base = block.Base;
    for (int a = 0; a < 3; ++a) {
        box[a] = {end[a] - first[a], block.Stride[a]};
        base += first[a] * block.Stride[a];
    }
    return BoxStats(base, block.Kind, box);
}

double LineLength(double u0, double v0, double u1, double v1)
{
    return std::hypot(u1 - u0, v1 - v0);
}

namespace {

/** Longer lines get no profile: no slice is that long, and the samples would not fit. */
constexpr double MaxLineLength = double(int64_t(1) << 31);

/**
 * The bilinear interpolation at (u, v) of a slice of element type T, clamped to the
 * centres; voxels of weight 0 are not read.
 */
template <class T> double Bilinear(const SampleSlice& slice, double u, double v)
{
    u = std::clamp(u, 0.0, double(slice.Width - 1));
    v = std::clamp(v, 0.0, double(slice.Height - 1));
    const int64_t iu = int64_t(u), iv = int64_t(v);
    const double fu = u - double(iu), fv = v - double(iv);
    const uint8_t* at = slice.Base + iu * slice.StrideU + iv * slice.StrideV;
    auto along = [&](const uint8_t* row) {
        const double left = double(Load<T>(row));
        if (fu == 0) return left;
        return (1 - fu) * left + fu * double(Load<T>(row + slice.StrideU));
    };
    const double upper = along(at);
    if (fv == 0) return upper;
    return (1 - fv) * upper + fv * along(at + slice.StrideV);
}

} // namespace

std::vector<double> LineProfile(const SampleSlice& slice, double u0, double v0, double u1,
                                double v1)
{
    if (!std::isfinite(u0) || !std::isfinite(v0) || !std::isfinite(u1) || !std::isfinite(v1))
        return {};
    const double length = LineLength(u0, v0, u1, v1);
    if (!(length <= MaxLineLength)) return {};
    const int64_t steps = int64_t(std::ceil(length));
    std::vector<double> profile(size_t(steps + 1), RegionStats::NaN);
    if (!slice.Base || slice.Empty()) return profile;
    const double du = length > 0 ? (u1 - u0) / length : 0.0;
    const double dv = length > 0 ? (v1 - v0) / length : 0.0;
    WithKind(slice.Kind, [&](auto* tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        for (int64_t i = 0; i < steps; ++i) {
            // Unit steps along the line: a line along an axis lands on the centres exactly.
            const double d = double(i);
            profile[size_t(i)] = Bilinear<T>(slice, u0 + d * du, v0 + d * dv);
        }
        profile[size_t(steps)] = Bilinear<T>(slice, u1, v1);
    });
    return profile;
}

double PointSample(const SampleSlice& slice, double u, double v)
{
    if (!slice.Base || !(u >= -0.5 && u < double(slice.Width) - 0.5) ||
        !(v >= -0.5 && v < double(slice.Height) - 0.5))
        return RegionStats::NaN;
    // The nearest centre; u − floor(u) is exact, where u + 0.5 could round up a pixel.
    auto nearest = [](double x, int64_t size) {
        double whole = std::floor(x);
        if (x - whole >= 0.5) whole += 1;
        return std::clamp<int64_t>(int64_t(whole), 0, size - 1);
    };
    return slice.At(nearest(u, slice.Width), nearest(v, slice.Height));
}

void SetMeasureThreadLimit(int threads)
{
    ThreadLimit.store(std::max(0, threads));
}
