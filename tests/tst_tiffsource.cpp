// TIFF stacks read plane by plane: every plane, row range and column of every file that
// make_stacks.py writes (tifffile and tiffcp) equals what ReadStack gives, through the
// mapping and through libtiff; reads from two threads at once; a file truncated under a
// mapped source; a sparse BigTIFF of 32 GiB, larger than the machine's memory.

#include "TiffCorpus.h"
#include "TiffReader.h"
#include "VolumeFileType.h"
#include "VolumeReader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Std(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

/** Opens `path` as OpenStackSource does, or with every page decoded when `map` is false. */
VolumeReadResult Open(const QString& path, std::unique_ptr<PlaneSource>& source, bool map)
{
    if (map) return OpenStackSource(Std(path), source);
    VolumeReadResult read;
    VolumeFileProbe probe = ProbeVolumeFile(Std(path));
    if (probe.Type != VolumeFileType::Tiff) {
        read.Message = "not probed as TIFF";
        return read;
    }
    read.Code = OpenTiffSource(probe.File, source, read.Message, false);
    return read;
}

TiffPlaneSource& Tiff(PlaneSource& source)
{
    auto* tiff = dynamic_cast<TiffPlaneSource*>(&source);
    if (!tiff) qFatal("not a TIFF plane source");
    return *tiff;
}

/** The routes the planes of `source` take, as "decoded", "empty mapped", … */
QString Routes(PlaneSource& source)
{
    static const char* Names[] = {"mapped", "decoded", "empty"};
    const StackLayout& l = source.Layout();
    std::set<QString> routes;
    for (int t = 0; t < l.Frames; ++t)
        for (int c = 0; c < l.Channels; ++c)
            for (int z = 0; z < l.SizeZ; ++z)
                routes.insert(Names[int(Tiff(source).PlaneRoute(c, t, z))]);
    return QStringList(routes.begin(), routes.end()).join(' ');
}

/** Everything of a layout but its samples, to compare in one line. */
QString Text(const StackLayout& l)
{
    QString text = QString("%1 c %2 t %3x%4x%5 kind %6 bits %7 spacing %8")
                       .arg(l.Channels)
                       .arg(l.Frames)
                       .arg(l.SizeX)
                       .arg(l.SizeY)
                       .arg(l.SizeZ)
                       .arg(int(l.Kind))
                       .arg(l.SignificantBits)
                       .arg(int(l.Spacing.Known));
    for (int d = 0; d < 3; ++d)
        text += QString(" %1 %2").arg(l.Spacing.Size[d]).arg(l.Spacing.Units[d].c_str());
    for (const ChannelInfo& c : l.ChannelInfos)
        text += QString(" [%1 %2 %3]").arg(c.Name.c_str()).arg(c.Colour).arg(c.HasColour);
    return text;
}

/**
 * Compares every plane of `source` with `stack`: whole, in row ranges, and columns, and
 * checks that no read writes past what it was asked for. Returns the first difference,
 * or empty.
 */
QString Compare(PlaneSource& source, const VolumeStack& stack)
{
    const StackLayout& l = stack.Layout();
    const int bytes = SampleKindBytes(l.Kind);
    const int64_t rowBytes = stack.RowBytes(), height = l.SizeY;
    constexpr size_t Guard = 64; // bytes after the read's, that it must leave alone
    std::vector<uint8_t> got(size_t(stack.PlaneBytes()) + Guard);
    const auto untouched = [&](int64_t from) {
        return std::all_of(got.begin() + from, got.begin() + from + Guard,
                           [](uint8_t b) { return b == 0xA5; });
    };
    std::string error;
    const std::pair<int64_t, int64_t> ranges[] = {
        {0, 1}, {height / 3, 2 * height / 3 + 1}, {height - 1, height}, {1, height}};
    for (int t = 0; t < l.Frames; ++t)
        for (int c = 0; c < l.Channels; ++c)
            for (int z = 0; z < l.SizeZ; ++z) {
                const QString at = QString("c %1 t %2 z %3: ").arg(c).arg(t).arg(z);
                const uint8_t* want = stack.Plane(c, t, z);
                if (!source.ReadPlane(c, t, z, got.data(), error))
                    return at + "ReadPlane failed: " + error.c_str();
                if (std::memcmp(got.data(), want, size_t(stack.PlaneBytes())) != 0)
                    return at + "plane differs";
                for (const auto& [y0, y1] : ranges) {
                    if (y0 >= y1) continue;
                    std::fill(got.begin(), got.end(), 0xA5);
                    if (!source.ReadRows(c, t, z, y0, y1, got.data(), error))
                        return at + "ReadRows failed: " + error.c_str();
                    if (std::memcmp(got.data(), want + y0 * rowBytes,
                                    size_t((y1 - y0) * rowBytes)) ||
                        !untouched((y1 - y0) * rowBytes))
                        return at + QString("rows %1 to %2 differ").arg(y0).arg(y1);
                }
                for (const int64_t x : {int64_t(0), int64_t(l.SizeX / 2), int64_t(l.SizeX - 1)}) {
                    std::fill(got.begin(), got.end(), 0xA5);
                    if (!source.ReadColumn(c, t, z, x, got.data(), error))
                        return at + "ReadColumn failed: " + error.c_str();
                    for (int64_t y = 0; y < height; ++y)
                        if (std::memcmp(got.data() + y * bytes, want + y * rowBytes + x * bytes,
                                        size_t(bytes)))
                            return at + QString("column %1 differs at row %2").arg(x).arg(y);
                    if (!untouched(height * bytes))
                        return at + QString("column %1 runs past the plane's rows").arg(x);
                }
            }
    return {};
}

} // namespace

class TestTiffSource : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QString Path(const QString& name) const { return dir_.filePath(name); }

    /** Copies the corpus file `name` to `copy`, to be truncated. */
    QString Copied(const QString& name, const QString& copy)
    {
        QFile::remove(Path(copy));
        if (!QFile::copy(Path(name), Path(copy))) qFatal("cannot copy %s", qPrintable(name));
        return Path(copy);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        if (const QString missing = TiffToolsMissing(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        QByteArray error;
        QVERIFY2(MakeTiffCorpus(dir_.path(), error), error.constData());
    }

    void readsLikeReadStack_data()
    {
        // How the planes of each file are read when mapping is allowed: compressed pages
        // and tiles narrower than the page are decoded, the rest mapped (interleaved RGB
        // gathered, big-endian samples swapped after the copy, ImageJ planes after one
        // directory taken as they lie). Without mapping every plane a page holds is decoded.
        const QStringList decoded =
            QString("tiled_uint16 tiled_rgb ij_u16_lzw ome_u16_zip plain_int16_lzw2 "
                    "plain_float32_zip3 tiled_uint16_packbits rgb_planar_uint16_zip "
                    "rgb_uint8_packbits single_uint8_jpeg rgb_uint8_jpeg tiled_rgb_jpeg "
                    "ij_large_zip")
                .split(' ');
        const QStringList mapped =
            QString("ij_u16 ij_f32 ij_rgb ij_large ij_contiguous ij_contiguous_be ome_u16 "
                    "ome_rgb ome_planes plain_uint8 plain_int8 plain_int16 plain_uint32 "
                    "plain_int32 plain_float32 plain_float64 plain_uint64 plain_int16_be "
                    "plain_float64_be bigtiff_float32 tiled_wide_uint16 strips_uint16 "
                    "single_uint8 samples_int16 rgb_uint8 rgb_planar_uint16 rgba_uint8 "
                    "odd_ome_count odd_ij_images odd_thumbnail")
                .split(' ');
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("route"); // "refused" for the refused files; empty: any
        QTest::addColumn<bool>("map");
        QStringList files;
        for (const QString& name : QDir(dir_.path()).entryList({"*.tif"}, QDir::Files))
            files << Path(name);
        QFile manifest(Path("manifest.txt"));
        QVERIFY(manifest.open(QIODevice::ReadOnly | QIODevice::Text));
        while (!manifest.atEnd()) {
            const QString file = QString(manifest.readLine()).section(' ', 0, 0);
            if (QFileInfo(file).isAbsolute()) files << file; // a real file
        }
        for (const QString& file : files) {
            const QString base = QFileInfo(file).completeBaseName();
            const bool real = !file.startsWith(dir_.path());
            if (base.startsWith("damaged_")) continue; // damagedPage
            QString route = base.startsWith("refused_") ? "refused"
                            : decoded.contains(base)    ? "decoded"
                            : mapped.contains(base)     ? "mapped"
                            : base == "ome_missing"     ? "empty mapped" // a plane no page holds
                                                        : QString();
            QVERIFY2(real || !route.isEmpty(), qPrintable(base + " has no route in the table"));
            for (const bool map : {true, false}) {
                if (!map && route.endsWith("mapped"))
                    route = route.contains("empty") ? "decoded empty" : "decoded";
                QTest::newRow(qPrintable(QString("%1 %2").arg(base, map ? "mapped" : "decoded")))
                    << file << route << map;
            }
        }
        QVERIFY(files.size() > 40);
    }

    void readsLikeReadStack()
    {
        QFETCH(QString, file);
        QFETCH(QString, route);
        QFETCH(bool, map);
        VolumeStack stack;
        const VolumeReadResult read = ReadStack(Std(file), stack);
        std::unique_ptr<PlaneSource> source;
        const VolumeReadResult opened = Open(file, source, map);
        QCOMPARE(opened.Message, read.Message);
        QCOMPARE(opened.Code, read.Code);
        QCOMPARE(route == "refused", read.Code == ByteVolume::LoadFailed);
        if (!read.Loaded()) {
            QVERIFY(!source);
            return;
        }
        QVERIFY(source);
        QVERIFY(source->RandomAccess());
        QCOMPARE(source->Warning(), read.Message);
        QCOMPARE(Text(source->Layout()), Text(stack.Layout()));
        if (!route.isEmpty()) QCOMPARE(Routes(*source), route);
        // Decoded pages are kept within a budget of about two planes: some are given up.
        if (!map) Tiff(*source).SetCacheBudget(2 * source->PlaneBytes());
        const QString difference = Compare(*source, stack);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QVERIFY(Tiff(*source).CachedBytes() <= Tiff(*source).CacheBudget());
    }

    /** The cache of decoded pages: its budget, pages beyond it, and pages given up. */
    void decodedPagesKeptWithinBudget()
    {
        std::unique_ptr<PlaneSource> source;
        QVERIFY(Open(Path("ij_u16_lzw.tif"), source, true).Loaded()); // 2 c, 2 t, z 3
        TiffPlaneSource& tiff = Tiff(*source);
        QCOMPARE(tiff.CacheBudget(), TiffPlaneSource::DefaultCacheBudget);
        const int64_t plane = source->PlaneBytes();
        std::vector<uint8_t> out(static_cast<size_t>(plane));
        std::string error;
        for (int z = 0; z < 3; ++z)
            QVERIFY(source->ReadPlane(1, 1, z, out.data(), error));
        QCOMPARE(tiff.CachedBytes(), 3 * plane);
        tiff.SetCacheBudget(2 * plane); // the least recently read goes
        QCOMPARE(tiff.CachedBytes(), 2 * plane);
        source->DoneWith(1, 1, 0, 3);
        QCOMPARE(tiff.CachedBytes(), 0);
        tiff.SetCacheBudget(plane - 1); // a page larger than the budget is not kept
        QVERIFY(source->ReadPlane(0, 0, 0, out.data(), error));
        QCOMPARE(tiff.CachedBytes(), 0);
        VolumeStack stack;
        QVERIFY(ReadStack(Std(Path("ij_u16_lzw.tif")), stack).Loaded());
        QVERIFY(std::memcmp(out.data(), stack.Plane(0, 0, 0), size_t(plane)) == 0);
    }

    /**
     * A page whose data do not decode: ReadStack fails on it, the source fails that
     * plane's reads with the same reason, every time, and reads the others.
     */
    void damagedPage()
    {
        const QString file = Path("damaged_zlib.tif"); // three alike planes, page 2 damaged
        VolumeStack stack;
        const VolumeReadResult read = ReadStack(Std(file), stack);
        QCOMPARE(read.Code, ByteVolume::LoadReadFailed);
        QVERIFY2(
            QString::fromStdString(read.Message).startsWith("cannot read the samples of page 2"),
            read.Message.c_str());
        std::unique_ptr<PlaneSource> source;
        QVERIFY(Open(file, source, true).Code == ByteVolume::LoadOk);
        const size_t bytes = size_t(source->PlaneBytes());
        std::vector<uint8_t> first(bytes), out(bytes);
        std::string error;
        QVERIFY(source->ReadPlane(0, 0, 0, first.data(), error));
        for (int pass = 0; pass < 2; ++pass) {
            error.clear();
            QVERIFY(!source->ReadPlane(0, 0, 1, out.data(), error));
            QCOMPARE(error, read.Message);
            QVERIFY(!source->ReadColumn(0, 0, 1, 2, out.data(), error));
            QVERIFY(source->ReadPlane(0, 0, 2, out.data(), error));
            QVERIFY(out == first);
        }
    }

    void twoThreadsReadAlike()
    {
        const QString file = Path("ij_large_zip.tif"); // 16 x 2 planes of 512 x 256, zip
        VolumeStack stack;
        QVERIFY(ReadStack(Std(file), stack).Loaded());
        std::unique_ptr<PlaneSource> source;
        QVERIFY(Open(file, source, true).Loaded());
        QCOMPARE(Routes(*source), QString("decoded"));
        // Room for three pages: the threads keep decoding, and give up each other's.
        Tiff(*source).SetCacheBudget(3 * source->PlaneBytes());
        const StackLayout& l = stack.Layout();
        std::atomic<int> wrong{0}, failed{0};
        const auto run = [&](bool backwards) {
            std::vector<uint8_t> out(size_t(stack.PlaneBytes()));
            std::string error;
            for (int pass = 0; pass < 2; ++pass)
                for (int i = 0; i < l.SizeZ * l.Channels; ++i) {
                    const int k = backwards ? l.SizeZ * l.Channels - 1 - i : i;
                    const int c = k % l.Channels, z = k / l.Channels;
                    if (!source->ReadPlane(c, 0, z, out.data(), error))
                        ++failed;
                    else if (std::memcmp(out.data(), stack.Plane(c, 0, z), out.size()) != 0)
                        ++wrong;
                }
        };
        std::thread other(run, true);
        run(false);
        other.join();
        QCOMPARE(failed.load(), 0);
        QCOMPARE(wrong.load(), 0);
    }

    /** A file truncated under a source: reads fail with the reason, and so do later ones. */
    void truncatedFile_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("route");
        QTest::newRow("mapped") << "ij_large.tif"
                                << "mapped";
        QTest::newRow("decoded") << "ij_large_zip.tif"
                                 << "decoded";
    }

    void truncatedFile()
    {
        QFETCH(QString, file);
        QFETCH(QString, route);
        const QString path = Copied(file, "truncated.tif");
        std::unique_ptr<PlaneSource> source;
        QVERIFY(Open(path, source, true).Loaded());
        QCOMPARE(Routes(*source), route);
        const int64_t last = source->Layout().SizeZ - 1;
        std::vector<uint8_t> out(size_t(source->PlaneBytes()));
        std::string error;
        QVERIFY(source->ReadPlane(0, 0, 0, out.data(), error));
        QCOMPARE(::truncate(Std(path).c_str(), QFileInfo(path).size() / 2), 0);

        QVERIFY(!source->ReadPlane(1, 0, last, out.data(), error));
        QVERIFY2(QString::fromStdString(error).contains("became shorter"), error.c_str());
        // The first plane, still within the file (and kept when decoded), no longer reads.
        error.clear();
        QVERIFY(!source->ReadPlane(0, 0, 0, out.data(), error));
        QVERIFY2(QString::fromStdString(error).contains("became shorter"), error.c_str());
        QVERIFY(!source->ReadRows(0, 0, 0, 3, 5, out.data(), error));
        QVERIFY(!source->ReadColumn(0, 0, 1, 7, out.data(), error));
        source->WillRead(0, 0, 0, last + 1, MappedFile::Access::Sequential);
        source->DoneWith(0, 0, 0, last + 1);
    }

    /** A sparse BigTIFF of 32 GiB: opened at once, a plane in the middle read. */
    void sparseBigTiff()
    {
        const QString path = Path("sparse.tif");
        QCOMPARE(QProcess::execute("/usr/bin/python3", {VOLINSPECT_MAKE_STACKS, "--sparse", path}),
                 0);
        struct stat status
        {
        };
        QCOMPARE(::stat(Std(path).c_str(), &status), 0);
        QVERIFY(status.st_size > (int64_t(32) << 30));
        if (status.st_blocks * 512 > (int64_t(64) << 20)) QSKIP("the file system wrote zeros");

        QElapsedTimer timer;
        timer.start();
        std::unique_ptr<PlaneSource> source;
        const VolumeReadResult read = OpenStackSource(Std(path), source);
        QVERIFY2(read.Code == ByteVolume::LoadOk, read.Message.c_str());
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        const StackLayout& l = source->Layout();
        QCOMPARE(QList<int>({l.SizeX, l.SizeY, l.SizeZ, l.Channels, l.Frames}),
                 QList<int>({4096, 4096, 1024, 1, 1}));
        QCOMPARE(l.Kind, SampleKind::UInt16);
        QVERIFY(!FitsInMemory(l.VolumeBytes()));
        QCOMPARE(Routes(*source), QString("mapped"));

        const auto sample = [](int64_t x, int64_t y, int64_t z) -> uint16_t {
            return y >= 1000 && y < 1016 && z == 512 ? uint16_t(3 * x + 5 * y + 512) : 0;
        };
        std::vector<uint16_t> plane(size_t(l.SizeX) * l.SizeY);
        std::string error;
        for (const int z : {512, 700}) {
            source->WillRead(0, 0, z, z + 1, MappedFile::Access::Sequential);
            QVERIFY2(source->ReadPlane(0, 0, z, reinterpret_cast<uint8_t*>(plane.data()), error),
                     error.c_str());
            int64_t wrong = 0;
            for (int64_t y = 0; y < l.SizeY; ++y)
                for (int64_t x = 0; x < l.SizeX; ++x)
                    wrong += plane[size_t(y * l.SizeX + x)] != sample(x, y, z);
            QCOMPARE(wrong, 0);
            source->DoneWith(0, 0, z, z + 1);
        }
        QVERIFY(
            source->ReadColumn(0, 0, 512, 4095, reinterpret_cast<uint8_t*>(plane.data()), error));
        for (int64_t y = 995; y < 1020; ++y)
            QCOMPARE(plane[size_t(y)], sample(4095, y, 512));
    }
};

QTEST_GUILESS_MAIN(TestTiffSource)
#include "tst_tiffsource.moc"
