// ICS images of two to five dimensions, written by libics with their axes in many
// orders: every sample where it belongs in the stack, refusals with their reasons, and
// what the table mode and the classic run make of several channels and time points.

#include "ByteVolume.h"
#include "FigureTable.h"
#include "IcsLocale.h"
#include "MessageText.h"
#include "Spectrum.h"
#include "StackBytes.h"
#include "TableRun.h"
#include "VolumeReader.h"
#include "VolumeStack.h"

#include <libics.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

std::string Std(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

/** An image to write: its axes (ICS order labels) and sizes, first dimension fastest. */
struct IcsImage
{
    QStringList labels;
    QList<int> sizes;
    Ics_DataType type = Ics_uint16;
    int significantBits = 0;
};

/**
 * The sample at file coordinates `at` (one per dimension): distinct for every place, so
 * that a sample put in the wrong place shows.
 */
double SampleValue(const std::array<int, 6>& at, Ics_DataType type)
{
    const double v = at[0] + 7 * at[1] + 53 * at[2] + 397 * at[3] + 2909 * at[4] + 9001 * at[5];
    return type == Ics_real32 ? v * 0.25 - 100 : v;
}

/** Writes `image` through libics; the samples are SampleValue of their coordinates. */
bool WriteImage(const QString& path, const IcsImage& image)
{
    const int dims = int(image.sizes.size());
    size_t sizes[6] = {1, 1, 1, 1, 1, 1};
    size_t count = 1;
    for (int d = 0; d < dims; ++d)
        count *= sizes[d] = size_t(image.sizes[d]);
    const size_t bytes = image.type == Ics_uint8 ? 1 : image.type == Ics_uint16 ? 2 : 4;
    static std::vector<uint8_t> data; // libics writes the data at IcsClose
    data.assign(count * bytes, 0);
    for (size_t i = 0; i < count; ++i) {
        std::array<int, 6> at{};
        for (size_t d = 0, rest = i; d < size_t(dims); rest /= sizes[d], ++d)
            at[d] = int(rest % sizes[d]);
        const double v = SampleValue(at, image.type);
        if (bytes == 1) data[i] = uint8_t(v);
        if (bytes == 2) qToUnaligned(uint16_t(v), data.data() + 2 * i);
        if (image.type == Ics_real32) qToUnaligned(float(v), data.data() + 4 * i);
    }
    const IcsLocaleScope cLocale;
    ICS* ics = nullptr;
    if (IcsOpen(&ics, Std(path).c_str(), "w2") != IcsErr_Ok) return false;
    bool ok = IcsSetLayout(ics, image.type, dims, sizes) == IcsErr_Ok;
    for (int d = 0; d < dims && ok; ++d)
        ok = IcsSetOrder(ics, d, image.labels[d].toLatin1().constData(), nullptr) == IcsErr_Ok;
    if (ok && image.significantBits)
        ok = IcsSetSignificantBits(ics, size_t(image.significantBits)) == IcsErr_Ok;
    ok = ok && IcsSetData(ics, data.data(), data.size()) == IcsErr_Ok;
    return IcsClose(ics) == IcsErr_Ok && ok;
}

} // namespace

class TestStackRead : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void everySampleInItsPlace_data()
    {
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<int>("type");
        // x, y, z, channels, time points as the stack should hold them
        QTest::addColumn<QList<int>>("stack");
        const auto row = [](const char* name, const char* labels, QList<int> sizes,
                            Ics_DataType type, QList<int> stack) {
            QTest::newRow(name) << QString(labels).split(' ') << sizes << int(type) << stack;
        };
        row("2-D", "x y", {11, 6}, Ics_uint16, {11, 6, 1, 1, 1});
        row("2-D time series", "x y t", {5, 4, 3}, Ics_uint8, {5, 4, 1, 1, 3});
        row("4-D channels last", "x y z ch", {6, 5, 4, 3}, Ics_uint16, {6, 5, 4, 3, 1});
        row("5-D", "x y z ch t", {5, 4, 3, 2, 3}, Ics_uint16, {5, 4, 3, 2, 3});
        row("5-D time before channels", "x y z t c", {5, 4, 3, 3, 2}, Ics_real32, {5, 4, 3, 2, 3});
        row("channels interleaved", "ch x y z", {3, 6, 5, 2}, Ics_uint16, {6, 5, 2, 3, 1});
        row("channels between y and z", "x y ch z t", {4, 3, 2, 5, 2}, Ics_uint8, {4, 3, 5, 2, 2});
        row("y first", "y x z", {3, 7, 2}, Ics_uint16, {7, 3, 2, 1, 1});
    }

    void everySampleInItsPlace()
    {
        QFETCH(QStringList, labels);
        QFETCH(QList<int>, sizes);
        QFETCH(int, type);
        QFETCH(QList<int>, stack);
        const QString path = dir_.filePath(QString(QTest::currentDataTag()) + ".ics");
        QVERIFY(WriteImage(path, {labels, sizes, Ics_DataType(type)}));

        VolumeStack read;
        const VolumeReadResult result = ReadStack(Std(path), read);
        QVERIFY2(result.Code == ByteVolume::LoadOk, result.Message.c_str());
        const StackLayout& layout = read.Layout();
        QCOMPARE(
            (QList<int>{layout.SizeX, layout.SizeY, layout.SizeZ, layout.Channels, layout.Frames}),
            stack);
        // Where each stack axis lies among the file's coordinates.
        const QStringList axes{"x", "y", "z", "ch", "t"};
        for (int c = 0; c < layout.Channels; ++c)
            for (int t = 0; t < layout.Frames; ++t)
                for (int z = 0; z < layout.SizeZ; ++z)
                    for (int y = 0; y < layout.SizeY; ++y)
                        for (int x = 0; x < layout.SizeX; ++x) {
                            const int place[5] = {x, y, z, c, t};
                            std::array<int, 6> at{};
                            for (int d = 0; d < labels.size(); ++d) {
                                const QString label = labels[d] == "c" ? "ch" : labels[d];
                                at[size_t(d)] = place[axes.indexOf(label)];
                            }
                            const double expected = SampleValue(at, Ics_DataType(type));
                            const double value = read.Value(c, t, x, y, z);
                            if (value != (type == Ics_uint8 ? double(uint8_t(expected)) : expected))
                                QFAIL(qPrintable(QString("sample %1 %2 %3 c%4 t%5: %6, not %7")
                                                     .arg(x)
                                                     .arg(y)
                                                     .arg(z)
                                                     .arg(c)
                                                     .arg(t)
                                                     .arg(value)
                                                     .arg(expected)));
                        }
    }

    void refusedWithTheirReason_data()
    {
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("unknown axis") << QStringList{"x", "y", "probe"} << QList<int>{4, 3, 2}
                                      << "'probe' is none of x, y, z, ch (or c) and t";
        QTest::newRow("axis twice")
            << QStringList{"x", "y", "x"} << QList<int>{4, 3, 2} << "name the same axis";
        QTest::newRow("six dimensions")
            << QStringList{"x", "y", "z", "ch", "t", "w"} << QList<int>{2, 2, 2, 2, 2, 2}
            << "has 6 dimensions; images of 2 to 5 dimensions";
        QTest::newRow("one dimension") << QStringList{"x"} << QList<int>{9} << "has 1 dimension;";
    }

    void refusedWithTheirReason()
    {
        QFETCH(QStringList, labels);
        QFETCH(QList<int>, sizes);
        QFETCH(QString, reason);
        const QString path = dir_.filePath(QString(QTest::currentDataTag()) + ".ics");
        QVERIFY(WriteImage(path, {labels, sizes, Ics_uint8}));
        VolumeStack stack;
        StackLayout before;
        before.SizeX = before.SizeY = before.SizeZ = 2;
        stack.Allocate(before);
        stack.Samples(0, 0)[3] = 42;
        const VolumeReadResult result = ReadStack(Std(path), stack);
        QCOMPARE(result.Code, ByteVolume::LoadFailed);
        QVERIFY2(QString::fromStdString(result.Message).contains(reason), result.Message.c_str());
        // The stack is as it was.
        QVERIFY(stack.Layout().SizeX == 2 && stack.Layout().Channels == 1);
        QCOMPARE(stack.Samples(0, 0)[3], uint8_t(42));
    }

    // Raw volumes of empty or tiny planes are read in runs over many planes: neither a
    // header of 2·10^9 empty planes nor millions of one-voxel planes takes a call each.
    void rawVolumesOfTinyPlanes()
    {
        const struct
        {
            int32_t x, y, z;
        } sizes[] = {{7, 0, 2000000000}, {1, 1, 3000000}, {3, 2, 1700001}};
        for (const auto& size : sizes) {
            const QString path = dir_.filePath(QString("tiny%1.raw").arg(size.z));
            QByteArray bytes;
            for (const int32_t value : {size.x, size.y, size.z})
                bytes.append(reinterpret_cast<const char*>(&value), 4);
            const qint64 count = qint64(size.x) * size.y * size.z;
            for (qint64 i = 0; i < count; ++i)
                bytes.append(char(i * 7 % 251));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
            file.close();
            QElapsedTimer timer;
            timer.start();
            VolumeStack stack;
            QCOMPARE(ReadStack(Std(path), stack).Code, ByteVolume::LoadOk);
            QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
            QCOMPARE(stack.Layout().SizeZ, size.z);
            for (const qint64 i : {qint64(0), count / 2, count - 1})
                if (count > 0) QCOMPARE(stack.ValueAt(0, 0, i), double(i * 7 % 251));
        }
    }

    // One row per channel and time point, time point by time point, each with the figure
    // of its own volume; the classic run takes the first and says what it left out.
    void tableAndClassicRun()
    {
        const QString path = dir_.filePath("series.ics");
        const QString narrow = dir_.filePath("narrow.ics");
        QVERIFY(WriteImage(path, {{"x", "y", "z", "ch", "t"}, {24, 20, 6, 2, 3}, Ics_uint8}));
        QVERIFY(WriteImage(narrow, {{"x", "y", "ch"}, {5, 12, 2}, Ics_uint8}));
        VolumeStack stack;
        QCOMPARE(ReadStack(Std(path), stack).Code, ByteVolume::LoadOk);

        const TableRun run = RunTable({"--jobs", "2", path, narrow});
        QCOMPARE(run.status, 1); // the narrow image has no figure
        const QList<QByteArray> lines = run.out.split('\n');
        QCOMPARE(lines.size(), 1 + 6 + 2 + 1);
        for (int t = 0, line = 1; t < 3; ++t)
            for (int c = 0; c < 2; ++c, ++line) {
                ByteVolume volume;
                std::string warning;
                QVERIFY(MakeByteVolume(stack, c, t, volume, warning));
                const float figure = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure;
                const QByteArray expected =
                    Std(path).c_str() + QByteArray("\t") + FormatC("%.9g", double(figure)).c_str() +
                    "\t24\t20\t6\t" + QByteArray::number(c) + '\t' + QByteArray::number(t) + '\t';
                QCOMPARE(lines[line], expected);
            }
        QVERIFY2(lines[7].endsWith("\t0\t0\tthe volume is 5 voxels wide; the figure needs at "
                                   "least 10"),
                 lines[7].constData());
        QVERIFY(lines[8].contains("\tnan\t5\t12\t1\t1\t0\t"));
        // People count from 1.
        QVERIFY2(run.err.contains("narrow.ics' channel 2 of 2 is 5 voxels wide"),
                 run.err.constData());
        QVERIFY(!run.err.contains("series.ics"));

        QProcess classic;
        classic.start(QStringLiteral(VOLINSPECT_EXE), {"-load", path, "-echohighpeak", "-exit"});
        QVERIFY(classic.waitForFinished(30000));
        QCOMPARE(classic.exitCode(), 0);
        QCOMPARE(classic.readAllStandardOutput(),
                 QByteArray::fromStdString(FormatFigure(lines[1].split('\t')[1].toFloat())));
        QVERIFY2(classic.readAllStandardError().contains(
                     "series.ics': loaded channel 1 of 2, time point 1 of 3\n"),
                 "the warning names what was left out");
    }
};

QTEST_GUILESS_MAIN(TestStackRead)
#include "tst_stackread.moc"
