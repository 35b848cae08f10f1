// Panning an image control: a 1024 × 1024 TImageControl shows a 4096 × 4096 16-bit
// image through a grey window (so it needs a display image), at scale 0.25 (the whole
// image) and at scale 1 (a quarter of it in each direction).
//
// BM_Pan paints after each of 100 offset changes; BM_Reconvert paints after a change of
// the window, which converts the whole image again. Both paint with the control's own
// PaintWindow into a 1024 × 1024 RGB32 image. Before timing, the program checks that
// panning converts nothing (the display image is reused) and that a panned paint
// shows the same pixels as a fresh control at that offset; the counter `conversions`
// reports the conversions made while timing (0 for BM_Pan).

#include "ImageControl.h"
#include "imgkernel.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int ImageSize = 4096;
constexpr int ControlSize = 1024;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "\n*** bench_imagecontrol: %s; no timing was done ***\n\n", what);
    std::abort();
}

/** A control showing a 4096² 16-bit image of smooth structure and noise. */
std::unique_ptr<TImageControl> MakeControl(float scale)
{
    auto control = std::make_unique<TImageControl>();
    control->resize(ControlSize, ControlSize);
    control->SetXSize(ImageSize);
    control->SetYSize(ImageSize);
    control->SetAllocImage(TImageControl::AllocImage16);
    ImageStruct* image = control->Image();
    uint64_t state = 88172645463325252ull;
    for (int y = 0; y < ImageSize; ++y) {
        auto* row = reinterpret_cast<uint16_t*>(image->Data + std::ptrdiff_t(y) * image->LineStep);
        for (int x = 0; x < ImageSize; ++x) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            row[x] = uint16_t((x * 7 + y * 5) % 40000 + (state & 1023));
        }
    }
    control->SetMin(500);
    control->SetMax(38000);
    control->SetZoomProperties(scale, 0, scale, 0);
    control->Invalidate();
    return control;
}

void Paint(TImageControl& control, QImage& target)
{
    QPainter painter(&target);
    control.PaintWindow(painter);
}

/** The offset of pan step i: a walk over the image that stays on screen. */
float Offset(int i, float scale)
{
    const float range = scale < 1 ? 60.0f : float(ImageSize - ControlSize);
    return -float((i * 37) % 100) / 100.0f * range;
}

void Check(float scale)
{
    QImage panned(ControlSize, ControlSize, QImage::Format_RGB32);
    QImage fresh(ControlSize, ControlSize, QImage::Format_RGB32);
    auto control = MakeControl(scale);
    Paint(*control, panned);
    const int64_t built = control->ConversionCount();
    for (int i = 1; i <= 5; ++i) {
        control->SetXOffset(Offset(i, scale));
        control->SetYOffset(Offset(i + 3, scale));
        Paint(*control, panned);
    }
    if (control->ConversionCount() != built) Fail("panning converted the image again");
    auto other = MakeControl(scale);
    other->SetXOffset(Offset(5, scale));
    other->SetYOffset(Offset(8, scale));
    Paint(*other, fresh);
    if (fresh != panned) Fail("a panned paint differs from a fresh one");
}

void BM_Pan(benchmark::State& state)
{
    const float scale = float(state.range(0)) / 100.0f;
    auto control = MakeControl(scale);
    QImage target(ControlSize, ControlSize, QImage::Format_RGB32);
    Paint(*control, target);
    const int64_t before = control->ConversionCount();
    int i = 0;
    for (auto _ : state) {
        control->SetXOffset(Offset(i, scale));
        control->SetYOffset(Offset(i + 17, scale));
        Paint(*control, target);
        ++i;
    }
    state.counters["conversions"] = double(control->ConversionCount() - before);
}

void BM_Reconvert(benchmark::State& state)
{
    const float scale = float(state.range(0)) / 100.0f;
    auto control = MakeControl(scale);
    QImage target(ControlSize, ControlSize, QImage::Format_RGB32);
    Paint(*control, target);
    int i = 0;
    for (auto _ : state) {
        control->SetMax(38000.0f + float(i++ % 2)); // a new window: converted again
        Paint(*control, target);
    }
}

BENCHMARK(BM_Pan)->Arg(25)->Arg(100)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reconvert)->Arg(25)->Arg(100)->Iterations(20)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Check(0.25f);
    Check(1.0f);
    std::fprintf(stderr, "bench_imagecontrol: panning reuses the display image and paints "
                         "what a fresh control paints\n");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
