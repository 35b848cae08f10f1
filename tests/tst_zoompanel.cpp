#include "ZoomPanel.h"

#include <QApplication>
#include <QWheelEvent>
#include <QWindow>
#include <QtTest>

#include <memory>

namespace {

/** A zoomable child that records what the panel hands it; optionally an image stand-in. */
class TRecorder : public TZoomableControl
{
public:
    using TZoomableControl::TZoomableControl;

    void SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset) override
    {
        calls.append({XScale, XOffset, YScale, YOffset});
    }
    bool PictureSize(int& XSize, int& YSize, bool& HasImage) const override
    {
        XSize = xSize;
        YSize = ySize;
        HasImage = hasImage;
        return isImage;
    }
    void PanelZoomApplied() override { ++applied; }

    QList<TZoomMapping> calls;
    int applied = 0;
    bool isImage = false;
    int xSize = 0;
    int ySize = 0;
    bool hasImage = false;
};

/** Counts zoom events and keeps the last record and sender. */
struct ZoomLog
{
    int count = 0;
    TZoom last;
    QObject* sender = nullptr;
    TZoomEvent Handler()
    {
        return [this](QObject* s, const TZoom& z) {
            ++count;
            last = z;
            sender = s;
        };
    }
};

/** A shown panel of `w` × `h` with AutoMouse and one recording child. */
struct Fixture
{
    explicit Fixture(int w = 400, int h = 400)
    {
        panel.resize(w, h);
        child = new TRecorder(&panel);
        panel.SetAutoMouse(true);
        panel.SetOnZoom(log.Handler());
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        log.count = 0;
    }
    TZoomPanel panel;
    TRecorder* child = nullptr;
    ZoomLog log;
};

/**
 * One wheel notch (120, away from the user when positive) at `global`, delivered to
 * `receiver` as the platform would: spontaneous, so Qt propagates it to parents when
 * nobody takes it.
 */
void SendNotch(QObject* receiver, QPoint local, QPoint global, int delta = 120)
{
    QWheelEvent wheel(local, global, QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&wheel);
    qApp->notify(receiver, &wheel);
}

} // namespace

class tst_ZoomPanel : public QObject
{
    Q_OBJECT

private slots:
    void zoomArea_data();
    void zoomArea();
    void limits_data();
    void limits();
    void stepAboutPoint();
    void referenceChild_data();
    void referenceChild();
    void maxScaleStops();
    void centringAndBorders();
    void disabledAxes_data();
    void disabledAxes();
    void dragGestures();
    void fastZoomOutDrag_data();
    void fastZoomOutDrag();
    void ownMouseHandlerTakesEvent();
    void wheelZoomsOnce_data();
    void wheelZoomsOnce();
    void childAddedAtPaint();
    void removedChildLosesHooks();
    void destroyedPanelUnreachable();
    void mappingRoundTrip();
    void resizedWhileHidden_data();
    void resizedWhileHidden();
};

void tst_ZoomPanel::zoomArea_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<float>("ratio");
    QTest::addColumn<bool>("resizeChildren");
    QTest::addColumn<QRect>("area");
    QTest::newRow("ratio 2 in a square")
        << QSize(300, 300) << 2.0f << true << QRect(0, 75, 300, 150);
    QTest::newRow("ratio 0.5 in a square")
        << QSize(300, 300) << 0.5f << true << QRect(75, 0, 150, 300);
    QTest::newRow("odd width truncates")
        << QSize(301, 100) << 2.0f << true << QRect(50, 0, 200, 100);
    QTest::newRow("no ratio") << QSize(320, 200) << -1.0f << true << QRect(0, 0, 320, 200);
    QTest::newRow("children left alone")
        << QSize(300, 300) << 2.0f << false << QRect(0, 0, 300, 300);
}

void tst_ZoomPanel::zoomArea()
{
    QFETCH(QSize, size);
    QFETCH(float, ratio);
    QFETCH(bool, resizeChildren);
    QFETCH(QRect, area);
    TZoomPanel panel;
    panel.resize(size);
    auto* zoomable = new TRecorder(&panel);
    auto* plain = new QWidget(&panel);
    zoomable->setGeometry(1, 2, 3, 4);
    plain->setGeometry(1, 2, 3, 4);
    panel.SetResizeChildren(resizeChildren);
    panel.SetClientRatio(ratio);
    QCOMPARE(panel.ZoomArea().size(), area.size());
    const QRect expected = resizeChildren ? area : QRect(1, 2, 3, 4);
    QCOMPARE(zoomable->geometry(), expected);
    QCOMPARE(plain->geometry(), expected);
    if (resizeChildren) QCOMPARE(panel.ZoomArea(), area);
}

void tst_ZoomPanel::limits_data()
{
    QTest::addColumn<int>("which"); // 0 SetMinScale, 1 SetMaxScale, 2 StoreMaxScale
    QTest::addColumn<float>("value");
    QTest::addColumn<float>("stored");
    QTest::newRow("min above 1") << 0 << 2.0f << 1.0f;
    QTest::newRow("min negative") << 0 << -0.5f << 1.0f;
    QTest::newRow("min 0 = none") << 0 << 0.0f << 0.0f;
    QTest::newRow("max below 1") << 1 << 0.5f << 1.0f;
    QTest::newRow("max 0 = none") << 1 << 0.0f << 0.0f;
    QTest::newRow("max property unchecked") << 2 << 0.5f << 0.5f;
}

void tst_ZoomPanel::limits()
{
    QFETCH(int, which);
    QFETCH(float, value);
    QFETCH(float, stored);
    TZoomPanel panel;
    if (which == 0) {
        panel.SetMinScale(value);
        QCOMPARE(panel.MinScale(), stored);
    } else {
        which == 1 ? panel.SetMaxScale(value) : panel.StoreMaxScale(value);
        QCOMPARE(panel.MaxScale(), stored);
    }
}

void tst_ZoomPanel::stepAboutPoint()
{
    Fixture f;
    ZoomLog log;
    f.panel.SetOnZoom(log.Handler()); // a new handler is called at once
    QCOMPARE(log.count, 1);
    QCOMPARE(log.sender, &f.panel);
    f.panel.Scale(200, 200, -20);
    QCOMPARE(log.count, 2);
    QVERIFY(qAbs(f.panel.Zoom().XFactor - 1.1) < 1e-6);
    QVERIFY(qAbs(f.panel.Zoom().XOrigin + 0.05) < 1e-6);
    QVERIFY(qAbs(f.panel.Zoom().YFactor - 1.1) < 1e-6);
    QVERIFY(qAbs(f.panel.Zoom().YOrigin + 0.05) < 1e-6);
    QCOMPARE(log.last, f.panel.Zoom());
    // No image child: no zoom values reach the children.
    QVERIFY(f.child->calls.isEmpty());

    // Zooming out at the identity is undone by the minimum and the border rule.
    f.panel.Reset();
    f.panel.Scale(100, 300, 40);
    QCOMPARE(f.panel.Zoom(), TZoom());
    QCOMPARE(log.count, 4); // once per change: Reset and the step
}

void tst_ZoomPanel::referenceChild_data()
{
    // Children as (isImage, xSize, hasImage) triples; the expected XScale after
    // Scale(200, 200, -20) on a 400-pixel area (factor 1.1), or 0 for no values.
    QTest::addColumn<QList<QList<int>>>("children");
    QTest::addColumn<float>("xScale");
    QTest::newRow("one image") << QList<QList<int>>{{1, 200, 1}} << 2.2f;
    QTest::newRow("first with picture wins")
        << QList<QList<int>>{{1, 100, 0}, {1, 200, 1}, {1, 400, 1}} << 2.2f;
    QTest::newRow("first image when none shows one")
        << QList<QList<int>>{{0, 0, 0}, {1, 100, 0}, {1, 200, 0}} << 4.4f;
    QTest::newRow("empty picture size skipped")
        << QList<QList<int>>{{1, 0, 1}, {1, 200, 0}} << 2.2f;
    QTest::newRow("no image control") << QList<QList<int>>{{0, 200, 1}} << 0.0f;
}

void tst_ZoomPanel::referenceChild()
{
    QFETCH(QList<QList<int>>, children);
    QFETCH(float, xScale);
    TZoomPanel panel;
    panel.resize(400, 400);
    QList<TRecorder*> recorders;
    for (const QList<int>& c : children) {
        auto* r = new TRecorder(&panel);
        r->isImage = c[0];
        r->xSize = c[1];
        r->ySize = 100;
        r->hasImage = c[2];
        recorders.append(r);
    }
    new QWidget(&panel); // an ordinary child is only laid out
    panel.SetAutoMouse(true);
    panel.Resize();
    for (TRecorder* r : recorders)
        r->calls.clear();
    panel.Scale(200, 200, -20);
    for (TRecorder* r : recorders) {
        if (xScale == 0) {
            QVERIFY(r->calls.isEmpty());
            continue;
        }
        QCOMPARE(r->calls.size(), 1);
        QCOMPARE(r->applied, 2); // after Resize and after Scale
        QVERIFY(qAbs(r->calls[0].XScale - xScale) < 1e-4);
        QVERIFY(qAbs(r->calls[0].XOffset + 20) < 1e-3);
        QVERIFY(qAbs(r->calls[0].YScale - 4.4f) < 1e-4);
    }
    // With AutoMouse off the children are told nothing.
    panel.SetAutoMouse(false);
    for (TRecorder* r : recorders)
        r->calls.clear();
    panel.Scale(200, 200, -20);
    for (TRecorder* r : recorders)
        QVERIFY(r->calls.isEmpty());
}

void tst_ZoomPanel::maxScaleStops()
{
    Fixture f;
    f.panel.SetMaxScale(4.0f);
    double previous = 0;
    int steps = 0;
    while (f.panel.Zoom().XFactor != previous && steps < 100) {
        previous = f.panel.Zoom().XFactor;
        f.panel.Scale(200, 200, -20);
        ++steps;
    }
    QVERIFY(previous >= 4.0 && previous < 4.0 * 1.1);
    f.panel.Scale(200, 200, 20);
    QVERIFY(f.panel.Zoom().XFactor < previous);
}

void tst_ZoomPanel::centringAndBorders()
{
    Fixture f;
    f.panel.SetMinScale(0);
    f.panel.Scale(50, 300, 40); // zoom out to 0.8 about an off-centre point
    const TZoom z = f.panel.Zoom();
    QVERIFY(qAbs(z.XFactor - 0.8) < 1e-6);
    QVERIFY(qAbs(z.XOrigin - 0.1) < 1e-6);
    QVERIFY(qAbs(z.YOrigin - 0.1) < 1e-6);
    f.panel.Move(-10, 10); // a small picture ends flush with the right and bottom edges
    QVERIFY(qAbs(f.panel.Zoom().XOrigin - 0.2) < 1e-6);
    QVERIFY(qAbs(f.panel.Zoom().YOrigin - 0.2) < 1e-6);

    f.panel.SetFracScale(2.0);
    f.panel.Move(1000, 0);
    QCOMPARE(f.panel.Zoom().XOrigin, 0.0);
    f.panel.Move(-1000, 0);
    QCOMPARE(f.panel.Zoom().XOrigin, -1.0);
    f.panel.SetXNoEmptyBorder(false);
    f.panel.Move(-400, 0);
    QCOMPARE(f.panel.Zoom().XOrigin, -2.0);
}

void tst_ZoomPanel::disabledAxes_data()
{
    QTest::addColumn<bool>("xEnable");
    QTest::addColumn<bool>("xScaleEnable");
    QTest::addColumn<bool>("yEnable");
    QTest::addColumn<bool>("xMoves");
    QTest::addColumn<bool>("xScales");
    QTest::addColumn<int>("events");
    QTest::newRow("x off") << false << true << true << false << false << 2;
    QTest::newRow("x zoom off") << true << false << true << true << false << 2;
    QTest::newRow("both off") << false << true << false << false << false << 0;
}

void tst_ZoomPanel::disabledAxes()
{
    QFETCH(bool, xEnable);
    QFETCH(bool, xScaleEnable);
    QFETCH(bool, yEnable);
    QFETCH(bool, xMoves);
    QFETCH(bool, xScales);
    QFETCH(int, events);
    Fixture f;
    f.panel.SetFracScale(2.0);
    const TZoom before = f.panel.Zoom();
    f.log.count = 0;
    f.panel.SetXEnable(xEnable);
    f.panel.SetXScaleEnable(xScaleEnable);
    f.panel.SetYEnable(yEnable);
    f.panel.Move(-40, -40);
    QCOMPARE(f.panel.Zoom().XOrigin != before.XOrigin, xMoves);
    const TZoom moved = f.panel.Zoom();
    f.panel.Scale(100, 100, -20);
    QCOMPARE(f.panel.Zoom().XFactor != moved.XFactor, xScales);
    if (!xScales) QCOMPARE(f.panel.Zoom().XOrigin, moved.XOrigin);
    QCOMPARE(f.panel.Zoom().YFactor != moved.YFactor, yEnable);
    QCOMPARE(f.log.count, events);
}

void tst_ZoomPanel::dragGestures()
{
    Fixture f;
    auto* top = new TRecorder(&f.panel);
    top->show();
    f.panel.grab(); // the next paint hooks the new child
    QVERIFY(top->OnPanelMouseDown);
    f.panel.SetFracScale(2.0);

    // Left drag pans by the pointer's travel.
    QTest::mousePress(top, Qt::LeftButton, {}, QPoint(100, 100));
    QCOMPARE(f.panel.GestureState(), 1);
    QTest::mouseMove(top, QPoint(80, 60));
    QTest::mouseRelease(top, Qt::LeftButton, {}, QPoint(80, 60));
    QCOMPARE(f.panel.GestureState(), 0);
    QVERIFY(qAbs(f.panel.Zoom().XOrigin + 0.05) < 1e-6);
    QVERIFY(qAbs(f.panel.Zoom().YOrigin + 0.1) < 1e-6);

    // Right drag upwards zooms in about the press point and holds the mouse.
    f.panel.Reset();
    QTest::mousePress(top, Qt::RightButton, {}, QPoint(200, 200));
    QCOMPARE(QWidget::mouseGrabber(), top);
    QTest::mouseMove(top, QPoint(260, 180));
    QVERIFY(qAbs(f.panel.Zoom().XFactor - 1.1) < 1e-6);
    QVERIFY(qAbs(f.panel.Zoom().XOrigin + 0.05) < 1e-6);
    QTest::mouseMove(top, QPoint(260, 200)); // back down: out again
    QVERIFY(f.panel.Zoom().XFactor < 1.1);
    QTest::mouseRelease(top, Qt::RightButton, {}, QPoint(260, 200));
    QCOMPARE(QWidget::mouseGrabber(), nullptr);
    QCOMPARE(f.panel.GestureState(), 0);

    // The middle button does nothing.
    const int before = f.log.count;
    QTest::mousePress(top, Qt::MiddleButton, {}, QPoint(10, 10));
    QTest::mouseMove(top, QPoint(10, 50));
    QTest::mouseRelease(top, Qt::MiddleButton, {}, QPoint(10, 50));
    QCOMPARE(f.panel.GestureState(), 0);
    QCOMPARE(f.log.count, before);
}

void tst_ZoomPanel::fastZoomOutDrag_data()
{
    QTest::addColumn<float>("minScale");
    QTest::addColumn<bool>("border");   // the no-empty-border rule on both axes
    QTest::addColumn<int>("drag");      // pixels downward in one move
    QTest::addColumn<double>("factor"); // 0: the zoom is left as it was
    QTest::addColumn<QPointF>("origin");
    QTest::newRow("199 px to MinScale 1") << 1.0f << true << 199 << 1.0 << QPointF(0, 0);
    QTest::newRow("200 px to MinScale 1") << 1.0f << true << 200 << 1.0 << QPointF(0, 0);
    QTest::newRow("400 px to MinScale 1") << 1.0f << true << 400 << 1.0 << QPointF(0, 0);
    QTest::newRow("400 px, no border rule: onto the press point")
        << 1.0f << false << 400 << 1.0 << QPointF(0.25, 0.025);
    QTest::newRow("200 px to MinScale 0.5, centred")
        << 0.5f << true << 200 << 0.5 << QPointF(0.25, 0.25);
    QTest::newRow("400 px to MinScale 0.5, centred")
        << 0.5f << true << 400 << 0.5 << QPointF(0.25, 0.25);
    QTest::newRow("no minimum: 199 px nearly to nothing")
        << 0.0f << true << 199 << 0.01 << QPointF(0.495, 0.495);
    QTest::newRow("no minimum: 200 px not taken") << 0.0f << true << 200 << 0.0 << QPointF();
    QTest::newRow("no minimum: 400 px not taken") << 0.0f << false << 400 << 0.0 << QPointF();
}

void tst_ZoomPanel::fastZoomOutDrag()
{
    QFETCH(float, minScale);
    QFETCH(bool, border);
    QFETCH(int, drag);
    QFETCH(double, factor);
    QFETCH(QPointF, origin);
    Fixture f; // a 400-pixel area: a 200-pixel drag at speed 2 would shrink to nothing
    f.panel.SetMinScale(minScale);
    f.panel.SetXNoEmptyBorder(border);
    f.panel.SetYNoEmptyBorder(border);
    f.panel.SetFracScale(2.0);
    f.panel.Move(-100, -60);
    const TZoom before = f.panel.Zoom();
    QCOMPARE(before.XOrigin, -0.25);

    const QPoint press(100, 10);
    QTest::mousePress(f.child, Qt::RightButton, {}, press);
    QCOMPARE(f.panel.GestureState(), 2);
    QTest::mouseMove(f.child, press + QPoint(0, drag));
    QTest::mouseRelease(f.child, Qt::RightButton, {}, press + QPoint(0, drag));
    QCOMPARE(f.panel.GestureState(), 0);
    const TZoom z = f.panel.Zoom();
    if (factor == 0) {
        QCOMPARE(z, before); // neither collapsed nor mirrored
        return;
    }
    QVERIFY2(qAbs(z.XFactor - factor) < 1e-6, qPrintable(QString::number(z.XFactor)));
    QVERIFY2(qAbs(z.YFactor - factor) < 1e-6, qPrintable(QString::number(z.YFactor)));
    QVERIFY2(qAbs(z.XOrigin - origin.x()) < 1e-6, qPrintable(QString::number(z.XOrigin)));
    QVERIFY2(qAbs(z.YOrigin - origin.y()) < 1e-6, qPrintable(QString::number(z.YOrigin)));
}

void tst_ZoomPanel::ownMouseHandlerTakesEvent()
{
    Fixture f;
    int own = 0;
    f.child->OnMouseDown = [&](QObject* sender, TMouseButton b, TShiftState s, int x, int y) {
        QCOMPARE(sender, f.child);
        QCOMPARE(b, mbLeft);
        QVERIFY(s & ssLeft);
        QCOMPARE(QPoint(x, y), QPoint(30, 40));
        ++own;
    };
    QTest::mousePress(f.child, Qt::LeftButton, {}, QPoint(30, 40));
    QCOMPARE(own, 1);
    QCOMPARE(f.panel.GestureState(), 0);
    QTest::mouseRelease(f.child, Qt::LeftButton, {}, QPoint(30, 40));
}

void tst_ZoomPanel::wheelZoomsOnce_data()
{
    QTest::addColumn<bool>("throughWindow");
    QTest::addColumn<bool>("scaleWheel");
    QTest::addColumn<int>("delta");
    QTest::addColumn<double>("factor"); // 0: the notch is not taken
    QTest::newRow("to the widget") << false << true << 120 << 1.1;
    QTest::newRow("to the window") << true << true << 120 << 1.1;
    QTest::newRow("two notches") << true << true << 240 << 1.2;
    QTest::newRow("wheel off") << true << false << 120 << 0.0;
}

void tst_ZoomPanel::wheelZoomsOnce()
{
    QFETCH(bool, throughWindow);
    QFETCH(bool, scaleWheel);
    QFETCH(int, delta);
    QFETCH(double, factor);
    // Two panels side by side and a third, hidden one: all share the wheel.
    QWidget host;
    host.resize(800, 400);
    TZoomPanel a(&host);
    TZoomPanel b(&host);
    TZoomPanel hidden;
    a.setGeometry(0, 0, 400, 400);
    b.setGeometry(400, 0, 400, 400);
    new TRecorder(&a);
    new TRecorder(&b);
    b.SetScaleWheel(scaleWheel);
    ZoomLog logA, logB;
    a.SetOnZoom(logA.Handler());
    b.SetOnZoom(logB.Handler());
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    logA.count = logB.count = 0;

    const QPoint local(600, 200); // the centre of b's child, in host pixels
    const QPoint global = host.mapToGlobal(local);
    QWidget* under = QApplication::widgetAt(global);
    QVERIFY(dynamic_cast<TRecorder*>(under) && under->parentWidget() == &b);
    if (throughWindow)
        SendNotch(host.windowHandle(), local, global, delta);
    else
        SendNotch(under, under->mapFromGlobal(global), global, delta);

    QCOMPARE(logA.count, 0);
    QCOMPARE(a.Zoom(), TZoom());
    if (factor == 0) {
        QCOMPARE(logB.count, 0);
        return;
    }
    QCOMPARE(logB.count, 1);
    QVERIFY(qAbs(b.Zoom().XFactor - factor) < 1e-6);
    QVERIFY(qAbs(b.Zoom().XOrigin + (factor - 1) / 2) < 1e-6); // about the cursor
    SendNotch(host.windowHandle(), local, global, -delta);     // toward the user: out
    QCOMPARE(logB.count, 2);
    QVERIFY(b.Zoom().XFactor < factor);
}

void tst_ZoomPanel::childAddedAtPaint()
{
    Fixture f(300, 300);
    f.panel.SetClientRatio(2.0f);
    f.panel.Scale(150, 75, -15);
    auto* image = new TRecorder(&f.panel);
    image->isImage = true;
    image->xSize = 150;
    image->ySize = 75;
    QVERIFY(!image->OnPanelMouseDown);
    f.panel.grab(); // paints
    QVERIFY(image->OnPanelMouseDown && image->OnPanelMouseUp && image->OnPanelMouseMove);
    QCOMPARE(image->geometry(), QRect(0, 75, 300, 150));
    QVERIFY(!image->calls.isEmpty());
    QCOMPARE(image->calls.last(), TZoomMapping::FromZoom(f.panel.Zoom(), 300, 150, 150, 75));
    QCOMPARE(f.child->calls.last(), image->calls.last()); // the old child follows the new one
}

void tst_ZoomPanel::removedChildLosesHooks()
{
    Fixture f;
    QWidget elsewhere;
    TZoomPanel other;
    other.SetAutoMouse(true);
    f.child->setParent(&elsewhere);
    QVERIFY(!f.child->OnPanelMouseDown && !f.child->OnPanelMouseUp && !f.child->OnPanelMouseMove);
    elsewhere.show();
    QTest::mousePress(f.child, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(f.child, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(f.panel.GestureState(), 0);
    QCOMPARE(f.log.count, 0);

    // Into another panel: hooked there at its next paint, never to the first one.
    f.child->setParent(&other);
    other.grab();
    QVERIFY(f.child->OnPanelMouseDown.IsBoundTo(&other, &TZoomPanel::ChildMouseDown));
    // Hooks bound elsewhere survive unhooking.
    f.child->OnPanelMouseUp = [](QObject*, TMouseButton, TShiftState, int, int) {};
    other.SetAutoMouse(false);
    QVERIFY(!f.child->OnPanelMouseDown);
    QVERIFY(f.child->OnPanelMouseUp);
}

void tst_ZoomPanel::destroyedPanelUnreachable()
{
    auto panel = std::make_unique<TZoomPanel>();
    panel->resize(200, 200);
    auto* child = new TRecorder(panel.get());
    panel->SetAutoMouse(true);
    const TMouseEvent copy = child->OnPanelMouseDown; // a hook kept beyond the panel
    QVERIFY(copy);
    panel.reset();
    QVERIFY(!copy);
    copy(nullptr, mbLeft, 0, 1, 1); // must not reach the freed panel

    // The shared wheel filter survives the first panel and reaches only live ones.
    Fixture f;
    const QPoint at = f.child->mapToGlobal(QPoint(200, 200));
    SendNotch(f.panel.windowHandle(), f.panel.mapFromGlobal(at), at);
    QCOMPARE(f.log.count, 1);
}

void tst_ZoomPanel::mappingRoundTrip()
{
    const TZoomMapping m{2.5f, -20.0f, 0.5f, 7.0f};
    const QPointF sample(13.25, -4.0);
    QCOMPARE(m.ToPixel(sample), QPointF(13.25 * 2.5 - 20, -4.0 * 0.5 + 7));
    QCOMPARE(m.ToSample(m.ToPixel(sample)), sample);
    const QRectF r(1, 2, 10, 20);
    QCOMPARE(m.ToSample(m.ToPixel(r)), r);
    const TZoomMapping flipped{-1.0f, 100.0f, 1.0f, 0.0f};
    QCOMPARE(flipped.ToPixel(QRectF(0, 0, 10, 10)), QRectF(90, 0, 10, 10));
}

void tst_ZoomPanel::resizedWhileHidden_data()
{
    QTest::addColumn<bool>("shown"); // shown after the resize, or never
    QTest::addColumn<float>("ratio");
    QTest::newRow("never shown") << false << 2.0f;
    QTest::newRow("never shown, whole panel") << false << -1.0f;
    QTest::newRow("shown after the resize") << true << 2.0f;
}

void tst_ZoomPanel::resizedWhileHidden()
{
    QFETCH(bool, shown);
    QFETCH(float, ratio);
    const auto makeImage = [](TRecorder* r) {
        r->isImage = r->hasImage = true;
        r->xSize = 150;
        r->ySize = 100;
    };
    // The reference: a shown panel of the final size.
    Fixture reference(300, 200);
    makeImage(reference.child);
    reference.panel.SetClientRatio(ratio);

    // Laid out at 500 × 500, then resized while hidden: Qt holds the resize event back.
    TZoomPanel panel;
    panel.resize(500, 500);
    auto* child = new TRecorder(&panel);
    makeImage(child);
    panel.SetAutoMouse(true);
    panel.SetClientRatio(ratio);
    panel.resize(300, 200);
    if (shown) {
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(child->geometry(), reference.child->geometry());
    }
    QCOMPARE(panel.ZoomArea(), reference.panel.ZoomArea());

    for (TZoomPanel* p : {&reference.panel, &panel}) {
        p->Scale(100, 50, -30);
        p->Move(-20, 10);
    }
    QCOMPARE(panel.Zoom(), reference.panel.Zoom());
    QVERIFY(panel.Zoom().XFactor > 1);
    QCOMPARE(child->geometry(), reference.child->geometry());
    QCOMPARE(panel.ZoomArea(), reference.panel.ZoomArea());
    QCOMPARE(child->calls.last(), reference.child->calls.last());
}

QTEST_MAIN(tst_ZoomPanel)
#include "tst_zoompanel.moc"
