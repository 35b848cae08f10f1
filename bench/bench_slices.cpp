// Redraw cost of the three slice views (top, front, side) of a 512 × 512 × 512 volume
// of random voxels, each compared with a plain drawing that reads the voxels one by
// one through ByteVolume::Voxel in bitmap row order.
//
// The project's drawing is the window's: the slice model's record of the plane at the
// position, taken afresh as after a slider's move or a change of the voxels (so the
// side slice is copied every time), drawn with DrawModelSlice (DrawGreenSlice of the record).
//
// Every iteration draws the reference and the project's bitmap once each, in
// alternating order, and times both; the Time column is the project's drawing (manual
// time), `ref_us` the reference's mean time and `speedup` the ratio of the two totals.
// Since both run in the same iterations, a busy machine slows both alike.
// BM_SideFetchOnly is no drawing: it only fetches the side view's voxels, which shows
// how much of the side view's time is the memory traffic itself.
//
// Before any timing the project's bitmaps are compared byte by byte with the
// reference's, on the large volume and on small volumes of odd sizes drawn into
// bitmaps with padded rows; a difference stops the program with SIGABRT.

#include "BenchVolumes.h"
#include "ByteVolume.h"
#include "SliceImages.h"
#include "SliceModel.h"

#include <QImage>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

enum class View
{
    Top,
    Front,
    Side
};
constexpr View AllViews[] = {View::Top, View::Front, View::Side};

const char* ViewName(View view)
{
    switch (view) {
    case View::Top:
        return "top";
    case View::Front:
        return "front";
    case View::Side:
        return "side";
    }
    return "?";
}

/** The slice position a view is drawn at: the middle of the volume. */
int Middle(const ByteVolume& volume, View view)
{
    switch (view) {
    case View::Top:
        return volume.SizeZ / 2;
    case View::Front:
        return volume.SizeY / 2;
    case View::Side:
        return volume.SizeX / 2;
    }
    return 0;
}

/** Width and height of a view's bitmap. */
void ViewSize(const ByteVolume& volume, View view, int& width, int& height)
{
    switch (view) {
    case View::Top:
        width = volume.SizeX;
        height = volume.SizeY;
        break;
    case View::Front:
        width = volume.SizeX;
        height = volume.SizeZ;
        break;
    case View::Side:
        width = volume.SizeZ;
        height = volume.SizeY;
        break;
    }
}

/** The reference: one Voxel() call per pixel, in row order, writing (0, v, 0). */
void DrawReference(const ByteVolume& volume, View view, int position, const BitmapView& bitmap)
{
    for (int r = 0; r < bitmap.Height; ++r) {
        uint8_t* line = bitmap.Bits + r * bitmap.BytesPerLine;
        for (int c = 0; c < bitmap.Width; ++c) {
            uint8_t v = 0;
            switch (view) {
            case View::Top:
                v = volume.Voxel(c, r, position);
                break;
            case View::Front:
                v = volume.Voxel(c, position, r);
                break;
            case View::Side:
                v = volume.Voxel(position, r, c);
                break;
            }
            line[3 * c] = 0;
            line[3 * c + 1] = v;
            line[3 * c + 2] = 0;
        }
    }
}

SlicePlane PlaneOf(View view)
{
    switch (view) {
    case View::Top:
        return SlicePlane::Top;
    case View::Front:
        return SlicePlane::Front;
    case View::Side:
        break;
    }
    return SlicePlane::Side;
}

/** The window's drawing of a view, with `model` showing the volume. */
bool DrawProject(SliceModel& model, View view, int position, const BitmapView& bitmap)
{
    model.VolumeChanged();
    return DrawModelSlice(model, PlaneOf(view), position, bitmap);
}

BitmapView ViewOf(QImage& image)
{
    return {image.bits(), image.width(), image.height(), image.bytesPerLine()};
}

[[noreturn]] void Fail(const char* what, const ByteVolume& volume, View view, int position)
{
    std::fprintf(stderr,
                 "\n*** bench_slices: %s: %s view at %d of a %d x %d x %d volume ***\n"
                 "*** the project's slice drawing is wrong; no timing was done ***\n\n",
                 what, ViewName(view), position, volume.SizeX, volume.SizeY, volume.SizeZ);
    std::abort();
}

/**
 * Draws one view with both drawings into bitmaps of `extra` padding bytes per row,
 * prefilled with a marker, and compares every byte including the padding (which
 * neither may touch).
 */
void CheckView(SliceModel& model, View view, int position, ptrdiff_t extra)
{
    const ByteVolume& volume = *model.Volume();
    int width = 0, height = 0;
    ViewSize(volume, view, width, height);
    const ptrdiff_t stride = 3 * ptrdiff_t(width) + extra;
    std::vector<uint8_t> expected(size_t(stride) * size_t(height), 0xA5);
    std::vector<uint8_t> actual(expected);
    DrawReference(volume, view, position, {expected.data(), width, height, stride});
    if (!DrawProject(model, view, position, {actual.data(), width, height, stride}))
        Fail("the drawing refused a valid slice", volume, view, position);
    if (actual != expected) {
        size_t i = 0;
        while (actual[i] == expected[i])
            ++i;
        std::fprintf(
            stderr, "bench_slices: first difference at row %zu, byte %zu: %u, expected %u\n",
            i / size_t(stride), i % size_t(stride), unsigned(actual[i]), unsigned(expected[i]));
        Fail("bitmap differs from the reference", volume, view, position);
    }
}

void CheckVolume(int x, int y, int z, uint64_t seed)
{
    ByteVolume volume;
    volume.Allocate(x, y, z);
    FillRandom(volume, seed);
    SliceModel model(&volume);
    for (View view : AllViews) {
        const int size = view == View::Top ? z : view == View::Front ? y : x;
        for (int position : {0, size / 2, size - 1})
            for (ptrdiff_t extra : {0, 1, 29})
                CheckView(model, view, position, extra);
    }
}

/** The timed scene: the large volume and one QImage per view and drawing. */
struct Scene
{
    static constexpr int Size = 512;
    ByteVolume volume;
    SliceModel model;
    QImage reference[3];
    QImage project[3];

    Scene()
    {
        volume.Allocate(Size, Size, Size);
        FillRandom(volume, 1);
        model.SetVolume(&volume);
        for (View view : AllViews) {
            int width = 0, height = 0;
            ViewSize(volume, view, width, height);
            reference[int(view)] = QImage(width, height, QImage::Format_BGR888);
            project[int(view)] = QImage(width, height, QImage::Format_BGR888);
            reference[int(view)].fill(0);
            project[int(view)].fill(0);
        }
    }
};

Scene* TheScene = nullptr;

/** The timed bitmaps must match as well (same QImage objects as in the timing). */
void CheckScene(Scene& scene)
{
    for (View view : AllViews) {
        const int position = Middle(scene.volume, view);
        QImage& ref = scene.reference[int(view)];
        QImage& got = scene.project[int(view)];
        ref.fill(0xA5);
        got.fill(0x5A);
        DrawReference(scene.volume, view, position, ViewOf(ref));
        if (!DrawProject(scene.model, view, position, ViewOf(got)))
            Fail("the drawing refused a valid slice", scene.volume, view, position);
        for (int r = 0; r < ref.height(); ++r)
            if (std::memcmp(ref.constScanLine(r), got.constScanLine(r), 3 * size_t(ref.width())) !=
                0)
                Fail("QImage bitmap differs from the reference", scene.volume, view, position);
    }
}

/**
 * Fetches the side view's voxels in the order and with the prefetch CopySideSlice uses,
 * and only adds them up: an estimate of the floor for any side drawing, which must
 * bring in one cache line per pixel.
 */
uint32_t FetchSideVoxels(const ByteVolume& volume, int x)
{
    constexpr int32_t Ahead = 64;
    const int64_t strideY = volume.StrideY;
    const int32_t ahead = volume.SizeY < Ahead ? volume.SizeY : Ahead;
    uint32_t sum = 0;
    for (int32_t z = 0; z < volume.SizeZ; ++z) {
        const uint8_t* in = volume.VoxelPtr(x, 0, z);
        const uint8_t* next = z + 1 < volume.SizeZ ? volume.VoxelPtr(x, 0, z + 1) : in;
        int32_t y = 0;
        for (; y < volume.SizeY - ahead; ++y) {
            __builtin_prefetch(in + (y + ahead) * strideY);
            sum += in[y * strideY];
        }
        for (; y < volume.SizeY; ++y) {
            __builtin_prefetch(next + (y + ahead - volume.SizeY) * strideY);
            sum += in[y * strideY];
        }
    }
    return sum;
}

enum class Drawing
{
    Reference,
    Project,
    FetchOnly
};

using Clock = std::chrono::steady_clock;

/** Times one drawing of `views`; returns seconds. */
double TimeDraw(Scene& scene, Drawing drawing, const std::vector<View>& views)
{
    const auto start = Clock::now();
    for (View view : views) {
        const int position = Middle(scene.volume, view);
        QImage& image =
            drawing == Drawing::Reference ? scene.reference[int(view)] : scene.project[int(view)];
        const BitmapView bitmap = ViewOf(image);
        switch (drawing) {
        case Drawing::Reference:
            DrawReference(scene.volume, view, position, bitmap);
            break;
        case Drawing::Project:
            DrawProject(scene.model, view, position, bitmap);
            break;
        case Drawing::FetchOnly: {
            uint32_t sum = FetchSideVoxels(scene.volume, position);
            benchmark::DoNotOptimize(sum);
            break;
        }
        }
        benchmark::DoNotOptimize(bitmap.Bits);
    }
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/** Times `candidate` against the reference drawing of the same views. */
void RunViews(benchmark::State& state, Drawing candidate, const std::vector<View>& views)
{
    Scene& scene = *TheScene;
    double referenceTotal = 0, candidateTotal = 0;
    bool referenceFirst = true;
    for (auto _ : state) {
        double referenceTime = 0, candidateTime = 0;
        if (referenceFirst) {
            referenceTime = TimeDraw(scene, Drawing::Reference, views);
            candidateTime = TimeDraw(scene, candidate, views);
        } else {
            candidateTime = TimeDraw(scene, candidate, views);
            referenceTime = TimeDraw(scene, Drawing::Reference, views);
        }
        referenceFirst = !referenceFirst;
        state.SetIterationTime(candidateTime);
        referenceTotal += referenceTime;
        candidateTotal += candidateTime;
    }
    state.counters["ref_us"] =
        benchmark::Counter(referenceTotal * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["speedup"] = candidateTotal > 0 ? referenceTotal / candidateTotal : 0.0;
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(views.size()) * Scene::Size *
                            Scene::Size);
}

void BM_Slices_All(benchmark::State& state)
{
    RunViews(state, Drawing::Project, {View::Top, View::Front, View::Side});
}
void BM_Slices_Top(benchmark::State& state)
{
    RunViews(state, Drawing::Project, {View::Top});
}
void BM_Slices_Front(benchmark::State& state)
{
    RunViews(state, Drawing::Project, {View::Front});
}
void BM_Slices_Side(benchmark::State& state)
{
    RunViews(state, Drawing::Project, {View::Side});
}
/** Not a drawing: the side view's voxel fetches alone, against the side reference. */
void BM_SideFetchOnly(benchmark::State& state)
{
    RunViews(state, Drawing::FetchOnly, {View::Side});
}

// The run lengths are set here rather than by --benchmark_min_time, which counts only
// the project's (manual) time: with the reference up to 25 times slower, one global
// value would make the cheap views run far longer than the expensive ones. These give
// each benchmark about a second on the machine described in README.md.
BENCHMARK(BM_Slices_All)->UseManualTime()->MinTime(0.25)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Slices_Top)->UseManualTime()->MinTime(0.03)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Slices_Front)->UseManualTime()->MinTime(0.03)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Slices_Side)->UseManualTime()->MinTime(0.25)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SideFetchOnly)->UseManualTime()->MinTime(0.25)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // Odd sizes exercise the ends of rows that do not fill a whole vector block.
    CheckVolume(1, 1, 1, 7);
    CheckVolume(37, 23, 19, 11);
    CheckVolume(5, 70, 131, 13);
    CheckVolume(133, 3, 66, 17);
    CheckVolume(64, 64, 64, 19);

    auto scene = std::make_unique<Scene>();
    CheckScene(*scene);
    std::fprintf(stderr, "bench_slices: the project's bitmaps match the reference byte for byte\n");

    TheScene = scene.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheScene = nullptr;
    return 0;
}
