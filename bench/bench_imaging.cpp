// The imaging library (imgkernel.h) on large images, each benchmark against a plain
// reference in the same run.
//
// Conversions of 4096 × 4096 images, compared with the documented formula written per
// pixel in double precision:
//
// - BM_Convert16To8: Image16ToImage8 with the window 1000 … 40000 on random 16-bit
//   values; the reference gives 255 from Max on, else subtracts Min, multiplies by the
//   precomputed factor 255 / (Max − Min), clamps and truncates.
// - BM_ConvertFloatLogTo8: ImageFloatLogToImage8 with the window 0 … 65535 on random
//   floats around it; the reference gives 255 from Max on, else evaluates
//   255 · log1p(max(0, s − Min)) / log1p(Max − Min) with std::log1p, then clamps and
//   truncates.
//
// Every iteration runs the reference and the conversion once each, in alternating
// order, and times both; the Time column is the conversion's (manual time), `ref_ms`
// the reference's mean time and `speedup` the ratio of the two totals. Before any
// timing, and after every timed iteration, the two images are compared byte for byte;
// a difference stops the program with SIGABRT.

#include "BenchVolumes.h"
#include "imgkernel.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// --- shared by the benchmarks --------------------------------------------------------

using Clock = std::chrono::steady_clock;

uint8_t* Row(const ImageStruct* image, int32_t y)
{
    return image->Data + std::ptrdiff_t(y) * image->LineStep;
}

/**
 * The level of a window value t that is not NaN: clamped to 0 … 255 and truncated,
 * which gives 0 below 1 and 255 from 255 on, as the formula says.
 */
inline uint8_t Clamp(double t)
{
    return uint8_t(std::min(std::max(t, 0.0), 255.0));
}

bool SamePixels(const ImageStruct* a, const ImageStruct* b)
{
    for (int32_t y = 0; y < a->YSize; ++y)
        if (std::memcmp(Row(a, y), Row(b, y), size_t(a->XSize)) != 0) return false;
    return true;
}

[[noreturn]] void Fail(const char* benchmark, const char* what)
{
    std::fprintf(stderr,
                 "\n*** bench_imaging: %s: %s ***\n"
                 "*** the conversion is wrong; no timing is valid ***\n\n",
                 benchmark, what);
    std::abort();
}

template <typename Function> double Seconds(Function&& function)
{
    const auto start = Clock::now();
    function();
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/**
 * Times `kernel` and `reference` alternately in every iteration, checks that they wrote
 * the same pixels, and reports the reference's time and the ratio of the two totals.
 */
template <typename Kernel, typename Reference>
void RunPair(benchmark::State& state, const char* name, const ImageStruct* fromKernel,
             const ImageStruct* fromReference, Kernel kernel, Reference reference)
{
    double referenceTotal = 0, kernelTotal = 0;
    bool referenceFirst = true;
    for (auto _ : state) {
        double referenceTime = 0, kernelTime = 0;
        if (referenceFirst) {
            referenceTime = Seconds(reference);
            kernelTime = Seconds(kernel);
        } else {
            kernelTime = Seconds(kernel);
            referenceTime = Seconds(reference);
        }
        if (!SamePixels(fromKernel, fromReference)) Fail(name, "timed result differs");
        referenceFirst = !referenceFirst;
        state.SetIterationTime(kernelTime);
        referenceTotal += referenceTime;
        kernelTotal += kernelTime;
    }
    state.counters["ref_ms"] =
        benchmark::Counter(referenceTotal * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["speedup"] = kernelTotal > 0 ? referenceTotal / kernelTotal : 0.0;
    state.SetItemsProcessed(int64_t(fromKernel->XSize) * fromKernel->YSize *
                            int64_t(state.iterations()));
}

// --- conversions: 16-bit to 8-bit with a window -------------------------------------

constexpr int32_t ConvertSize = 4096;

constexpr float Min16 = 1000, Max16 = 40000;

void Reference16To8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    const double low = min, high = max, factor = 255.0 / (double(max) - double(min));
    const int32_t width = src->XSize, height = src->YSize;
    for (int32_t y = 0; y < height; ++y) {
        const auto* in = reinterpret_cast<const uint16_t*>(Row(src, y));
        uint8_t* out = Row(dst, y);
        for (int32_t x = 0; x < width; ++x) {
            // 255 from Max on: the floor of the clamp (a form GCC still vectorises).
            const double floor = in[x] >= high ? 255.0 : 0.0;
            out[x] = uint8_t(std::min(std::max((double(in[x]) - low) * factor, floor), 255.0));
        }
    }
}

struct Scene16
{
    ImagePtr src{NewImage16(ConvertSize, ConvertSize)};
    ImagePtr fromKernel{NewImage8(ConvertSize, ConvertSize)},
        fromReference{NewImage8(ConvertSize, ConvertSize)};

    Scene16()
    {
        Random random{16};
        for (int32_t y = 0; y < ConvertSize; ++y) {
            auto* row = reinterpret_cast<uint16_t*>(Row(src.get(), y));
            for (int32_t x = 0; x < ConvertSize; ++x)
                row[x] = uint16_t(random.Next());
        }
    }

    void Check() const
    {
        if (!Image16ToImage8(fromKernel.get(), src.get(), Min16, Max16))
            Fail("BM_Convert16To8", "the conversion refused its images");
        Reference16To8(fromReference.get(), src.get(), Min16, Max16);
        if (!SamePixels(fromKernel.get(), fromReference.get()))
            Fail("BM_Convert16To8", "result differs from the formula");
    }
};

Scene16* TheScene16 = nullptr;

void BM_Convert16To8(benchmark::State& state)
{
    Scene16& scene = *TheScene16;
    RunPair(
        state, "BM_Convert16To8", scene.fromKernel.get(), scene.fromReference.get(),
        [&] { Image16ToImage8(scene.fromKernel.get(), scene.src.get(), Min16, Max16); },
        [&] { Reference16To8(scene.fromReference.get(), scene.src.get(), Min16, Max16); });
}

// --- conversions: float to 8-bit on the logarithmic scale ---------------------------

constexpr float MinLog = 0, MaxLog = 65535;

void ReferenceFloatLogTo8(ImageStruct* dst, const ImageStruct* src, float min, float max)
{
    const double low = min, range = std::log1p(std::fabs(double(max) - double(min)));
    const int32_t width = src->XSize, height = src->YSize;
    for (int32_t y = 0; y < height; ++y) {
        const auto* in = reinterpret_cast<const float*>(Row(src, y));
        uint8_t* out = Row(dst, y);
        for (int32_t x = 0; x < width; ++x) {
            const double q = double(in[x]) - low;
            out[x] = in[x] >= max ? 255 : Clamp(255.0 * std::log1p(std::max(0.0, q)) / range);
        }
    }
}

struct SceneFloat
{
    ImagePtr src{NewImageFloat(ConvertSize, ConvertSize)};
    ImagePtr fromKernel{NewImage8(ConvertSize, ConvertSize)},
        fromReference{NewImage8(ConvertSize, ConvertSize)};

    SceneFloat()
    {
        // Uniform in −1000 … 70000: some below the window, most inside, some above.
        Random random{32};
        for (int32_t y = 0; y < ConvertSize; ++y) {
            auto* row = reinterpret_cast<float*>(Row(src.get(), y));
            for (int32_t x = 0; x < ConvertSize; ++x)
                row[x] = float(double(random.Next() >> 11) * 0x1p-53 * 71000.0 - 1000.0);
        }
    }

    void Check() const
    {
        if (!ImageFloatLogToImage8(fromKernel.get(), src.get(), MinLog, MaxLog))
            Fail("BM_ConvertFloatLogTo8", "the conversion refused its images");
        ReferenceFloatLogTo8(fromReference.get(), src.get(), MinLog, MaxLog);
        if (!SamePixels(fromKernel.get(), fromReference.get()))
            Fail("BM_ConvertFloatLogTo8", "result differs from the formula");
    }
};

SceneFloat* TheSceneFloat = nullptr;

void BM_ConvertFloatLogTo8(benchmark::State& state)
{
    SceneFloat& scene = *TheSceneFloat;
    RunPair(
        state, "BM_ConvertFloatLogTo8", scene.fromKernel.get(), scene.fromReference.get(),
        [&] { ImageFloatLogToImage8(scene.fromKernel.get(), scene.src.get(), MinLog, MaxLog); },
        [&] { ReferenceFloatLogTo8(scene.fromReference.get(), scene.src.get(), MinLog, MaxLog); });
}

// Fixed iteration counts: each reference call takes tens to hundreds of milliseconds.
BENCHMARK(BM_Convert16To8)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertFloatLogTo8)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    auto scene16 = std::make_unique<Scene16>();
    auto sceneFloat = std::make_unique<SceneFloat>();
    scene16->Check();
    sceneFloat->Check();
    std::fprintf(stderr, "bench_imaging: the conversions match the formulas pixel for pixel\n");

    TheScene16 = scene16.get();
    TheSceneFloat = sceneFloat.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheScene16 = nullptr;
    TheSceneFloat = nullptr;
    return 0;
}
