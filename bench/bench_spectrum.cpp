// The lag-difference spectrum (ComputeLagSpectrum) of a 512 × 512 × 64 volume of random
// voxels, compared with the literal loops of tests/SpectrumReference.h, which add every
// voxel difference one by one in single precision.
//
// Every iteration computes the spectrum with the reference and with the kernel once
// each, in alternating order, and times both; the Time column is the kernel's (manual
// time), `ref_ms` the reference's mean time and `speedup` the ratio of the two totals.
// Both rates count voxel differences |v(k) − v(k + L)|: `items_per_second` the kernel's,
// `ref_diffs_per_s` the reference's. The BM_VolumeCapped benchmarks time the kernel
// alone with its SIMD version capped (SetSpectrumSimdLimit) to show what each
// instruction set brings.
//
// Before any timing the kernel's curves and figures are compared bit for bit with the
// reference's, on small volumes of odd widths with every SIMD version and on the timed
// volume in all three modes; a difference stops the program with SIGABRT. Every timed
// iteration compares the two results again.

#include "BenchVolumes.h"
#include "ByteVolume.h"
#include "Spectrum.h"
#include "SpectrumReference.h"

#include <benchmark/benchmark.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace {

/** Number of voxel differences one spectrum adds up: lines · Σ (SizeX − L), L = 1 … N. */
int64_t Differences(const ByteVolume& volume, int mode)
{
    const int64_t x = volume.SizeX, n = x - 5;
    const int64_t lines = mode == 1   ? 1
                          : mode == 2 ? volume.SizeY
                                      : int64_t(volume.SizeY) * volume.SizeZ;
    return lines * (n * x - n * (n + 1) / 2);
}

bool Identical(const SpectrumResult& a, const SpectrumResult& b)
{
    return a.Curve.size() == b.Curve.size() &&
           std::memcmp(a.Curve.data(), b.Curve.data(), a.Curve.size() * sizeof(float)) == 0 &&
           std::bit_cast<uint32_t>(a.Figure) == std::bit_cast<uint32_t>(b.Figure);
}

[[noreturn]] void Fail(const char* what, const ByteVolume& volume, int mode, const char* simd)
{
    std::fprintf(stderr,
                 "\n*** bench_spectrum: %s: mode %d on a %d x %d x %d volume (SIMD %s) ***\n"
                 "*** the spectrum kernel is wrong; no timing was done ***\n\n",
                 what, mode, volume.SizeX, volume.SizeY, volume.SizeZ, simd);
    std::abort();
}

/** Caps the kernel's SIMD version ("" = the widest the processor has). */
void CapSimd(const char* simd)
{
    SetSpectrumSimdLimit(simd);
}

const char* const SimdVersions[] = {"", "avx2", "sse2", "plain"};

/** Compares kernel and reference in every mode, at the first, middle and last line. */
void CheckVolume(int x, int y, int z, uint64_t seed)
{
    ByteVolume volume;
    volume.Allocate(x, y, z);
    FillRandom(volume, seed);
    for (int mode : {1, 2, 3}) {
        for (auto [zz, yy] : {std::pair{0, 0}, {z / 2, y / 2}, {z - 1, y - 1}}) {
            const SpectrumResult expected = ReferenceLagSpectrum(volume, mode, zz, yy);
            for (const char* simd : SimdVersions) {
                CapSimd(simd);
                if (!Identical(ComputeLagSpectrum(volume, mode, zz, yy), expected))
                    Fail("result differs from the reference", volume, mode,
                         *simd ? simd : "widest");
            }
            CapSimd("");
            if (mode == 3) break; // mode 3 does not depend on z and y
        }
    }
}

/** The timed volume and the line or slice each mode uses. */
struct Scene
{
    ByteVolume volume;
    static constexpr int Z = 32, Y = 256;

    Scene()
    {
        volume.Allocate(512, 512, 64);
        FillRandom(volume, 1);
    }
};

Scene* TheScene = nullptr;

using Clock = std::chrono::steady_clock;

template <typename Function> double Time(SpectrumResult& result, Function&& function)
{
    const auto start = Clock::now();
    result = function();
    benchmark::DoNotOptimize(result.Curve.data());
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/** Times kernel and reference alternately in every iteration. */
void RunMode(benchmark::State& state, int mode)
{
    const ByteVolume& volume = TheScene->volume;
    const auto kernel = [&] { return ComputeLagSpectrum(volume, mode, Scene::Z, Scene::Y); };
    const auto reference = [&] { return ReferenceLagSpectrum(volume, mode, Scene::Z, Scene::Y); };
    double referenceTotal = 0, kernelTotal = 0;
    bool referenceFirst = true;
    SpectrumResult fromKernel, fromReference;
    for (auto _ : state) {
        double referenceTime = 0, kernelTime = 0;
        if (referenceFirst) {
            referenceTime = Time(fromReference, reference);
            kernelTime = Time(fromKernel, kernel);
        } else {
            kernelTime = Time(fromKernel, kernel);
            referenceTime = Time(fromReference, reference);
        }
        if (!Identical(fromKernel, fromReference))
            Fail("timed result differs from the reference", volume, mode, "widest");
        referenceFirst = !referenceFirst;
        state.SetIterationTime(kernelTime);
        referenceTotal += referenceTime;
        kernelTotal += kernelTime;
    }
    const double differences = double(Differences(volume, mode)) * double(state.iterations());
    state.counters["ref_ms"] =
        benchmark::Counter(referenceTotal * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["ref_diffs_per_s"] = referenceTotal > 0 ? differences / referenceTotal : 0.0;
    state.counters["speedup"] = kernelTotal > 0 ? referenceTotal / kernelTotal : 0.0;
    state.SetItemsProcessed(Differences(volume, mode) * int64_t(state.iterations()));
}

void BM_Line(benchmark::State& state)
{
    RunMode(state, 1);
}
void BM_Plane(benchmark::State& state)
{
    RunMode(state, 2);
}
void BM_Volume(benchmark::State& state)
{
    RunMode(state, 3);
}

/** The kernel alone on the whole volume, its SIMD version capped. */
void BM_VolumeCapped(benchmark::State& state, const char* simd)
{
    const ByteVolume& volume = TheScene->volume;
    CapSimd(simd);
    SpectrumResult result;
    for (auto _ : state)
        state.SetIterationTime(Time(result, [&] { return ComputeLagSpectrum(volume, 3, 0, 0); }));
    CapSimd("");
    state.SetItemsProcessed(Differences(volume, 3) * int64_t(state.iterations()));
}

// The run lengths are set here: the reference of mode 3 takes seconds per call, so it
// runs a fixed few iterations; the others about a second of kernel time or less.
BENCHMARK(BM_Line)->UseManualTime()->MinTime(0.02)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Plane)->UseManualTime()->MinTime(0.05)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Volume)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VolumeCapped, avx2, "avx2")
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VolumeCapped, sse2, "sse2")
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VolumeCapped, plain, "plain")
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // Odd widths exercise the partial last block of every SIMD version; the last two
    // are large enough for the kernel to share the work among threads.
    CheckVolume(7, 3, 2, 3);
    CheckVolume(10, 4, 3, 5);
    CheckVolume(97, 5, 4, 7);
    CheckVolume(129, 3, 3, 9);
    CheckVolume(300, 64, 16, 11);
    CheckVolume(1000, 40, 3, 13);

    auto scene = std::make_unique<Scene>();
    for (int mode : {1, 2, 3}) {
        const SpectrumResult result = ComputeLagSpectrum(scene->volume, mode, Scene::Z, Scene::Y);
        if (!Identical(result, ReferenceLagSpectrum(scene->volume, mode, Scene::Z, Scene::Y)))
            Fail("result differs from the reference", scene->volume, mode, "widest");
    }
    std::fprintf(
        stderr,
        "bench_spectrum: the kernel's curves and figures match the reference bit for bit\n");

    TheScene = scene.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheScene = nullptr;
    return 0;
}
