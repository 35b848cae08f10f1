// The graphics-list overlay (TGraphicsListControl) and DrawList with a long list.
//
// Grip drags: two transparent 1024 × 1024 overlays, each the only child of its own shown
// top-level window (Qt's offscreen platform, so real paint events with the update region
// of each move). One list holds 10 items, the other 10 000: item 0 is the item being
// edited, the rest are random points, lines, rectangles and arcs of up to about 100
// pixels, spread over the control (the short list holds the first 9 of them). A drag is
// a press on a grip, 20 moves (10 steps out, 10 back to the press point), each followed
// by the synchronous repaint of its update region, and the release, which writes the
// item back unchanged and repaints the whole control.
//
// - BM_DragRectangle: item 0 is a 200 × 120 rectangle; its bottom-right grip is dragged
//   60 × 40 pixels out and back, which resizes it (axis-aligned grip lines).
// - BM_DragLine: item 0 is a slanted line; its end grip is dragged (a slanted grip line).
// - BM_DragSmallRectangle: as BM_DragRectangle with a 60 × 50 rectangle and steps of one
//   pixel, so that no grip line spans 96 rows or more (see README.md: Qt hands the XOR
//   drawing of longer lines to its thread pool).
//
// Every iteration drags once on each overlay, in alternating order. Time is the drag
// (press and moves with their repaints) on the 10 000-item list; `few_us` is the same
// drag on the 10-item list and `ratio` the ratio of the two totals. The release and its
// full repaint are timed apart: `release_ms` (10 000 items), `few_release_ms` (10 items).
// `update_px` is the mean number of pixels a move repaints.
//
// While grips are shown the overlay keeps its list drawn in a picture of its own, and a
// move copies its region from that picture: the number of items should not matter.
//
// BM_FullRepaint draws the 10 000-item list into a 1024 × 1024 RGB32 QImage with
// DrawList, against a plain loop that draws each item with its own QPainter calls;
// `ref_ms` is the loop's mean time and `ratio` DrawList's total over the loop's.
//
// Before any timing the program checks the results and aborts with a loud message when
// one is wrong: every move repaints the control exactly once and the grip follows the
// pointer; the window's pixels after the partial repaints of a drag, and after the
// release, equal a full repaint of the window; the release leaves the item as it was;
// DrawList clipped to each move's region paints there what it paints unclipped; DrawList
// and the plain loop paint the same pixels. The timed drags check their paint counts
// again, the timed full repaints their pixels.

#include "BenchVolumes.h"
#include "GraphicsListControl.h"
#include "imgdraw.h"
#include "imgkernel.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ControlSize = 1024;
constexpr int ManyItems = 10000;
constexpr int FewItems = 10;
constexpr int Moves = 20;

[[noreturn]] void Fail(const char* benchmark, const char* what)
{
    std::fprintf(stderr,
                 "\n*** bench_overlay: %s: %s ***\n"
                 "*** the result is wrong; no timing is valid ***\n\n",
                 benchmark, what);
    std::abort();
}

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/** A value in [low, high) in steps of 1/8, so that positions fall inside pixels. */
float Uniform(Random& random, float low, float high)
{
    const uint64_t steps = uint64_t((high - low) * 8);
    return low + float(random.Next() % steps) / 8;
}

/**
 * Random item `i`: the kinds in turn, positions anywhere on the control, extents of up
 * to about 100 pixels, one of eight colours (one of them the list's).
 */
GraphicsItemStruct RandomItem(Random& random, int i)
{
    static constexpr uint32_t Colors[8] = {GraphicsListColor, 0x0000FF, 0x00FF00, 0xFF0000,
                                           0xFF00FF,          0xFFFF00, 0x00FFFF, 0xFFFFFF};
    GraphicsItemStruct item;
    item.Kind = int32_t(i % 4);
    item.Color = Colors[random.Next() % 8];
    float* c = item.Coords;
    const float x = Uniform(random, 0, ControlSize), y = Uniform(random, 0, ControlSize);
    switch (item.Kind) {
    case GraphicsPoint:
        c[2] = x, c[3] = y;
        break;
    case GraphicsLine:
        c[0] = x, c[1] = y, c[2] = x + Uniform(random, -64, 64),
        c[3] = y + Uniform(random, -64, 64);
        break;
    case GraphicsRectangle:
        c[0] = x, c[1] = y, c[2] = x + Uniform(random, -80, 80),
        c[3] = y + Uniform(random, -80, 80);
        break;
    default:
        c[0] = x, c[1] = y, c[2] = Uniform(random, 4, 48);
        c[3] = Uniform(random, 0, 360), c[4] = c[3] + Uniform(random, 20, 340);
        break;
    }
    return item;
}

/** Fills `list` (capacity ManyItems at least) with `edited` and then `count − 1` random items. */
void FillList(GraphicsListStruct* list, const GraphicsItemStruct& edited, int count)
{
    Random random{2026};
    if (AppendToList(list, edited) != 0) Fail("setup", "the list refused its first item");
    for (int i = 1; i < count; ++i)
        if (AppendToList(list, RandomItem(random, i)) != i)
            Fail("setup", "the list refused an item");
}

// --- grip drags ------------------------------------------------------------------------

/** Counts a widget's paint events and the pixels of their regions. */
class PaintCounter : public QObject
{
public:
    int64_t paints = 0;
    int64_t pixels = 0;
    QRegion last; ///< the region of the last paint

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            last = static_cast<QPaintEvent*>(event)->region();
            for (const QRect& r : last)
                pixels += int64_t(r.width()) * r.height();
        }
        return QObject::eventFilter(watched, event);
    }
};

/** What is dragged: the edited item 0, its grip, and one step of the pointer. */
struct Scenario
{
    const char* name;
    GraphicsItemStruct item;
    int grip;
    QPoint step;
};

GraphicsItemStruct Item(GraphicsKind kind, float x1, float y1, float x2, float y2)
{
    GraphicsItemStruct item;
    item.Kind = kind;
    item.Coords[0] = x1, item.Coords[1] = y1, item.Coords[2] = x2, item.Coords[3] = y2;
    return item;
}

/** The bottom-right corner of a rectangle: resizes it, every grip line axis-aligned. */
const Scenario RectangleDrag{"BM_DragRectangle", Item(GraphicsRectangle, 300, 300, 500, 420), 4,
                             QPoint(6, 4)};
/** The end of a slanted line: the grip line stays slanted. */
const Scenario LineDrag{"BM_DragLine", Item(GraphicsLine, 600, 200, 760, 330), 2, QPoint(5, -3)};
/** A rectangle whose grip lines stay shorter than 96 rows. */
const Scenario SmallRectangleDrag{"BM_DragSmallRectangle",
                                  Item(GraphicsRectangle, 300, 300, 360, 350), 4, QPoint(1, 1)};

constexpr int ScenarioCount = 3;
const Scenario* const Scenarios[ScenarioCount] = {&RectangleDrag, &LineDrag, &SmallRectangleDrag};

/** The pointer's offset from the press point after move k (1 … Moves): out and back. */
QPoint Offset(const Scenario& scenario, int k)
{
    return scenario.step * (k <= Moves / 2 ? k : Moves - k);
}

void Send(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButton button,
          Qt::MouseButtons buttons)
{
    QMouseEvent event(type, QPointF(at), QPointF(widget->mapToGlobal(at)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

/** Runs the repaint that the last change asked for, now. */
void Repaint()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

/** A shown window holding a transparent overlay with a list of `items` items. */
struct DragScene
{
    const Scenario& scenario;
    PaintCounter counter;
    std::unique_ptr<QWidget> window;
    TGraphicsListControl* overlay = nullptr;
    QPoint press;
    float gripX = 0, gripY = 0;
    std::vector<QRegion> moveRegions; ///< what each move of the checked drag repainted

    DragScene(const Scenario& s, int items) : scenario(s), window(std::make_unique<QWidget>())
    {
        window->resize(ControlSize, ControlSize);
        overlay = new TGraphicsListControl(window.get());
        overlay->setGeometry(0, 0, ControlSize, ControlSize);
        overlay->SetTransparent(true);
        overlay->SetZoomProperties(1, 0, 1, 0);
        overlay->SetAllocSize(ManyItems);
        FillList(overlay->List, s.item, items);
        overlay->installEventFilter(&counter);
        overlay->StartDefaultEdit(0);
        window->show();
        for (int i = 0; i < 100 && counter.paints == 0; ++i)
            QApplication::processEvents();
        if (counter.paints == 0) Fail(s.name, "the shown window never painted the overlay");
        if (overlay->EditItem() != 0) Fail(s.name, "item 0 is not being edited");
        const auto& grip = overlay->Grips[s.grip];
        press = QPoint(grip.ScreenX, grip.ScreenY);
        gripX = grip.X, gripY = grip.Y;
    }

    void Press() { Send(overlay, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton); }
    void Move(int k)
    {
        Send(overlay, QEvent::MouseMove, press + Offset(scenario, k), Qt::NoButton, Qt::LeftButton);
        Repaint();
    }
    void Release()
    {
        Send(overlay, QEvent::MouseButtonRelease, press, Qt::LeftButton, Qt::NoButton);
        Repaint();
    }

    /** The window's pixels as they are on the (offscreen) screen. */
    QImage Shown() const
    {
        return window->screen()
            ->grabWindow(window->winId())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }
    /** The window painted afresh as a whole. */
    QImage Rendered() const
    {
        return window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    bool ItemUnchanged() const
    {
        return std::memcmp(&overlay->List->Items[0], &scenario.item, sizeof scenario.item) == 0;
    }

    struct Times
    {
        double drag, release;
        int64_t movePixels; ///< pixels the moves repainted
    };

    /** One drag: press and moves timed together, the release apart; paints counted. */
    Times Drag()
    {
        const int64_t before = counter.paints, pixelsBefore = counter.pixels;
        const auto start = Clock::now();
        Press();
        for (int k = 1; k <= Moves; ++k)
            Move(k);
        const double drag = Since(start);
        const int64_t moved = counter.paints, movePixels = counter.pixels - pixelsBefore;
        const auto releaseStart = Clock::now();
        Release();
        const double release = Since(releaseStart);
        if (moved - before != Moves) Fail(scenario.name, "a move did not repaint exactly once");
        if (counter.paints == moved) Fail(scenario.name, "the release did not repaint");
        return {drag, release, movePixels};
    }

    /** Checks one drag step by step (see the top of the file). */
    void Check()
    {
        const char* name = scenario.name;
        Drag(); // a first drag, so that the checked one runs as the timed ones do
        QApplication::processEvents();
        Press();
        if (overlay->ActiveGrip() != scenario.grip) Fail(name, "the press missed the grip");
        for (int k = 1; k <= Moves; ++k) {
            const int64_t before = counter.paints;
            Move(k);
            if (counter.paints != before + 1) Fail(name, "a move did not repaint exactly once");
            moveRegions.push_back(counter.last);
            const QPoint offset = Offset(scenario, k);
            const auto& grip = overlay->Grips[scenario.grip];
            if (grip.X != gripX + float(offset.x()) || grip.Y != gripY + float(offset.y()))
                Fail(name, "the grip did not follow the pointer");
            if (k == Moves / 2 && Shown() != Rendered())
                Fail(name, "the window after partial repaints differs from a full repaint");
        }
        const int64_t before = counter.paints;
        Release();
        if (counter.paints == before) Fail(name, "the release did not repaint");
        if (overlay->ActiveGrip() != -1) Fail(name, "the release left a grip active");
        if (!ItemUnchanged()) Fail(name, "a drag back to the press point changed the item");
        if (Shown() != Rendered())
            Fail(name, "the window after the release differs from a full repaint");
    }
};

DragScene* TheScenes[ScenarioCount][2] = {}; // [scenario][0: few items, 1: many]

/**
 * DrawList alone, as the moves of a drag call it: `list` drawn into `target` once per
 * region of `regions`, clipped to it. Returns the time taken.
 */
double DrawRegions(QImage& target, const GraphicsListStruct* list, float xoffset,
                   const std::vector<QRegion>& regions)
{
    const auto start = Clock::now();
    for (const QRegion& region : regions) {
        QPainter painter(&target);
        painter.setClipRegion(region);
        DrawList(painter, list, xoffset, 0, 1, 1, 0, 0);
    }
    return Since(start);
}

/**
 * Checks that DrawList clipped to each move's region paints there what an unclipped
 * DrawList paints: the items it skips have no pixel in the region.
 */
void CheckClipped(const DragScene& scene)
{
    QImage whole(ControlSize, ControlSize, QImage::Format_RGB32);
    QImage clipped(ControlSize, ControlSize, QImage::Format_RGB32);
    whole.fill(Qt::black);
    {
        QPainter painter(&whole);
        DrawList(painter, scene.overlay->List, 0, 0, 1, 1, 0, 0);
    }
    if (int(scene.moveRegions.size()) != Moves) Fail(scene.scenario.name, "moves not recorded");
    for (const QRegion& region : scene.moveRegions) {
        if (region.isEmpty()) Fail(scene.scenario.name, "a move repainted nothing");
        clipped.fill(Qt::black);
        DrawRegions(clipped, scene.overlay->List, 0, {region});
        for (const QRect& r : region)
            for (int y = r.top(); y <= r.bottom(); ++y)
                if (std::memcmp(whole.constScanLine(y) + 4 * r.left(),
                                clipped.constScanLine(y) + 4 * r.left(), 4 * size_t(r.width())))
                    Fail(scene.scenario.name, "DrawList clipped to a move's region misses pixels");
    }
}

void RunDrag(benchmark::State& state, int which)
{
    DragScene& few = *TheScenes[which][0];
    DragScene& many = *TheScenes[which][1];
    double fewTotal = 0, manyTotal = 0, fewRelease = 0, manyRelease = 0;
    int64_t movePixels = 0;
    bool fewFirst = true;
    for (auto _ : state) {
        DragScene::Times f{}, m{};
        if (fewFirst) {
            f = few.Drag();
            m = many.Drag();
        } else {
            m = many.Drag();
            f = few.Drag();
        }
        fewFirst = !fewFirst;
        state.SetIterationTime(m.drag);
        fewTotal += f.drag, manyTotal += m.drag;
        fewRelease += f.release, manyRelease += m.release;
        movePixels += m.movePixels;
    }
    if (!few.ItemUnchanged() || !many.ItemUnchanged())
        Fail(few.scenario.name, "the timed drags changed the item");
    using benchmark::Counter;
    state.counters["few_us"] = Counter(fewTotal * 1e6, Counter::kAvgIterations);
    state.counters["ratio"] = fewTotal > 0 ? manyTotal / fewTotal : 0.0;
    state.counters["release_ms"] = Counter(manyRelease * 1e3, Counter::kAvgIterations);
    state.counters["few_release_ms"] = Counter(fewRelease * 1e3, Counter::kAvgIterations);
    state.counters["update_px"] = Counter(double(movePixels) / Moves, Counter::kAvgIterations);
}

void BM_DragRectangle(benchmark::State& state)
{
    RunDrag(state, 0);
}

void BM_DragLine(benchmark::State& state)
{
    RunDrag(state, 1);
}

void BM_DragSmallRectangle(benchmark::State& state)
{
    RunDrag(state, 2);
}

// --- a full repaint with DrawList ----------------------------------------------------

QColor ColorOf(uint32_t color)
{
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

/** The pixel a list coordinate falls in. */
int Pixel(float offset, float u, float scale)
{
    return int(std::floor(double(offset) + double(u) * double(scale)));
}

/**
 * The plain loop: every item with its own pen and its own QPainter call, in painter
 * pixels; an arc as a path in list coordinates through the world transform.
 */
void ReferenceDraw(QPainter& painter, const GraphicsListStruct& list, float xoffset, float yoffset,
                   float xscale, float yscale)
{
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setBrush(Qt::NoBrush);
    for (int i = 0; i < list.Count; ++i) {
        const GraphicsItemStruct& item = list.Items[i];
        const float* c = item.Coords;
        painter.setPen(QPen(ColorOf(item.Color == GraphicsListColor ? list.Color : item.Color), 0));
        switch (item.Kind) {
        case GraphicsPoint: {
            const int x = Pixel(xoffset, c[2], xscale), y = Pixel(yoffset, c[3], yscale);
            const int a = GraphicsPointArm;
            const QLine cross[2] = {{x - a, y, x + a, y}, {x, y - a, x, y + a}};
            painter.drawLines(cross, 2);
            break;
        }
        case GraphicsLine:
            painter.drawLine(Pixel(xoffset, c[0], xscale), Pixel(yoffset, c[1], yscale),
                             Pixel(xoffset, c[2], xscale), Pixel(yoffset, c[3], yscale));
            break;
        case GraphicsRectangle: {
            // By value: std::minmax of temporaries returns references to them.
            const int xa = Pixel(xoffset, c[0], xscale), xb = Pixel(xoffset, c[2], xscale);
            const int ya = Pixel(yoffset, c[1], yscale), yb = Pixel(yoffset, c[3], yscale);
            const int x0 = std::min(xa, xb), x1 = std::max(xa, xb);
            const int y0 = std::min(ya, yb), y1 = std::max(ya, yb);
            painter.drawRect(QRect(x0, y0, x1 - x0, y1 - y0));
            break;
        }
        case GraphicsArc: {
            // The random arcs have positive radii and different angles.
            const double r = c[2], start = c[3];
            double span = std::fmod(double(c[4]) - start, 360.0);
            if (span < 0) span += 360;
            if (span == 0) span = 360;
            painter.setWorldTransform(QTransform(xscale, 0, 0, yscale, xoffset, yoffset));
            const QRectF square(c[0] - r, c[1] - r, 2 * r, 2 * r);
            QPainterPath path;
            path.arcMoveTo(square, start);
            path.arcTo(square, start, span);
            painter.drawPath(path);
            painter.resetTransform();
            break;
        }
        default:
            break;
        }
    }
}

struct RepaintScene
{
    GraphicsListStruct list;
    QImage fromDrawList{ControlSize, ControlSize, QImage::Format_RGB32};
    QImage fromReference{ControlSize, ControlSize, QImage::Format_RGB32};

    RepaintScene()
    {
        InitListSize(&list, ManyItems);
        FillList(&list, RectangleDrag.item, ManyItems);
    }
    ~RepaintScene() { DestroyList(&list); }
    RepaintScene(const RepaintScene&) = delete;
    RepaintScene& operator=(const RepaintScene&) = delete;

    double PaintDrawList()
    {
        fromDrawList.fill(Qt::black);
        const auto start = Clock::now();
        QPainter painter(&fromDrawList);
        DrawList(painter, &list, 0, 0, 1, 1, 0, 0);
        painter.end();
        return Since(start);
    }
    double PaintReference()
    {
        fromReference.fill(Qt::black);
        const auto start = Clock::now();
        QPainter painter(&fromReference);
        ReferenceDraw(painter, list, 0, 0, 1, 1);
        painter.end();
        return Since(start);
    }

    void Check()
    {
        PaintDrawList();
        PaintReference();
        int64_t drawn = 0;
        for (int y = 0; y < ControlSize; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(fromReference.constScanLine(y));
            for (int x = 0; x < ControlSize; ++x)
                drawn += (row[x] & 0xFFFFFF) != 0;
        }
        if (drawn < int64_t(ControlSize) * ControlSize / 4)
            Fail("BM_FullRepaint", "the plain loop drew too little to compare");
        if (fromDrawList != fromReference)
            Fail("BM_FullRepaint", "DrawList and the plain loop paint different pixels");
        std::fprintf(stderr,
                     "bench_overlay: DrawList paints the plain loop's pixels (%lld of %d "
                     "drawn)\n",
                     static_cast<long long>(drawn), ControlSize * ControlSize);
    }
};

RepaintScene* TheRepaintScene = nullptr;

void BM_FullRepaint(benchmark::State& state)
{
    RepaintScene& scene = *TheRepaintScene;
    double referenceTotal = 0, drawListTotal = 0;
    bool referenceFirst = true;
    for (auto _ : state) {
        double referenceTime = 0, drawListTime = 0;
        if (referenceFirst) {
            referenceTime = scene.PaintReference();
            drawListTime = scene.PaintDrawList();
        } else {
            drawListTime = scene.PaintDrawList();
            referenceTime = scene.PaintReference();
        }
        if (scene.fromDrawList != scene.fromReference)
            Fail("BM_FullRepaint", "timed result differs");
        referenceFirst = !referenceFirst;
        state.SetIterationTime(drawListTime);
        referenceTotal += referenceTime;
        drawListTotal += drawListTime;
    }
    using benchmark::Counter;
    state.counters["ref_ms"] = Counter(referenceTotal * 1e3, Counter::kAvgIterations);
    state.counters["ratio"] = referenceTotal > 0 ? drawListTotal / referenceTotal : 0.0;
}

BENCHMARK(BM_DragRectangle)->UseManualTime()->Iterations(60)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DragLine)->UseManualTime()->Iterations(60)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DragSmallRectangle)->UseManualTime()->Iterations(60)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FullRepaint)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    std::unique_ptr<DragScene> scenes[ScenarioCount][2];
    for (int s = 0; s < ScenarioCount; ++s)
        for (int n = 0; n < 2; ++n) {
            scenes[s][n] = std::make_unique<DragScene>(*Scenarios[s], n ? ManyItems : FewItems);
            scenes[s][n]->Check();
            TheScenes[s][n] = scenes[s][n].get();
        }
    for (auto& row : scenes)
        CheckClipped(*row[1]);
    std::fprintf(stderr, "bench_overlay: drags repaint once per move and leave the window as a "
                         "full repaint does; DrawList clipped to a move's region paints there "
                         "what it paints unclipped\n");
    auto repaint = std::make_unique<RepaintScene>();
    repaint->Check();
    TheRepaintScene = repaint.get();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TheRepaintScene = nullptr;
    for (auto& row : TheScenes)
        row[0] = row[1] = nullptr;
    return 0;
}
