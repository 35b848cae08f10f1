// The measuring kernels (volume/Measure.h) on a 1024 × 1024 × 512 volume of random 16-bit
// samples (1 GiB, built once), each against a plain loop over the same samples in the
// same run:
//
// - BM_RectStats/XY, /XZ, /ZY: RectStats of a 1024 × 1024 rectangle (clipped to the
//   slice: 1024 × 1024, 1024 × 512 and 512 × 1024) on the middle slice of each plane.
//   The reference loops over the slice's rows (v, then u), calling SampleSlice::At for
//   each sample and adding it and its square into doubles, with its minimum and maximum.
// - BM_StackRectStats/XY, /XZ, /ZY: StackRectStats of the same rectangle through every
//   slice of the plane: the whole volume, 512 Mi samples. The reference is the same loop
//   with SampleBlock::At in the volume's memory order (z, y, x), the order that costs a
//   plain loop least. BM_StackRectStats/XY/threads:1 caps the kernel to one thread.
// - BM_LineProfile: LineProfile of a 1500-sample diagonal across the middle XY slice
//   (partly beyond the slice's corners, so its ends are clamped), against a plain loop
//   that interpolates each sample from four At calls.
//
// Every iteration runs the reference and the kernel once each, in alternating order, and
// times both; Time is the kernel's (manual time), `ref_ms` (or `ref_us`) the reference's
// mean time and `speedup` the ratio of the two totals. Before any timing, and after every
// timed iteration, the results are compared: count, sum, minimum, maximum and mean
// exactly (16-bit sums are exact in a double), the standard deviation to 1e-12 on a
// slice and 1e-6 on the volume (where the plain loop's sum of squares passes 2^53 and
// rounds; before timing the kernel's is also compared with one from exact integer sums,
// to 1e-12), profiles to 1e-9; a difference stops the program with SIGABRT.

#include "BenchVolumes.h"
#include "Measure.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SizeX = 1024, SizeY = 1024, SizeZ = 512;
constexpr double Side = 1024; // the rectangle's side

[[noreturn]] void Fail(const std::string& benchmark, const char* what)
{
    std::fprintf(stderr,
                 "\n*** bench_measure: %s: %s ***\n"
                 "*** the kernel is wrong; no timing is valid ***\n\n",
                 benchmark.c_str(), what);
    std::abort();
}

template <typename Function> double Seconds(Function&& function)
{
    const auto start = Clock::now();
    function();
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/** The plain statistics: every sample through At(), sums in double. */
struct PlainSums
{
    int64_t Count = 0;
    double Sum = 0, Squares = 0;
    double Min = std::numeric_limits<double>::infinity();
    double Max = -std::numeric_limits<double>::infinity();

    void Add(double v)
    {
        ++Count;
        Sum += v;
        Squares += v * v;
        Min = v < Min ? v : Min;
        Max = v > Max ? v : Max;
    }
    RegionStats Stats() const
    {
        RegionStats stats;
        stats.Count = Count;
        stats.Sum = Sum;
        stats.Mean = Sum / double(Count);
        stats.Sd = std::sqrt((Squares - Sum * Sum / double(Count)) / double(Count - 1));
        stats.Min = Min;
        stats.Max = Max;
        return stats;
    }
};

RegionStats PlainRectStats(const SampleSlice& slice)
{
    PlainSums sums;
    for (int64_t v = 0; v < slice.Height; ++v)
        for (int64_t u = 0; u < slice.Width; ++u)
            sums.Add(slice.At(u, v));
    return sums.Stats();
}

RegionStats PlainBoxStats(const SampleBlock& block)
{
    PlainSums sums;
    for (int64_t z = 0; z < block.Size[2]; ++z)
        for (int64_t y = 0; y < block.Size[1]; ++y)
            for (int64_t x = 0; x < block.Size[0]; ++x)
                sums.Add(block.At(x, y, z));
    return sums.Stats();
}

/**
 * Compares the kernel's statistics with the plain loop's: the standard deviation to
 * `relative` (the plain sum of squares is exact on a slice, but rounds beyond 2^53 on
 * the whole volume), everything else exactly.
 */
void CheckStats(const std::string& name, const RegionStats& kernel, const RegionStats& plain,
                int64_t count, double relative)
{
    if (kernel.Count != count || plain.Count != count) Fail(name, "wrong count");
    if (kernel.Sum != plain.Sum) Fail(name, "sums differ");
    if (kernel.Mean != plain.Mean) Fail(name, "means differ");
    if (kernel.Min != plain.Min || kernel.Max != plain.Max) Fail(name, "extremes differ");
    if (!(std::fabs(kernel.Sd - plain.Sd) <= relative * plain.Sd)) Fail(name, "deviations differ");
}

/** The standard deviation of all 16-bit samples from exact integer sums. */
double ExactSd(const uint8_t* samples, int64_t count)
{
    uint64_t sum = 0;
    unsigned __int128 squares = 0;
    for (int64_t i = 0; i < count; ++i) {
        uint16_t v;
        std::memcpy(&v, samples + 2 * i, 2);
        sum += v;
        squares += uint64_t(v) * v;
    }
    const unsigned __int128 n = uint64_t(count);
    const unsigned __int128 numerator = n * squares - (unsigned __int128)(sum)*sum;
    return std::sqrt(double(numerator) / (double(count) * double(count - 1)));
}

/**
 * Times `kernel` and `reference` alternately in every iteration, checks each pair of
 * results with `check`, and reports the reference's time and the ratio of the two totals.
 */
template <typename Kernel, typename Reference, typename Check>
void RunPair(benchmark::State& state, bool micro, Kernel kernel, Reference reference, Check check)
{
    double referenceTotal = 0, kernelTotal = 0;
    bool referenceFirst = true;
    for (auto _ : state) {
        decltype(kernel()) fromKernel;
        decltype(reference()) fromReference;
        const auto runKernel = [&] { return Seconds([&] { fromKernel = kernel(); }); };
        const auto runReference = [&] { return Seconds([&] { fromReference = reference(); }); };
        double referenceTime = 0, kernelTime = 0;
        if (referenceFirst) {
            referenceTime = runReference();
            kernelTime = runKernel();
        } else {
            kernelTime = runKernel();
            referenceTime = runReference();
        }
        check(fromKernel, fromReference);
        referenceFirst = !referenceFirst;
        state.SetIterationTime(kernelTime);
        referenceTotal += referenceTime;
        kernelTotal += kernelTime;
    }
    state.counters[micro ? "ref_us" : "ref_ms"] = benchmark::Counter(
        referenceTotal * (micro ? 1e6 : 1e3), benchmark::Counter::kAvgIterations);
    state.counters["speedup"] = kernelTotal > 0 ? referenceTotal / kernelTotal : 0.0;
}

VolumeStack* TheStack = nullptr;

struct PlaneCase
{
    const char* name;
    SlicePlane plane;
    int64_t position;
};
const PlaneCase PlaneCases[] = {{"XY", SlicePlane::Top, SizeZ / 2},
                                {"XZ", SlicePlane::Front, SizeY / 2},
                                {"ZY", SlicePlane::Side, SizeX / 2}};

void BM_RectStats(benchmark::State& state, const PlaneCase& which)
{
    const SampleSlice slice = SliceOf(StackBlock(*TheStack, 0, 0), which.plane, which.position);
    const std::string name = std::string("BM_RectStats/") + which.name;
    RunPair(
        state, true, [&] { return RectStats(slice, -0.5, -0.5, Side - 0.5, Side - 0.5); },
        [&] { return PlainRectStats(slice); },
        [&](const RegionStats& kernel, const RegionStats& plain) {
            CheckStats(name, kernel, plain, slice.Width * slice.Height, 1e-12);
        });
    state.SetItemsProcessed(slice.Width * slice.Height * int64_t(state.iterations()));
}

void BM_StackRectStats(benchmark::State& state, const PlaneCase& which, int threads)
{
    const SampleBlock block = StackBlock(*TheStack, 0, 0);
    const std::string name = std::string("BM_StackRectStats/") + which.name;
    SetMeasureThreadLimit(threads);
    RunPair(
        state, false,
        [&] { return StackRectStats(block, which.plane, -0.5, -0.5, Side - 0.5, Side - 0.5); },
        [&] { return PlainBoxStats(block); },
        [&](const RegionStats& kernel, const RegionStats& plain) {
            CheckStats(name, kernel, plain, int64_t(SizeX) * SizeY * SizeZ, 1e-6);
        });
    SetMeasureThreadLimit(0);
    state.SetItemsProcessed(int64_t(SizeX) * SizeY * SizeZ * int64_t(state.iterations()));
}

/**
 * The plain statistics of `count` contiguous 16-bit samples read as such (no At()): the
 * loop a program that knows its sample kind writes, sums in double.
 */
RegionStats PlainTypedStats(const uint16_t* samples, int64_t count)
{
    PlainSums sums;
    for (int64_t i = 0; i < count; ++i)
        sums.Add(double(samples[i]));
    return sums.Stats();
}

/** The XY cases against the typed plain loop: the slice, and the whole volume. */
void BM_TypedReference(benchmark::State& state, bool stack)
{
    const SampleBlock block = StackBlock(*TheStack, 0, 0);
    const SampleSlice slice = SliceOf(block, SlicePlane::Top, SizeZ / 2);
    const int64_t count = stack ? int64_t(SizeX) * SizeY * SizeZ : int64_t(SizeX) * SizeY;
    const auto* first = reinterpret_cast<const uint16_t*>(stack ? block.Base : slice.Base);
    const std::string name = stack ? "BM_StackRectStats/XY/typed" : "BM_RectStats/XY/typed";
    RunPair(
        state, !stack,
        [&] {
            return stack
                       ? StackRectStats(block, SlicePlane::Top, -0.5, -0.5, Side - 0.5, Side - 0.5)
                       : RectStats(slice, -0.5, -0.5, Side - 0.5, Side - 0.5);
        },
        [&] { return PlainTypedStats(first, count); },
        [&](const RegionStats& kernel, const RegionStats& plain) {
            CheckStats(name, kernel, plain, count, stack ? 1e-6 : 1e-12);
        });
    state.SetItemsProcessed(count * int64_t(state.iterations()));
}

/** The plain profile: each sample from its four neighbours' At(), clamped to the centres. */
std::vector<double> PlainProfile(const SampleSlice& slice, double u0, double v0, double u1,
                                 double v1)
{
    const double length = std::hypot(u1 - u0, v1 - v0);
    const int64_t count = int64_t(std::ceil(length)) + 1;
    std::vector<double> profile(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        const double d = std::min(double(i), length);
        double u = u0 + (u1 - u0) * d / length, v = v0 + (v1 - v0) * d / length;
        u = std::min(std::max(u, 0.0), double(slice.Width - 1));
        v = std::min(std::max(v, 0.0), double(slice.Height - 1));
        const int64_t iu = std::min(int64_t(u), slice.Width - 2);
        const int64_t iv = std::min(int64_t(v), slice.Height - 2);
        const double fu = u - double(iu), fv = v - double(iv);
        profile[size_t(i)] = (1 - fv) * ((1 - fu) * slice.At(iu, iv) + fu * slice.At(iu + 1, iv)) +
                             fv * ((1 - fu) * slice.At(iu, iv + 1) + fu * slice.At(iu + 1, iv + 1));
    }
    return profile;
}

void BM_LineProfile(benchmark::State& state)
{
    const SampleSlice slice = SliceOf(StackBlock(*TheStack, 0, 0), SlicePlane::Top, SizeZ / 2);
    // A diagonal of length 1498.5 about the slice's middle: 1500 samples.
    const double half = 1498.5 / 2 / std::sqrt(2.0);
    const double u0 = 511.5 - half, v0 = 511.5 - half, u1 = 511.5 + half, v1 = 511.5 + half;
    RunPair(
        state, true, [&] { return LineProfile(slice, u0, v0, u1, v1); },
        [&] { return PlainProfile(slice, u0, v0, u1, v1); },
        [&](const std::vector<double>& kernel, const std::vector<double>& plain) {
            if (kernel.size() != 1500 || plain.size() != 1500)
                Fail("BM_LineProfile", "not 1500 samples");
            for (size_t i = 0; i < kernel.size(); ++i)
                if (!(std::fabs(kernel[i] - plain[i]) <= 1e-9 * 65536))
                    Fail("BM_LineProfile", "profiles differ");
        });
    state.SetItemsProcessed(1500 * int64_t(state.iterations()));
}

void Register()
{
    for (const PlaneCase& which : PlaneCases)
        benchmark::RegisterBenchmark(
            (std::string("BM_RectStats/") + which.name).c_str(),
            [&which](benchmark::State& state) { BM_RectStats(state, which); })
            ->UseManualTime()
            ->MinTime(0.05)
            ->Unit(benchmark::kMicrosecond);
    for (const PlaneCase& which : PlaneCases)
        benchmark::RegisterBenchmark(
            (std::string("BM_StackRectStats/") + which.name).c_str(),
            [&which](benchmark::State& state) { BM_StackRectStats(state, which, 0); })
            ->UseManualTime()
            ->Iterations(4)
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(
        "BM_StackRectStats/XY/threads:1",
        [](benchmark::State& state) { BM_StackRectStats(state, PlaneCases[0], 1); })
        ->UseManualTime()
        ->Iterations(4)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_RectStats/XY/typed",
                                 [](benchmark::State& state) { BM_TypedReference(state, false); })
        ->UseManualTime()
        ->MinTime(0.05)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_StackRectStats/XY/typed",
                                 [](benchmark::State& state) { BM_TypedReference(state, true); })
        ->UseManualTime()
        ->Iterations(4)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_LineProfile", BM_LineProfile)
        ->UseManualTime()
        ->MinTime(0.05)
        ->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    StackLayout layout;
    layout.SizeX = SizeX, layout.SizeY = SizeY, layout.SizeZ = SizeZ;
    layout.Kind = SampleKind::UInt16;
    layout.SignificantBits = 16;
    auto stack = std::make_unique<VolumeStack>();
    stack->Allocate(layout);
    Random random{0x5EED};
    uint8_t* samples = stack->Samples(0, 0);
    for (int64_t i = 0; i < layout.VolumeBytes(); i += 8) {
        const uint64_t bits = random.Next();
        std::memcpy(samples + i, &bits, 8);
    }
    TheStack = stack.get();

    // Before any timing: every case once, kernel against the plain loop.
    const SampleBlock block = StackBlock(*stack, 0, 0);
    for (const PlaneCase& which : PlaneCases) {
        const SampleSlice slice = SliceOf(block, which.plane, which.position);
        CheckStats(std::string("RectStats ") + which.name,
                   RectStats(slice, Side - 0.5, Side - 0.5, -0.5, -0.5), PlainRectStats(slice),
                   slice.Width * slice.Height, 1e-12);
    }
    const RegionStats plain = PlainBoxStats(block);
    const int64_t count = layout.VoxelCount();
    const double sd = ExactSd(samples, count);
    for (const PlaneCase& which : PlaneCases) {
        const std::string name = std::string("StackRectStats ") + which.name;
        const RegionStats stats =
            StackRectStats(block, which.plane, -0.5, -0.5, Side - 0.5, Side - 0.5);
        CheckStats(name, stats, plain, count, 1e-6);
        if (!(std::fabs(stats.Sd - sd) <= 1e-12 * sd)) Fail(name, "deviation not exact");
    }
    std::fprintf(stderr, "bench_measure: the kernels match the plain loops\n");

    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheStack = nullptr;
    return 0;
}
