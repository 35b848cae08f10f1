// The inspector on a volume larger than its memory budget, read plane by plane from its
// file: a raw volume of 4096 × 4096 × 256 voxels (4 GiB, every plane written), with
// VOLINSPECT_MEMORY_LIMIT at 2 GiB so that it is not loaded.
//
// First slices on a cold page cache (BM_FirstSlicesCold): the file is evicted
// (posix_fadvise DONTNEED after fdatasync), the window opens it, and the event loop runs
// until each view shows its first image and until the front and side slices are read
// whole; `open_ms` is the title's extent, `top_ms` the top slice, `front_ms`/`side_ms`
// their coarse first images, `front_done_ms`/`side_done_ms` every plane in them. Against
// that, each evicted anew, pread() of the same bytes: the top slice's plane (`pread_top_ms`),
// the row of each of the coarse planes (`pread_front_ms`), the coarse planes whole (a
// column touches every page of its plane: `pread_side_ms`) and the whole file
// (`pread_file_ms`, what the complete side slice needs).
//
// Stepping warm (BM_StepWarm): the file in the page cache, each iteration steps the top
// slice by one plane (one it has not read) and times until its image is shown, then the
// top view's repaint apart (`paint_ms`);
// `step_call_us` is the step's own call on the interface thread.
//
// Responsiveness (BM_RefineGaps): cold again, the front and side planes move to a new
// voxel and the top slice steps every 100 ms while a 10 ms timer on the interface thread
// records the gaps between its ticks (GapRecorder.h), until every slice shown is read;
// then the timer runs as long again with nothing read (`idle_p99_ms`, `idle_max_ms`).
//
// Before timing, the program checks that the window took the file plane by plane and
// that the top slice shows the plane's voxels; a failure stops it with SIGABRT.

#include "BenchFiles.h"
#include "GapRecorder.h"
#include "ImageControl.h"
#include "LazySlices.h"
#include "MultiView.h"
#include "OrthoWindow.h"
#include "SliceView.h"
#include "ZoomPanel.h"

#include <QApplication>
#include <QTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int SizeX = 4096, SizeY = 4096, SizeZ = 256;
constexpr int64_t PlaneBytes = int64_t(SizeX) * SizeY;
constexpr int64_t HeaderBytes = 12;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/** Voxel (x, y) of plane z: rings about the middle that widen with z, and a ramp. */
void FillPlane(std::vector<uint8_t>& plane, int z)
{
    for (int y = 0; y < SizeY; ++y) {
        uint8_t* row = plane.data() + int64_t(y) * SizeX;
        const int dy = y - SizeY / 2;
        for (int x = 0; x < SizeX; ++x) {
            const int dx = x - SizeX / 2;
            const int r = int(std::sqrt(double(dx * dx + dy * dy)));
            row[x] = uint8_t(((r + 4 * z) / 64 % 2) * 120 + (x + y) / 64 + z / 4);
        }
    }
}

void WriteFile()
{
    const int fd = ::open(bench_files::FilePath, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) bench_files::Fail("cannot write the test file");
    const int32_t sizes[3] = {SizeX, SizeY, SizeZ};
    bool ok = ::write(fd, sizes, sizeof sizes) == ssize_t(sizeof sizes);
    std::vector<uint8_t> plane(static_cast<size_t>(PlaneBytes));
    for (int z = 0; z < SizeZ && ok; ++z) {
        FillPlane(plane, z);
        ok = ::pwrite(fd, plane.data(), plane.size(), HeaderBytes + z * PlaneBytes) ==
             ssize_t(plane.size());
    }
    ok = ok && ::fdatasync(fd) == 0;
    ::close(fd);
    if (!ok) bench_files::Fail("cannot write the test file");
}

/** Drops the file from the page cache. */
void Evict()
{
    const int fd = ::open(bench_files::FilePath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) bench_files::Fail("cannot open the test file");
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

/** Reads `bytes` at `offset` with pread into `buffer`. */
void Read(int fd, int64_t offset, int64_t bytes, std::vector<uint8_t>& buffer)
{
    buffer.resize(size_t(std::max<int64_t>(bytes, 1)));
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pread(fd, buffer.data() + done, size_t(bytes - done), offset + done);
        if (n <= 0) bench_files::Fail("pread failed");
        done += n;
    }
    benchmark::DoNotOptimize(buffer.data());
}

/** Processes events until `ready`, at most `seconds`; false when it did not come. */
template <class Ready> bool Until(Ready&& ready, double seconds)
{
    const auto start = Clock::now();
    while (!ready()) {
        if (MsSince(start) > seconds * 1000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

const ImageStruct* Shown(TOrthoWindow& window, SlicePlane plane)
{
    return window.View(plane)->Image()->Image();
}

bool Complete(TOrthoWindow& window, SlicePlane plane)
{
    const LazySlices::SliceImage slice = window.Lazy()->Slice(plane, 0, 0, window.Position(plane));
    return slice.Complete() && slice.LinesShown == slice.Lines &&
           Shown(window, plane) == slice.Image.get();
}

std::unique_ptr<TOrthoWindow> OpenWindow()
{
    auto window = std::make_unique<TOrthoWindow>();
    window->resize(1100, 860);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) bench_files::Fail("no window");
    return window;
}

void BM_FirstSlicesCold(benchmark::State& state)
{
    for (auto _ : state) {
        Evict();
        auto window = OpenWindow();
        const auto start = Clock::now();
        window->OpenFile(QString::fromLocal8Bit(bench_files::FilePath));
        double open = 0, top = 0, front = 0, side = 0, frontDone = 0, sideDone = 0;
        const bool done = Until(
            [&] {
                const double now = MsSince(start);
                if (!open && window->LargeVolume()) open = now;
                if (!window->LargeVolume()) return false;
                if (!top && Shown(*window, SlicePlane::Top)) top = now;
                if (!front && Shown(*window, SlicePlane::Front)) front = now;
                if (!side && Shown(*window, SlicePlane::Side)) side = now;
                if (!frontDone && Complete(*window, SlicePlane::Front)) frontDone = now;
                if (!sideDone && Complete(*window, SlicePlane::Side)) sideDone = now;
                return frontDone && sideDone;
            },
            300);
        if (!done) bench_files::Fail("the slices were not read within 300 s");
        // The top slice shows its plane's voxels.
        std::vector<uint8_t> plane(static_cast<size_t>(PlaneBytes));
        const int z = window->Position(SlicePlane::Top);
        FillPlane(plane, z);
        const ImageStruct* shown = Shown(*window, SlicePlane::Top);
        for (int y = 0; y < SizeY; y += 511)
            if (std::memcmp(shown->Data + int64_t(y) * shown->LineStep,
                            plane.data() + int64_t(y) * SizeX, SizeX) != 0)
                bench_files::Fail("the top slice does not show its plane");
        state.SetIterationTime(sideDone / 1000);
        window.reset();

        // The same bytes by pread, each from a cold cache.
        const int fd = ::open(bench_files::FilePath, O_RDONLY | O_CLOEXEC);
        std::vector<uint8_t> buffer;
        const std::vector<int32_t> order =
            CoarseToFineOrder(SizeZ, LazySlices::Options().CoarsePlanes);
        const size_t coarse =
            std::min<size_t>(order.size(), size_t(LazySlices::Options().CoarsePlanes));
        Evict();
        auto t = Clock::now();
        Read(fd, HeaderBytes + z * PlaneBytes, PlaneBytes, buffer);
        const double preadTop = MsSince(t);
        Evict();
        t = Clock::now();
        for (size_t i = 0; i < coarse; ++i)
            Read(fd, HeaderBytes + order[i] * PlaneBytes + int64_t(SizeY / 2) * SizeX, SizeX,
                 buffer);
        const double preadFront = MsSince(t);
        Evict();
        t = Clock::now();
        for (size_t i = 0; i < coarse; ++i)
            Read(fd, HeaderBytes + order[i] * PlaneBytes, PlaneBytes, buffer);
        const double preadSide = MsSince(t);
        Evict();
        t = Clock::now();
        for (int64_t at = 0; at < SizeZ * PlaneBytes; at += int64_t(64) << 20)
            Read(fd, HeaderBytes + at,
                 std::min<int64_t>(int64_t(64) << 20, SizeZ * PlaneBytes - at), buffer);
        const double preadFile = MsSince(t);
        ::close(fd);

        state.counters["open_ms"] = open;
        state.counters["top_ms"] = top;
        state.counters["front_ms"] = front;
        state.counters["side_ms"] = side;
        state.counters["front_done_ms"] = frontDone;
        state.counters["side_done_ms"] = sideDone;
        state.counters["pread_top_ms"] = preadTop;
        state.counters["pread_front_ms"] = preadFront;
        state.counters["pread_side_ms"] = preadSide;
        state.counters["pread_file_ms"] = preadFile;
    }
}

std::unique_ptr<TOrthoWindow> TheWindow;

TOrthoWindow& WarmWindow()
{
    if (!TheWindow) {
        TheWindow = OpenWindow();
        TheWindow->OpenFile(QString::fromLocal8Bit(bench_files::FilePath));
        if (!Until([] { return TheWindow->LargeVolume() && !TheWindow->Refining(); }, 300))
            bench_files::Fail("the slices were not read within 300 s");
        if (!TheWindow->LargeVolume()) bench_files::Fail("the file was loaded, not read by planes");
        TheWindow->SetPosition(SlicePlane::Top, 0);
    }
    return *TheWindow;
}

void BM_StepWarm(benchmark::State& state)
{
    // The whole file in the page cache.
    std::vector<uint8_t> buffer;
    const int fd = ::open(bench_files::FilePath, O_RDONLY | O_CLOEXEC);
    for (int64_t at = 0; at < SizeZ * PlaneBytes; at += int64_t(64) << 20)
        Read(fd, HeaderBytes + at, std::min<int64_t>(int64_t(64) << 20, SizeZ * PlaneBytes - at),
             buffer);
    ::close(fd);
    TOrthoWindow& window = WarmWindow();
    double calls = 0, paints = 0;
    for (auto _ : state) {
        if (window.Position(SlicePlane::Top) + 1 >= SizeZ) window.SetPosition(SlicePlane::Top, 0);
        const int z = window.Position(SlicePlane::Top) + 1;
        const auto start = Clock::now();
        window.StepSlice(SlicePlane::Top, 1);
        calls += MsSince(start);
        const bool shown = Until(
            [&] {
                const LazySlices::SliceImage slice = window.Lazy()->Slice(SlicePlane::Top, 0, 0, z);
                return slice.Image && Shown(window, SlicePlane::Top) == slice.Image.get();
            },
            10);
        if (!shown) bench_files::Fail("a step's plane was not shown within 10 s");
        state.SetIterationTime(MsSince(start) / 1000);
        const auto paint = Clock::now();
        window.View(SlicePlane::Top)->Panel()->repaint();
        paints += MsSince(paint);
    }
    state.counters["step_call_us"] =
        benchmark::Counter(calls * 1000, benchmark::Counter::kAvgIterations);
    state.counters["paint_ms"] = benchmark::Counter(paints, benchmark::Counter::kAvgIterations);
}

void BM_RefineGaps(benchmark::State& state)
{
    TOrthoWindow& window = WarmWindow();
    static int round = 0; // every repetition moves elsewhere
    for (auto _ : state) {
        Evict();
        ++round;
        window.SetPosition(SlicePlane::Side, 1000 + (700 * round) % 2000);
        window.SetPosition(SlicePlane::Front, 900 + (500 * round) % 2000);
        const auto start = Clock::now();
        int ticks = 0, steps = 0;
        const bench_gaps::Gaps gaps = bench_gaps::RecordTicks([&] {
            if (++ticks % 10 == 0) {
                window.StepSlice(SlicePlane::Top,
                                 window.Position(SlicePlane::Top) + 1 < SizeZ ? 1 : -1);
                ++steps;
            }
            return window.Refining() && MsSince(start) < 300000;
        });
        const double seconds = MsSince(start) / 1000;
        state.SetIterationTime(seconds);
        // The same timer as long again with nothing read: what the machine itself gives.
        const auto idleStart = Clock::now();
        const bench_gaps::Gaps idle =
            bench_gaps::RecordTicks([&] { return MsSince(idleStart) < seconds * 1000; });
        state.counters["idle_p99_ms"] = idle.Percentile(0.99);
        state.counters["idle_max_ms"] = idle.Max();
        state.counters["p99_ms"] = gaps.Percentile(0.99);
        state.counters["max_ms"] = gaps.Max();
        state.counters["median_ms"] = gaps.Percentile(0.5);
        state.counters["ticks"] = double(gaps.ms.size());
        state.counters["steps"] = steps;
    }
}

BENCHMARK(BM_FirstSlicesCold)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StepWarm)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefineGaps)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(2)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    // Before anything asks for the budget: the 4 GiB file must not fit.
    qputenv("VOLINSPECT_MEMORY_LIMIT", "2G");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("volinspect-bench"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench_files::MakeFolder("bench_largevolume", "large.raw");
    std::fprintf(stderr, "bench_largevolume: writing a 4 GiB volume…\n");
    WriteFile();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheWindow.reset();
    bench_files::RemoveFiles();
    return 0;
}
