// The inspector on volumes read plane by plane from their files: small files made to take
// that path by a small memory budget, against the same files loaded; a sparse file of
// 32 GiB on a machine with less memory; a file truncated while it is browsed. The
// coarse-to-fine order and its nearest-plane filling beside them.

#include "IcsWriter.h"
#include "ImageControl.h"
#include "LazySlices.h"
#include "MultiView.h"
#include "OrthoWindow.h"
#include "SliceView.h"
#include "SpectrumPanel.h"
#include "VolumeReader.h"
#include "ZoomPanel.h"
#include "GraphicsListControl.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>
#include <numeric>
#include <set>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

/** Files above this many bytes are read plane by plane here (three quarters of it fit). */
constexpr char MemoryLimit[] = "64K";

/** Sample (x, y, z) of the test volumes: varied along every axis. */
double Pattern(int x, int y, int z)
{
    return (x * 7 + y * 13 + z * 29) % 251 + (x % 5) * 300 + z * 11;
}

bool WaitIdle(const TOrthoWindow& inspector)
{
    return QTest::qWaitFor([&] { return !inspector.Busy(); }, 20000);
}

/** Until everything shown of a large volume is read, and the window took it in. */
bool WaitRefined(TOrthoWindow& inspector)
{
    return QTest::qWaitFor(
        [&] {
            if (inspector.Busy() || inspector.Refining()) return false;
            for (int cell : {11, 12, 21}) {
                const QString caption = inspector.Views()->Client(cell)->Caption();
                if (caption.contains(QStringLiteral("planes")) ||
                    caption.contains(QStringLiteral("reading")))
                    return false;
            }
            return inspector.StatsLabel()->text().startsWith(QStringLiteral("histogram of all"));
        },
        20000);
}

/** Why two slice records differ (kind, sizes, the first pixel), or empty. */
QString Difference(const ImageStruct* a, const ImageStruct* b)
{
    if (!a || !b) return QStringLiteral("no slice");
    if (ImageKind(a) != ImageKind(b) || a->XSize != b->XSize || a->YSize != b->YSize)
        return QStringLiteral("kind or size %1 %2×%3 against %4 %5×%6")
            .arg(ImageKind(a))
            .arg(a->XSize)
            .arg(a->YSize)
            .arg(ImageKind(b))
            .arg(b->XSize)
            .arg(b->YSize);
    const int bytes = ImageElementBytes(a);
    for (int v = 0; v < a->YSize; ++v)
        if (std::memcmp(a->Data + int64_t(v) * a->LineStep, b->Data + int64_t(v) * b->LineStep,
                        size_t(a->XSize) * size_t(bytes)) != 0)
            return QStringLiteral("row %1 differs").arg(v);
    return {};
}

/** The overlay pixel at the centre of slice pixel (u, v) of `view`. */
QPoint PixelOf(const TSliceView* view, int u, int v)
{
    const TZoomMapping& m = view->Overlay()->Mapping();
    return QPointF(m.ToPixelX(u + 0.5), m.ToPixelY(v + 0.5)).toPoint();
}

/** An 8-bit raw volume file: a 12-byte header of sizes, then the voxels. */
bool WriteRaw(const QString& name, int sx, int sy, int sz)
{
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const int32_t sizes[3] = {sx, sy, sz};
    file.write(reinterpret_cast<const char*>(sizes), sizeof sizes);
    QByteArray voxels(sx * sy * sz, 0);
    for (int z = 0; z < sz; ++z)
        for (int y = 0; y < sy; ++y)
            for (int x = 0; x < sx; ++x)
                voxels[(z * sy + y) * sx + x] = char(uint8_t(Pattern(x, y, z)));
    return file.write(voxels) == voxels.size();
}

/** The RssAnon of this process (/proc/self/status), in bytes; −1 when unknown. */
int64_t AnonymousBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ')[0].toLongLong() * 1024;
    return -1;
}

/** Voxel (x, y) of planted plane z of the sparse volume. */
uint8_t Planted(int x, int y, int z)
{
    return uint8_t(1 + (x + 3 * y + 7 * z) % 250);
}

} // namespace

class TestLargeVolume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Before the first MemoryBudget(): it reads the variable once.
        qputenv("VOLINSPECT_MEMORY_LIMIT", MemoryLimit);
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(dir_.isValid());
        QVERIFY(!FitsInMemory(64 << 10));
    }

    void coarseToFineOrderTakesEveryPlaneOnce_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("coarse");
        QTest::addColumn<QList<int>>("first");
        QTest::newRow("coarse of 10") << 10 << 5 << QList<int>{1, 3, 5, 7, 9, 0, 2, 4, 6, 8};
        QTest::newRow("more coarse than planes") << 3 << 48 << QList<int>{0, 1, 2};
        QTest::newRow("2048 by 48") << 2048 << 48 << QList<int>{21, 64, 106};
        QTest::newRow("one") << 1 << 48 << QList<int>{0};
    }
    void coarseToFineOrderTakesEveryPlaneOnce()
    {
        QFETCH(int, count);
        QFETCH(int, coarse);
        QFETCH(QList<int>, first);
        const std::vector<int32_t> order = CoarseToFineOrder(count, coarse);
        QCOMPARE(int(order.size()), count);
        QCOMPARE(int(std::set<int32_t>(order.begin(), order.end()).size()), count);
        for (int i = 0; i < first.size(); ++i)
            QCOMPARE(order[size_t(i)], first[i]);
        // After the coarse pass no gap between planes taken exceeds the coarse spacing,
        // and every further level halves the widest gap.
        std::vector<uint8_t> read(size_t(count), 0);
        const int n = std::min(coarse, count);
        for (int i = 0; i < n; ++i)
            read[size_t(order[size_t(i)])] = 1;
        std::vector<int32_t> nearest;
        NearestRead(read, nearest);
        for (int z = 0; z < count; ++z)
            QVERIFY(std::abs(nearest[size_t(z)] - z) <= count / n);
    }

    void nearestReadPrefersTheLowerOfTwo()
    {
        std::vector<int32_t> nearest;
        NearestRead({0, 1, 0, 0, 1, 0, 0}, nearest);
        QCOMPARE(nearest, (std::vector<int32_t>{1, 1, 1, 4, 4, 4, 4}));
        NearestRead({0, 0, 0}, nearest);
        QCOMPARE(nearest, (std::vector<int32_t>{-1, -1, -1}));
    }

    void planeByPlaneShowsTheLoadedPixels_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("kind"); // the display kind
        QTest::addColumn<bool>("spectrum");
        QTest::newRow("8-bit raw") << "pattern.raw" << int(ImageKind8) << true;
        QTest::newRow("16-bit ICS, 12 bits") << "camera.ics" << int(ImageKind16) << true;
        QTest::newRow("32-bit float ICS") << "float.ics" << int(ImageKindFloat) << false;
        QTest::newRow("two-channel TIFF (tifffile)") << "two.tif" << int(ImageKindRGB) << true;
    }
    void planeByPlaneShowsTheLoadedPixels()
    {
        QFETCH(QString, file);
        QFETCH(int, kind);
        QFETCH(bool, spectrum);
        const int sx = 40, sy = 30, sz = 24;
        const QString name = dir_.filePath(file);
        if (!QFile::exists(name)) {
            std::vector<uint16_t> counts;
            std::vector<float> floats;
            for (int z = 0; z < sz; ++z)
                for (int y = 0; y < sy; ++y)
                    for (int x = 0; x < sx; ++x) {
                        counts.push_back(uint16_t(int(Pattern(x, y, z)) * 3 % 4096));
                        floats.push_back(float(Pattern(x, y, z) / 7.0 - 20));
                    }
            IcsWriteOptions options;
            if (file == "pattern.raw") {
                QVERIFY(WriteRaw(name, sx, sy, sz));
            } else if (file == "camera.ics") {
                options.BytesPerSample = 2;
                options.SignificantBits = 12;
                QVERIFY(WriteIcsVolume(name.toStdString(), sx, sy, sz, counts.data(), options,
                                       nullptr));
            } else if (file == "float.ics") {
                options.BytesPerSample = 4;
                options.SampleFormat = IcsWriteOptions::Real;
                QVERIFY(WriteIcsVolume(name.toStdString(), sx, sy, sz, floats.data(), options,
                                       nullptr));
            } else {
                if (QProcess::execute("/usr/bin/python3", {"-c", "import tifffile, numpy"}) != 0)
                    QSKIP("/usr/bin/python3 cannot import tifffile and numpy");
                const QString script = QStringLiteral(
                    "import sys, numpy, tifffile\n"
                    "z, c, y, x = numpy.meshgrid(*map(numpy.arange, (%1, 2, %2, %3)), "
                    "indexing='ij')\n"
                    "a = ((x * 7 + y * 13 + z * 29) %% 251 + c * 900 + (x %% 5) * 40)"
                    ".astype('uint16')\n"
                    "tifffile.imwrite(sys.argv[1], a, imagej=True, metadata={'axes': 'ZCYX'})\n");
                QCOMPARE(
                    QProcess::execute(
                        "/usr/bin/python3",
                        {"-c", QString(script).replace("%%", "%").arg(sz).arg(sy).arg(sx), name}),
                    0);
            }
        }

        // The same file loaded (its stack shown, memory allowing for a moment) and read plane
        // by plane (opened).
        VolumeStack stack;
        SetMemoryBudget(int64_t(1) << 30);
        const VolumeReadResult read = ReadStack(name.toStdString(), stack);
        SetMemoryBudget(0);
        QVERIFY2(read.Loaded(), read.Message.c_str());
        TOrthoWindow loaded, large;
        for (TOrthoWindow* window : {&loaded, &large}) {
            window->resize(900, 700);
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window));
        }
        loaded.ShowStack(std::move(stack), QFileInfo(name).fileName());
        large.OpenFile(name);
        QVERIFY(WaitIdle(loaded));
        QVERIFY(WaitIdle(large));
        QVERIFY(!loaded.LargeVolume());
        QVERIFY(large.LargeVolume());
        QVERIFY2(large.windowTitle().startsWith(
                     QStringLiteral("%1 — %2 × %3 × %4 — ").arg(file).arg(sx).arg(sy).arg(sz)) &&
                     large.windowTitle().contains(QStringLiteral("read from the file")),
                 qPrintable(large.windowTitle()));

        // Away from the middle, then everything read: the same slices, windows, readouts.
        for (TOrthoWindow* window : {&loaded, &large}) {
            window->SetPosition(SlicePlane::Top, 5);
            window->SetPosition(SlicePlane::Front, 21);
            window->SetPosition(SlicePlane::Side, 33);
        }
        QVERIFY(WaitRefined(large));
        QCOMPARE(large.WindowMin(), loaded.WindowMin());
        QCOMPARE(large.WindowMax(), loaded.WindowMax());
        for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
            const ImageStruct* shown = large.View(plane)->Image()->Image();
            QCOMPARE(ImageKind(shown), int16_t(kind));
            const QString difference = Difference(shown, loaded.View(plane)->Image()->Image());
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
            QCOMPARE(large.View(plane)->Image()->grab().toImage(),
                     loaded.View(plane)->Image()->grab().toImage());
        }
        // The voxel under the pointer: the same value (a large volume's 8-bit voxel is
        // known on the top slice's plane of integer samples only). Both windows lie at
        // one place: the pointer goes to the one shown alone.
        for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
            const auto readout = [plane](TOrthoWindow& shown, TOrthoWindow& hidden) {
                hidden.hide();
                QTest::mouseMove(shown.View(plane)->Overlay(), PixelOf(shown.View(plane), 1, 1));
                QTest::mouseMove(shown.View(plane)->Overlay(), PixelOf(shown.View(plane), 3, 4));
                const QString text = shown.StatusText();
                hidden.show();
                return text;
            };
            const QString got = readout(large, loaded), expected = readout(loaded, large);
            QVERIFY2(got == expected || expected.startsWith(got + QStringLiteral("   8-bit voxel")),
                     qPrintable(got + " | " + expected));
            if (plane == SlicePlane::Top && kind != ImageKindFloat) QCOMPARE(got, expected);
        }
        if (spectrum) QCOMPARE(large.Spectrum()->ResultText(), loaded.Spectrum()->ResultText());
        QCOMPARE(large.Spectrum()->ResultText().left(15), QStringLiteral("line y 21, z 5:"));
        // The histogram of every plane, said so.
        QCOMPARE(large.Histogram().Counts, loaded.Histogram().Counts);
        QCOMPARE(large.StatsLabel()->text(), QStringLiteral("histogram of all %1 planes").arg(sz));
        QVERIFY(!loaded.StatsLabel()->isVisible());
    }

    void compressedStreamTooLargeIsRefused()
    {
        const int sx = 64, sy = 64, sz = 32;
        std::vector<uint8_t> voxels(size_t(sx) * sy * sz, 7);
        IcsWriteOptions options;
        options.Gzip = true;
        const QString name = dir_.filePath(QStringLiteral("packed.ics"));
        QVERIFY(WriteIcsVolume(name.toStdString(), sx, sy, sz, voxels.data(), options, nullptr));
        TOrthoWindow inspector;
        inspector.show();
        inspector.OpenFile(name);
        QVERIFY(WaitIdle(inspector));
        QVERIFY(!inspector.LargeVolume());
        QCOMPARE(inspector.Stack().Layout().SizeX, 0);
        const auto* box = inspector.findChild<QMessageBox*>();
        QVERIFY(box);
        QVERIFY2(box->text().contains(QStringLiteral("compressed data can only be read from the "
                                                     "start")) &&
                     box->text().contains(name),
                 qPrintable(box->text()));
    }

    void truncatedFileIsSaidAndNoLongerRead()
    {
        const int sx = 64, sy = 48, sz = 200;
        const QString name = dir_.filePath(QStringLiteral("shrinking.raw"));
        QVERIFY(WriteRaw(name, sx, sy, sz));
        TOrthoWindow inspector;
        inspector.show();
        inspector.OpenFile(name);
        QVERIFY(WaitIdle(inspector));
        QVERIFY(inspector.LargeVolume());
        QVERIFY(WaitRefined(inspector));
        // Gone past plane 40 while the window steps towards the end.
        QVERIFY(::truncate(QFile::encodeName(name).constData(), 12 + 40 * sx * sy) == 0);
        for (int z = 100; z < 200 && inspector.ReadFailure().isEmpty(); z += 10) {
            inspector.SetPosition(SlicePlane::Top, z);
            inspector.SetPosition(SlicePlane::Side, z % sx);
            QTest::qWait(60);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!inspector.ReadFailure().isEmpty(), 5000);
        QVERIFY2(inspector.ReadFailure().contains(QStringLiteral("shorter")),
                 qPrintable(inspector.ReadFailure()));
        const auto* box = inspector.findChild<QMessageBox*>();
        QVERIFY(box && box->text().contains(name));
        QVERIFY(inspector.WarningLabel()->isVisible());
        // Browsing on reads nothing more and breaks nothing; what was read stays shown.
        const uint64_t changes = inspector.Lazy()->Changes();
        inspector.SetPosition(SlicePlane::Top, 3);
        inspector.SetPosition(SlicePlane::Front, 7);
        QTest::qWait(200);
        QCOMPARE(inspector.Lazy()->Changes(), changes);
        QVERIFY(!inspector.Refining());
        QVERIFY(inspector.View(SlicePlane::Top)->Image()->Image());
    }

    void sparseVolumeOfThirtyTwoGiB()
    {
        // Run alone, under the ctest label "large" (see tests/CMakeLists.txt).
        if (qEnvironmentVariableIsEmpty("VOLINSPECT_SPARSE_TEST"))
            QSKIP("set VOLINSPECT_SPARSE_TEST=1 to browse a sparse file of 32 GiB");
        // 4096 × 4096 × 2048 voxels: 32 GiB of holes, three planes of content.
        constexpr int sx = 4096, sy = 4096, sz = 2048;
        const QString name = dir_.filePath(QStringLiteral("sparse.raw"));
        {
            const int fd =
                ::open(QFile::encodeName(name).constData(), O_CREAT | O_RDWR | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            const int32_t sizes[3] = {sx, sy, sz};
            QCOMPARE(::pwrite(fd, sizes, sizeof sizes, 0), ssize_t(sizeof sizes));
            QCOMPARE(::ftruncate(fd, 12 + int64_t(sx) * sy * sz), 0);
            std::vector<uint8_t> plane(size_t(sx) * sy);
            for (int z : {100, 101, 1500}) {
                for (int y = 0; y < sy; ++y)
                    for (int x = 0; x < sx; ++x)
                        plane[size_t(y) * sx + size_t(x)] = Planted(x, y, z);
                QCOMPARE(::pwrite(fd, plane.data(), plane.size(), 12 + int64_t(z) * sx * sy),
                         ssize_t(plane.size()));
            }
            ::close(fd);
        }
        const int64_t before = AnonymousBytes();
        TOrthoWindow inspector;
        inspector.resize(1000, 800);
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));
        QElapsedTimer opening;
        opening.start();
        inspector.OpenFile(name);
        QTRY_VERIFY_WITH_TIMEOUT(
            inspector.windowTitle().contains(QStringLiteral("4096 × 4096 × 2048 — 32")), 1000);
        QVERIFY(opening.elapsed() < 1000);
        QVERIFY(inspector.LargeVolume());

        const auto shows = [&](int z) {
            const ImageStruct* top = inspector.View(SlicePlane::Top)->Image()->Image();
            if (!top || inspector.Position(SlicePlane::Top) != z) return false;
            for (int y : {0, 7, 2049, 4095})
                for (int x : {0, 1, 3000, 4095}) {
                    const uint8_t voxel = top->Data[int64_t(y) * top->LineStep + x];
                    if (voxel != (z == 100 || z == 101 || z == 1500 ? Planted(x, y, z) : 0))
                        return false;
                }
            return true;
        };
        inspector.SetPosition(SlicePlane::Top, 100);
        QTRY_VERIFY_WITH_TIMEOUT(shows(100), 10000);
        TSliceView* top = inspector.View(SlicePlane::Top);
        inspector.StepSlice(SlicePlane::Top, 1);
        QTRY_VERIFY_WITH_TIMEOUT(shows(101), 10000);
        for (int z : {1500, 7, 100}) {
            inspector.SetPosition(SlicePlane::Top, z);
            QTRY_VERIFY_WITH_TIMEOUT(shows(z), 10000);
        }
        // The readout of a planted voxel, and the side views begun from their coarse pass.
        // (Zoomed out, a screen pixel covers several voxels: the one named is read back.)
        QTest::mouseMove(top->Overlay(), PixelOf(top, 2048, 2048));
        const QStringList words =
            inspector.StatusText().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QCOMPARE(words.size(), 8);
        const int x = words[1].toInt(), y = words[3].toInt();
        QVERIFY(std::abs(x - 2048) < 16 && std::abs(y - 2048) < 16);
        QCOMPARE(
            inspector.StatusText(),
            QStringLiteral("x %1  y %2  z 100   value %3").arg(x).arg(y).arg(Planted(x, y, 100)));
        QTRY_VERIFY_WITH_TIMEOUT(inspector.View(SlicePlane::Front)->Image()->Image() &&
                                     inspector.View(SlicePlane::Side)->Image()->Image(),
                                 20000);
        QCOMPARE(inspector.View(SlicePlane::Side)->Image()->Image()->XSize, sz);
        QCOMPARE(inspector.View(SlicePlane::Front)->Image()->Image()->YSize, sz);
        QTRY_VERIFY_WITH_TIMEOUT(
            inspector.StatsLabel()->text().startsWith("histogram from 16 of 2048"), 20000);
        const int64_t after = AnonymousBytes();
        QVERIFY(before >= 0 && after >= 0);
        QVERIFY2(after - before < (int64_t(768) << 20),
                 qPrintable(QStringLiteral("RssAnon grew by %1 MiB").arg((after - before) >> 20)));
        qInfo("RssAnon %lld MiB before opening, %lld MiB after stepping", (long long)(before >> 20),
              (long long)(after >> 20));
    }

private:
    QTemporaryDir dir_;
};

QTEST_MAIN(TestLargeVolume)
#include "tst_largevolume.moc"
