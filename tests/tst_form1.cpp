// The main window: controls, set-up of the slice views, sliders, markers, pixels on
// screen, load failures, drops and the cut-out page.

#include "Application.h"
#include "Form1.h"
#include "Framework.h"
#include "OrthoWindow.h"
#include "Spectrum.h"
#include "VectorControl.h"

#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace {

uint8_t Pattern(int x, int y, int z)
{
    return uint8_t(x * 7 + y * 13 + z * 29 + 3);
}

/** Writes a raw volume file whose voxels are `value(x, y, z)`. */
QString WriteVolume(const QTemporaryDir& dir, const QString& name, int sx, int sy, int sz,
                    const std::function<uint8_t(int, int, int)>& value = Pattern)
{
    ByteVolume volume;
    volume.Allocate(sx, sy, sz);
    for (int z = 0; z < sz; ++z)
        for (int y = 0; y < sy; ++y)
            for (int x = 0; x < sx; ++x)
                volume.Voxel(x, y, z) = value(x, y, z);
    const QString path = dir.filePath(name);
    if (volume.SaveRaw(QFile::encodeName(path).toStdString()) != 0)
        qFatal("cannot write test file");
    return path;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/** The green channel of every pixel of `widget` as it appears on screen. */
QImage Screen(QWidget* widget)
{
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

/** Checks that the widget shows (0, v, 0) with v = expected(column, row) everywhere. */
void CheckPixels(QWidget* widget, int width, int height,
                 const std::function<uint8_t(int, int)>& expected)
{
    const QImage image = Screen(widget);
    QCOMPARE(image.size(), QSize(width, height));
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const QRgb pixel = image.pixel(c, r);
            if (pixel != qRgb(0, expected(c, r), 0))
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3, expected green %4")
                                     .arg(c)
                                     .arg(r)
                                     .arg(pixel, 8, 16)
                                     .arg(expected(c, r))));
        }
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowAndControls_data();
    void windowAndControls();
    void stackingAndFocusOrder();
    void anchoredControlsFollowTheWindow();
    void beforeSetupSlidersDrawNothing();

    void setupAfterLoad();
    void slidersRedrawTheirViewAndMarkers();
    void sameSizedVolumeRedrawsAllViews();
    void failedLoadKeepsVolumeAndTellsWhy();
    void oneSliceVolume();
    void emptyAxisVolumeDrawsNothing();
    void viewsShowEveryVoxel_data();
    void viewsShowEveryVoxel();
    void viewsFollowAVolumeReplacedFromOutside();
    void droppedFileLoads();
    void failedLoadLeavesTheWindowAsItWas();
    void enterLoadsAndTheTitleNamesTheVolume();
    void keysNeverReachHiddenControls();
    void failedCommandLineLoadShowsInTheWindow();
    void commandLineLoadNamesItsFile();

    void spectrumFollowsSlidersAndButtons();
    void narrowVolumesHaveNoFigure();
    void histogramCountsTheTopSlice();
    void curveShowsOverThePanel();
    void syntheticImageAndThreshold();
    void ctrlIOpensTheOrthoWindowOnTheVolume();
    void longSpectrumShowsProgress();
    void escCancelsALongSpectrum();
    void histogramOfASliceTooWideForABitmap();

    void previewShowsColumnMaxima();
    void squareFollowsPressesAndSize();
    void saveCutsTheBlockUnderTheSquare();
    void saveFailureIsReported();
    void hugeCutShowsOutOfMemory();
    void freeMemReleasesCutVolume();

private:
    std::unique_ptr<TForm1> form;
    std::unique_ptr<QTemporaryDir> dir;
    QStringList exceptions;
};

void TestForm1::init()
{
    exceptions.clear();
    TApplication::SetExceptionDisplay([this](const QString& text) { exceptions << text; });
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    form = std::make_unique<TForm1>();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
}

void TestForm1::cleanup()
{
    form.reset();
    dir.reset();
    TApplication::SetExceptionDisplay({});
}

void TestForm1::windowAndControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("bounds");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("anchors");

    const uint lt = akLeft | akTop, rb = akRight | akBottom, tr = akTop | akRight;
    QTest::newRow("PageControl1") << "PageControl1" << QRect(16, 24, 761, 505) << false << ""
                                  << uint(akAll);
    QTest::newRow("LoadFilename") << "LoadFilename" << QRect(16, 8, 185, 21) << false
                                  << "LoadFilename" << lt;
    QTest::newRow("LoadBtn") << "LoadBtn" << QRect(208, 8, 75, 25) << false << "Load" << lt;
    QTest::newRow("SaveFilename") << "SaveFilename" << QRect(16, 40, 185, 21) << false
                                  << "SaveFilename" << lt;
    QTest::newRow("SaveBtn") << "SaveBtn" << QRect(208, 40, 75, 25) << false << "Save" << lt;
    QTest::newRow("FreeMemBut") << "FreeMemBut" << QRect(288, 8, 75, 25) << false << "FreeMem"
                                << lt;
    QTest::newRow("VyrezVelikost")
        << "VyrezVelikost" << QRect(400, 8, 81, 22) << false << "256" << lt;
    QTest::newRow("Vyrez") << "Vyrez" << QRect(0, 0, 256, 256) << false << "" << lt;
    QTest::newRow("Panel1") << "Panel1" << QRect(0, 0, 793, 573) << false << "" << uint(akAll);
    QTest::newRow("ShapeDepth") << "ShapeDepth" << QRect(216, 16, 97, 49) << false << "" << lt;
    QTest::newRow("ShapeDepth2") << "ShapeDepth2" << QRect(32, 192, 49, 97) << false << "" << lt;
    QTest::newRow("ShapeFront") << "ShapeFront" << QRect(216, 200, 121, 65) << false << "" << lt;
    QTest::newRow("ShapeSide") << "ShapeSide" << QRect(224, 192, 65, 121) << false << "" << lt;
    QTest::newRow("SideView") << "SideView" << QRect(32, 200, 81, 81) << false << "" << lt;
    QTest::newRow("Label1") << "Label1" << QRect(536, 244, 6, 13) << true << "0" << rb;
    QTest::newRow("FFT1") << "FFT1" << QRect(8, 318, 779, 247) << false << ""
                          << uint(akLeft | akRight | akBottom);
    QTest::newRow("Histogram") << "Histogram" << QRect(520, -12, 257, 201) << true << "" << rb;
    QTest::newRow("FrontDepth") << "FrontDepth" << QRect(168, 192, 45, 153) << false << "" << lt;
    QTest::newRow("SideDepth") << "SideDepth" << QRect(216, 144, 150, 45) << false << "" << lt;
    QTest::newRow("Depth") << "Depth" << QRect(24, 144, 97, 45) << false << "" << lt;
    QTest::newRow("LoadFilename2")
        << "LoadFilename2" << QRect(522, 16, 167, 21) << false << "plane8.ics" << tr;
    QTest::newRow("LoadBtn2") << "LoadBtn2" << QRect(702, 16, 75, 25) << false << "Load" << tr;
    QTest::newRow("Button1") << "Button1" << QRect(702, 48, 75, 25) << true << "SynteticImg" << tr;
    QTest::newRow("Button2") << "Button2" << QRect(520, 236, 121, 25) << true << "Threshold down"
                             << rb;
    QTest::newRow("TrackBar1") << "TrackBar1" << QRect(512, 188, 273, 45) << true << "" << rb;
    QTest::newRow("CheckBox1") << "CheckBox1" << QRect(672, 460, 121, 17) << true
                               << "FullPlaneSpectrum" << rb;
    QTest::newRow("Button3") << "Button3" << QRect(656, 252, 129, 25) << false
                             << "Full volume spect." << rb;
    QTest::newRow("Button4") << "Button4" << QRect(656, 221, 129, 25) << false
                             << "Full plane spect." << rb;
    QTest::newRow("Edit1") << "Edit1" << QRect(656, 288, 129, 21) << false << "" << rb;
}

void TestForm1::windowAndControls()
{
    QFETCH(QString, name);
    QFETCH(QRect, bounds);
    QFETCH(bool, hidden);
    QFETCH(QString, text);
    QFETCH(uint, anchors);

    QCOMPARE(form->windowTitle(), QStringLiteral("volinspect"));
    QCOMPARE(form->size(), QSize(792, 573));
    QCOMPARE(form->minimumSize(), QSize(792, 573));

    const QHash<QString, QWidget*> controls = {
        {"PageControl1", form->PageControl1},
        {"ScrollBox1", form->ScrollBox1},
        {"LoadFilename", form->LoadFilename},
        {"LoadBtn", form->LoadBtn},
        {"SaveFilename", form->SaveFilename},
        {"SaveBtn", form->SaveBtn},
        {"FreeMemBut", form->FreeMemBut},
        {"VyrezVelikost", form->VyrezVelikost},
        {"Vyrez", form->Vyrez},
        {"Panel1", form->Panel1},
        {"ShapeDepth", form->ShapeDepth},
        {"ShapeDepth2", form->ShapeDepth2},
        {"ShapeFront", form->ShapeFront},
        {"ShapeSide", form->ShapeSide},
        {"SideView", form->SideView},
        {"Label1", form->Label1},
        {"FFT1", form->FFT1},
        {"Histogram", form->Histogram},
        {"FrontDepth", form->FrontDepth},
        {"SideDepth", form->SideDepth},
        {"Depth", form->Depth},
        {"LoadFilename2", form->LoadFilename2},
        {"LoadBtn2", form->LoadBtn2},
        {"Button1", form->Button1},
        {"Button2", form->Button2},
        {"TrackBar1", form->TrackBar1},
        {"CheckBox1", form->CheckBox1},
        {"Button3", form->Button3},
        {"Button4", form->Button4},
        {"Edit1", form->Edit1},
    };
    QWidget* control = controls.value(name);
    QVERIFY(control);
    QCOMPARE(control->geometry(), bounds);
    QCOMPARE(control->isHidden(), hidden);
    QCOMPARE(Anchors(control), TAnchors(anchors));
    QString shown;
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        shown = edit->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(control))
        shown = button->text();
    else if (auto* label = qobject_cast<QLabel*>(control))
        shown = label->text();
    else if (auto* spin = qobject_cast<QSpinBox*>(control))
        shown = spin->text();
    QCOMPARE(shown, text);
}

void TestForm1::stackingAndFocusOrder()
{
    // The scroll box keeps its designed margins inside whatever client area the page
    // gets: 8 to the left and right, 72 above, 4 below.
    const QRect box = form->ScrollBox1->geometry();
    QCOMPARE(box.topLeft(), QPoint(8, 72));
    QCOMPARE(form->TabSelect->width() - box.right() - 1, 8);
    QCOMPARE(form->TabSelect->height() - box.bottom() - 1, 4);
    QCOMPARE(Anchors(form->ScrollBox1), TAnchors(akAll));

    // The panel covers the page control: it is the later, upper sibling.
    const QObjectList children = form->children();
    QVERIFY(children.indexOf(form->Panel1) > children.indexOf(form->PageControl1));
    QVERIFY(form->Panel1->isAncestorOf(form->childAt(400, 300)) ||
            form->childAt(400, 300) == form->Panel1);
    QCOMPARE(form->PageControl1->currentWidget(), form->TabSelect);
    QCOMPARE(form->PageControl1->tabText(1), QStringLiteral("TabCmp"));
    QVERIFY(form->TabCmp->children().isEmpty());

    // The markers lie beneath the images.
    const QObjectList panel = form->Panel1->children();
    QVERIFY(panel.indexOf(form->ShapeSide) < panel.indexOf(form->TopView));
    QVERIFY(panel.indexOf(form->ShapeDepth) < panel.indexOf(form->FrontView));

    // Keyboard focus: the controls of the panel in table order, starting at the file
    // name. The covered page takes no focus at all.
    QCOMPARE(QApplication::focusWidget(), form->LoadFilename2);
    const QList<QWidget*> expected = {
        form->FrontDepth, form->SideDepth, form->Depth,   form->LoadFilename2,
        form->LoadBtn2,   form->Button3,   form->Button4,
    };
    QList<QWidget*> order;
    QWidget* w = form.get();
    do {
        w = w->nextInFocusChain();
        if (w->focusPolicy() & Qt::TabFocus && w->isVisibleTo(form.get()) && w->isEnabled() &&
            !order.contains(w))
            order << w;
        if (form->PageControl1->isAncestorOf(w) || w == form->PageControl1)
            QCOMPARE(w->focusPolicy(), Qt::NoFocus);
    } while (w != form.get());
    for (QWidget* covered : form->PageControl1->findChildren<QWidget*>())
        QCOMPARE(covered->focusPolicy(), Qt::NoFocus);
    QCOMPARE(order, expected);
    QVERIFY(!form->Edit1->isEnabled());
    QVERIFY(!form->CheckBox1->isChecked());
    QVERIFY(form->FrontDepth->invertedAppearance());
    QCOMPARE(form->FrontDepth->orientation(), Qt::Vertical);
    QCOMPARE(form->TrackBar1->maximum(), 255);
    QCOMPARE(form->TrackBar1->tickInterval(), 16);

    // The two plots as the window describes them.
    QCOMPARE(form->FFT1->AllocSize(), 1);
    QVERIFY(form->FFT1->Transparent());
    QCOMPARE(form->FFT1->VectorColor(), clLime);
    QCOMPARE(form->FFT1->Min(), 0.0f);
    QCOMPARE(form->FFT1->Max(), 0.2f);
    QVERIFY(!form->FFT1->AutoMin() && !form->FFT1->AutoMax());
    QCOMPARE(form->Histogram->AllocSize(), 256);
    QCOMPARE(form->Histogram->VectorColor(), clLime);
    QVERIFY(form->Histogram->AutoMin() && form->Histogram->AutoMax());
    QCOMPARE(form->Histogram->Max(), 255.0f);
    QVERIFY(panel.indexOf(form->FFT1) > panel.indexOf(form->Label1));
    QVERIFY(panel.indexOf(form->Histogram) < panel.indexOf(form->FrontDepth));
}

void TestForm1::anchoredControlsFollowTheWindow()
{
    form->resize(892, 673);
    QCOMPARE(form->Panel1->geometry(), QRect(0, 0, 893, 673));
    QCOMPARE(form->PageControl1->geometry(), QRect(16, 24, 861, 605));
    QCOMPARE(form->LoadBtn2->geometry(), QRect(802, 16, 75, 25));
    QCOMPARE(form->Edit1->geometry(), QRect(756, 388, 129, 21));
    QCOMPARE(form->Depth->geometry(), QRect(24, 144, 97, 45));
}

void TestForm1::beforeSetupSlidersDrawNothing()
{
    QCOMPARE(form->MainVolume.SizeX, 100);
    QCOMPARE(form->MainVolume.SizeZ, 30);
    QCOMPARE(form->Depth->maximum(), 10);
    form->Depth->setValue(5);
    form->FrontDepth->setValue(7);
    form->SideDepth->setValue(3);
    QVERIFY(form->TopView->Picture().isNull());
    QVERIFY(form->FrontView->Picture().isNull());
    QVERIFY(form->SideView->Picture().isNull());
    QCOMPARE(form->ShapeDepth->height(), 5);
    QCOMPARE(form->ShapeFront->height(), 7);
    QCOMPARE(form->ShapeSide->width(), 3);
}

void TestForm1::setupAfterLoad()
{
    form->LoadFilename2->setText(WriteVolume(*dir, "a.raw", 64, 48, 30));
    QTest::mouseClick(form->LoadBtn2, Qt::LeftButton);
    QVERIFY(!form->LoadMessage() || !form->LoadMessage()->isVisible());

    QCOMPARE(form->TopView->geometry(), QRect(224, 200, 64, 48));
    QCOMPARE(form->FrontView->geometry(), QRect(224, 16, 64, 30));
    QCOMPARE(form->SideView->geometry(), QRect(32, 200, 30, 48));

    QCOMPARE(form->Depth->minimum(), 0);
    QCOMPARE(form->Depth->maximum(), 29);
    QCOMPARE(form->Depth->value(), 15);
    QCOMPARE(form->FrontDepth->maximum(), 47);
    QCOMPARE(form->FrontDepth->value(), 24);
    QCOMPARE(form->SideDepth->maximum(), 63);
    QCOMPARE(form->SideDepth->value(), 32);
    QCOMPARE(form->Depth->geometry(), QRect(24, 144, 50, 45));
    QCOMPARE(form->FrontDepth->geometry(), QRect(168, 192, 45, 68));
    QCOMPARE(form->SideDepth->geometry(), QRect(216, 144, 84, 45));

    QCOMPARE(form->ShapeDepth->geometry(), QRect(216, 16, 80, 15));
    QCOMPARE(form->ShapeDepth2->geometry(), QRect(32, 192, 15, 64));
    QCOMPARE(form->ShapeFront->geometry(), QRect(216, 200, 80, 24));
    QCOMPARE(form->ShapeSide->geometry(), QRect(224, 192, 32, 64));

    CheckPixels(form->TopView, 64, 48, [](int c, int r) { return Pattern(c, r, 15); });
    CheckPixels(form->FrontView, 64, 30, [](int c, int r) { return Pattern(c, 24, r); });
    CheckPixels(form->SideView, 30, 48, [](int c, int r) { return Pattern(32, r, c); });

    // The marker's outline shows in red beside the top view, where no image covers it.
    const QImage panel = Screen(form->Panel1);
    QCOMPARE(panel.pixel(217, 210), qRgb(255, 0, 0));
    QCOMPARE(panel.pixel(225, 230), qRgb(0, Pattern(1, 30, 15), 0));
}

void TestForm1::slidersRedrawTheirViewAndMarkers()
{
    form->LoadMainVolume(WriteVolume(*dir, "a.raw", 20, 12, 9));
    form->Depth->setValue(3);
    QCOMPARE(form->ShapeDepth->height(), 3);
    QCOMPARE(form->ShapeDepth2->width(), 3);
    CheckPixels(form->TopView, 20, 12, [](int c, int r) { return Pattern(c, r, 3); });

    form->FrontDepth->setValue(11);
    QCOMPARE(form->ShapeFront->height(), 11);
    CheckPixels(form->FrontView, 20, 9, [](int c, int r) { return Pattern(c, 11, r); });

    form->SideDepth->setValue(0);
    QCOMPARE(form->ShapeSide->width(), 0);
    CheckPixels(form->SideView, 9, 12, [](int c, int r) { return Pattern(0, r, c); });

    // Keyboard moves go through the same handler; the position is clamped to the range.
    form->SideDepth->setFocus();
    QTest::keyClick(form->SideDepth, Qt::Key_End);
    QCOMPARE(form->SideDepth->value(), 19);
    CheckPixels(form->SideView, 9, 12, [](int c, int r) { return Pattern(19, r, c); });
    form->Depth->setValue(100);
    QCOMPARE(form->Depth->value(), 8);
    CheckPixels(form->TopView, 20, 12, [](int c, int r) { return Pattern(c, r, 8); });
}

void TestForm1::sameSizedVolumeRedrawsAllViews()
{
    form->LoadMainVolume(WriteVolume(*dir, "a.raw", 16, 10, 6));
    const auto other = [](int x, int y, int z) { return uint8_t(255 - Pattern(x, y, z)); };
    form->LoadMainVolume(WriteVolume(*dir, "b.raw", 16, 10, 6, other));
    CheckPixels(form->TopView, 16, 10, [&](int c, int r) { return other(c, r, 3); });
    CheckPixels(form->FrontView, 16, 6, [&](int c, int r) { return other(c, 5, r); });
    CheckPixels(form->SideView, 6, 10, [&](int c, int r) { return other(8, r, c); });
}

void TestForm1::failedLoadKeepsVolumeAndTellsWhy()
{
    form->LoadMainVolume(WriteVolume(*dir, "a.raw", 16, 10, 6));
    const QString missing = dir->filePath("missing.raw");
    form->LoadFilename2->setText(missing);
    QTest::mouseClick(form->LoadBtn2, Qt::LeftButton);

    QVERIFY(form->LoadMessage());
    QVERIFY(form->LoadMessage()->isVisible());
    QVERIFY(form->LoadMessage()->text().contains(missing));
    QVERIFY(form->LoadMessage()->text().contains(QStringLiteral("No such file")));
    QCOMPARE(form->MainVolume.SizeX, 16);
    CheckPixels(form->TopView, 16, 10, [](int c, int r) { return Pattern(c, r, 3); });

    // A file refused for its contents names the reason too.
    QFile bad(dir->filePath("bad.raw"));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write(QByteArray::fromHex("ffffffff0200000003000000"));
    bad.close();
    form->LoadMainVolume(bad.fileName());
    QVERIFY(form->LoadMessage()->text().contains(QStringLiteral("negative size")));
    QCOMPARE(form->MainVolume.SizeX, 16);
}

void TestForm1::oneSliceVolume()
{
    form->LoadMainVolume(WriteVolume(*dir, "a.raw", 12, 8, 1));
    QCOMPARE(form->Depth->maximum(), 0);
    QCOMPARE(form->Depth->value(), 0);
    QCOMPARE(form->ShapeDepth->height(), 0);
    QCOMPARE(form->ShapeDepth2->width(), 0);
    QCOMPARE(form->FrontView->size(), QSize(12, 1));
    QCOMPARE(form->SideView->size(), QSize(1, 8));
    CheckPixels(form->TopView, 12, 8, [](int c, int r) { return Pattern(c, r, 0); });
    CheckPixels(form->SideView, 1, 8, [](int, int r) { return Pattern(6, r, 0); });
}

void TestForm1::emptyAxisVolumeDrawsNothing()
{
    form->LoadMainVolume(WriteVolume(*dir, "a.raw", 16, 10, 6));
    form->LoadMainVolume(WriteVolume(*dir, "flat.raw", 7, 5, 0));
    QCOMPARE(form->MainVolume.SizeZ, 0);
    QCOMPARE(form->Depth->maximum(), 0);
    QCOMPARE(form->FrontView->size(), QSize(7, 0));
    QCOMPARE(form->SideView->size(), QSize(0, 5));
    CheckPixels(form->TopView, 7, 5, [](int, int) { return uint8_t(0); });
    form->Depth->setValue(1);
    form->FrontDepth->setValue(2);
    form->SideDepth->setValue(3);
    CheckPixels(form->TopView, 7, 5, [](int, int) { return uint8_t(0); });
}

namespace {

using VoxelValues = std::function<uint8_t(int, int, int)>;

/** Checks that the three views show voxels z, y and x of the `sx` × `sy` × `sz` volume. */
void CheckViews(const TForm1& form, const VoxelValues& value, int sx, int sy, int sz, int z, int y,
                int x)
{
    CheckPixels(form.TopView, sx, sy, [&](int c, int r) { return value(c, r, z); });
    CheckPixels(form.FrontView, sx, sz, [&](int c, int r) { return value(c, y, r); });
    CheckPixels(form.SideView, sz, sy, [&](int c, int r) { return value(x, r, c); });
}

uint8_t Inverse(int x, int y, int z)
{
    return uint8_t(255 - Pattern(x, y, z));
}

} // namespace

void TestForm1::viewsShowEveryVoxel_data()
{
    QTest::addColumn<QList<int>>("sizes"); // X, Y, Z of the first load, then of the second
    QTest::newRow("1x1x1, 7x5x3") << QList<int>{1, 1, 1, 7, 5, 3};
    QTest::newRow("7x5x3, 1x1x1") << QList<int>{7, 5, 3, 1, 1, 1};
    QTest::newRow("tall 4x4x40, 40x4x4") << QList<int>{4, 4, 40, 40, 4, 4};
    QTest::newRow("33x2x17, 1x9x1") << QList<int>{33, 2, 17, 1, 9, 1};
    QTest::newRow("65x3x2, 2x70x33") << QList<int>{65, 3, 2, 2, 70, 33};
}

void TestForm1::viewsShowEveryVoxel()
{
    // The second load replaces the buffer with one of another size and other voxels.
    QFETCH(QList<int>, sizes);
    const VoxelValues values[] = {Pattern, Inverse};
    for (int load = 0; load < 2; ++load) {
        const int sx = sizes[3 * load], sy = sizes[3 * load + 1], sz = sizes[3 * load + 2];
        QVERIFY(form->LoadMainVolume(
            WriteVolume(*dir, QStringLiteral("v%1.raw").arg(load), sx, sy, sz, values[load])));
        CheckViews(*form, values[load], sx, sy, sz, sz / 2, sy / 2, sx / 2);
        // Last, first and an inner position of every slider.
        for (int k : {3, 0, 1}) {
            const int z = k * (sz - 1) / 3, y = k * (sy - 1) / 3, x = k * (sx - 1) / 3;
            form->Depth->setValue(z);
            form->FrontDepth->setValue(y);
            form->SideDepth->setValue(x);
            CheckViews(*form, values[load], sx, sy, sz, z, y, x);
            if (QTest::currentTestFailed()) return;
        }
    }
}

void TestForm1::viewsFollowAVolumeReplacedFromOutside()
{
    // A buffer of the same size moved in shows in views redrawn at their positions.
    form->LoadMainVolume(WriteVolume(*dir, "a.raw", 7, 5, 3));
    ByteVolume moved;
    QCOMPARE(
        moved.Load(QFile::encodeName(WriteVolume(*dir, "b.raw", 7, 5, 3, Inverse)).toStdString()),
        0);
    form->MainVolume = std::move(moved);
    form->DrawTopView();
    form->DrawFrontView();
    form->DrawSideView();
    CheckViews(*form, Inverse, 7, 5, 3, 1, 2, 3);
    // With fewer slices than the slider still reaches, a position beyond them is black.
    form->MainVolume.Allocate(7, 5, 1);
    std::fill_n(form->MainVolume.Data, 35, uint8_t(9));
    form->Depth->setValue(2);
    CheckPixels(form->TopView, 7, 5, [](int, int) { return uint8_t(0); });
}

void TestForm1::droppedFileLoads()
{
    const QString path = WriteVolume(*dir, "dropped.raw", 9, 7, 5);
    const auto drop = [this](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(400, 300), Qt::CopyAction, &data, Qt::LeftButton, {});
        QCoreApplication::sendEvent(form.get(), &enter);
        QDropEvent dropEvent(QPointF(400, 300), Qt::CopyAction, &data, Qt::LeftButton, {});
        if (enter.isAccepted()) QCoreApplication::sendEvent(form.get(), &dropEvent);
        return enter.isAccepted();
    };

    QVERIFY(!drop({QUrl(QStringLiteral("https://example.org/volume.raw"))}));
    QCOMPARE(form->LoadFilename2->text(), QStringLiteral("plane8.ics"));
    QCOMPARE(form->MainVolume.SizeX, 100);

    QVERIFY(drop({QUrl(QStringLiteral("https://example.org/x.raw")), QUrl::fromLocalFile(path)}));
    QCOMPARE(form->LoadFilename2->text(), path);
    QCOMPARE(form->MainVolume.SizeX, 9);
    QCOMPARE(form->Depth->maximum(), 4);
    CheckPixels(form->TopView, 9, 7, [](int c, int r) { return Pattern(c, r, 2); });
}

namespace {

/** What the viewer shows, to tell whether anything changed. */
struct WindowState
{
    QString title, figure;
    int depth, front, side, plotLength;
    QImage top, frontView, sideView;
    std::vector<uint8_t> voxels;

    explicit WindowState(const TForm1& form)
        : title(form.windowTitle()), figure(form.Edit1->text()), depth(form.Depth->value()),
          front(form.FrontDepth->value()), side(form.SideDepth->value()),
          plotLength(form.FFT1->AllocSize()), top(Screen(form.TopView)),
          frontView(Screen(form.FrontView)), sideView(Screen(form.SideView)),
          voxels(form.MainVolume.Data, form.MainVolume.Data + form.MainVolume.VoxelCount())
    {
    }
    bool operator==(const WindowState&) const = default;
};

} // namespace

void TestForm1::failedLoadLeavesTheWindowAsItWas()
{
    form->LoadMainVolume(WriteVolume(*dir, "kept.raw", 16, 10, 6));
    form->Depth->setValue(1);
    form->FrontDepth->setValue(9);
    form->SideDepth->setValue(2);
    QTest::mouseClick(form->Button3, Qt::LeftButton);
    const WindowState before(*form);

    // A missing file, a folder, a picture and a hostile raw header: each is refused
    // with its reason, and nothing of the window moves.
    QFile picture(dir->filePath("photo.png"));
    QVERIFY(picture.open(QIODevice::WriteOnly));
    picture.write(QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(20, 'x'));
    picture.close();
    const struct
    {
        QString file, reason;
    } failures[] = {
        {dir->filePath("missing.raw"), "No such file"},
        {dir->path(), "folder"},
        {picture.fileName(), "a picture file, not a volume"},
        {WriteVolume(*dir, "neg.raw", 0, 0, 0), ""},
    };
    QFile hostile(failures[3].file);
    QVERIFY(hostile.open(QIODevice::WriteOnly));
    hostile.write(QByteArray::fromHex("ffffffff0200000003000000"));
    hostile.close();
    for (const auto& failure : failures) {
        QVERIFY(!form->LoadMainVolume(failure.file));
        QVERIFY(form->LoadMessage()->isVisible());
        QVERIFY2(form->LoadMessage()->text().contains(failure.reason),
                 qPrintable(form->LoadMessage()->text()));
        QVERIFY(WindowState(*form) == before);
    }
}

void TestForm1::enterLoadsAndTheTitleNamesTheVolume()
{
    QCOMPARE(form->windowTitle(), QStringLiteral("volinspect"));
    const QString path = WriteVolume(*dir, "entered.raw", 16, 10, 6);
    form->LoadFilename2->setText(path);
    QTest::keyClick(form->LoadFilename2, Qt::Key_Return);
    QCOMPARE(form->MainVolume.SizeX, 16);
    CheckPixels(form->TopView, 16, 10, [](int c, int r) { return Pattern(c, r, 3); });
    QCOMPARE(form->windowTitle(),
             QString::fromUtf8("volinspect \u2014 entered.raw \u2014 16 \u00d7 10 \u00d7 6"));

    form->LoadFilename2->setText(dir->filePath("none.raw"));
    QTest::keyClick(form->LoadFilename2, Qt::Key_Enter);
    QVERIFY(form->LoadMessage()->isVisible());
    QCOMPARE(form->windowTitle(),
             QString::fromUtf8("volinspect \u2014 entered.raw \u2014 16 \u00d7 10 \u00d7 6"));

    form->Button1Click();
    QCOMPARE(form->windowTitle(),
             QString::fromUtf8("volinspect \u2014 synthetic \u2014 80 \u00d7 80 \u00d7 1"));

    // Control characters in a name are shown as text.
    const QString odd = WriteVolume(*dir, QString::fromLatin1("odd\x1b[1m.raw"), 12, 2, 1);
    QVERIFY(form->LoadMainVolume(odd));
    QCOMPARE(form->windowTitle(),
             QString::fromUtf8("volinspect \u2014 odd\\x1b[1m.raw \u2014 12 \u00d7 2 \u00d7 1"));
}

void TestForm1::keysNeverReachHiddenControls()
{
    // In a folder of its own, where the covered Save button would write its file.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    form->LoadMainVolume(WriteVolume(*dir, "volume.raw", 16, 10, 6));
    form->CutVolume.Allocate(4, 4, 2);
    form->LoadFilename2->setText(QStringLiteral("no such volume.raw"));
    const QStringList files = QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden);
    const WindowState before(*form);

    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QCOMPARE(QApplication::focusWidget(), form->LoadFilename2);
    for (int i = 0; i < 120; ++i) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : form.get();
        QVERIFY2(!form->PageControl1->isAncestorOf(target),
                 qPrintable(target->metaObject()->className()));
        QTest::keyClick(target, i % 3 == 2 ? Qt::Key_Space : Qt::Key_Tab);
        if (i % 15 == 14 && QApplication::focusWidget())
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    }
    if (form->LoadMessage()) form->LoadMessage()->hide();
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden), files);
    QCOMPARE(form->CutVolume.SizeX, 4);
    QCOMPARE(form->MainVolume.SizeX, 16);
    const WindowState after(*form);
    QCOMPARE(after.voxels, before.voxels);
}

void TestForm1::failedCommandLineLoadShowsInTheWindow()
{
    const QString missing = dir->filePath("absent.raw");
    TForm1 window({"-load", QFile::encodeName(missing).toStdString()});
    QVERIFY(!window.ExitRequested());
    QVERIFY(window.LoadMessage());
    QVERIFY(!window.LoadMessage()->isVisible()); // it waits for the window
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(window.LoadMessage()->isVisible());
    QVERIFY(window.LoadMessage()->text().contains(missing));
    // Nothing was set up for the volume that did not load.
    QCOMPARE(window.windowTitle(), QStringLiteral("volinspect"));
    QCOMPARE(window.Depth->maximum(), 10);
}

void TestForm1::commandLineLoadNamesItsFile()
{
    // The field kept plane8.ics, the warning went unseen, the inspector of a changed
    // volume said "volume of the viewer".
    const QString file = WriteVolume(*dir, "short.raw", 12, 6, 4);
    QVERIFY(QFile::resize(file, 12 + 100));
    const std::string name = QFile::encodeName(file).toStdString();
    for (const auto& args : std::vector<std::vector<std::string>>{{name}, {"-load", name}}) {
        TForm1 window(args);
        QCOMPARE(window.LoadFilename2->text(), file);
        window.show();
        QTRY_VERIFY(window.LoadMessage() && window.LoadMessage()->isVisible());
        window.Button2Click();
        for (const char* title : {"short.raw", "synthetic"}) {
            TOrthoWindow* shown = window.OpenOrthoWindow();
            QTRY_VERIFY2(shown->windowTitle().startsWith(title), qPrintable(shown->windowTitle()));
            window.Button1Click();
        }
    }
}

namespace {

/** Rows alternate 0 and 255 where (y + z) is even and are flat elsewhere. */
uint8_t Stripes(int x, int y, int z)
{
    return (y + z) % 2 == 0 ? uint8_t(x % 2 ? 255 : 0) : uint8_t(40);
}

QString FigureText(float figure)
{
    return QString::asprintf("Hi freq peak: %2.3f", double(figure));
}

std::vector<float> PlotValues(const TVectorControl* plot)
{
    if (!plot->Vector) return {};
    return std::vector<float>(plot->Vector->Values, plot->Vector->Values + plot->Vector->Length);
}

} // namespace

void TestForm1::spectrumFollowsSlidersAndButtons()
{
    form->LoadMainVolume(WriteVolume(*dir, "stripes.raw", 12, 5, 4, Stripes));
    // Set-up computes the line at row 2 of slice 2: (2 + 2) is even, a striped row.
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: 204.000"));
    QCOMPARE(form->FFT1->AllocSize(), 6);
    QCOMPARE(PlotValues(form->FFT1),
             ComputeLagSpectrum(form->MainVolume, SpectrumLine, 2, 2).Curve);

    form->Depth->setValue(1); // row 2 of slice 1 is flat
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: 0.000"));
    form->FrontDepth->setValue(4); // row 4 of slice 1 is flat too
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: 0.000"));
    form->FrontDepth->setValue(3);
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: 204.000"));
    form->SideDepth->setValue(0); // the side slider leaves the spectrum alone
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: 204.000"));

    const ByteVolume& volume = form->MainVolume;
    QTest::mouseClick(form->Button4, Qt::LeftButton);
    const SpectrumResult plane = ComputeLagSpectrum(volume, SpectrumPlane, 1, 0);
    QCOMPARE(form->Edit1->text(), FigureText(plane.Figure));
    QCOMPARE(PlotValues(form->FFT1), plane.Curve);
    QTest::mouseClick(form->Button3, Qt::LeftButton);
    const SpectrumResult whole = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0);
    QCOMPARE(form->Edit1->text(), FigureText(whole.Figure));
    QCOMPARE(form->HighFrequencyFigure(), whole.Figure);

    // With the plane mode chosen, the row slider no longer recomputes.
    form->CheckBox1->setChecked(true);
    QCOMPARE(form->Edit1->text(), FigureText(plane.Figure));
    form->FrontDepth->setValue(0);
    QCOMPARE(form->Edit1->text(), FigureText(plane.Figure));
    form->Depth->setValue(2);
    QCOMPARE(form->Edit1->text(),
             FigureText(ComputeLagSpectrum(volume, SpectrumPlane, 2, 0).Figure));
}

void TestForm1::longSpectrumShowsProgress()
{
    // With progress, the line is taken in pieces on another thread: the curve is the
    // same to the last bit, and a wait cursor shows meanwhile.
    form->SpectrumProgressSeconds = 0;
    int progressShown = 0;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        if (form->SpectrumProgress() && form->SpectrumProgress()->isVisible()) ++progressShown;
        if (QApplication::overrideCursor()) cursor = QApplication::overrideCursor()->shape();
    });
    watch.start(5);
    QVERIFY(form->LoadMainVolume(WriteVolume(*dir, "long.raw", 20000, 3, 1, [](int x, int y, int) {
        return uint8_t((int64_t(x) * x + y) % 251);
    })));
    watch.stop();
    QVERIFY(progressShown > 0);
    QCOMPARE(cursor, Qt::WaitCursor);
    QVERIFY(!QApplication::overrideCursor());
    const SpectrumResult direct = ComputeLagSpectrum(form->MainVolume, SpectrumLine, 0, 1);
    QCOMPARE(PlotValues(form->FFT1), direct.Curve);
    QCOMPARE(form->Edit1->text(), FigureText(direct.Figure));
}

void TestForm1::escCancelsALongSpectrum()
{
    // A line of 400000 voxels costs minutes; Esc ends it at once, and the plot is
    // empty with no figure.
    form->LoadMainVolume(WriteVolume(*dir, "short.raw", 12, 2, 2));
    form->MainVolume.Allocate(400000, 1, 1);
    for (int x = 0; x < 400000; ++x)
        form->MainVolume.Voxel(x, 0, 0) = uint8_t(x % 7);
    bool pressed = false;
    QTimer::singleShot(300, [&] {
        QProgressDialog* progress = form->SpectrumProgress();
        if (!progress) return;
        pressed = true;
        QTest::keyClick(progress, Qt::Key_Escape);
    });
    QElapsedTimer clock;
    clock.start();
    form->Button3Click();
    QVERIFY(pressed);
    QVERIFY2(clock.elapsed() < 10000, QByteArray::number(clock.elapsed()));
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: nan"));
    QCOMPARE(form->FFT1->AllocSize(), 0);
    QVERIFY(!form->SpectrumProgress());
    QVERIFY(!QApplication::overrideCursor());
}

void TestForm1::histogramOfASliceTooWideForABitmap()
{
    // 4000 × 89500 voxels make a bitmap of over 1 GiB, which is not made; the
    // histogram is counted from the volume all the same.
    ByteVolume& volume = form->MainVolume;
    volume.Allocate(4000, 89500, 1);
    for (int x = 0; x < 1000; ++x)
        volume.Voxel(x, 0, 0) = 7;
    form->SetupViews();
    QVERIFY(form->TopView->Picture().isNull());
    const float* values = form->Histogram->Vector->Values;
    QCOMPARE(values[7], float(std::pow(1000.0, 0.35)));
    QCOMPARE(values[0], float(std::pow(4000.0 * 89500 - 1000, 0.35)));
    QCOMPARE(values[1], 0.0f);
}

void TestForm1::narrowVolumesHaveNoFigure()
{
    form->LoadMainVolume(WriteVolume(*dir, "nine.raw", 9, 3, 2));
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: nan"));
    QCOMPARE(form->FFT1->AllocSize(), 3);
    QVERIFY(std::isnan(form->HighFrequencyFigure()));
    form->LoadMainVolume(WriteVolume(*dir, "five.raw", 5, 3, 2));
    QCOMPARE(form->FFT1->AllocSize(), 0);
    QCOMPARE(form->Edit1->text(), QStringLiteral("Hi freq peak: nan"));
    form->LoadMainVolume(WriteVolume(*dir, "wide.raw", 40, 3, 2));
    QCOMPARE(form->FFT1->AllocSize(), 34); // the length follows the width again
}

void TestForm1::histogramCountsTheTopSlice()
{
    // Slice z holds the value 7 + z everywhere except one voxel of 200.
    const auto value = [](int x, int y, int z) {
        return x == 1 && y == 2 ? uint8_t(200) : uint8_t(7 + z);
    };
    form->LoadMainVolume(WriteVolume(*dir, "flat.raw", 16, 8, 5, value));
    const auto entries = [this] { return PlotValues(form->Histogram); };
    std::vector<float> expected(256, 0.0f);
    expected[9] = float(std::pow(127.0, 0.35));
    expected[200] = 1.0f;
    QCOMPARE(entries(), expected);

    form->FrontDepth->setValue(1);
    form->SideDepth->setValue(3);
    QCOMPARE(entries(), expected); // only the top slice counts

    form->Depth->setValue(4);
    expected[9] = 0.0f;
    expected[11] = float(std::pow(127.0, 0.35));
    QCOMPARE(entries(), expected);
    QCOMPARE(form->Histogram->AllocSize(), 256);
}

void TestForm1::curveShowsOverThePanel()
{
    // A line of 40 voxels whose curve runs through the plot's range 0 to 0.2.
    const auto value = [](int x, int, int) { return uint8_t((x * x) % 7); };
    form->LoadMainVolume(WriteVolume(*dir, "curve.raw", 40, 2, 2, value));
    const QImage panel = Screen(form->Panel1);
    const QRect plot = form->FFT1->geometry();
    int lime = 0, other = 0;
    for (int y = plot.top(); y <= plot.bottom(); ++y)
        for (int x = plot.left(); x < plot.left() + 300; ++x) {
            const QRgb pixel = panel.pixel(x, y);
            if (pixel == qRgb(0, 255, 0))
                ++lime;
            else if (pixel != qRgb(0, 0, 0))
                ++other;
        }
    QVERIFY(lime > 100); // the curve is drawn
    QCOMPARE(other, 0);  // and the black panel shows through everywhere else
}

void TestForm1::syntheticImageAndThreshold()
{
    QVERIFY(form->Button1->isHidden() && form->Button2->isHidden() && form->TrackBar1->isHidden());
    form->Button1Click();
    QCOMPARE(form->MainVolume.SizeX, 80);
    QCOMPARE(form->MainVolume.SizeZ, 1);
    QCOMPARE(form->Depth->maximum(), 0);
    QCOMPARE(form->FFT1->AllocSize(), 74); // lines of 80 voxels
    QCOMPARE(form->Edit1->text(),
             FigureText(ComputeLagSpectrum(form->MainVolume, SpectrumLine, 0, 40).Figure));
    CheckPixels(form->TopView, 80, 80,
                [this](int c, int r) { return form->MainVolume.Voxel(c, r, 0); });

    form->TrackBar1->setValue(128);
    QCOMPARE(form->Label1->text(), QStringLiteral("128"));
    form->Button2Click();
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x)
            QVERIFY(form->MainVolume.Voxel(x, y, 0) == 0 || x > 40);
    QCOMPARE(form->MainVolume.Voxel(79, 0, 0), uint8_t(255));
    CheckViews(
        *form, [this](int x, int y, int z) { return form->MainVolume.Voxel(x, y, z); }, 80, 80, 1,
        0, 40, 40);
}

void TestForm1::ctrlIOpensTheOrthoWindowOnTheVolume()
{
    QStandardPaths::setTestModeEnabled(true); // the inspector's recent files
    const auto inspector = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<TOrthoWindow*>(w)) return found;
        return static_cast<TOrthoWindow*>(nullptr);
    };
    const auto sameVoxels = [](const ByteVolume& a, const ByteVolume& b) {
        return a.SizeX == b.SizeX && a.SizeY == b.SizeY && a.SizeZ == b.SizeZ &&
               std::equal(a.Data, a.Data + a.VoxelCount(), b.Data);
    };
    const QTemporaryDir files;
    const QString file = WriteVolume(files, "a.raw", 14, 9, 5);
    QVERIFY(form->LoadMainVolume(file));
    QCOMPARE(form->MainFile(), QFileInfo(file).absoluteFilePath());
    QTest::keyClick(form.get(), Qt::Key_I, Qt::ControlModifier);
    TOrthoWindow* opened = inspector();
    QVERIFY(opened);
    QVERIFY(QTest::qWaitFor([&] { return !opened->Busy(); }, 10000));
    QCOMPARE(opened->FileName(), QFileInfo(file).absoluteFilePath()); // read from the file
    QVERIFY(sameVoxels(opened->Volume(), form->MainVolume));

    // A volume changed in the window has no file behind it: the inspector gets a copy.
    form->Button1Click();
    QVERIFY(form->MainFile().isEmpty());
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form.get(), Qt::Key_I, Qt::ControlModifier);
    QCOMPARE(inspector(), opened); // one inspector serves the window
    QVERIFY(QTest::qWaitFor([&] { return !opened->Busy(); }, 10000));
    QVERIFY(opened->FileName().isEmpty());
    QVERIFY(sameVoxels(opened->Volume(), form->MainVolume));
    QVERIFY(opened->Volume().Data != form->MainVolume.Data);
}

void TestForm1::previewShowsColumnMaxima()
{
    const auto value = [](int x, int y, int z) {
        return uint8_t((x * 31 + y * 17) % 200 + z * (x % 3));
    };
    form->LoadFilename->setText(WriteVolume(*dir, "cut.raw", 300, 200, 20, value));
    form->LoadBtnClick();
    QCOMPARE(form->CutPreview->size(), QSize(300, 200));
    CheckPixels(form->CutPreview, 300, 200, [&](int c, int r) {
        uint8_t m = 0;
        for (int z = 0; z < 20; ++z)
            m = std::max(m, value(c, r, z));
        return m;
    });
    QCOMPARE(form->Vyrez->pos(), QPoint(0, 0)); // a load does not move the square
}

void TestForm1::squareFollowsPressesAndSize()
{
    form->LoadFilename->setText(WriteVolume(*dir, "cut.raw", 1200, 900, 2));
    form->LoadBtnClick();
    form->ScrollBox1->horizontalScrollBar()->setValue(10);
    form->ScrollBox1->verticalScrollBar()->setValue(10);
    QCOMPARE(form->ScrollBox1->horizontalScrollBar()->value(), 10);

    QTest::mousePress(form->CutPreview, Qt::LeftButton, {}, QPoint(40, 50));
    QCOMPARE(form->CutX, 40);
    QCOMPARE(form->CutY, 50);
    QCOMPARE(form->Vyrez->mapTo(form->ScrollBox1->viewport(), QPoint(0, 0)), QPoint(30, 40));

    QTest::mousePress(form->Vyrez, Qt::RightButton, {}, QPoint(5, 7));
    QCOMPARE(form->CutX, 45);
    QCOMPARE(form->CutY, 57);
    QCOMPARE(form->Vyrez->pos(), QPoint(45, 57));

    form->VyrezVelikost->SetText(QStringLiteral("16"));
    QCOMPARE(form->Vyrez->size(), QSize(16, 16));
    form->VyrezVelikost->SetText(QString());
    QCOMPARE(form->VyrezVelikost->text(), QStringLiteral("0"));
    QCOMPARE(form->Vyrez->size(), QSize(0, 0));
    form->VyrezVelikost->SetText(QStringLiteral("-5"));
    QCOMPARE(form->Vyrez->size(), QSize(0, 0));
    form->VyrezVelikost->SetText(QStringLiteral("30"));
    form->VyrezVelikost->stepUp();
    QCOMPARE(form->Vyrez->size(), QSize(31, 31));
}

void TestForm1::saveCutsTheBlockUnderTheSquare()
{
    form->LoadFilename->setText(WriteVolume(*dir, "cut.raw", 40, 30, 4));
    form->LoadBtnClick();

    struct Case
    {
        int cutX, cutY, size;
    };
    for (const Case& c : {Case{10, 20, 16}, Case{30, 25, 16}, Case{-3, -2, 5}, Case{5, 5, -4}}) {
        form->CutX = c.cutX;
        form->CutY = c.cutY;
        form->VyrezVelikost->SetValue(c.size);
        const QString target = dir->filePath(QStringLiteral("block.raw"));
        form->SaveFilename->setText(target);
        QTest::mouseClick(form->SaveBtn, Qt::LeftButton);

        const int s = std::max(c.size, 0);
        const QByteArray bytes = ReadAll(target);
        QCOMPARE(bytes.size(), 12 + s * s * 4);
        ByteVolume block;
        QCOMPARE(block.Load(QFile::encodeName(target).toStdString()), 0);
        QCOMPARE(block.SizeX, s);
        QCOMPARE(block.SizeY, s);
        QCOMPARE(block.SizeZ, 4);
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < s; ++j)
                for (int i = 0; i < s; ++i) {
                    const int x = c.cutX + i, y = c.cutY + j;
                    const uint8_t expected =
                        x >= 0 && x < 40 && y >= 0 && y < 30 ? Pattern(x, y, k) : 0;
                    QCOMPARE(block.Voxel(i, j, k), expected);
                }
    }
}

void TestForm1::saveFailureIsReported()
{
    form->LoadFilename->setText(WriteVolume(*dir, "cut.raw", 40, 30, 4));
    form->LoadBtnClick();
    form->VyrezVelikost->SetValue(8);
    const QString target = dir->filePath(QStringLiteral("no/such/folder/block.raw"));
    form->SaveFilename->setText(target);
    form->SaveBtnClick();
    QVERIFY(form->LoadMessage() && form->LoadMessage()->isVisible());
    QVERIFY(form->LoadMessage()->text().contains(target));
    QVERIFY(!QFile::exists(target));
}

void TestForm1::hugeCutShowsOutOfMemory()
{
    form->LoadFilename->setText(WriteVolume(*dir, "cut.raw", 40, 30, 4));
    form->LoadBtnClick();
    form->VyrezVelikost->SetValue(2000000000);
    form->SaveFilename->setText(dir->filePath(QStringLiteral("huge.raw")));
    QTest::mouseClick(form->SaveBtn, Qt::LeftButton);
    QCOMPARE(exceptions, QStringList{QStringLiteral("Out of memory.")});
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("huge.raw"))));
}

void TestForm1::freeMemReleasesCutVolume()
{
    form->LoadFilename->setText(WriteVolume(*dir, "cut.raw", 40, 30, 4));
    form->LoadBtnClick();
    const QImage before = Screen(form->CutPreview);
    QTest::mouseClick(form->FreeMemBut, Qt::LeftButton);
    QVERIFY(!form->CutVolume.Data);
    QCOMPARE(form->CutVolume.SizeX, 0);
    QCOMPARE(Screen(form->CutPreview), before); // the preview keeps its picture

    form->VyrezVelikost->SetValue(3);
    const QString target = dir->filePath(QStringLiteral("empty.raw"));
    form->SaveFilename->setText(target);
    form->SaveBtnClick();
    QCOMPARE(ReadAll(target), QByteArray::fromHex("030000000300000000000000"));
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
