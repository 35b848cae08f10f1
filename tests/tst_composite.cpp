// The inspector on stacks of several channels and time points: the composite's colours
// on screen, channels shown and hidden by their boxes and keys, each channel's own
// window, the time slider and playing, the status text, and a file of five dimensions.

#include "ContrastStrip.h"
#include "GraphicsListControl.h"
#include "IcsLocale.h"
#include "ImageControl.h"
#include "MultiView.h"
#include "OrthoWindow.h"
#include "SliceView.h"
#include "ZoomPanel.h"

#include <libics.h>

#include <QCheckBox>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cmath>
#include <cstring>

namespace {

constexpr int X = 16, Y = 12, Z = 6;

/** Channel 1's sample at (x, y, z) and time point t; channel 2's is ValueB. */
int ValueA(int x, int, int z, int t)
{
    return 100 * x + 10 * z + 1000 * t;
}
int ValueB(int, int y, int z, int t)
{
    return 100 * y + z + 500 * t;
}

/** Two channels of 16-bit samples over `frames` time points, ValueA and ValueB. */
VolumeStack TwoChannels(int frames)
{
    StackLayout layout;
    layout.SizeX = X, layout.SizeY = Y, layout.SizeZ = Z;
    layout.Channels = 2, layout.Frames = frames;
    layout.Kind = SampleKind::UInt16;
    layout.SignificantBits = 16;
    VolumeStack stack;
    stack.Allocate(layout);
    for (int t = 0; t < frames; ++t)
        for (int z = 0; z < Z; ++z)
            for (int y = 0; y < Y; ++y)
                for (int x = 0; x < X; ++x) {
                    const uint16_t a = uint16_t(ValueA(x, y, z, t)),
                                   b = uint16_t(ValueB(x, y, z, t));
                    std::memcpy(stack.Row(0, t, z, y) + 2 * x, &a, 2);
                    std::memcpy(stack.Row(1, t, z, y) + 2 * x, &b, 2);
                }
    return stack;
}

int Level(double value, double min, double max)
{
    return int(std::lround(std::clamp((value - min) / (max - min), 0.0, 1.0) * 255));
}

/** The screen pixel at the centre of voxel column (x, y) of the top view. */
QRgb TopPixel(const QImage& shot, TOrthoWindow& inspector, int x, int y)
{
    const TZoomMapping& m = inspector.View(SlicePlane::Top)->Image()->Mapping();
    return shot.pixel(int(m.ToPixelX(x + 0.5)), int(m.ToPixelY(y + 0.5)));
}

/**
 * Every few pixels of the top view against the composite of green ValueA through
 * windowA and magenta ValueB through windowB (a channel hidden when `showA`/`showB` is
 * false); the first difference, or empty.
 */
QString CheckTopView(TOrthoWindow& inspector, std::array<double, 4> windows, bool showA = true,
                     bool showB = true)
{
    const QImage shot = inspector.View(SlicePlane::Top)->Image()->grab().toImage();
    const int z = inspector.Model().Position(SlicePlane::Top), t = inspector.TimePoint();
    for (int y = 0; y < Y; y += 3)
        for (int x = 0; x < X; x += 2) {
            const int a = showA ? Level(ValueA(x, y, z, t), windows[0], windows[1]) : 0;
            const int b = showB ? Level(ValueB(x, y, z, t), windows[2], windows[3]) : 0;
            const QRgb pixel = TopPixel(shot, inspector, x, y);
            if (std::abs(qRed(pixel) - b) > 2 || std::abs(qGreen(pixel) - a) > 2 ||
                std::abs(qBlue(pixel) - b) > 2)
                return QString::asprintf("(%d, %d): %d %d %d, not %d %d %d", x, y, qRed(pixel),
                                         qGreen(pixel), qBlue(pixel), b, a, b);
        }
    return {};
}

/** Shows a two-channel stack in `inspector` with the windows given. */
bool ShowTwoChannels(TOrthoWindow& inspector, int frames, std::array<double, 4> windows)
{
    inspector.show();
    if (!QTest::qWaitForWindowExposed(&inspector)) return false;
    inspector.ShowStack(TwoChannels(frames), QStringLiteral("cells"));
    if (!QTest::qWaitFor([&] { return !inspector.Busy(); }, 20000)) return false;
    for (int c : {1, 0}) {
        inspector.SetActiveChannel(c);
        inspector.SetWindow(windows[2 * c], windows[2 * c + 1]);
    }
    return inspector.Channels() == 2 && inspector.TimePoints() == frames;
}

} // namespace

class TestComposite : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void eachChannelThroughItsWindowInItsColour_data()
    {
        QTest::addColumn<double>("minA");
        QTest::addColumn<double>("maxA");
        QTest::addColumn<double>("minB");
        QTest::addColumn<double>("maxB");
        QTest::newRow("full ranges") << 0.0 << 1550.0 << 0.0 << 1105.0;
        QTest::newRow("first narrow") << 400.0 << 900.0 << 0.0 << 1105.0;
        QTest::newRow("second above its values") << 0.0 << 1550.0 << 2000.0 << 3000.0;
        QTest::newRow("second saturated") << 0.0 << 1550.0 << 0.0 << 1.0;
    }
    void eachChannelThroughItsWindowInItsColour()
    {
        QFETCH(double, minA);
        QFETCH(double, maxA);
        QFETCH(double, minB);
        QFETCH(double, maxB);
        TOrthoWindow inspector;
        QVERIFY(ShowTwoChannels(inspector, 1, {minA, maxA, minB, maxB}));
        QCOMPARE(inspector.ChannelColour(0), 0x00FF00u);
        QCOMPARE(inspector.ChannelColour(1), 0xFF00FFu);
        const QString wrong = CheckTopView(inspector, {minA, maxA, minB, maxB});
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        // An exported view keeps the composite's colours, one pixel a voxel.
        QTemporaryDir dir;
        QString message;
        QVERIFY(inspector.ExportView(SlicePlane::Top, dir.filePath("top.png"), message));
        const QRgb exported = QImage(dir.filePath("top.png")).pixel(9, 7);
        const int z = inspector.Model().Position(SlicePlane::Top);
        QVERIFY(std::abs(qGreen(exported) - Level(ValueA(9, 7, z, 0), minA, maxA)) <= 2 &&
                std::abs(qRed(exported) - Level(ValueB(9, 7, z, 0), minB, maxB)) <= 2);
        // The strip shows the active channel's window and histogram.
        for (int c : {0, 1}) {
            inspector.SetActiveChannel(c);
            QCOMPARE(inspector.Contrast()->WindowMax(), c ? maxB : maxA);
            QCOMPARE(inspector.Contrast()->High(), c ? 1105.0 : 1550.0);
        }
        QVERIFY(
            inspector.Views()->Client(TOrthoWindow::SpectrumCell)->Caption().contains("Channel 2"));
    }

    void boxesAndKeysShowAndHideChannels()
    {
        TOrthoWindow inspector;
        const std::array<double, 4> windows{0, 1550, 0, 1105};
        QVERIFY(ShowTwoChannels(inspector, 1, windows));
        struct Step
        {
            const char* what;
            std::function<void()> act;
            bool showA, showB;
        };
        const Step steps[] = {
            {"box 2", [&] { QTest::mouseClick(inspector.ChannelBox(1), Qt::LeftButton); }, true,
             false},
            {"key 1", [&] { QTest::keyClick(&inspector, Qt::Key_1); }, false, false},
            {"key 2", [&] { QTest::keyClick(&inspector, Qt::Key_2); }, false, true},
            {"key 3 (no channel)", [&] { QTest::keyClick(&inspector, Qt::Key_3); }, false, true},
            {"box 1", [&] { QTest::mouseClick(inspector.ChannelBox(0), Qt::LeftButton); }, true,
             true},
        };
        for (const Step& step : steps) {
            step.act();
            QVERIFY2(inspector.ChannelVisible(0) == step.showA &&
                         inspector.ChannelVisible(1) == step.showB &&
                         inspector.ChannelBox(1)->isChecked() == step.showB,
                     step.what);
            const QString wrong = CheckTopView(inspector, windows, step.showA, step.showB);
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("%1: %2").arg(step.what, wrong)));
        }
    }

    void timePointsKeepPositionsAndWindows()
    {
        TOrthoWindow inspector;
        const std::array<double, 4> windows{500, 2500, 0, 1500};
        QVERIFY(ShowTwoChannels(inspector, 3, windows));
        TSliceView* top = inspector.View(SlicePlane::Top);
        inspector.SetPosition(SlicePlane::Top, 4);
        const TZoomMapping& m = top->Overlay()->Mapping();
        QTest::mouseMove(top->Overlay(), QPointF(m.ToPixelX(7.5), m.ToPixelY(5.5)).toPoint());
        const QImage before = top->Image()->grab().toImage();
        for (int t : {2, 1}) {
            inspector.TimeSlider()->setValue(t);
            QCOMPARE(inspector.TimePoint(), t);
            QCOMPARE(inspector.Model().Position(SlicePlane::Top), 4);
            QCOMPARE(inspector.WindowMin(), 500.0); // channel 1, active
            const QString wrong = CheckTopView(inspector, windows);
            QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
            QCOMPARE(inspector.StatusText(), QStringLiteral("x 7  y 5  z 4   C1 %1 · C2 %2")
                                                 .arg(ValueA(7, 5, 4, t))
                                                 .arg(ValueB(7, 5, 4, t)));
            const QString time = QStringLiteral("t %1/3").arg(t + 1);
            QVERIFY(inspector.Views()->Client(TOrthoWindow::TopCell)->Caption().endsWith(time));
            QVERIFY(inspector.windowTitle().contains(time));
            // The histogram is the time point's own: channel 1 spans 40 … 1550 + 1000 t.
            QCOMPARE(inspector.Histogram().High, 1550.0 + 1000 * t);
            QCOMPARE(inspector.Volume().Voxel(7, 5, 4), uint8_t(ValueA(7, 5, 4, t) >> 8));
        }
        QVERIFY(top->Image()->grab().toImage() != before);
        // Playing steps through the time points until paused.
        inspector.FrameRateBox()->setValue(50);
        QTest::mouseClick(inspector.PlayButton(), Qt::LeftButton);
        QVERIFY(inspector.Playing());
        QVERIFY(QTest::qWaitFor([&] { return inspector.TimePoint() == 0; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return inspector.TimePoint() == 1; }, 5000));
        QTest::mouseClick(inspector.PlayButton(), Qt::LeftButton);
        QVERIFY(!inspector.Playing());
    }

    void fileOfFiveDimensionsShowsWithoutCopies()
    {
        // x y z ch t, 16-bit: the display samples are views of the stack.
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("lapse.ics"));
        const VolumeStack stack = TwoChannels(2);
        std::vector<uint8_t> data;
        for (int t = 0; t < 2; ++t)
            for (int c = 0; c < 2; ++c)
                data.insert(data.end(), stack.Samples(c, t),
                            stack.Samples(c, t) + stack.Layout().VolumeBytes());
        {
            const IcsLocaleScope cLocale;
            ICS* ics = nullptr;
            const size_t sizes[5] = {X, Y, Z, 2, 2};
            const char* labels[5] = {"x", "y", "z", "ch", "t"};
            QCOMPARE(IcsOpen(&ics, QFile::encodeName(name).constData(), "w2"), IcsErr_Ok);
            QCOMPARE(IcsSetLayout(ics, Ics_uint16, 5, sizes), IcsErr_Ok);
            for (int d = 0; d < 5; ++d)
                QCOMPARE(IcsSetOrder(ics, d, labels[d], nullptr), IcsErr_Ok);
            QCOMPARE(IcsSetData(ics, data.data(), data.size()), IcsErr_Ok);
            QCOMPARE(IcsClose(ics), IcsErr_Ok);
        }
        TOrthoWindow inspector;
        inspector.show();
        inspector.OpenFile(name);
        QVERIFY(QTest::qWaitFor([&] { return !inspector.Busy(); }, 20000));
        QVERIFY(inspector.Channels() == 2 && inspector.TimePoints() == 2);
        QCOMPARE(inspector.ChannelName(1), QStringLiteral("Channel 2"));
        QVERIFY(inspector.TimeSlider()->isVisible() && inspector.ChannelBox(1)->isVisible());
        for (int t : {0, 1}) {
            inspector.SetTimePoint(t);
            inspector.SetActiveChannel(1 - t);
            QCOMPARE(inspector.Samples().View, inspector.Stack().Samples(1 - t, t));
        }
        QVERIFY(inspector.windowTitle().startsWith(
            QStringLiteral("lapse.ics — 16 × 12 × 6 — 2 channels — t 2/2")));
    }
};

QTEST_MAIN(TestComposite)
#include "tst_composite.moc"
