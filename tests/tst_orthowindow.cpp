// The inspector window driven through real mouse and key events on the offscreen platform.

#include "ByteVolume.h"
#include "ContrastStrip.h"
#include "GraphicsListControl.h"
#include "IcsWriter.h"
#include "ImageControl.h"
#include "OrthoWindow.h"
#include "MeasurementTable.h"
#include "Measuring.h"
#include "MultiView.h"
#include "ProfilePlot.h"
#include "SliceView.h"
#include "Spectrum.h"
#include "SpectrumPanel.h"
#include "ZoomPanel.h"

#include <QMimeData>
#include <QUrl>
#include <QWheelEvent>
#include <QFileInfo>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <vector>

namespace {

/** A volume whose voxel (x, y, z) is (x + 3y + 7z) mod 251. */
ByteVolume PatternVolume(int sx, int sy, int sz)
{
    ByteVolume volume;
    volume.Allocate(sx, sy, sz);
    for (int z = 0; z < sz; ++z)
        for (int y = 0; y < sy; ++y)
            for (int x = 0; x < sx; ++x)
                volume.Voxel(x, y, z) = uint8_t((x + 3 * y + 7 * z) % 251);
    return volume;
}

bool WaitIdle(const TOrthoWindow& inspector)
{
    return QTest::qWaitFor([&] { return !inspector.Busy(); }, 20000);
}

/** The overlay pixel at the centre of slice pixel (u, v) of `view`. */
QPoint PixelOf(const TSliceView* view, int u, int v)
{
    const TZoomMapping& m = view->Overlay()->Mapping();
    return QPointF(m.ToPixelX(u + 0.5), m.ToPixelY(v + 0.5)).toPoint();
}

std::array<int, 3> Positions(TOrthoWindow& inspector)
{
    SliceModel& model = inspector.Model();
    return {model.Position(SlicePlane::Side), model.Position(SlicePlane::Front),
            model.Position(SlicePlane::Top)};
}

} // namespace

class TestOrthoWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void clickMovesTheOtherPlanes_data()
    {
        QTest::addColumn<int>("plane");
        QTest::addColumn<int>("u");
        QTest::addColumn<int>("v");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("z");
        // Starting at the middle (19, 11, 7) of a 40 × 24 × 16 volume.
        QTest::newRow("top") << int(SlicePlane::Top) << 5 << 3 << 5 << 3 << 7;
        QTest::newRow("front") << int(SlicePlane::Front) << 31 << 14 << 31 << 11 << 14;
        QTest::newRow("side") << int(SlicePlane::Side) << 2 << 22 << 19 << 22 << 2;
    }
    void clickMovesTheOtherPlanes()
    {
        QFETCH(int, plane);
        QFETCH(int, u);
        QFETCH(int, v);
        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.ShowVolume(PatternVolume(40, 24, 16), QStringLiteral("pattern"));
        QVERIFY(WaitIdle(inspector));
        QCOMPARE(Positions(inspector), (std::array<int, 3>{19, 11, 7}));

        TSliceView* view = inspector.View(SlicePlane(plane));
        QTest::mouseClick(view->Overlay(), Qt::LeftButton, {}, PixelOf(view, u, v));
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, z);
        QCOMPARE(Positions(inspector), (std::array<int, 3>{x, y, z}));

        // Every view's crosshair passes through the voxel, at voxel centres.
        const auto lines = [&](SlicePlane p) {
            const GraphicsListStruct* list = inspector.View(p)->Overlay()->List;
            return std::array<float, 2>{list->Items[0].Coords[0], list->Items[1].Coords[1]};
        };
        QCOMPARE(lines(SlicePlane::Top), (std::array<float, 2>{x + 0.5f, y + 0.5f}));
        QCOMPARE(lines(SlicePlane::Front), (std::array<float, 2>{x + 0.5f, z + 0.5f}));
        QCOMPARE(lines(SlicePlane::Side), (std::array<float, 2>{z + 0.5f, y + 0.5f}));
        QVERIFY(view->Overlay()->Editing()); // the grips stay armed after the click

        // The status bar names the voxel and its value; the captions the positions.
        const int value = (x + 3 * y + 7 * z) % 251;
        QCOMPARE(inspector.StatusText(),
                 QStringLiteral("x %1  y %2  z %3   value %4").arg(x).arg(y).arg(z).arg(value));
        const QString zoom = "   " + inspector.ZoomText();
        QCOMPARE(inspector.Views()->Client(11)->Caption(), QString("XY  z %1 / 15").arg(z) + zoom);
        QCOMPARE(inspector.Views()->Client(21)->Caption(), QString("XZ  y %1 / 23").arg(y) + zoom);
        QCOMPARE(inspector.Views()->Client(12)->Caption(), QString("ZY  x %1 / 39").arg(x) + zoom);

        // A drag pans instead: no plane moves.
        const QPoint from = PixelOf(view, 1, 1);
        QTest::mousePress(view->Overlay(), Qt::LeftButton, {}, from);
        QTest::mouseMove(view->Overlay(), from + QPoint(30, 20));
        QTest::mouseRelease(view->Overlay(), Qt::LeftButton, {}, from + QPoint(30, 20));
        QCOMPARE(Positions(inspector), (std::array<int, 3>{x, y, z}));
    }

    void keysStepTheViewUnderThePointer()
    {
        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.ShowVolume(PatternVolume(40, 24, 16), QStringLiteral("pattern"));
        QVERIFY(WaitIdle(inspector));
        TSliceView* front = inspector.View(SlicePlane::Front);
        QTest::mouseMove(front->Overlay(), PixelOf(front, 4, 4));
        QCOMPARE(inspector.KeyPlane(), SlicePlane::Front);

        struct Press
        {
            Qt::Key key;
            Qt::KeyboardModifiers modifiers;
            int expected; // the front plane's position (y) afterwards
        };
        for (const Press& press :
             {Press{Qt::Key_PageUp, {}, 12}, Press{Qt::Key_Up, {}, 13}, Press{Qt::Key_Left, {}, 12},
              Press{Qt::Key_PageDown, {}, 11}, Press{Qt::Key_PageUp, Qt::ShiftModifier, 21},
              Press{Qt::Key_PageUp, Qt::ShiftModifier, 23}, // clamped
              Press{Qt::Key_Down, Qt::ShiftModifier, 13}}) {
            QTest::keyClick(&inspector, press.key, press.modifiers);
            QCOMPARE(inspector.Model().Position(SlicePlane::Front), press.expected);
        }
        QCOMPARE(Positions(inspector), (std::array<int, 3>{19, 13, 7}));
        // The pointer stayed on front pixel (4, 4): the status names the voxel it now shows.
        QCOMPARE(inspector.StatusText(),
                 QStringLiteral("x 4  y 13  z 4   value %1").arg(4 + 39 + 28));
        // The top view's crosshair follows the front plane.
        QCOMPARE(inspector.View(SlicePlane::Top)->Overlay()->List->Items[1].Coords[1], 13.5f);
        // The line spectrum follows the crosshair of the top view.
        QVERIFY(inspector.Spectrum()->ResultText().startsWith(QStringLiteral("line y 13, z 7: ")));
    }

    void crosshairGripDragMovesItsPlane()
    {
        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.ShowVolume(PatternVolume(40, 24, 16), QStringLiteral("pattern"));
        QVERIFY(WaitIdle(inspector));
        TSliceView* top = inspector.View(SlicePlane::Top);
        const TGraphicsListControl::TGrip& grip = top->Overlay()->Grips[0]; // the x line's
        const QPoint at(grip.ScreenX, grip.ScreenY);
        const QPoint to = QPoint(int(top->Overlay()->Mapping().ToPixelX(30.5)), at.y());
        QTest::mousePress(top->Overlay(), Qt::LeftButton, {}, at);
        QTest::mouseMove(top->Overlay(), to);
        QTest::mouseRelease(top->Overlay(), Qt::LeftButton, {}, to);
        QCOMPARE(Positions(inspector), (std::array<int, 3>{30, 11, 7}));
        QCOMPARE(inspector.Views()->Client(12)->Caption(),
                 "ZY  x 30 / 39   " + inspector.ZoomText());
    }

    void sixteenBitDataShowWithFullContrast()
    {
        // A 12-bit camera's counts in 16-bit samples: 0 … 4095 along x.
        QTemporaryDir dir;
        const int sx = 64, sy = 8, sz = 4;
        std::vector<uint16_t> samples(size_t(sx) * sy * sz);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = uint16_t((i % sx) * 4095 / (sx - 1));
        IcsWriteOptions options;
        options.BytesPerSample = 2;
        options.SignificantBits = 12;
        const QString name = dir.filePath(QStringLiteral("camera.ics"));
        std::string message;
        QVERIFY(WriteIcsVolume(name.toStdString(), sx, sy, sz, samples.data(), options, &message));

        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.OpenFile(name);
        QVERIFY(WaitIdle(inspector));
        QCOMPARE(inspector.Samples().Kind, ImageKind16);
        QVERIFY(inspector.windowTitle().startsWith(QStringLiteral("camera.ics — 64 × 8 × 4")));
        // The window spans the counts the camera gave, not the 16 bits of the type.
        QVERIFY2(
            inspector.WindowMin() < 100 && inspector.WindowMax() > 3900,
            qPrintable(
                QStringLiteral("%1 … %2").arg(inspector.WindowMin()).arg(inspector.WindowMax())));
        QCOMPARE(ImageKind(inspector.View(SlicePlane::Top)->Image()->Image()), ImageKind16);

        // On screen the gradient runs from black to white.
        TImageControl* image = inspector.View(SlicePlane::Top)->Image();
        const QImage shot = image->grab().toImage();
        const TZoomMapping& m = image->Mapping();
        const int y = int(m.ToPixelY(4));
        const QRgb left = shot.pixel(int(m.ToPixelX(0.5)), y);
        const QRgb right = shot.pixel(int(m.ToPixelX(sx - 0.5)), y);
        QVERIFY2(qGreen(left) < 10 && qGreen(right) > 245,
                 qPrintable(QStringLiteral("%1 %2").arg(qGreen(left)).arg(qGreen(right))));

        // The status bar gives the sample beside the 8-bit value.
        QTest::mouseMove(inspector.View(SlicePlane::Top)->Overlay(),
                         PixelOf(inspector.View(SlicePlane::Top), 63, 2));
        QVERIFY2(inspector.StatusText().endsWith(QStringLiteral("value 4095   8-bit voxel 255")),
                 qPrintable(inspector.StatusText()));

        // Full range and Auto; a failed load leaves all of it as it was.
        inspector.FullWindow();
        QCOMPARE(inspector.WindowMin(), 0.0);
        QCOMPARE(inspector.WindowMax(), 4095.0);
        inspector.OpenFile(dir.filePath(QStringLiteral("missing.ics")));
        QVERIFY(WaitIdle(inspector));
        QCOMPARE(inspector.Samples().Kind, ImageKind16);
        QCOMPARE(inspector.Volume().SizeX, sx);
        QCOMPARE(inspector.WindowMax(), 4095.0);
    }

    void contrastWindowFromPercentilesAfterLoad()
    {
        // 10 000 voxels: 0 once, 255 once, the rest 100 … 199: the 0.1 and 99.9
        // percentiles leave the two outliers out.
        ByteVolume volume;
        volume.Allocate(20, 20, 25);
        for (int i = 0; i < 10000; ++i)
            volume.Data[i] = uint8_t(100 + i % 100);
        volume.Data[17] = 0;
        volume.Data[500] = 255;
        TOrthoWindow inspector;
        inspector.ShowVolume(std::move(volume), QStringLiteral("outliers"));
        QVERIFY(WaitIdle(inspector));
        QCOMPARE(inspector.WindowMin(), 100.0);
        QCOMPARE(inspector.WindowMax(), 199.0);
        QVERIFY(inspector.windowTitle().startsWith(QStringLiteral("outliers — 20 × 20 × 25")));
        QCOMPARE(inspector.View(SlicePlane::Side)->Image()->Min(), 100.0f);
        QCOMPARE(inspector.View(SlicePlane::Front)->Image()->Max(), 199.0f);
        inspector.FullWindow();
        QCOMPARE(inspector.View(SlicePlane::Top)->Image()->Max(), 255.0f);

        // Typed bounds: a bound set beside its handle; a bound past the other moves both;
        // text that is no number puts the window's own back.
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        const auto type = [&](int bound, const QString& text) {
            QLineEdit* edit = inspector.WindowEdit(bound);
            edit->setFocus();
            edit->selectAll();
            QTest::keyClicks(edit, text);
            QTest::keyClick(edit, Qt::Key_Return);
        };
        type(0, "40");
        QCOMPARE(inspector.WindowMin(), 40.0);
        QCOMPARE(inspector.Contrast()->WindowMin(), 40.0);
        type(1, "30.4");
        QCOMPARE(inspector.WindowMin(), 30.0);
        QCOMPARE(inspector.WindowMax(), 30.0);
        type(1, "abc");
        QCOMPARE(inspector.WindowEdit(1)->text(), QStringLiteral("30"));

        // A middle-button drag: right widens the window, down raises its level, by the
        // strip's range (0 … 255 here) over 500 pixels; the panel does not pan.
        inspector.SetWindow(100, 200);
        TSliceView* top = inspector.View(SlicePlane::Top);
        const TZoom zoom = top->Panel()->Zoom();
        const QPoint at = top->Overlay()->rect().center();
        QTest::mousePress(top->Overlay(), Qt::MiddleButton, {}, at);
        QTest::mouseMove(top->Overlay(), at + QPoint(100, 0));
        QTest::mouseMove(top->Overlay(), at + QPoint(100, -50));
        QTest::mouseRelease(top->Overlay(), Qt::MiddleButton, {}, at + QPoint(100, -50));
        const double range = inspector.Contrast()->High() - inspector.Contrast()->Low();
        const double width = 100 + 100 * range / 500, level = 150 - 50 * range / 500;
        QCOMPARE(inspector.WindowMin(), std::round(level - width / 2));
        QCOMPARE(inspector.WindowMax(), std::round(level + width / 2));
        QVERIFY(top->Panel()->Zoom() == zoom);
    }

    void cancelledSpectrumKeepsThePreviousResult()
    {
        // Large enough that the volume's spectrum runs on the worker thread.
        ByteVolume volume = PatternVolume(256, 256, 256);
        QVERIFY(PredictedSpectrumSeconds(volume, SpectrumVolume) > 0.1);
        TOrthoWindow inspector;
        inspector.ShowVolume(std::move(volume), QStringLiteral("big"));
        QVERIFY(WaitIdle(inspector));
        const QString before = inspector.Spectrum()->ResultText();
        const std::vector<float> curve = inspector.Spectrum()->Curve();
        QVERIFY(before.startsWith(QStringLiteral("line y 127, z 127: ")));

        inspector.ComputeSpectrum(TOrthoWindow::SubjectVolume);
        QVERIFY(inspector.Busy());
        inspector.CancelTask();
        QVERIFY(!inspector.Busy());
        QTest::qWait(50); // nothing arrives late
        QCOMPARE(inspector.Spectrum()->ResultText(), before);
        QCOMPARE(inspector.Spectrum()->Curve(), curve);
        // Moves after the cancel follow the line again.
        inspector.StepSlice(SlicePlane::Top, 1);
        QVERIFY(
            inspector.Spectrum()->ResultText().startsWith(QStringLiteral("line y 127, z 128: ")));
    }

    void exportWritesTheWindowedSlice()
    {
        TOrthoWindow inspector;
        inspector.ShowVolume(PatternVolume(12, 9, 5), QStringLiteral("pattern"));
        QVERIFY(WaitIdle(inspector));
        QTemporaryDir dir;
        for (const bool green : {false, true}) {
            inspector.SetWindow(10, 60);
            inspector.SetGreen(green);
            const QString name = dir.filePath(QStringLiteral("side.png"));
            QString message;
            QVERIFY2(inspector.ExportView(SlicePlane::Side, name, message), qPrintable(message));
            const QImage picture(name);
            QCOMPARE(picture.size(), QSize(5, 9)); // z across, y down
            for (int v = 0; v < 9; ++v)
                for (int u = 0; u < 5; ++u) {
                    const int voxel = (5 + 3 * v + 7 * u) % 251;
                    const int expected = std::clamp((voxel - 10) * 255 / 50, 0, 255);
                    const QRgb pixel = picture.pixel(u, v);
                    QVERIFY(std::abs(qGreen(pixel) - expected) <= 3);
                    QCOMPARE(qRed(pixel), green ? 0 : qGreen(pixel));
                }
        }
        // At the voxels' proportions, with a scale bar and the crosshair if asked: the
        // front view of voxels three times as deep as wide is three rows a plane.
        inspector.SetGreen(false);
        inspector.SetSpacing(1, 1, 3, QStringLiteral("µm"));
        FigureOptions options;
        options.ScaleBar = true, options.ScaleBarLength = 4, options.Crosshair = true;
        QString message;
        const QImage figure = inspector.Figure(SlicePlane::Front, options, message);
        QCOMPARE(figure.size(), QSize(12, 15));
        int white = 0;
        for (int x = 0; x < figure.width(); ++x)
            white += figure.pixel(x, 15 - 3 - 2) == qRgb(255, 255, 255); // the bar's rows
        QCOMPARE(white, 4);
        const int x = inspector.Position(SlicePlane::Side);
        QCOMPARE(figure.pixel(x, 0), qRgb(0xFF, 0x3C, 0x3C)); // the x line, in its colour
        // HiLo, chosen in the box: the views draw through its table, and values the
        // window clips are blue below and red above (the side view: z across, three
        // pixels a plane).
        inspector.SetWindow(10, 40);
        inspector.ColourBox()->setCurrentText(QStringLiteral("HiLo"));
        QCOMPARE(inspector.CurrentColourMap(), ColourMap::HiLo);
        QCOMPARE(inspector.View(SlicePlane::Top)->Image()->ColourTable().size(), size_t(256));
        const QImage hilo = inspector.Figure(SlicePlane::Side, FigureOptions(), message);
        for (int v = 0; v < 9; ++v)
            for (int u = 0; u < 5; ++u) {
                const int voxel = (5 + 3 * v + 7 * u) % 251;
                if (voxel <= 10) QCOMPARE(hilo.pixel(3 * u, v), qRgb(0, 0, 255));
                if (voxel >= 40) QCOMPARE(hilo.pixel(3 * u, v), qRgb(255, 0, 0));
            }
    }

    void fullRangeDrawsTheVolumesRowsAsTheyAre()
    {
        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.ShowVolume(PatternVolume(37, 21, 9), QStringLiteral("pattern"));
        QVERIFY(WaitIdle(inspector));
        inspector.FullWindow();
        for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
            TImageControl* image = inspector.View(plane)->Image();
            const int64_t conversions = image->ConversionCount();
            inspector.StepSlice(plane, 1);
            const QImage shot = image->grab().toImage();
            QCOMPARE(image->ConversionCount(), conversions); // no display copy was made
            SliceModel& model = inspector.Model();
            const TZoomMapping& m = image->Mapping();
            for (int v = 0; v < model.SliceHeight(plane); v += 4)
                for (int u = 0; u < model.SliceWidth(plane); u += 3) {
                    const auto [x, y, z] = model.VoxelAt(plane, u, v);
                    const QRgb pixel =
                        shot.pixel(int(m.ToPixelX(u + 0.5)), int(m.ToPixelY(v + 0.5)));
                    QCOMPARE(qGreen(pixel), int(inspector.Volume().Voxel(x, y, z)));
                }
        }
    }

    void valuesTasksWarningsAndRecentFilesShowInFull()
    {
        // Guards 32-bit exponents, fractions, figure tooltip, task text, warning, recent, steps.
        QTemporaryDir dir;
        std::vector<uint32_t> counts(12 * 4 * 3);
        std::iota(counts.begin(), counts.end(), 30437122u);
        const QString name = dir.filePath(QString(150, 'a') + ".ics");
        QVERIFY(WriteIcsVolume(name.toStdString(), 12, 4, 3, counts.data(), {4, 0}, nullptr));
        TOrthoWindow inspector;
        inspector.show();
        inspector.ProgressDelayMs = 0;
        inspector.OpenFile(name);
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest); // the load waits
        const QLabel* task = inspector.TaskLabel();
        QVERIFY(task->isVisible() && task->text().startsWith("Loading aaa") &&
                task->fontMetrics().horizontalAdvance(task->text()) <= task->width());
        QVERIFY(WaitIdle(inspector) && inspector.WarningLabel()->isVisible());
        TSliceView* top = inspector.View(SlicePlane::Top);
        QTest::mouseMove(top->Overlay(), PixelOf(top, 11, 3));
        QVERIFY(inspector.StatusText().contains("value 30437217   8-bit voxel "));
        inspector.SetWindow(30437122.4, 30437220.6);
        QCOMPARE(inspector.WindowText(), QStringLiteral("window 30437122 … 30437221"));
        QVERIFY(inspector.Spectrum()->ResultLabel()->toolTip().contains("8-bit voxels"));
        const QAction* recent = inspector.RecentMenu()->actions().value(0);
        QVERIFY(inspector.RecentMenu()->toolTipsVisible() && recent && recent->toolTip() == name);
        QCOMPARE(recent->text(), QFileInfo(name).fileName() + " — " + dir.path());
        const QImage before = top->Image()->grab().toImage();
        inspector.StepSlice(SlicePlane::Top, 1);
        QVERIFY(top->Image()->grab().toImage() != before);
    }

    void spacingSetsTheViewsProportions()
    {
        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.ShowVolume(PatternVolume(40, 24, 10), QStringLiteral("stack"));
        QVERIFY(WaitIdle(inspector));
        // The picture's proportions on screen: its width over its height in pixels.
        const auto ratio = [&](SlicePlane plane) {
            const TImageControl* image = inspector.View(plane)->Image();
            const TZoomMapping& m = image->Mapping();
            return float(m.XScale * image->Image()->XSize / (m.YScale * image->Image()->YSize));
        };
        QCOMPARE(ratio(SlicePlane::Front), 4.0f); // 40 × 10 voxels, square
        inspector.SetSpacing(0.5, 0.5, 2, QStringLiteral("µm"));
        QCOMPARE(ratio(SlicePlane::Top), 40.0f / 24.0f);
        QCOMPARE(ratio(SlicePlane::Front), 1.0f);         // 20 µm × 20 µm
        QCOMPARE(ratio(SlicePlane::Side), 20.0f / 12.0f); // z across
        TSliceView* top = inspector.View(SlicePlane::Top);
        QTest::mouseMove(top->Overlay(), PixelOf(top, 3, 4));
        QVERIFY2(inspector.StatusText().endsWith(QStringLiteral("   (1.5, 2, 8 µm)")),
                 qPrintable(inspector.StatusText()));
        inspector.SetSquareVoxels(true);
        QCOMPARE(ratio(SlicePlane::Front), 4.0f);
    }

    void viewsLineUpWhenZoomedAndPanned()
    {
        TOrthoWindow inspector;
        inspector.resize(900, 760);
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.ShowVolume(PatternVolume(64, 48, 16), QStringLiteral("stack"));
        QVERIFY(WaitIdle(inspector));
        inspector.SetSpacing(1, 1, 3, QStringLiteral("µm"));
        TSliceView* top = inspector.View(SlicePlane::Top);
        TSliceView* front = inspector.View(SlicePlane::Front);
        TSliceView* side = inspector.View(SlicePlane::Side);
        // Where a voxel's edge lies on the screen, in window pixels, across and down.
        const auto screenX = [&](TSliceView* view, double u) {
            return view->Image()
                ->mapTo(&inspector, QPointF(view->Image()->Mapping().ToPixelX(u), 0))
                .x();
        };
        const auto screenY = [&](TSliceView* view, double v) {
            return view->Image()
                ->mapTo(&inspector, QPointF(0, view->Image()->Mapping().ToPixelY(v)))
                .y();
        };
        const auto linedUp = [&] {
            for (double at : {0.0, 17.0, 64.0}) // x in the top and front views
                if (std::abs(screenX(top, at) - screenX(front, at)) > 0.01) return false;
            for (double at : {0.0, 9.0, 48.0}) // y in the top and side views
                if (std::abs(screenY(top, at) - screenY(side, at)) > 0.01) return false;
            // z: three times x's pixels in both views that show it.
            const double zFront = screenY(front, 1) - screenY(front, 0);
            const double zSide = screenX(side, 1) - screenX(side, 0);
            const double x = screenX(top, 1) - screenX(top, 0);
            return std::abs(zFront - 3 * x) < 1e-3 && std::abs(zSide - 3 * x) < 1e-3;
        };
        QVERIFY(linedUp());
        const double fitted = inspector.Zoom().Level();
        // The wheel over the front view zooms every view about the cursor, the other
        // views follow a pan of the side view, and the captions give the level.
        QWheelEvent wheel(QPointF(60, 30), front->Overlay()->mapToGlobal(QPointF(60, 30)), {},
                          {0, 120 * 4}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(front->Overlay(), &wheel);
        QVERIFY(inspector.Zoom().Level() > fitted * 1.2);
        QVERIFY(linedUp());
        const QPoint from = side->Overlay()->rect().center();
        QTest::mousePress(side->Overlay(), Qt::LeftButton, {}, from);
        QTest::mouseMove(side->Overlay(), from + QPoint(-25, 40));
        QTest::mouseRelease(side->Overlay(), Qt::LeftButton, {}, from + QPoint(-25, 40));
        QVERIFY(linedUp());
        QVERIFY(inspector.Views()
                    ->Client(TOrthoWindow::TopCell)
                    ->Caption()
                    .endsWith("   " + inspector.ZoomText()));
        // A zoomed picture fills its whole cell, not its fitted rectangle.
        QCOMPARE(top->Image()->geometry(), top->Panel()->rect());
        // 1:1 draws a voxel of the smallest spacing as one pixel; Fit comes back.
        QTest::keyClick(&inspector, Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(top->Image()->Mapping().XScale, 1.0f);
        QCOMPARE(front->Image()->Mapping().YScale, 3.0f);
        QCOMPARE(inspector.ZoomText(), QStringLiteral("100%"));
        QVERIFY(linedUp());
        QTest::keyClick(&inspector, Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(inspector.Zoom().Level(), fitted);
        QVERIFY(inspector.Zoom().Fitted() && linedUp());
        // The fitted zoom follows the window's size; every view shows all of its slice.
        inspector.resize(700, 900);
        QVERIFY(QTest::qWaitFor([&] { return inspector.Zoom().Level() != fitted; }));
        for (TSliceView* view : {top, front, side}) {
            const QRectF picture = view->Image()->Mapping().ToPixel(
                QRectF(0, 0, view->Image()->Image()->XSize, view->Image()->Image()->YSize));
            QVERIFY(
                QRectF(view->Panel()->rect()).adjusted(-0.01, -0.01, 0.01, 0.01).contains(picture));
        }
        QVERIFY(linedUp());
    }

    void measuringShapesThroughRealEvents()
    {
        // 16-bit samples v(x, y, z), spacing 0.5 × 0.5 × 2 µm.
        constexpr int SX = 60, SY = 40, SZ = 12;
        const auto value = [](int x, int y, int z) {
            return (x * 37 + y * 101 + z * 1009) % 4096 + 100;
        };
        std::vector<uint16_t> samples(size_t(SX) * SY * SZ);
        for (int z = 0; z < SZ; ++z)
            for (int y = 0; y < SY; ++y)
                for (int x = 0; x < SX; ++x)
                    samples[(size_t(z) * SY + y) * SX + x] = uint16_t(value(x, y, z));
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("cells.ics"));
        IcsWriteOptions options;
        options.BytesPerSample = 2;
        QVERIFY(WriteIcsVolume(name.toStdString(), SX, SY, SZ, samples.data(), options, nullptr));
        auto inspector = std::make_unique<TOrthoWindow>();
        inspector->resize(1000, 800);
        inspector->show();
        QVERIFY(QTest::qWaitForWindowExposed(inspector.get()));
        inspector->OpenFile(name);
        QVERIFY(WaitIdle(*inspector));
        inspector->SetSpacing(0.5, 0.5, 2, QStringLiteral("µm"));
        inspector->SetPosition(SlicePlane::Top, 5);
        TMeasuring* measuring = inspector->Measuring();
        TSliceView* top = inspector->View(SlicePlane::Top);
        TGraphicsListControl* overlay = top->Overlay();
        const auto pixel = [&](TSliceView* view, double u, double v) {
            return view->PixelOf(u, v).toPoint();
        };
        const auto drag = [&](TSliceView* view, QPoint from, QPoint to) {
            QTest::mousePress(view->Overlay(), Qt::LeftButton, {}, from);
            QTest::mouseMove(view->Overlay(), (from + to) / 2);
            QTest::mouseMove(view->Overlay(), to);
            QTest::mouseRelease(view->Overlay(), Qt::LeftButton, {}, to);
        };

        // L draws a line: its length in µm, a profile of ceil(L) + 1 samples along it that
        // are the voxels of its row.
        QTest::keyClick(inspector.get(), Qt::Key_L);
        QCOMPARE(measuring->CurrentTool(), TMeasuring::DrawLine);
        const QPoint a = pixel(top, 10, 20), b = pixel(top, 30, 20);
        const QPointF from = top->SliceCoordinates(a), to = top->SliceCoordinates(b);
        drag(top, a, b);
        QCOMPARE(measuring->Shapes().size(), size_t(1));
        MeasureShape line = measuring->Shapes()[0];
        QCOMPARE(line.View, SlicePlane::Top);
        QCOMPARE(line.Slice, 5);
        QVERIFY(std::abs(line.X0 - from.x()) < 1e-9 && std::abs(line.Y1 - to.y()) < 1e-9);
        const double voxels = std::hypot(line.X1 - line.X0, line.Y1 - line.Y0);
        QVERIFY(std::abs(voxels - 20) < 0.2);
        QCOMPARE(top->Shapes().at(0).Label, QString::number(voxels * 0.5, 'g', 4) + " µm");
        const TProfilePlot* profile = measuring->Profile();
        QCOMPARE(profile->Distance().size(), size_t(std::ceil(voxels)) + 1);
        QCOMPARE(profile->Distance().back(), voxels * 0.5);
        // Moved onto whole voxels (keys of a drag land on pixels): each sample then is one.
        MeasureShape exact = line;
        exact.X0 = 10, exact.Y0 = exact.Y1 = 20, exact.X1 = 30;
        std::vector<double> distance, values;
        QVERIFY(measuring->LineSamples(exact, 0, distance, values));
        QCOMPARE(values.size(), size_t(21));
        for (int i = 0; i <= 20; ++i)
            QCOMPARE(values[size_t(i)], double(value(10 + i, 20, 5)));

        // Its end grip drags it (the profile follows), Ctrl+Z puts it back, redo again.
        QApplication::processEvents(); // the docks shown with the first shape take their room
        const QPoint end(overlay->Grips[2].ScreenX, overlay->Grips[2].ScreenY);
        drag(top, end, end + QPoint(0, 40));
        QVERIFY(measuring->Shapes()[0].Y1 > line.Y1 + 2);
        QVERIFY(profile->Distance().back() > voxels * 0.5);
        QTest::keyClick(inspector.get(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(measuring->Shapes()[0], line);
        QTest::keyClick(inspector.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(measuring->Shapes()[0].Y1 > line.Y1 + 2);

        // R draws a rectangle: its statistics are those of the voxels whose centres lie in
        // it, summed here independently; through the stack on request.
        QTest::keyClick(inspector.get(), Qt::Key_R);
        drag(top, pixel(top, 3.3, 4.6), pixel(top, 12.2, 9.4));
        QCOMPARE(measuring->Shapes().size(), size_t(2));
        const MeasureShape rect = measuring->Shapes()[1];
        const auto expect = [&](int z0, int z1) {
            double sum = 0, squares = 0, low = 1e9, high = -1e9;
            int64_t n = 0;
            for (int z = z0; z <= z1; ++z)
                for (int y = int(std::ceil(std::min(rect.Y0, rect.Y1)));
                     y <= std::floor(std::max(rect.Y0, rect.Y1)); ++y)
                    for (int x = int(std::ceil(std::min(rect.X0, rect.X1)));
                         x <= std::floor(std::max(rect.X0, rect.X1)); ++x) {
                        const double v = value(x, y, z);
                        sum += v, squares += v * v, ++n, low = std::min(low, v),
                                                         high = std::max(high, v);
                    }
            MeasureRow row;
            row.Count = n, row.Sum = sum, row.Mean = sum / n, row.Min = low, row.Max = high;
            row.Sd = std::sqrt((squares - sum * sum / n) / (n - 1));
            return row;
        };
        measuring->SetStackStatistics(true);
        const std::vector<MeasureRow>& rows = measuring->Table()->Rows();
        QCOMPARE(rows.size(), size_t(3)); // line, rectangle, rectangle through the stack
        for (const auto& [row, z0, z1] :
             {std::tuple{rows[1], 5, 5}, std::tuple{rows[2], 0, SZ - 1}}) {
            const MeasureRow want = expect(z0, z1);
            QCOMPARE(row.Count, want.Count);
            QCOMPARE(row.Sum, want.Sum);
            QCOMPARE(row.Min, want.Min);
            QCOMPARE(row.Max, want.Max);
            QVERIFY(std::abs(row.Mean - want.Mean) < 1e-9 && std::abs(row.Sd - want.Sd) < 1e-6);
        }
        QVERIFY(rows[2].Stack && !rows[1].Stack);
        // A line's row: the statistics of its profile's samples.
        QCOMPARE(rows[0].Count, int64_t(profile->Samples().at(0).size()));
        const std::vector<double>& along = profile->Samples()[0];
        QCOMPARE(rows[0].Max, *std::max_element(along.begin(), along.end()));
        QVERIFY(std::abs(rows[1].Area -
                         std::abs((rect.X1 - rect.X0) * (rect.Y1 - rect.Y0)) * 0.25) < 1e-9);
        QVERIFY(measuring->Table()->Csv().startsWith(
            "shape,view,channel,frame,slice,x0,y0,x1,y1,length,area,count,mean,sd,min,max,sum"));

        // P places a point on the front view: its sample.
        TSliceView* front = inspector->View(SlicePlane::Front);
        QTest::keyClick(inspector.get(), Qt::Key_P);
        const QPoint on = pixel(front, 7, 3);
        QTest::mouseClick(front->Overlay(), Qt::LeftButton, {}, on);
        QCOMPARE(measuring->Shapes().size(), size_t(3));
        const MeasureShape point = measuring->Shapes()[2];
        QCOMPARE(point.View, SlicePlane::Front);
        const int y = inspector->Position(SlicePlane::Front);
        QCOMPARE(front->Shapes().at(0).Label,
                 QString::number(value(int(std::lround(point.X0)), y, int(std::lround(point.Y0)))));

        // Delete deletes the shape selected, undo brings it back.
        QTest::keyClick(inspector.get(), Qt::Key_Delete);
        QCOMPARE(measuring->Shapes().size(), size_t(2));
        QTest::keyClick(inspector.get(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(measuring->Shapes().size(), size_t(3));

        // Shapes stay on their slice and at their voxels whatever the zoom.
        QTest::keyClick(inspector.get(), Qt::Key_Escape);
        QCOMPARE(measuring->CurrentTool(), TMeasuring::Navigate);
        QCOMPARE(measuring->Selected(), -1);
        // A click on a shape selects it and puts the overlay's grips on it.
        const MeasureShape first = measuring->Shapes()[0];
        QTest::mouseClick(overlay, Qt::LeftButton, {},
                          pixel(top, (first.X0 + first.X1) / 2, (first.Y0 + first.Y1) / 2));
        QCOMPARE(measuring->Selected(), 0);
        QCOMPARE(overlay->EditType(), 3);
        inspector->SetPosition(SlicePlane::Top, 6);
        QVERIFY(top->Shapes().empty());
        inspector->SetPosition(SlicePlane::Top, 5);
        QCOMPARE(top->Shapes().size(), size_t(2));
        const float listX = overlay->List->Items[3].Coords[0];
        inspector->SetZoomLevel(7);
        QCOMPARE(overlay->List->Items[3].Coords[0], listX);
        QCOMPARE(top->PixelOf(rect.X0, rect.Y0).x(), overlay->Mapping().ToPixelX(rect.X0 + 0.5));

        // They are written beside the file and read again with it.
        const std::vector<MeasureShape> shapes = measuring->Shapes();
        QVERIFY(QFileInfo::exists(name + ".shapes.json"));
        inspector = std::make_unique<TOrthoWindow>();
        inspector->OpenFile(name);
        QVERIFY(WaitIdle(*inspector));
        QCOMPARE(inspector->Measuring()->Shapes(), shapes);
    }

    void slabShowsTheMaximumOrMeanAroundThePosition()
    {
        // Voxel (x, y, z) holds 10·z + x % 3: a slab's maximum is its last slice's value,
        // its mean its middle slice's.
        ByteVolume volume;
        volume.Allocate(12, 9, 20);
        for (int z = 0; z < 20; ++z)
            for (int y = 0; y < 9; ++y)
                for (int x = 0; x < 12; ++x)
                    volume.Data[(int64_t(z) * 9 + y) * 12 + x] = uint8_t(10 * z + x % 3);
        TOrthoWindow inspector;
        inspector.ShowVolume(std::move(volume), QStringLiteral("slab"));
        QVERIFY(WaitIdle(inspector));
        inspector.SetPosition(SlicePlane::Top, 6);
        const auto shown = [&](SlicePlane plane, int u, int v) {
            const ImageStruct* image = inspector.View(plane)->Image()->Image();
            const uint8_t* row = image->Data + int64_t(v) * image->LineStep;
            return ImageKind(image) == ImageKindFloat
                       ? double(reinterpret_cast<const float*>(row)[u])
                       : double(row[u]);
        };
        QMenu* menu = inspector.ViewMenu(SlicePlane::Top);
        menu->findChild<QSpinBox*>(QStringLiteral("slabCount"))->setValue(4); // z 5 … 8
        menu->actions().at(1)->trigger();                                     // maximum
        QCOMPARE(inspector.Slab(SlicePlane::Top), SlabMode::Maximum);
        QCOMPARE(shown(SlicePlane::Top, 4, 2), 81.0);
        QVERIFY(inspector.Views()->Client(TOrthoWindow::TopCell)->Caption().contains("max of 4"));
        // The slab follows the position, cut at the volume's end.
        inspector.StepSlice(SlicePlane::Top, 13);
        QCOMPARE(shown(SlicePlane::Top, 5, 0), 192.0);
        inspector.SetSlab(SlicePlane::Side, SlabMode::Mean, 3); // x 0 … 2 around x 1
        inspector.SetPosition(SlicePlane::Side, 1);
        QCOMPARE(shown(SlicePlane::Side, 7, 3), 71.0); // z 7: 70 + mean of 0, 1, 2
        inspector.SetPosition(SlicePlane::Side, 2);    // x 1 … 3: 70 + mean of 1, 2, 0
        QCOMPARE(shown(SlicePlane::Side, 7, 3), 71.0);
        inspector.SetSlab(SlicePlane::Side, SlabMode::Single, 3);
        QCOMPARE(shown(SlicePlane::Side, 7, 3), 72.0); // x 2 alone
        QCOMPARE(inspector.Views()->Client(TOrthoWindow::SideCell)->Caption(),
                 "ZY  x 2 / 11   " + inspector.ZoomText());
        delete menu;
    }

    void droppedFileLoadsAndIsRemembered()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("dropped.raw"));
        QVERIFY(PatternVolume(9, 7, 5).SaveRaw(name.toStdString()) == 0);
        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(name)});
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(&inspector, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(&inspector, &drop);
        QVERIFY(WaitIdle(inspector));
        QCOMPARE(inspector.Volume().SizeX, 9);
        QCOMPARE(inspector.FileName(), name);
        QCOMPARE(inspector.RecentFiles().value(0), QFileInfo(name).absoluteFilePath());
        // A drop of something that is no file is refused.
        QMimeData text;
        text.setText(QStringLiteral("not a file"));
        QDragEnterEvent refused(QPoint(50, 50), Qt::CopyAction, &text, Qt::LeftButton, {});
        QApplication::sendEvent(&inspector, &refused);
        QVERIFY(!refused.isAccepted());
    }

    void captionDoubleClickShowsTheCellAlone()
    {
        TOrthoWindow inspector;
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        inspector.ShowVolume(PatternVolume(30, 20, 10), QStringLiteral("pattern"));
        QVERIFY(WaitIdle(inspector));
        QToolButton* caption = inspector.Views()->Client(21)->Button();
        QTest::mouseDClick(caption, Qt::LeftButton);
        QVERIFY(inspector.Views()->Zoomed());
        QCOMPARE(inspector.Views()->ActiveClient(), 21);
        QVERIFY(inspector.View(SlicePlane::Front)->Panel()->isVisible());
        QVERIFY(!inspector.View(SlicePlane::Top)->Panel()->isVisible());
        QTest::mouseDClick(caption, Qt::LeftButton);
        QVERIFY(!inspector.Views()->Zoomed());
        QVERIFY(inspector.View(SlicePlane::Top)->Panel()->isVisible());
    }
};

QTEST_MAIN(TestOrthoWindow)
#include "tst_orthowindow.moc"
