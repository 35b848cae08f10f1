// Graphics lists and the overlay control: list records, drawn pixels and hit tests,
// the notification objects' lifecycle, grips and their move rules driven by real mouse
// events, write-back and its notifications, undo and redo, nudging, XOR grips on screen
// and the small repaint of a drag.

#include "GraphicsListControl.h"
#include "ZoomPanel.h"
#include "imgdraw.h"
#include "imgkernel.h"

#include <QImage>
#include <QPaintEvent>
#include <QScreen>
#include <QPainter>
#include <QTest>
#include <QUndoStack>
#include <QWheelEvent>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

GraphicsItemStruct Item(int kind, std::initializer_list<float> coords,
                        uint32_t color = GraphicsListColor)
{
    GraphicsItemStruct item;
    item.Kind = kind;
    item.Color = color;
    std::copy(coords.begin(), coords.end(), item.Coords);
    return item;
}

/** The list drawn on white with the mapping given; items in the list's colour are black. */
QImage Drawn(GraphicsListStruct& list, float xo, float yo, float xs, float ys, int start = 0,
             int count = 0)
{
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(Qt::white);
    list.Color = 0;
    QPainter painter(&image);
    DrawList(painter, &list, xo, yo, xs, ys, start, count);
    return image;
}

bool Dark(const QImage& image, int x, int y)
{
    return image.rect().contains(x, y) && qGray(image.pixel(x, y)) < 128;
}

/** Some pixel within `d` of (x, y) is drawn. */
bool DarkNear(const QImage& image, double x, double y, int d = 1)
{
    for (int dy = -d; dy <= d; ++dy)
        for (int dx = -d; dx <= d; ++dx)
            if (Dark(image, int(std::floor(x)) + dx, int(std::floor(y)) + dy)) return true;
    return false;
}

/** Records the callbacks it receives into a shared log. */
struct Recorder : TGLCNotifyObject
{
    QStringList* log;
    bool callBase;
    explicit Recorder(QStringList* l, bool base = true) : log(l), callBase(base) {}
    void cbReInsert() override { *log << QStringLiteral("reinsert %1").arg(Index); }
    void cbDelete() override
    {
        *log << QStringLiteral("delete %1").arg(Index);
        if (callBase) TGLCNotifyObject::cbDelete();
    }
    void cbChange() override { *log << QStringLiteral("cbChange %1").arg(Index); }
    void cbSelect() override { *log << QStringLiteral("cbSelect %1").arg(Index); }
};

/** A shown, transparent overlay at scale 10 over a grey parent, its events logged. */
struct Scene
{
    QWidget parent;
    TGraphicsListControl* overlay;
    QStringList log;

    Scene(float scale = 10)
    {
        parent.resize(400, 400);
        parent.setAutoFillBackground(true);
        QPalette p = parent.palette();
        p.setColor(QPalette::Window, QColor(0x40, 0x40, 0x40));
        parent.setPalette(p);
        overlay = new TGraphicsListControl(&parent);
        overlay->setGeometry(0, 0, 400, 400);
        overlay->SetTransparent(true);
        overlay->SetZoomProperties(scale, 0, scale, 0);
        overlay->OnSelect = [this](QObject*, int i) {
            log << QStringLiteral("OnSelect %1").arg(i);
        };
        overlay->OnChange = [this](QObject*, int i) {
            log << QStringLiteral("OnChange %1").arg(i);
        };
        overlay->OnGripMove = [this](QObject*, int i) {
            log << QStringLiteral("OnGripMove %1").arg(i);
        };
        overlay->OnFinishMove = [this](QObject*, int i) {
            log << QStringLiteral("OnFinishMove %1").arg(i);
        };
        overlay->OnPanelMouseDown = [this](QObject*, TMouseButton b, TShiftState, int, int) {
            log << QStringLiteral("panel down %1").arg(int(b));
        };
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
    }
    int Add(const GraphicsItemStruct& item) { return AppendToList(overlay->List, item); }
    /** Press on the square of grip g, move by (dx, dy) pixels, release. */
    void DragGrip(int g, int dx, int dy, Qt::KeyboardModifiers keys = {})
    {
        const TGraphicsListControl::TGrip& grip = overlay->Grips[g];
        const QPoint at(grip.ScreenX, grip.ScreenY);
        QTest::mousePress(overlay, Qt::LeftButton, keys, at);
        QTest::mouseMove(overlay, at + QPoint(dx, dy));
        QTest::mouseRelease(overlay, Qt::LeftButton, keys, at + QPoint(dx, dy));
    }
};

} // namespace

Q_DECLARE_METATYPE(GraphicsItemStruct)

class TestGraphicsList : public QObject
{
    Q_OBJECT
private slots:
    void listRecords()
    {
        GraphicsListStruct list;
        InitListSize(&list, 3);
        QCOMPARE(list.Count, 0);
        QCOMPARE(list.Allocated, 3);
        QVERIFY(GetFromList(&list, 2) == list.Items + 2);
        QVERIFY(!GetFromList(&list, 3) && !GetFromList(&list, -1));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(AppendToList(&list, Item(GraphicsLine, {1, 2, 3, 4})), i);
        QCOMPARE(AppendToList(&list, Item(GraphicsLine, {})), -1);
        QCOMPARE(list.Items[2].Coords[3], 4.0f);
        DestroyList(&list);
        QVERIFY(!list.Items && list.Count == 0 && !GetFromList(&list, 0));
    }

    void drawnShapes()
    {
        GraphicsListStruct list;
        InitListSize(&list, 4);
        AppendToList(&list, Item(GraphicsPoint, {0, 0, 2, 2}));        // (20, 20) at scale 10
        AppendToList(&list, Item(GraphicsRectangle, {4, 1, 3, 4.5f})); // corners swapped
        AppendToList(&list, Item(GraphicsLine, {0.5f, 5.5f, 5.5f, 5.5f}, 0x0000FF)); // own red
        QImage image = Drawn(list, 0, 0, 10, 10);
        // The cross: arms of three pixels, nothing beyond.
        for (int d = -3; d <= 3; ++d)
            QVERIFY(Dark(image, 20 + d, 20) && Dark(image, 20, 20 + d));
        QVERIFY(!Dark(image, 24, 20) && !Dark(image, 21, 21));
        // The rectangle's outline from (30, 10) to (40, 45), not its inside.
        QVERIFY(Dark(image, 30, 10) && Dark(image, 40, 45) && Dark(image, 35, 10) &&
                Dark(image, 30, 30));
        QVERIFY(!Dark(image, 35, 30) && !Dark(image, 29, 30));
        // The line in its own colour.
        QCOMPARE(image.pixel(30, 55), qRgb(255, 0, 0));
        // Display ranges: item 1 alone, then from item 2 to the end.
        image = Drawn(list, 0, 0, 10, 10, 1, 1);
        QVERIFY(!Dark(image, 20, 20) && Dark(image, 30, 30) &&
                image.pixel(30, 55) == qRgb(255, 255, 255));
        image = Drawn(list, 0, 0, 10, 10, 2, 0);
        QVERIFY(!Dark(image, 30, 30) && image.pixel(30, 55) == qRgb(255, 0, 0));
        DestroyList(&list);
    }

    void extremeCoordinatesAreHarmless()
    {
        GraphicsListStruct list;
        InitListSize(&list, 8);
        AppendToList(&list, Item(GraphicsArc, {0, 0, 1e30f, 0, 359}));
        AppendToList(&list, Item(GraphicsArc, {32, 32, 10, 1e30f, -1e30f}));
        AppendToList(&list, Item(GraphicsLine, {-1e38f, -1e38f, 1e38f, 1e38f}));
        AppendToList(&list, Item(GraphicsRectangle, {-3e38f, 5, 3e38f, 6}));
        AppendToList(&list, Item(GraphicsPoint, {0, 0, 3e38f, 3e38f}));
        AppendToList(&list, Item(GraphicsPoint, {0, 0, 50, 20}));
        for (float scale : {1.0f, 1e10f}) {
            const QImage image = Drawn(list, 0, 0, scale, scale);
            QCOMPARE(Dark(image, 50 + 3, 20), scale == 1); // the last item is still drawn
            QVERIFY(ItemHit(nullptr, &list.Items[2], 0, 0, 10, 10, scale, scale));
            QVERIFY(!ItemHit(nullptr, &list.Items[0], 0, 0, 10, 10, scale, scale));
        }
        // A mapping that is not finite draws and hits nothing.
        QVERIFY(!Dark(Drawn(list, NAN, 0, 1, 1), 50, 20));
        QVERIFY(!ItemHit(nullptr, &list.Items[5], 0, 0, 50, 20, 1, INFINITY));
        DestroyList(&list);
    }

    void arcsBeyondTheRasteriser()
    {
        // Radius 10^8 pixels, centred 10^8 left of x = 20: the visible part is the
        // near-vertical stretch at x = 20, drawn where the formula puts it.
        GraphicsListStruct list;
        InitListSize(&list, 2);
        AppendToList(&list, Item(GraphicsArc, {-1e8f, 30, 1e8f, -10, 10}));
        const QImage image = Drawn(list, 20, 0, 1, 1);
        for (int y = 0; y < 64; ++y)
            QVERIFY2(DarkNear(image, 20, y) && !DarkNear(image, 16, y, 2) &&
                         !DarkNear(image, 24, y, 2),
                     qPrintable(QString::number(y)));
        // A nearly singular mapping draws alike with and without a clip (the painter's
        // transform, inverted to stroke, once drew far off the arc).
        list.Items[0] = Item(GraphicsArc, {0, 0, 2.2e12f, 3.6e12f, 0.5f});
        QImage whole(48, 48, QImage::Format_RGB32), clipped = whole;
        for (QImage* out : {&whole, &clipped}) {
            out->fill(Qt::white);
            QPainter painter(out);
            if (out == &clipped) painter.setClipRect(0, 0, 1, 1);
            DrawList(painter, &list, 2.4e-43f, 8.07f, 3.6e-43f, 1.8e-40f, 0, 0);
        }
        QCOMPARE(clipped.pixel(0, 0), whole.pixel(0, 0));
        DestroyList(&list);
    }

    void arcsFollowTheirFormula_data()
    {
        QTest::addColumn<float>("xscale");
        QTest::addColumn<float>("yscale");
        QTest::addColumn<float>("a1");
        QTest::addColumn<float>("a2");
        QTest::newRow("square") << 1.0f << 1.0f << 0.0f << 90.0f;
        QTest::newRow("unequal scales") << 1.5f << 0.6f << 30.0f << 200.0f;
        QTest::newRow("end below start") << 1.0f << 1.0f << 300.0f << 60.0f;
        QTest::newRow("y mirrored") << 1.0f << -1.0f << 10.0f << 120.0f;
    }
    void arcsFollowTheirFormula()
    {
        QFETCH(float, xscale);
        QFETCH(float, yscale);
        QFETCH(float, a1);
        QFETCH(float, a2);
        GraphicsListStruct list;
        InitListSize(&list, 1);
        AppendToList(&list, Item(GraphicsArc, {0, 0, 20, a1, a2}));
        const float xo = 32, yo = 32;
        const QImage image = Drawn(list, xo, yo, xscale, yscale);
        const auto at = [&](double degrees, double& x, double& y) {
            const double t = degrees * M_PI / 180;
            x = xo + 20 * std::cos(t) * xscale, y = yo - 20 * std::sin(t) * yscale;
        };
        double span = std::fmod(a2 - a1, 360.0f);
        if (span < 0) span += 360;
        double x, y;
        for (double f : {0.0, 0.25, 0.5, 0.75, 1.0}) { // on the arc, as the grips are
            at(a1 + f * span, x, y);
            QVERIFY2(DarkNear(image, x, y), qPrintable(QStringLiteral("%1").arg(f)));
        }
        at(a1 + span + (360 - span) / 2, x, y); // the part left out
        QVERIFY(!DarkNear(image, x, y, 2));
        QVERIFY(!DarkNear(image, xo, yo, 2));
        // The hit test follows the drawing: on the arc within 3 pixels, never at its centre.
        at(a1 + span / 2, x, y);
        QVERIFY(ItemHit(nullptr, &list.Items[0], xo, yo, int(x) + 2, int(y), xscale, yscale));
        QVERIFY(!ItemHit(nullptr, &list.Items[0], xo, yo, int(xo), int(yo), xscale, yscale));
        at(a1 + span + (360 - span) / 2, x, y);
        QVERIFY(!ItemHit(nullptr, &list.Items[0], xo, yo, int(x), int(y), xscale, yscale));
        DestroyList(&list);
    }

    void hitTolerance_data()
    {
        QTest::addColumn<GraphicsItemStruct>("item");
        QTest::addColumn<float>("scale");
        QTest::addColumn<QPoint>("click");
        QTest::addColumn<bool>("hit");
        const auto point = Item(GraphicsPoint, {0, 0, 10, 10});
        const auto rect = Item(GraphicsRectangle, {10, 10, 30, 20});
        const auto line = Item(GraphicsLine, {0, 0, 40, 40});
        QTest::newRow("point") << point << 1.0f << QPoint(12, 10) << true;
        QTest::newRow("point, 3 beyond the arm") << point << 1.0f << QPoint(10, 16) << true;
        QTest::newRow("point, far") << point << 1.0f << QPoint(15, 15) << false;
        QTest::newRow("point zoomed: pixels, not units")
            << point << 10.0f << QPoint(104, 100) << true;
        QTest::newRow("point zoomed, 8 pixels off") << point << 10.0f << QPoint(108, 108) << false;
        QTest::newRow("line") << line << 1.0f << QPoint(22, 20) << true;
        QTest::newRow("line, 5 off") << line << 1.0f << QPoint(25, 20) << false;
        QTest::newRow("line shrunk") << line << 0.1f << QPoint(3, 2) << true;
        QTest::newRow("rectangle edge") << rect << 1.0f << QPoint(20, 12) << true;
        QTest::newRow("rectangle inside") << rect << 1.0f << QPoint(20, 15) << false;
        QTest::newRow("rectangle outside") << rect << 1.0f << QPoint(34, 15) << false;
        QTest::newRow("not a number")
            << Item(GraphicsLine, {0, 0, NAN, 40}) << 1.0f << QPoint(0, 0) << false;
        QTest::newRow("unknown kind") << Item(7, {0, 0, 40, 40}) << 1.0f << QPoint(0, 0) << false;
    }
    void hitTolerance()
    {
        QFETCH(GraphicsItemStruct, item);
        QFETCH(float, scale);
        QFETCH(QPoint, click);
        QFETCH(bool, hit);
        QCOMPARE(ItemHit(nullptr, &item, 0, 0, click.x(), click.y(), scale, scale), hit);
    }

    void notificationLifecycle()
    {
        QStringList log;
        auto c = std::make_unique<TGraphicsListControl>();
        TGraphicsListControl d;
        QVERIFY(!c->HasNotifyTable() && c->List && c->List->Allocated == 64 && c->List->Count == 0);
        QCOMPARE(c->DisplayStart() + c->DisplayCount(), 0);
        QCOMPARE(c->Color(), clWhite);
        Recorder a(&log), b(&log);
        a.RegisterTo(c.get(), 5);
        QVERIFY(c->HasNotifyTable() && c->NotifyObject(5) == &a);
        a.RegisterTo(&d, 2);
        QVERIFY(!c->NotifyObject(5) && d.NotifyObject(2) == &a && a.Control == &d);
        b.RegisterTo(c.get(), 64); // outside the table: stored in the object only
        QVERIFY(b.Control == c.get() && b.Index == 64 && !c->NotifyObject(64));
        b.RegisterTo(c.get(), 3);
        AppendToList(c->List, Item(GraphicsPoint, {}));
        // A new size drops every registration (cbDelete), discards the items, re-inserts nobody.
        c->SetAllocSize(10);
        QCOMPARE(log, QStringList{"delete 3"});
        QVERIFY(!b.Control && !c->HasNotifyTable() && c->List->Count == 0 &&
                c->List->Allocated == 10);
        b.StartEdit(); // unregistered: nothing
        QCOMPARE(c->EditType(), 0);
        // Registered while the list is off: re-inserted, in index order, once it exists.
        log.clear();
        c->SetAllocList(false);
        QVERIFY(!c->List);
        Recorder e(&log);
        e.RegisterTo(c.get(), 7);
        b.RegisterTo(c.get(), 1);
        c->SetAllocList(true);
        QCOMPARE(log, (QStringList{"reinsert 1", "reinsert 7"}));
        // An object destroyed while registered leaves no entry behind.
        {
            Recorder gone(&log);
            gone.RegisterTo(c.get(), 4);
        }
        QVERIFY(!c->NotifyObject(4));
        {
            Recorder stray(&log); // entered by the program at an index not its own
            c->SetNotifyObject(9, &stray);
            QCOMPARE(c->NotifyObject(9), &stray);
        }
        QVERIFY(!c->NotifyObject(9));
        // A control destroyed first: every object unregistered, even one whose cbDelete
        // does not call the base, and one displaced from its entry by another.
        Recorder stubborn(&log, false), displaced(&log);
        displaced.RegisterTo(c.get(), 2);
        stubborn.RegisterTo(c.get(), 2);
        log.clear();
        c.reset();
        QCOMPARE(log, (QStringList{"delete 1", "delete 2", "delete 7"}));
        QVERIFY(!stubborn.Control && !displaced.Control && !e.Control && !b.Control);
    }

    void everyRegisteredObjectHearsTheTableGo()
    {
        // An object at or above a new AllocSize, or above it once AllocList goes off, was not told.
        QStringList log;
        TGraphicsListControl c;
        Recorder a(&log), b(&log);
        a.RegisterTo(&c, 5), b.RegisterTo(&c, 63), c.SetAllocSize(10);
        c.SetAllocList(false), c.SetAllocSize(200), a.RegisterTo(&c, 150), c.SetAllocSize(100);
        c.SetAllocList(true), c.SetAllocList(false);
        QCOMPARE(log, (QStringList{"delete 5", "delete 63", "delete 150"}));
    }

    void gripsOfShapes()
    {
        TGraphicsListControl c;
        c.StartEditRect(10, 20, 30, 60);
        const float expected[9][3] = {{10, 20, 5}, {20, 20, 1}, {30, 20, 6},
                                      {30, 40, 3}, {30, 60, 8}, {20, 60, 2},
                                      {10, 60, 7}, {10, 40, 4}, {14, 20, 2}};
        for (int i = 0; i < 9; ++i) {
            QCOMPARE(c.Grips[i].X, expected[i][0]);
            QCOMPARE(c.Grips[i].Y, expected[i][1]);
            QCOMPARE(int(c.Grips[i].Orientation), int(expected[i][2]));
            QVERIFY(c.Grips[i].Active && c.Grips[i].Movable && c.Grips[i].Size == 5);
        }
        for (int i = 0; i < 4; ++i)
            QVERIFY(c.GripLines[i].Active && c.GripLines[i].First == 2 * i &&
                    c.GripLines[i].Second == (2 * i + 2) % 8);
        QVERIFY(c.Editing() && c.EditType() == 2 && c.EditItem() == -1);
        c.StartEditArc(0, 0, 10, 0, 90);
        QCOMPARE(c.Grips[0].X, 10.0f);
        QVERIFY(std::abs(c.Grips[1].X - 7.0710678f) < 1e-5 &&
                std::abs(c.Grips[1].Y + 7.0710678f) < 1e-5);
        QVERIFY(std::abs(c.Grips[2].X) < 1e-5 && c.Grips[2].Y == -10.0f);
        QVERIFY(std::abs(c.Grips[3].X - (10 + 7.0710678f) / 3) < 1e-5);
        c.StartEditPoint(3, 4);
        QVERIFY(c.Grips[0].Active && c.EditType() == 1);
        for (int i = 1; i <= 8; ++i)
            QVERIFY(!c.Grips[i].Active);
        for (int i = 0; i < 4; ++i)
            QVERIFY(!c.GripLines[i].Active);
        // Tables never index outside themselves.
        QVERIFY(&c.Grips[-3] == &c.Grips[0]);
        c.Grips[1 << 20].X = 5; // beyond the cap: a scratch entry, no table of a million
        QCOMPARE(c.Grips.Count(), 9);
        c.StdEditRectangleGripMove(100000);
        // The grip square and its hit box: (100, 100) top-left is centred at (94, 94).
        int x, y;
        c.SetZoomProperties(1, 0, 1, 0);
        c.PlaceGrip(100, 100, x, y, TGraphicsListControl::goTopLeft, 5);
        QCOMPARE(QPoint(x, y), QPoint(94, 94));
        QVERIFY(TGraphicsListControl::HitsGrip(89, 99, x, y, 5) &&
                TGraphicsListControl::HitsGrip(99, 89, x, y, 5));
        QVERIFY(!TGraphicsListControl::HitsGrip(88, 94, x, y, 5) &&
                !TGraphicsListControl::HitsGrip(94, 100, x, y, 5));
    }

    void dragRules_data()
    {
        QTest::addColumn<GraphicsItemStruct>("item");
        QTest::addColumn<int>("grip");
        QTest::addColumn<QPoint>("move");
        QTest::addColumn<QList<float>>("coords");
        // At scale 10 a pixel is a tenth of a list unit.
        QTest::newRow("rectangle top edge") << Item(GraphicsRectangle, {10, 20, 30, 60}) << 1
                                            << QPoint(50, -50) << QList<float>{10, 15, 30, 60};
        QTest::newRow("rectangle move grip") << Item(GraphicsRectangle, {10, 20, 30, 60}) << 8
                                             << QPoint(27, 19) << QList<float>{12, 21, 32, 61};
        QTest::newRow("rectangle corner") << Item(GraphicsRectangle, {10, 20, 30, 60}) << 4
                                          << QPoint(-5, 15) << QList<float>{10, 20, 29.5f, 61.5f};
        QTest::newRow("line move grip") << Item(GraphicsLine, {0, 0, 30, 0}) << 1 << QPoint(25, 39)
                                        << QList<float>{2, 3, 32, 3};
        QTest::newRow("line end") << Item(GraphicsLine, {0, 0, 30, 0}) << 2 << QPoint(-100, 20)
                                  << QList<float>{0, 0, 20, 2};
        QTest::newRow("point") << Item(GraphicsPoint, {0, 0, 5, 6}) << 0 << QPoint(11, -20)
                               << QList<float>{0, 0, 6.1f, 4};
    }
    void dragRules()
    {
        QFETCH(GraphicsItemStruct, item);
        QFETCH(int, grip);
        QFETCH(QPoint, move);
        QFETCH(QList<float>, coords);
        Scene s;
        s.Add(Item(GraphicsPoint, {0, 0, 39, 39}));
        s.Add(item);
        s.overlay->StartDefaultEdit(1);
        s.DragGrip(grip, move.x(), move.y());
        for (int i = 0; i < 4; ++i)
            QVERIFY2(std::abs(s.overlay->List->Items[1].Coords[i] - coords[i]) < 1e-4,
                     qPrintable(QString::number(i)));
        QCOMPARE(s.log, (QStringList{"OnChange 1"}));
    }

    void mouseFlow()
    {
        Scene s;
        Recorder follower(&s.log);
        s.Add(Item(GraphicsRectangle, {2, 2, 20, 20}));
        s.Add(Item(GraphicsLine, {2, 2, 20, 2})); // overlaps item 0's top edge
        s.Add(Item(GraphicsPoint, {0, 0, 30, 30}));
        follower.RegisterTo(s.overlay, 0);
        s.overlay->SetDisplayCount(1); // only item 0 drawn; all may be selected
        // The lower index wins; cbSelect, OnSelect, then the default edit.
        QTest::mouseClick(s.overlay, Qt::LeftButton, {}, QPoint(100, 20));
        QCOMPARE(s.log, (QStringList{"cbSelect 0", "OnSelect 0"}));
        QVERIFY(s.overlay->EditType() == 2 && s.overlay->EditItem() == 0);
        // Ctrl does not stop a press from selecting; an item outside the display range.
        s.log.clear();
        QTest::mouseClick(s.overlay, Qt::LeftButton, Qt::ControlModifier, QPoint(301, 300));
        QCOMPARE(s.log, (QStringList{"OnSelect 2"}));
        QCOMPARE(s.overlay->EditType(), 1);
        // Shift or the right button: to the base, which calls the panel's hook.
        s.log.clear();
        QTest::mouseClick(s.overlay, Qt::LeftButton, Qt::ShiftModifier, QPoint(300, 300));
        QTest::mouseClick(s.overlay, Qt::RightButton, {}, QPoint(300, 300));
        QCOMPARE(s.log, (QStringList{"panel down 0", "panel down 1"}));
        QVERIFY(s.overlay->Editing());
        // Empty space: OnSelect(-1), the edit stops, the base follows.
        s.log.clear();
        QTest::mouseClick(s.overlay, Qt::LeftButton, {}, QPoint(380, 100));
        QCOMPARE(s.log, (QStringList{"OnSelect -1", "panel down 0"}));
        QVERIFY(!s.overlay->Editing() && s.overlay->EditType() == 0);
        // EatMouse off: nothing consumed, nothing selected.
        s.log.clear();
        s.overlay->EatMouse = false;
        QTest::mouseClick(s.overlay, Qt::LeftButton, {}, QPoint(100, 20));
        QCOMPARE(s.log, (QStringList{"panel down 0"}));
        // Without AutoEdit a click selects only.
        s.overlay->EatMouse = true;
        s.overlay->AutoEdit = false;
        QTest::mouseClick(s.overlay, Qt::LeftButton, {}, QPoint(100, 20));
        QVERIFY(!s.overlay->Editing());
        // The wheel stays in the control: the parent never sees it.
        struct WheelCounter : QObject
        {
            int wheels = 0;
            bool eventFilter(QObject*, QEvent* e) override
            {
                return wheels += e->type() == QEvent::Wheel, false;
            }
        } counter;
        s.parent.installEventFilter(&counter);
        QWheelEvent wheel(QPointF(50, 50), s.overlay->mapToGlobal(QPointF(50, 50)), {}, {0, 120},
                          {}, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(s.overlay, &wheel);
        QCOMPARE(counter.wheels, 0);
    }

    void writeBackAndCustomGrips()
    {
        Scene s;
        Recorder follower(&s.log);
        for (int i = 0; i < 4; ++i)
            s.Add(Item(GraphicsLine, {5.0f * i, 30, 5.0f * i + 3, 35}));
        follower.RegisterTo(s.overlay, 3);
        s.overlay->StartDefaultEdit(3);
        s.DragGrip(2, 10, 0, Qt::AltModifier);
        QCOMPARE(s.log, (QStringList{"OnChange 3", "cbChange 3"}));
        QCOMPARE(s.overlay->List->Items[3].Coords[2], 19.0f);
        // Custom grips: OnGripMove on every move, OnFinishMove on release, no write-back.
        s.log.clear();
        s.overlay->StopEdit();
        s.overlay->ClearGrips();
        s.overlay->Grips[2].Fill(10, 10, TGraphicsListControl::goCenter, 5, true);
        s.overlay->StartEdit();
        const GraphicsItemStruct before = s.overlay->List->Items[3];
        QTest::mousePress(s.overlay, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(s.overlay, QPoint(110, 100));
        QTest::mouseMove(s.overlay, QPoint(120, 105));
        QTest::mouseRelease(s.overlay, Qt::LeftButton, {}, QPoint(120, 105));
        QCOMPARE(s.log, (QStringList{"OnGripMove 2", "OnGripMove 2", "OnFinishMove 2"}));
        QCOMPARE(s.overlay->Grips[2].X, 12.0f);
        QCOMPARE(s.overlay->List->Items[3].Coords[2], before.Coords[2]);
        // A scale of 0 moves nothing on that axis (and divides nothing by it).
        s.overlay->SetXScale(0); // the grip's square stays where it was last drawn
        QTest::mousePress(s.overlay, Qt::LeftButton, {}, QPoint(120, 105));
        QTest::mouseMove(s.overlay, QPoint(170, 125));
        QTest::mouseRelease(s.overlay, Qt::LeftButton, {}, QPoint(170, 125));
        QCOMPARE(s.overlay->Grips[2].X, 12.0f);
        QCOMPARE(s.overlay->Grips[2].Y, 12.5f);
    }

    void arcWrittenBackThroughItsGrips()
    {
        Scene s;
        s.Add(Item(GraphicsArc, {20, 20, 10, 0, 90}));
        s.overlay->StartDefaultEdit(0);
        s.DragGrip(1, 30, 20); // the middle grip pulled outward
        const float* c = s.overlay->List->Items[0].Coords;
        const auto on = [&](int g, double angle) {
            const double t = angle * M_PI / 180;
            return std::hypot(c[0] + c[2] * std::cos(t) - s.overlay->Grips[g].X,
                              c[1] - c[2] * std::sin(t) - s.overlay->Grips[g].Y) < 1e-3;
        };
        QVERIFY(on(0, c[3]) && on(2, c[4]) && c[3] < c[4] && c[4] - c[3] < 360);
        const double mid =
            std::atan2(-(s.overlay->Grips[1].Y - c[1]), s.overlay->Grips[1].X - c[0]) * 180 / M_PI;
        QVERIFY(on(1, mid));
        QVERIFY(std::fmod(mid - c[3] + 720, 360) < c[4] - c[3]); // grip 1 lies on the swept part
        // The clockwise order (0 → 1 → 2 going clockwise) keeps the same points.
        s.overlay->Grips[1].X = 20, s.overlay->Grips[1].Y = 35; // below the centre
        s.overlay->UpdateDefaultEdit(0);
        QVERIFY(on(0, c[4]) && on(2, c[3]));
    }

    void undoAndNudges()
    {
        auto s = std::make_unique<Scene>();
        QUndoStack stack;
        s->overlay->SetUndoStack(&stack);
        s->Add(Item(GraphicsRectangle, {10, 10, 20, 20}));
        Recorder follower(&s->log);
        follower.RegisterTo(s->overlay, 0);
        s->overlay->StartDefaultEdit(0);
        s->DragGrip(4, 50, 0); // one drag: one command, one of each notification
        QCOMPARE(stack.count(), 1);
        QCOMPARE(s->log, (QStringList{"OnChange 0", "cbChange 0"}));
        const GraphicsItemStruct dragged = s->overlay->List->Items[0];
        QCOMPARE(dragged.Coords[2], 25.0f);
        // Nudges with focus: one unit, ten with Shift, merged into one command.
        s->overlay->setFocus();
        QTest::keyClick(s->overlay, Qt::Key_Right);
        QTest::keyClick(s->overlay, Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(s->overlay, Qt::Key_Left);
        QCOMPARE(stack.count(), 2);
        QCOMPARE(s->overlay->List->Items[0].Coords[0], 10.0f);
        QCOMPARE(s->overlay->List->Items[0].Coords[1], 20.0f);
        QCOMPARE(s->overlay->Grips[4].Y, 30.0f); // grips follow
        s->log.clear();
        stack.undo();
        QVERIFY(std::memcmp(&s->overlay->List->Items[0], &dragged, sizeof dragged) == 0);
        QCOMPARE(s->log, (QStringList{"OnChange 0", "cbChange 0"}));
        stack.undo();
        QCOMPARE(s->overlay->List->Items[0].Coords[2], 20.0f);
        QCOMPARE(s->overlay->Grips[4].X, 20.0f); // the edit's grips rebuilt
        stack.redo();
        QCOMPARE(s->overlay->List->Items[0].Coords[2], 25.0f);
        // A new list makes the commands obsolete; a destroyed control too.
        s->overlay->SetAllocSize(8);
        s->Add(Item(GraphicsRectangle, {1, 1, 2, 2}));
        s->log.clear();
        stack.undo();
        QCOMPARE(s->overlay->List->Items[0].Coords[2], 2.0f);
        QVERIFY(s->log.isEmpty());
        s->overlay->StartDefaultEdit(0);
        s->DragGrip(4, 10, 0);
        QVERIFY(stack.canUndo());
        s.reset();
        stack.undo();
        stack.redo();
    }

    void gripsOnScreen()
    {
        Scene s;
        s.Add(Item(GraphicsLine, {5, 5, 30, 25}));
        s.overlay->StartDefaultEdit(0);
        QImage shown = s.parent.grab().toImage();
        // XOR purple over the grey: 0x40 ^ 0x80 = 0xC0 in red and blue, green unchanged.
        const QRgb xored = qRgb(0xC0, 0x40, 0xC0);
        QCOMPARE(shown.pixel(50 - 4, 50 - 4), xored); // the square's corner
        QCOMPARE(shown.pixel(50 + 4, 50), xored);
        QCOMPARE(shown.pixel(52, 48), qRgb(0x40, 0x40, 0x40)); // the square is hollow
        // A drag move repaints only a few small rectangles around old and new grips.
        struct Regions : QObject
        {
            QRegion painted;
            bool eventFilter(QObject*, QEvent* e) override
            {
                if (e->type() == QEvent::Paint) painted += static_cast<QPaintEvent*>(e)->region();
                return false;
            }
        } regions;
        QTest::mousePress(s.overlay, Qt::LeftButton, {}, QPoint(300, 250));
        QApplication::processEvents(); // what was pending before the drag
        s.overlay->installEventFilter(&regions);
        s.overlay->SetZoomProperties(10, 1, 10, 0); // stored only: the view beneath repaints
        s.overlay->SetZoomProperties(10, 0, 10, 0);
        QApplication::processEvents();
        QVERIFY(regions.painted.isEmpty());
        QTest::mouseMove(s.overlay, QPoint(305, 260));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        QVERIFY(!regions.painted.isEmpty());
        qint64 area = 0;
        for (const QRect& r : regions.painted)
            area += qint64(r.width()) * r.height();
        QVERIFY2(area < 20000,
                 qPrintable(QString::number(area))); // the line's box alone is 250 × 200
        // What the small repaints left on screen is what a whole repaint shows.
        const auto onScreen = [&] {
            return s.parent.screen()
                ->grabWindow(s.parent.winId())
                .toImage()
                .convertToFormat(QImage::Format_RGB32);
        };
        const auto repainted = [&] {
            return s.parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        QCOMPARE(onScreen(), repainted());
        QTest::mouseRelease(s.overlay, Qt::LeftButton, {}, QPoint(305, 260));
        // A program's change to an item shows after Invalidate, grips and all.
        s.overlay->List->Items[0].Coords[0] = 20;
        s.overlay->Invalidate();
        QApplication::processEvents();
        QTest::mouseMove(s.overlay, QPoint(10, 10)); // nothing to drag: no repaint of its own
        QApplication::processEvents();
        const QImage after = onScreen();
        QCOMPARE(after, repainted());
        QVERIFY(after.pixel(200, 51) != qRgb(0x40, 0x40, 0x40)); // the line now starts at x = 200
    }

    void properties()
    {
        TGraphicsListControl c;
        for (const char* name : {"AllocSize", "DisplayStart", "DisplayCount"})
            QVERIFY(c.setProperty(name, 7));
        QVERIFY(c.setProperty("XScale", 2.5f) && c.XScale() == 2.5f);
        QVERIFY(c.setProperty("Color", QColor(Qt::red)) && c.Color() == clRed);
        QVERIFY(c.setProperty("Transparent", true) && c.Transparent());
        QVERIFY(c.setProperty("EatMouse", false) && !c.EatMouse);
        QCOMPARE(c.List->Allocated, 7);
    }
};

QTEST_MAIN(TestGraphicsList)
#include "tst_graphicslist.moc"
