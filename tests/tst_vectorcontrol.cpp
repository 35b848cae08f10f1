// The vector plot control: its own vector and test pattern, the records of clients,
// when it repaints, what it hands to the drawing, and painting with and without a
// background of its own.

#include "Framework.h"
#include "VectorControl.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QTest>

#include <functional>
#include <limits>

namespace {

/** Counts the repaints a control asks for. */
class CountingControl : public TVectorControl
{
public:
    using TVectorControl::TVectorControl;
    void Invalidate() override
    {
        ++invalidations;
        TVectorControl::Invalidate();
    }
    int invalidations = 0;
};

/** A widget painting itself in one colour and recording the regions it was asked to paint. */
class Recorder : public QWidget
{
public:
    explicit Recorder(QColor color, QWidget* parent = nullptr) : QWidget(parent), color_(color) {}

    QList<QRegion> painted;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        painted << event->region();
        QPainter(this).fillRect(rect(), color_);
    }

private:
    QColor color_;
};

/** Fills the control's vector with one value. */
void Fill(TVectorControl& control, float value)
{
    for (int i = 0; i < control.Vector->Length; ++i)
        control.Vector->Values[i] = value;
}

QImage Grab(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestVectorControl : public QObject
{
    Q_OBJECT

private slots:
    void startsWithTheTestPattern();
    void allocSize();
    void allocSizeWhileNotOwning();
    void releasingTheVectorLeavesAnEmptyPlot();
    void clientRecordIsNeverReleased();
    void repaintsOnlyOnChange();
    void automaticRangeIsResolvedPerPaint();
    void axesFollowTheFlags_data();
    void axesFollowTheFlags();
    void transparency();
    void invalidateOthers();
};

void TestVectorControl::startsWithTheTestPattern()
{
    TVectorControl control;
    QCOMPARE(control.size(), QSize(256, 64));
    QCOMPARE(control.focusPolicy(), Qt::NoFocus);
    QVERIFY(control.AllocVector());
    QCOMPARE(control.AllocSize(), 256);
    QCOMPARE(control.Min(), 0.0f);
    QCOMPARE(control.Max(), 255.0f);
    QCOMPARE(control.VectorColor(), TColor(0));
    QCOMPARE(control.Color(), clWindow);
    QVERIFY(!control.Vertical() && !control.Transparent() && !control.AutoMin() &&
            !control.AutoMax() && !control.TopDown() && !control.Reversed());

    QVERIFY(control.Vector);
    QCOMPARE(control.Vector->Length, 256);
    const std::pair<int, float> samples[] = {{0, 0},   {1, 16}, {15, 240}, {16, 256}, {17, 240},
                                             {31, 16}, {32, 0}, {48, 256}, {250, 96}, {255, 16}};
    for (const auto& [index, value] : samples)
        QCOMPARE(control.Vector->Values[index], value);
}

void TestVectorControl::allocSize()
{
    TVectorControl control;
    VectorStruct* const first = control.Vector;
    control.Vector->Values[5] = -1;
    control.SetAllocSize(256); // the same size keeps the samples
    QCOMPARE(control.Vector, first);
    QCOMPARE(control.Vector->Values[5], -1.0f);

    control.SetAllocSize(40); // a new size brings back the pattern
    QCOMPARE(control.AllocSize(), 40);
    QCOMPARE(control.Vector->Length, 40);
    QCOMPARE(control.Vector->Values[5], 80.0f);
    QCOMPARE(control.Vector->Values[39], 112.0f);

    control.SetAllocSize(1);
    QCOMPARE(control.Vector->Length, 1);
    QCOMPARE(control.Vector->Values[0], 0.0f);

    for (int size : {0, -7}) {
        control.SetAllocSize(size);
        QCOMPARE(control.AllocSize(), 0);
        QVERIFY(control.Vector);
        QCOMPARE(control.Vector->Length, 0);
        // Nothing but the background where the pattern's first sample was.
        QCOMPARE(Grab(control).pixel(0, 63), ColorToQColor(clWindow).rgb());
    }
}

void TestVectorControl::allocSizeWhileNotOwning()
{
    TVectorControl control;
    control.SetAllocVector(false);
    control.SetAllocSize(10);
    QCOMPARE(control.AllocSize(), 10);
    QCOMPARE(control.Vector, nullptr);

    control.SetAllocVector(true);
    QVERIFY(control.Vector);
    QCOMPARE(control.Vector->Length, 10);
    QCOMPARE(control.Vector->Values[9], 144.0f);
    VectorStruct* const owned = control.Vector;
    control.SetAllocVector(true); // already on: nothing changes
    QCOMPARE(control.Vector, owned);
}

void TestVectorControl::releasingTheVectorLeavesAnEmptyPlot()
{
    TVectorControl control;
    control.resize(64, 16);
    control.SetColor(clWhite);
    const QRgb white = qRgb(255, 255, 255), black = qRgb(0, 0, 0);
    QImage image = Grab(control);
    QVERIFY(image.pixel(0, 15) == black); // the pattern's first sample, 0, at the bottom

    control.SetAllocVector(false);
    QCOMPARE(control.Vector, nullptr);
    image = Grab(control);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            QCOMPARE(image.pixel(x, y), white);
}

void TestVectorControl::clientRecordIsNeverReleased()
{
    // A client record the control only borrows.
    struct ClientRecord : VectorStruct
    {
        ClientRecord() { InitVectorSize(this, 4); }
        ~ClientRecord() { DestroyVector(this); }
    } record;
    record.Values[3] = 7;

    bool shown = false;
    {
        TVectorControl control;
        control.SetAllocVector(false);
        control.Vector = &record;
        // The first sample, 0, in the bottom row at the centre of the first quarter.
        shown = Grab(control).pixel(32, 63) == qRgb(0, 0, 0);
    }
    QVERIFY(shown);
    QVERIFY(record.Values);
    QCOMPARE(record.Length, 4);
    QCOMPARE(record.Values[3], 7.0f);

    // Turning ownership on gives the control a record of its own; the client's stays.
    {
        TVectorControl control;
        control.SetAllocVector(false);
        control.Vector = &record;
        control.SetAllocVector(true);
        QVERIFY(control.Vector != &record);
        control.SetAllocVector(false);
    }
    QCOMPARE(record.Length, 4);
    record.Values[0] = 1; // still the client's storage
}

void TestVectorControl::repaintsOnlyOnChange()
{
    CountingControl control;
    const auto repaints = [&](const std::function<void()>& change) {
        control.invalidations = 0;
        change();
        return control.invalidations;
    };

    const struct
    {
        const char* name;
        std::function<void()> change;
    } setters[] = {
        {"Vertical", [&] { control.SetVertical(true); }},
        {"Transparent", [&] { control.SetTransparent(true); }},
        {"VectorColor", [&] { control.SetVectorColor(clLime); }},
        {"Min", [&] { control.SetMin(5); }},
        {"Max", [&] { control.SetMax(50); }},
        {"TopDown", [&] { control.SetTopDown(true); }},
        {"Reversed", [&] { control.SetReversed(true); }},
        {"Color", [&] { control.SetColor(clRed); }},
        {"AutoMin", [&] { control.SetAutoMin(true); }},
        {"AutoMax", [&] { control.SetAutoMax(true); }},
        {"AllocVector", [&] { control.SetAllocVector(false); }},
        {"AllocSize while not owning", [&] { control.SetAllocSize(3); }},
    };
    for (const auto& setter : setters) {
        const int expected = QByteArray(setter.name).startsWith("AllocSize") ? 0 : 1;
        QVERIFY2(repaints(setter.change) == expected, setter.name);
        QVERIFY2(repaints(setter.change) == 0, setter.name); // the same value again
    }

    // With the range automatic the stored bounds are not painted: no repaint for them.
    QVERIFY(control.AutoMin() && control.AutoMax());
    QCOMPARE(repaints([&] { control.SetMin(-2); }), 0);
    QCOMPARE(repaints([&] { control.SetMax(2); }), 0);
    QCOMPARE(control.Min(), -2.0f);
    QCOMPARE(control.Max(), 2.0f);
    control.SetAllocVector(true);
    QCOMPARE(repaints([&] { control.SetAutoMin(false); }), 1);
    QCOMPARE(control.PaintArguments().Min, -2.0f);
    QCOMPARE(repaints([&] { control.SetAutoMax(false); }), 1);
    QCOMPARE(control.PaintArguments().Max, 2.0f);
}

void TestVectorControl::automaticRangeIsResolvedPerPaint()
{
    TVectorControl control;
    control.SetAllocSize(4);
    const float values[] = {3, std::numeric_limits<float>::quiet_NaN(), -2, 9};
    for (int i = 0; i < 4; ++i)
        control.Vector->Values[i] = values[i];
    control.SetMin(1);
    control.SetMax(100);

    control.SetAutoMin(true);
    TVectorControl::DrawArguments a = control.PaintArguments();
    QCOMPARE(a.Min, -2.0f);
    QCOMPARE(a.Max, 100.0f);
    QCOMPARE(control.Min(), 1.0f);

    control.SetAutoMin(false);
    control.SetAutoMax(true);
    a = control.PaintArguments();
    QCOMPARE(a.Min, 1.0f);
    QCOMPARE(a.Max, 9.0f);
    QCOMPARE(control.Max(), 100.0f);

    control.Vector->Values[0] = 20; // a client writes new samples: the next paint follows
    QCOMPARE(control.PaintArguments().Max, 20.0f);
}

void TestVectorControl::axesFollowTheFlags_data()
{
    QTest::addColumn<bool>("vertical");
    QTest::addColumn<bool>("topDown");
    QTest::addColumn<bool>("reversed");
    QTest::addColumn<QPointF>("origin");
    QTest::addColumn<QPointF>("direction");
    QTest::newRow("horizontal") << false << false << false << QPointF(0, 0) << QPointF(1, 1);
    QTest::newRow("horizontal reversed")
        << false << false << true << QPointF(100, 0) << QPointF(-1, 1);
    QTest::newRow("horizontal top down")
        << false << true << false << QPointF(0, 40) << QPointF(1, -1);
    QTest::newRow("vertical") << true << false << false << QPointF(0, 0) << QPointF(1, 1);
    QTest::newRow("vertical top down")
        << true << true << false << QPointF(100, 0) << QPointF(-1, 1);
    QTest::newRow("vertical reversed") << true << false << true << QPointF(0, 40) << QPointF(1, -1);
}

void TestVectorControl::axesFollowTheFlags()
{
    QFETCH(bool, vertical);
    QFETCH(bool, topDown);
    QFETCH(bool, reversed);
    QFETCH(QPointF, origin);
    QFETCH(QPointF, direction);
    TVectorControl control;
    control.resize(100, 40);
    control.SetVertical(vertical);
    control.SetTopDown(topDown);
    control.SetReversed(reversed);
    control.SetVectorColor(clRed);
    const TVectorControl::DrawArguments a = control.PaintArguments();
    QCOMPARE(a.Vertical, vertical);
    QCOMPARE(QPointF(a.OriginX, a.OriginY), origin);
    QCOMPARE(QPointF(a.DirectionX, a.DirectionY), direction);
    QCOMPARE(a.Width, 100.0f);
    QCOMPARE(a.Height, 40.0f);
    QCOMPARE(a.Min, 0.0f);
    QCOMPARE(a.Max, 255.0f);
    QCOMPARE(a.Color, clRed);
}

void TestVectorControl::transparency()
{
    Recorder parent(Qt::blue);
    parent.resize(120, 80);
    auto* control = new TVectorControl(&parent);
    control->setGeometry(10, 10, 40, 20);
    control->SetAllocSize(8);
    Fill(*control, 0.1f);
    control->SetMin(0);
    control->SetMax(0.2f);
    control->SetVectorColor(clLime);

    // The flat curve runs along the control's middle row, 10 rows down.
    const QRgb blue = qRgb(0, 0, 255), lime = qRgb(0, 255, 0);
    QImage shown = Grab(parent);
    QCOMPARE(shown.pixel(30, 20), lime);
    QCOMPARE(shown.pixel(30, 14), ColorToQColor(clWindow).rgb());
    QVERIFY(ColorToQColor(clWindow).rgb() != blue);

    control->SetTransparent(true);
    QVERIFY(!control->autoFillBackground());
    QVERIFY(!control->testAttribute(Qt::WA_OpaquePaintEvent));
    shown = Grab(parent);
    QCOMPARE(shown.pixel(30, 20), lime);
    QCOMPARE(shown.pixel(30, 14), blue);
    QCOMPARE(shown.pixel(12, 28), blue);

    control->SetColor(clRed); // no background is painted at all while transparent
    QCOMPARE(Grab(parent).pixel(30, 14), blue);
    control->SetTransparent(false);
    QCOMPARE(Grab(parent).pixel(30, 14), qRgb(255, 0, 0));
}

void TestVectorControl::invalidateOthers()
{
    Recorder parent(Qt::blue);
    parent.resize(200, 120);
    auto* overlapped = new Recorder(Qt::yellow, &parent);
    overlapped->setGeometry(40, 10, 100, 60);
    auto* control = new TVectorControl(&parent);
    control->setGeometry(60, 20, 50, 30);
    control->SetTransparent(true);
    auto* apart = new Recorder(Qt::cyan, &parent);
    apart->setGeometry(150, 80, 40, 30);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    const auto settle = [&] {
        QCoreApplication::processEvents();
        parent.painted.clear();
        overlapped->painted.clear();
        apart->painted.clear();
    };

    control->hide();
    settle();
    control->InvalidateOthers();
    QCoreApplication::processEvents();
    QVERIFY(parent.painted.isEmpty());
    QVERIFY(overlapped->painted.isEmpty());

    control->show();
    settle();
    control->InvalidateOthers();
    QCoreApplication::processEvents();
    QCOMPARE(parent.painted, QList<QRegion>{QRegion(60, 20, 50, 30)});
    // The sibling repaints just the overlap, in its own coordinates.
    QCOMPARE(overlapped->painted, QList<QRegion>{QRegion(20, 10, 50, 30)});
    QVERIFY(apart->painted.isEmpty());
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TestVectorControl test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vectorcontrol.moc"
