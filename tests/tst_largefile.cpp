// Volumes read plane by plane: their figures bit for bit those of volumes loaded whole,
// whichever way the file is read (mapped, streamed, read whole); volumes larger than
// memory in the table mode, the batch and the classic window; a sparse volume of 32 GiB
// in bounded memory; files truncated while they are read.
//
// Run with VOLINSPECT_MEMORY_LIMIT=4M (see CMakeLists.txt): volumes over 3 MiB count as
// larger than memory, in this process and in the program it starts.

#include "ByteVolume.h"
#include "FigureTable.h"
#include "IcsLocale.h"
#include "MessageText.h"
#include "SpectrumReference.h"
#include "StackBytes.h"
#include "StreamFigure.h"
#include "TableRun.h"
#include "VolumeReader.h"

#include <libics.h>
#include <libics_ll.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Std(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

/** How a test file's samples are made. */
enum class Fill
{
    Random,      ///< every bit random
    SmallCounts, ///< 16-bit counts below 256: every voxel 0, with a warning
    Specials     ///< floating point with NaN and infinities among random values
};

std::vector<uint8_t> Samples(size_t count, int bytes, Ics_DataType type, Fill fill, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> data(count * size_t(bytes));
    for (size_t i = 0; i < count; ++i) {
        uint8_t* at = data.data() + i * size_t(bytes);
        if (type == Ics_real32 || type == Ics_real64) {
            double v = std::uniform_real_distribution<double>(-1e3, 1e3)(random);
            if (fill == Fill::Specials && i % 97 == 3) v = i % 3 ? INFINITY : NAN;
            if (type == Ics_real32)
                qToUnaligned(float(v), at);
            else
                qToUnaligned(v, at);
        } else if (fill == Fill::SmallCounts) {
            qToUnaligned(uint16_t(random() % 200), at);
        } else {
            for (int b = 0; b < bytes; ++b)
                at[b] = uint8_t(random());
        }
    }
    return data;
}

/** Writes an ICS file of `labels` and `sizes` (first fastest) through libics. */
bool WriteIcs(const QString& path, const QStringList& labels, const QList<int>& sizes,
              Ics_DataType type, Fill fill, bool gzip, bool bigEndian = false)
{
    size_t dims[6] = {1, 1, 1, 1, 1, 1}, count = 1;
    for (int d = 0; d < sizes.size(); ++d)
        count *= dims[d] = size_t(sizes[d]);
    const IcsLocaleScope cLocale;
    static std::vector<uint8_t> data; // libics writes the data at IcsClose
    data = Samples(count, int(IcsGetDataTypeSize(type)), type, fill, uint32_t(count));
    ICS* ics = nullptr;
    if (IcsOpen(&ics, Std(path).c_str(), "w2") != IcsErr_Ok) return false;
    bool ok = IcsSetLayout(ics, type, int(sizes.size()), dims) == IcsErr_Ok;
    for (int d = 0; d < sizes.size() && ok; ++d)
        ok = IcsSetOrder(ics, d, labels[d].toLatin1().constData(), nullptr) == IcsErr_Ok;
    if (ok && gzip) ok = IcsSetCompression(ics, IcsCompr_gzip, 6) == IcsErr_Ok;
    ok = ok && IcsSetData(ics, data.data(), data.size()) == IcsErr_Ok;
    ok = IcsClose(ics) == IcsErr_Ok && ok;
    if (!ok || !bigEndian) return ok;
    // libics writes the host's order: the header's byte order and the samples reversed.
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    QByteArray bytes = file.readAll();
    const int bytesPerSample = int(IcsGetDataTypeSize(type));
    QByteArray little, big;
    for (int b = 1; b <= bytesPerSample; ++b) {
        little += QByteArray::number(b) + (b < bytesPerSample ? "\t" : "");
        big += QByteArray::number(bytesPerSample + 1 - b) + (b < bytesPerSample ? "\t" : "");
    }
    const qsizetype order = bytes.indexOf("byte_order\t" + little);
    const qsizetype end = bytes.indexOf("\nend\t\n");
    if (order < 0 || end < 0) return false;
    bytes.replace(order + 11, little.size(), big);
    for (qsizetype at = end + 6; at + bytesPerSample <= bytes.size(); at += bytesPerSample)
        std::reverse(bytes.begin() + at, bytes.begin() + at + bytesPerSample);
    return file.seek(0) && file.write(bytes) == bytes.size();
}

/** Writes a raw volume file: the header, then `voxels` (fewer than the header's: short). */
bool WriteRaw(const QString& path, int32_t x, int32_t y, int32_t z,
              const std::vector<uint8_t>& voxels)
{
    QFile file(path);
    const int32_t header[3] = {qToLittleEndian(x), qToLittleEndian(y), qToLittleEndian(z)};
    return file.open(QIODevice::WriteOnly) &&
           file.write(reinterpret_cast<const char*>(header), 12) == 12 &&
           file.write(reinterpret_cast<const char*>(voxels.data()), qint64(voxels.size())) ==
               qint64(voxels.size());
}

/** A ByteVolume over the caller's voxels, which it never frees. */
struct BorrowedVolume
{
    ByteVolume volume;
    BorrowedVolume(const uint8_t* voxels, int32_t x, int32_t y, int32_t z)
    {
        volume.Data = const_cast<uint8_t*>(voxels);
        volume.SizeX = x, volume.SizeY = y, volume.SizeZ = z;
        volume.StrideX = 1, volume.StrideY = x, volume.StrideZ = int64_t(x) * y;
    }
    ~BorrowedVolume() { volume.Data = nullptr; }
};

bool SameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

/** A run of the program: its output, status and peak resident size (ru_maxrss, KiB). */
struct ChildRun
{
    QByteArray out, err;
    int status = -1; ///< the exit status, or −1 when a signal ended it
    long peakKiB = 0;
};

ChildRun RunChild(const QStringList& args)
{
    QTemporaryFile out, err;
    out.open(), err.open();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out.handle(), 1);
        dup2(err.handle(), 2);
        std::vector<std::string> words{VOLINSPECT_EXE};
        for (const QString& arg : args)
            words.push_back(Std(arg));
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ChildRun run;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peakKiB = usage.ru_maxrss;
    out.seek(0), err.seek(0);
    run.out = out.readAll(), run.err = err.readAll();
    return run;
}

/** The figure the table prints on its first line. */
QByteArray TableFigure(const QByteArray& table)
{
    const QList<QByteArray> lines = table.split('\n');
    return lines.size() > 1 ? lines[1].split('\t').value(1) : QByteArray();
}

} // namespace

class TestLargeFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void initTestCase() { QCOMPARE(MemoryBudget(), int64_t(4) << 20); }

    void figuresAsWholeLoads_data()
    {
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("fill");
        QTest::addColumn<bool>("gzip");
        QTest::addColumn<QString>("route");
        QTest::addColumn<bool>("bigEndian");
        const auto row = [](const char* name, const char* labels, QList<int> sizes,
                            Ics_DataType type, Fill fill, bool gzip, const char* route,
                            bool bigEndian = false) {
            QTest::newRow(name) << QString(labels).split(' ') << sizes << int(type) << int(fill)
                                << gzip << QString(route) << bigEndian;
        };
        row("8-bit", "x y z", {67, 31, 9}, Ics_uint8, Fill::Random, false, "mapped");
        row("16-bit channels and time", "x y z ch t", {40, 12, 7, 2, 3}, Ics_uint16, Fill::Random,
            false, "mapped");
        row("16-bit counts all one voxel", "x y z", {33, 8, 5}, Ics_uint16, Fill::SmallCounts,
            false, "mapped");
        row("32-bit signed", "x y z", {29, 9, 6}, Ics_sint32, Fill::Random, false, "mapped");
        row("float with NaN and infinities", "x y z ch", {50, 7, 4, 2}, Ics_real32, Fill::Specials,
            false, "mapped");
        row("double", "x y z", {21, 5, 4}, Ics_real64, Fill::Random, false, "mapped");
        row("16-bit big-endian", "x y z ch", {26, 7, 5, 2}, Ics_uint16, Fill::Random, false,
            "mapped", true);
        row("float big-endian", "x y z", {30, 6, 4}, Ics_real32, Fill::Specials, false, "mapped",
            true);
        row("channels between x and y", "x ch y z", {36, 3, 10, 5}, Ics_uint16, Fill::Random, false,
            "mapped");
        row("time before z", "x y t z", {31, 6, 2, 5}, Ics_uint8, Fill::Random, false, "mapped");
        row("channels interleaved", "ch x y z", {2, 30, 8, 4}, Ics_uint16, Fill::Random, false,
            "whole");
        row("gzip", "x y z ch t", {45, 10, 6, 2, 2}, Ics_uint16, Fill::Random, true, "stream");
        row("gzip float", "x y z", {25, 9, 4}, Ics_real32, Fill::Specials, true, "stream");
        row("gzip channels interleaved", "ch x y z", {3, 20, 6, 3}, Ics_uint8, Fill::Random, true,
            "whole");
    }

    // Every volume's figure and warning, read plane by plane on one and on two threads,
    // are those of the volume loaded whole.
    void figuresAsWholeLoads()
    {
        QFETCH(QStringList, labels);
        QFETCH(QList<int>, sizes);
        QFETCH(int, type);
        QFETCH(int, fill);
        QFETCH(bool, gzip);
        QFETCH(QString, route);
        QFETCH(bool, bigEndian);
        const QString path = dir_.filePath(QString(QTest::currentDataTag()) + ".ics");
        QVERIFY(WriteIcs(path, labels, sizes, Ics_DataType(type), Fill(fill), gzip, bigEndian));

        VolumeStack stack;
        const VolumeReadResult whole = ReadStack(Std(path), stack);
        QVERIFY2(whole.Loaded(), whole.Message.c_str());
        std::unique_ptr<PlaneSource> source;
        const VolumeReadResult opened = OpenStackSource(Std(path), source);
        QVERIFY2(opened.Loaded(), opened.Message.c_str());
        QCOMPARE(opened.Message, whole.Message);
        const QString taken = dynamic_cast<MappedPlaneSource*>(source.get()) ? "mapped"
                              : !source->RandomAccess()                      ? "stream"
                                                                             : "whole";
        QCOMPARE(taken, route);
        const StackLayout& layout = stack.Layout();
        QCOMPARE(source->Layout().VoxelCount(), layout.VoxelCount());
        QCOMPARE(source->Layout().VolumeCount(), layout.VolumeCount());
        std::vector<uint8_t> plane(size_t(source->PlaneBytes()));
        for (int64_t z = 0; z < layout.SizeZ; ++z) {
            std::string error;
            QVERIFY(source->ReadPlane(0, layout.Frames - 1, z, plane.data(), error));
            QVERIFY(std::memcmp(plane.data(), stack.Plane(0, layout.Frames - 1, z), plane.size()) ==
                    0);
        }

        for (int t = 0; t < layout.Frames; ++t)
            for (int c = 0; c < layout.Channels; ++c) {
                ByteVolume voxels;
                std::string warning;
                QVERIFY(MakeByteVolume(stack, c, t, voxels, warning));
                const float expected = ComputeHighFrequencyFigure(voxels);
                QVERIFY(SameBits(expected, ReferenceFigure(voxels)));
                for (unsigned threads : {1u, 2u}) {
                    const StreamedFigure streamed =
                        StreamHighFrequencyFigure(*source, c, t, threads);
                    QVERIFY2(streamed.Failure.empty(), streamed.Failure.c_str());
                    QVERIFY2(SameBits(streamed.Figure, expected),
                             qPrintable(QString("channel %1, time point %2: %3, not %4")
                                            .arg(c)
                                            .arg(t)
                                            .arg(double(streamed.Figure), 0, 'g', 9)
                                            .arg(double(expected), 0, 'g', 9)));
                    QCOMPARE(streamed.Warning, warning);
                }
            }
    }

    // A volume over the limit: the table and the batch give the figure of its voxels; the
    // classic window, which holds every voxel, refuses it and names the ways that read it.
    void largerThanMemory()
    {
        const int32_t x = 256, y = 128, z = 128; // 4 MiB
        std::vector<uint8_t> voxels = Samples(size_t(x) * y * z, 1, Ics_uint8, Fill::Random, 7);
        // A constant plane, a plane of a ramp: the figure is more than noise.
        std::fill_n(voxels.begin() + int64_t(x) * y * 3, int64_t(x) * y, uint8_t(9));
        for (int64_t i = 0; i < int64_t(x) * y; ++i)
            voxels[size_t(int64_t(x) * y * 5 + i)] = uint8_t(i % x);
        const QString path = dir_.filePath("large.raw");
        QVERIFY(WriteRaw(path, x, y, z, voxels));
        const float expected = ReferenceFigure(BorrowedVolume(voxels.data(), x, y, z).volume);

        ByteVolume volume;
        const VolumeReadResult refused = ReadVolume(Std(path), volume);
        QCOMPARE(refused.Code, ByteVolume::LoadFailed);
        QVERIFY(refused.TooLarge);
        QVERIFY2(QByteArray::fromStdString(refused.Message).contains("--inspect"),
                 refused.Message.c_str());
        QVERIFY(volume.Data == nullptr);

        const TableRun table = RunTable({path});
        QCOMPARE(table.status, 0);
        QCOMPARE(TableFigure(table.out), QByteArray(FormatC("%.9g", double(expected)).c_str()));
        const ChildRun batch = RunChild({"-load", path, "-echohighpeak", "-exit"});
        QCOMPARE(batch.err, QByteArray());
        QCOMPARE(batch.out, QByteArray(FormatFigure(expected).c_str()));
        QCOMPARE(batch.status, 0);

        // Empty volumes with sides far larger than memory: nothing to read, nothing held.
        for (const auto& [ex, ey, ez] : {std::array<int32_t, 3>{0, 2000000000, 2000000000},
                                         std::array<int32_t, 3>{10, 1000000000, 0}}) {
            const QString empty =
                dir_.filePath(QString("empty-%1-%2-%3.raw").arg(ex).arg(ey).arg(ez));
            QVERIFY(WriteRaw(empty, ex, ey, ez, {}));
            const TableRun run = RunTable({empty});
            QCOMPARE(run.status, 1);
            QCOMPARE(TableFigure(run.out), QByteArray("nan"));
        }

        // Samples that can only be read whole are refused when they do not fit.
        const QString interleaved = dir_.filePath("interleaved.ics");
        QVERIFY(WriteIcs(interleaved, {"ch", "x", "y", "z"}, {2, 256, 128, 40}, Ics_uint16,
                         Fill::Random, false));
        std::unique_ptr<PlaneSource> source;
        const VolumeReadResult read = OpenStackSource(Std(interleaved), source);
        QCOMPARE(read.Code, ByteVolume::LoadFailed);
        QVERIFY2(QByteArray::fromStdString(read.Message).contains("larger than memory"),
                 read.Message.c_str());
    }

    // 32 GiB of a sparse file, of which two planes hold voxels: the table and the batch give
    // its figure at once, in a few MiB.
    void sparseVolumeOf32GiB()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("volumes of 32 GiB are left out of the sanitizer run");
#endif
        const int32_t x = 1024, y = 1024, z = 32768;
        const int64_t plane = int64_t(x) * y;
        const std::vector<uint8_t> content =
            Samples(size_t(plane) * 2, 1, Ics_uint8, Fill::Random, 11);
        const QString path = dir_.filePath("sparse.raw");
        QVERIFY(WriteRaw(path, x, y, z, {}));
        {
            const int fd = open(Std(path).c_str(), O_WRONLY);
            QVERIFY(fd >= 0);
            QCOMPARE(pwrite(fd, content.data(), size_t(plane), 12 + 100 * plane), ssize_t(plane));
            QCOMPARE(pwrite(fd, content.data() + plane, size_t(plane), 12 + 30000 * plane),
                     ssize_t(plane));
            QCOMPARE(ftruncate(fd, 12 + plane * z), 0);
            close(fd);
        }
        const float expected =
            ReferenceFigure(BorrowedVolume(content.data(), x, y, 2).volume, int64_t(y) * z);

        for (const QStringList& args : {QStringList{"--figures", path},
                                        QStringList{"-load", path, "-echohighpeak", "-exit"}}) {
            QElapsedTimer timer;
            timer.start();
            const ChildRun run = RunChild(args);
            QCOMPARE(run.status, 0);
            QCOMPARE(run.err, QByteArray());
            QCOMPARE(args[0] == "--figures" ? TableFigure(run.out) : run.out,
                     QByteArray(args[0] == "--figures" ? FormatC("%.9g", double(expected)).c_str()
                                                       : FormatFigure(expected).c_str()));
            QVERIFY2(run.peakKiB < (1 << 20), qPrintable(QString::number(run.peakKiB)));
            QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
        }
    }

    // A file that becomes shorter while it is read gives a message, not a crash: through
    // the system's read, through the mapping (a SIGBUS caught) and in a table run.
    void truncatedWhileRead()
    {
        const int32_t x = 256, y = 128, z = 128;
        const QString path = dir_.filePath("shrinking.raw");
        QVERIFY(WriteRaw(path, x, y, z, Samples(size_t(x) * y * z, 1, Ics_uint8, Fill::Random, 5)));
        std::unique_ptr<PlaneSource> source;
        QVERIFY(OpenStackSource(Std(path), source).Loaded());
        std::vector<uint8_t> plane(size_t(source->PlaneBytes()));
        std::string error;
        QVERIFY(source->ReadColumn(0, 0, 100, 7, plane.data(), error));
        QVERIFY(::truncate(Std(path).c_str(), 12 + int64_t(x) * y * 2) == 0);

        QVERIFY(source->ReadPlane(0, 0, 1, plane.data(), error)); // still held
        QVERIFY(!source->ReadColumn(0, 0, 100, 7, plane.data(), error));
        QVERIFY2(error.find("became shorter") != std::string::npos, error.c_str());
        error.clear();
        QVERIFY(!source->ReadPlane(0, 0, 1, plane.data(), error)); // given up
        QVERIFY(!error.empty());
        const StreamedFigure figure = StreamHighFrequencyFigure(*source, 0, 0, 2);
        QVERIFY(figure.ReadFailed && std::isnan(figure.Figure));

        // A table run on a file cut short meanwhile ends with its reason or its figure.
        const QString big = dir_.filePath("cut.raw");
        {
            const std::vector<uint8_t> block =
                Samples(size_t(1) << 20, 1, Ics_uint8, Fill::Random, 3);
            QVERIFY(WriteRaw(big, 1024, 1024, 128, block));
            QFile file(big);
            QVERIFY(file.open(QIODevice::Append));
            for (int i = 1; i < 128; ++i)
                QCOMPARE(
                    file.write(reinterpret_cast<const char*>(block.data()), qint64(block.size())),
                    qint64(block.size()));
        }
        QProcess run;
        run.start(VOLINSPECT_EXE, {"--figures", big});
        QVERIFY(run.waitForStarted());
        QTest::qWait(40);
        QVERIFY(::truncate(Std(big).c_str(), 4096) == 0);
        QVERIFY(run.state() == QProcess::NotRunning || run.waitForFinished(20000));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        const QByteArray said = run.readAllStandardError();
        if (run.exitCode() != 0)
            QVERIFY2(said.contains("became shorter") || said.contains("cannot load"),
                     said.constData());
    }
};

QTEST_GUILESS_MAIN(TestLargeFile)
#include "tst_largefile.moc"
