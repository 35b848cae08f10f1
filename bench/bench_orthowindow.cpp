// The inspector window (TOrthoWindow) against the classic window (TForm1), both shown on
// Qt's offscreen platform at the same size.
//
// Key step to paint (BM_KeyStep/top, /front, /side), on a 1024 × 1024 × 512 volume:
// every iteration steps the slice of one view in both windows, in alternating order, and
// times each from the step to the end of that view's paint. The inspector gets a real
// Page Up or Page Down key click on its window (its window shortcuts step the active
// cell's plane) and then a synchronous repaint() of the view's zoom panel; the classic
// window gets the new value on the plane's slider (its change handler draws the slice
// into the TImage bitmap) and then a synchronous repaint() of that TImage. A widget's
// repaint() paints the whole region its window has pending, so on both sides the time
// includes every paint the step asked for (the other views' crosshairs or markers,
// captions, plots); `insp_paints`/`classic_paints` and `insp_px`/`classic_px` count
// those paint events and their pixels per step. Steps go up and down in turn, so the
// slice stays in the volume. Time is the inspector's (manual time), `classic_us` the
// classic window's mean time and `ratio` the ratio of the two totals; `insp_key_us` and
// `classic_set_us` are the parts before the paint. The events left pending after the
// paint are processed right away and timed apart (`insp_rest_us`, `classic_rest_us`).
//
// Interface responsiveness (BM_Responsiveness), on a 512³ volume: the inspector computes
// the whole-volume spectrum (on its worker thread) again and again for at least
// MinSpectrumSeconds, while a 10 ms timer on the interface thread records the gaps
// between its ticks; then the same timer runs as long again with nothing computing (the
// idle reference).
//
// Before any timing the program checks that a key click steps the plane of the active
// cell by one slice, that every timed step moved the slice and repainted the view's
// image (counted paint events), that both windows show different pixels after a step and
// the same pixels after the step back, and that every spectrum ended with the volume's
// result shown; a failure stops the program with SIGABRT.

#include "ByteVolume.h"
#include "Form1.h"
#include "GraphicsListControl.h"
#include "Framework.h"
#include "ImageControl.h"
#include "OrthoWindow.h"
#include "Measuring.h"
#include "MultiView.h"
#include "ProfilePlot.h"
#include "SliceView.h"
#include "SpectrumPanel.h"
#include "ZoomPanel.h"

#include "GapRecorder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPaintEvent>
#include <QPixmap>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr int WindowWidth = 1100;
constexpr int WindowHeight = 860;
/** The spectra run back to back for at least this long (a single one is far shorter). */
constexpr double MinSpectrumSeconds = 5.0;
/** A single spectrum that runs longer than this is cancelled and reported. */
constexpr double SpectrumCapSeconds = 20.0;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void Fail(const char* where, const char* what)
{
    std::fprintf(stderr, "\n*** bench_orthowindow: %s: %s; no valid timing ***\n\n", where, what);
    std::abort();
}

const char* PlaneName(SlicePlane plane)
{
    switch (plane) {
    case SlicePlane::Top:
        return "top";
    case SlicePlane::Front:
        return "front";
    default:
        return "side";
    }
}

/** Voxel (x, y, z) = x + 2y + 3z (mod 256): cheap to write, and neighbouring slices differ. */
void FillPattern(ByteVolume& volume)
{
    for (int z = 0; z < volume.SizeZ; ++z)
        for (int y = 0; y < volume.SizeY; ++y) {
            uint8_t* row = volume.VoxelPtr(0, y, z);
            const int base = 2 * y + 3 * z;
            for (int x = 0; x < volume.SizeX; ++x)
                row[x * volume.StrideX] = uint8_t(base + x);
        }
}

ByteVolume PatternVolume(int x, int y, int z)
{
    ByteVolume volume;
    volume.Allocate(x, y, z);
    if (!volume.Data) Fail("set-up", "cannot allocate the volume");
    FillPattern(volume);
    return volume;
}

/** Counts the paint events a widget receives. */
class PaintCounter : public QObject
{
public:
    int64_t paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

/**
 * Counts the paint events of every widget in one window and their pixels (the paint
 * rectangles'), when installed on the application.
 */
class WindowPaints : public QObject
{
public:
    explicit WindowPaints(QWidget* window) : window_(window) {}
    int64_t paints = 0;
    int64_t pixels = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == window_) {
            ++paints;
            const QRect r = static_cast<QPaintEvent*>(event)->rect();
            pixels += int64_t(r.width()) * r.height();
        }
        return false;
    }

private:
    QWidget* window_;
};

/** Waits (processing events) until the inspector's task has ended. */
void WaitIdle(TOrthoWindow& inspector, const char* where)
{
    const auto start = Clock::now();
    while (inspector.Busy()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (Since(start) > 120) Fail(where, "the inspector's task did not end in 120 s");
    }
    QCoreApplication::processEvents();
}

/** Both windows showing the same 1024 × 1024 × 512 volume. */
struct StepScene
{
    static constexpr int SizeX = 1024, SizeY = 1024, SizeZ = 512;
    std::unique_ptr<TForm1> classic;
    std::unique_ptr<TOrthoWindow> inspector;
    PaintCounter classicPaints[3], inspectorPaints[3];
    std::unique_ptr<WindowPaints> classicWindowPaints, inspectorWindowPaints;

    StepScene()
    {
        ByteVolume volume = PatternVolume(SizeX, SizeY, SizeZ);
        classic = std::make_unique<TForm1>();
        classic->MainVolume.Allocate(SizeX, SizeY, SizeZ);
        if (!classic->MainVolume.Data) Fail("set-up", "cannot allocate the classic volume");
        std::memcpy(classic->MainVolume.Data, volume.Data, size_t(volume.VoxelCount()));
        classic->SetupViews();
        inspector = std::make_unique<TOrthoWindow>();
        inspector->ShowVolume(std::move(volume), QStringLiteral("pattern"));
        WaitIdle(*inspector, "set-up");
        if (inspector->Volume().SizeX != SizeX || inspector->Volume().SizeZ != SizeZ)
            Fail("set-up", "the inspector does not show the volume");
        for (QWidget* window :
             {static_cast<QWidget*>(classic.get()), static_cast<QWidget*>(inspector.get())}) {
            window->resize(WindowWidth, WindowHeight);
            window->show();
            if (!QTest::qWaitForWindowExposed(window)) Fail("set-up", "a window was not exposed");
        }
        // The slice keys are window shortcuts: the inspector must be the active window.
        inspector->activateWindow();
        if (!QTest::qWaitForWindowActive(inspector.get()))
            Fail("set-up", "the inspector did not become the active window");
        for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
            ClassicImage(plane)->installEventFilter(&classicPaints[int(plane)]);
            inspector->View(plane)->Image()->installEventFilter(&inspectorPaints[int(plane)]);
        }
        classicWindowPaints = std::make_unique<WindowPaints>(classic.get());
        inspectorWindowPaints = std::make_unique<WindowPaints>(inspector.get());
        qApp->installEventFilter(classicWindowPaints.get());
        qApp->installEventFilter(inspectorWindowPaints.get());
        QCoreApplication::processEvents();
    }

    TImage* ClassicImage(SlicePlane plane) const
    {
        return plane == SlicePlane::Top     ? classic->TopView
               : plane == SlicePlane::Front ? classic->FrontView
                                            : classic->SideView;
    }
    QSlider* ClassicSlider(SlicePlane plane) const
    {
        return plane == SlicePlane::Top     ? classic->Depth
               : plane == SlicePlane::Front ? classic->FrontDepth
                                            : classic->SideDepth;
    }

    /** Makes `plane`'s view the active cell, which the slice keys step. */
    void Activate(SlicePlane plane)
    {
        inspector->Views()->SetActiveClient(TOrthoWindow::CellOf(plane));
        if (inspector->KeyPlane() != plane) Fail(PlaneName(plane), "the keys step another view");
    }

    /** Seconds of one side's step: to the end of the view's paint, and parts of it. */
    struct StepTimes
    {
        double toPaint = 0; ///< from the step to the end of the view's paint
        double step = 0;    ///< the key click or slider move alone (before the paint)
        double rest = 0;    ///< then processing the events it left pending (untimed part)
    };

    /** Steps the inspector's slice by a key click and repaints the view. */
    StepTimes StepOrthoWindow(SlicePlane plane, bool up)
    {
        StepTimes times;
        const auto start = Clock::now();
        QTest::keyClick(inspector.get(), up ? Qt::Key_PageUp : Qt::Key_PageDown);
        times.step = Since(start);
        inspector->View(plane)->Panel()->repaint();
        times.toPaint = Since(start);
        const auto restStart = Clock::now();
        QCoreApplication::processEvents();
        times.rest = Since(restStart);
        return times;
    }

    /** Steps the classic window's slider and repaints its bitmap. */
    StepTimes StepClassic(SlicePlane plane, bool up)
    {
        QSlider* slider = ClassicSlider(plane);
        const int to = slider->value() + (up ? 1 : -1);
        StepTimes times;
        const auto start = Clock::now();
        slider->setValue(to);
        times.step = Since(start);
        ClassicImage(plane)->repaint();
        times.toPaint = Since(start);
        const auto restStart = Clock::now();
        QCoreApplication::processEvents();
        times.rest = Since(restStart);
        return times;
    }

    QImage OrthoWindowPixels(SlicePlane plane) const
    {
        return inspector->View(plane)->Image()->grab().toImage();
    }
    QImage ClassicPixels(SlicePlane plane) const { return ClassicImage(plane)->grab().toImage(); }

    /** A step up changes what both windows show, the step back restores it. */
    void Check(SlicePlane plane)
    {
        const char* name = PlaneName(plane);
        Activate(plane);
        const int position = inspector->Model().Position(plane);
        const int value = ClassicSlider(plane)->value();
        const QImage inspectorBefore = OrthoWindowPixels(plane);
        const QImage classicBefore = ClassicPixels(plane);
        StepOrthoWindow(plane, true);
        StepClassic(plane, true);
        if (inspector->Model().Position(plane) != position + 1)
            Fail(name, "Page Up did not step the inspector's slice by one");
        if (ClassicSlider(plane)->value() != value + 1)
            Fail(name, "the classic slider did not move");
        if (OrthoWindowPixels(plane) == inspectorBefore)
            Fail(name, "the inspector's view shows the same pixels after a step");
        if (ClassicPixels(plane) == classicBefore)
            Fail(name, "the classic view shows the same pixels after a step");
        StepOrthoWindow(plane, false);
        StepClassic(plane, false);
        if (inspector->Model().Position(plane) != position)
            Fail(name, "Page Down did not step the inspector's slice back");
        if (OrthoWindowPixels(plane) != inspectorBefore)
            Fail(name, "the inspector's view differs after the step back");
        if (ClassicPixels(plane) != classicBefore)
            Fail(name, "the classic view differs after the step back");
    }
};

std::unique_ptr<StepScene> TheStepScene;

StepScene& GetStepScene()
{
    if (!TheStepScene) {
        TheStepScene = std::make_unique<StepScene>();
        for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side})
            TheStepScene->Check(plane);
        std::fprintf(stderr, "bench_orthowindow: Page Up/Down step the active view's slice; both "
                             "windows show the new slice and the old one after the step back\n");
    }
    return *TheStepScene;
}

void BM_KeyStep(benchmark::State& state, SlicePlane plane)
{
    const char* name = PlaneName(plane);
    StepScene& scene = GetStepScene();
    scene.Activate(plane);
    PaintCounter& inspectorPaints = scene.inspectorPaints[int(plane)];
    PaintCounter& classicPaints = scene.classicPaints[int(plane)];
    const WindowPaints& inspectorWindow = *scene.inspectorWindowPaints;
    const WindowPaints& classicWindow = *scene.classicWindowPaints;
    const int64_t inspectorPixels = inspectorWindow.pixels, classicPixels = classicWindow.pixels;
    const int64_t inspectorWidgets = inspectorWindow.paints, classicWidgets = classicWindow.paints;
    StepScene::StepTimes inspectorTotal, classicTotal;
    int64_t i = 0;
    for (auto _ : state) {
        const bool up = i % 2 == 0, inspectorFirst = (i / 2) % 2 == 0;
        const int position = scene.inspector->Model().Position(plane);
        const int64_t inspectorBefore = inspectorPaints.paints,
                      classicBefore = classicPaints.paints;
        StepScene::StepTimes inspector, classic;
        if (inspectorFirst) {
            inspector = scene.StepOrthoWindow(plane, up);
            classic = scene.StepClassic(plane, up);
        } else {
            classic = scene.StepClassic(plane, up);
            inspector = scene.StepOrthoWindow(plane, up);
        }
        if (scene.inspector->Model().Position(plane) != position + (up ? 1 : -1))
            Fail(name, "a key click did not step the inspector's slice");
        if (inspectorPaints.paints == inspectorBefore) Fail(name, "the inspector did not repaint");
        if (classicPaints.paints == classicBefore) Fail(name, "the classic view did not repaint");
        state.SetIterationTime(inspector.toPaint);
        for (auto [total, one] :
             {std::pair{&inspectorTotal, &inspector}, {&classicTotal, &classic}}) {
            total->toPaint += one->toPaint;
            total->step += one->step;
            total->rest += one->rest;
        }
        ++i;
    }
    using benchmark::Counter;
    const auto mean_us = [](double seconds) {
        return Counter(seconds * 1e6, Counter::kAvgIterations);
    };
    state.counters["classic_us"] = mean_us(classicTotal.toPaint);
    state.counters["ratio"] =
        classicTotal.toPaint > 0 ? inspectorTotal.toPaint / classicTotal.toPaint : 0.0;
    state.counters["insp_key_us"] = mean_us(inspectorTotal.step);
    state.counters["classic_set_us"] = mean_us(classicTotal.step);
    state.counters["insp_rest_us"] = mean_us(inspectorTotal.rest);
    state.counters["classic_rest_us"] = mean_us(classicTotal.rest);
    // Paint events and their pixels in each window per step (all widgets).
    const auto perStep = [](int64_t count) {
        return Counter(double(count), Counter::kAvgIterations);
    };
    state.counters["insp_px"] = perStep(inspectorWindow.pixels - inspectorPixels);
    state.counters["classic_px"] = perStep(classicWindow.pixels - classicPixels);
    state.counters["insp_paints"] = perStep(inspectorWindow.paints - inspectorWidgets);
    state.counters["classic_paints"] = perStep(classicWindow.paints - classicWidgets);
}

void BM_Responsiveness(benchmark::State& state)
{
    TheStepScene.reset(); // frees both windows' 512 MiB volumes
    constexpr int Size = 512;
    TOrthoWindow inspector;
    inspector.ShowVolume(PatternVolume(Size, Size, Size), QStringLiteral("pattern"));
    WaitIdle(inspector, "BM_Responsiveness");
    inspector.resize(WindowWidth, WindowHeight);
    inspector.show();
    if (!QTest::qWaitForWindowExposed(&inspector))
        Fail("BM_Responsiveness", "the window was not exposed");
    QCoreApplication::processEvents();

    for (auto _ : state) {
        int spectra = 0;
        bool capped = false;
        double spectrumSeconds = 0;
        auto started = Clock::now(), roundStarted = started;
        inspector.ComputeSpectrum(TOrthoWindow::SubjectVolume);
        if (!inspector.Busy()) Fail("BM_Responsiveness", "the spectrum did not go to the worker");
        const bench_gaps::Gaps busy = bench_gaps::RecordTicks([&] {
            if (inspector.Busy()) {
                if (Since(roundStarted) < SpectrumCapSeconds) return true;
                inspector.CancelTask();
                capped = true;
                return false;
            }
            ++spectra;
            spectrumSeconds += Since(roundStarted);
            if (!inspector.Spectrum()->ResultText().startsWith(QStringLiteral("volume")))
                Fail("BM_Responsiveness", "the spectrum ended without showing the volume's result");
            if (Since(started) >= MinSpectrumSeconds) return false;
            roundStarted = Clock::now();
            inspector.ComputeSpectrum(TOrthoWindow::SubjectVolume);
            return true;
        });
        const double seconds = Since(started);
        const auto idleStarted = Clock::now();
        const bench_gaps::Gaps idle =
            bench_gaps::RecordTicks([&] { return Since(idleStarted) < seconds; });
        state.SetIterationTime(seconds);

        state.counters["p99_ms"] = busy.Percentile(0.99);
        state.counters["max_ms"] = busy.Max();
        state.counters["median_ms"] = busy.Percentile(0.5);
        state.counters["ticks"] = double(busy.ms.size());
        state.counters["idle_p99_ms"] = idle.Percentile(0.99);
        state.counters["idle_max_ms"] = idle.Max();
        state.counters["idle_ticks"] = double(idle.ms.size());
        state.counters["spectra"] = spectra;
        state.counters["spectrum_ms"] = spectra > 0 ? spectrumSeconds * 1e3 / spectra : 0.0;
        if (capped) {
            std::fprintf(stderr,
                         "bench_orthowindow: a spectrum ran longer than %.0f s and was "
                         "cancelled\n",
                         SpectrumCapSeconds);
            state.counters["capped"] = 1;
        }
    }
}

/**
 * A line's end dragged across a 1024 × 1024 slice of 16-bit samples for two seconds, one
 * move every tick of the 10 ms timer, with its length, label and profile following: the
 * gaps between the ticks are what the drag leaves the interface.
 */
void BM_LineDrag(benchmark::State& state)
{
    TheStepScene.reset();
    constexpr int Size = 1024, Depth = 16;
    StackLayout layout;
    layout.SizeX = layout.SizeY = Size;
    layout.SizeZ = Depth;
    layout.Kind = SampleKind::UInt16;
    layout.SignificantBits = 16;
    VolumeStack stack;
    stack.Allocate(layout);
    for (int z = 0; z < Depth; ++z)
        for (int y = 0; y < Size; ++y) {
            auto* row = reinterpret_cast<uint16_t*>(stack.Row(0, 0, z, y));
            for (int x = 0; x < Size; ++x)
                row[x] = uint16_t((x * 37 + y * 11 + z * 101) & 0xFFFF);
        }
    TOrthoWindow inspector;
    inspector.ShowStack(std::move(stack), QStringLiteral("sixteen"));
    WaitIdle(inspector, "BM_LineDrag");
    inspector.resize(WindowWidth, WindowHeight);
    inspector.show();
    if (!QTest::qWaitForWindowExposed(&inspector))
        Fail("BM_LineDrag", "the window was not exposed");
    TSliceView* top = inspector.View(SlicePlane::Top);
    TMeasuring* measuring = inspector.Measuring();
    measuring->SetTool(TMeasuring::DrawLine);
    QWidget* overlay = top->Overlay();
    const QPoint from = top->PixelOf(100, 100).toPoint(), to = top->PixelOf(900, 700).toPoint();
    QTest::mousePress(overlay, Qt::LeftButton, {}, from);
    QTest::mouseMove(overlay, to);
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, to);
    if (measuring->Shapes().size() != 1) Fail("BM_LineDrag", "no line was drawn");
    // The docks that come with the first shape take their room; then the line's end grip.
    QTest::qWait(50);
    const QPoint end(top->Overlay()->Grips[2].ScreenX, top->Overlay()->Grips[2].ScreenY);

    for (auto _ : state) {
        // The line's second end (its grip) goes round a circle.
        QTest::mousePress(overlay, Qt::LeftButton, {}, end);
        if (top->Overlay()->ActiveGrip() != 2)
            Fail("BM_LineDrag", "the line's end grip was missed");
        int moves = 0;
        const auto started = Clock::now();
        const bench_gaps::Gaps gaps = bench_gaps::RecordTicks([&] {
            const double angle = 0.05 * ++moves;
            const QPoint at = end + QPoint(int(std::lround(80 * std::sin(angle))),
                                           int(std::lround(80 * (1 - std::cos(angle)))));
            QTest::mouseMove(overlay, at);
            return Since(started) < 2.0;
        });
        QTest::mouseRelease(overlay, Qt::LeftButton, {}, end);
        state.SetIterationTime(Since(started));
        state.counters["p99_ms"] = gaps.Percentile(0.99);
        state.counters["max_ms"] = gaps.Max();
        state.counters["median_ms"] = gaps.Percentile(0.5);
        state.counters["ticks"] = double(gaps.ms.size());
        state.counters["profile_samples"] = double(measuring->Profile()->Distance().size());
        const auto idleStarted = Clock::now();
        const bench_gaps::Gaps idle =
            bench_gaps::RecordTicks([&] { return Since(idleStarted) < 2.0; });
        state.counters["idle_p99_ms"] = idle.Percentile(0.99);
    }
}

BENCHMARK_CAPTURE(BM_KeyStep, top, SlicePlane::Top)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KeyStep, front, SlicePlane::Front)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KeyStep, side, SlicePlane::Side)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LineDrag)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
// One long run: repetitions would only repeat it.
BENCHMARK(BM_Responsiveness)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The windows keep their geometry and recent files under this name, not the program's.
    QCoreApplication::setOrganizationName(QStringLiteral("volinspect-bench"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheStepScene.reset();
    return 0;
}
