#include "ByteVolume.h"
#include "TestVolumes.h"
#include "IcsLocale.h"
#include "IcsWriter.h"
#include "VolumeReader.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <libics.h>

#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <future>
#include <vector>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Std(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray RawHeader(qint32 x, qint32 y, qint32 z)
{
    QByteArray bytes(12, '\0');
    qToLittleEndian(x, bytes.data());
    qToLittleEndian(y, bytes.data() + 4);
    qToLittleEndian(z, bytes.data() + 8);
    return bytes;
}

QByteArray Contents(const ByteVolume& volume)
{
    return volume.Data ? QByteArray(reinterpret_cast<const char*>(volume.Data),
                                    qsizetype(volume.VoxelCount()))
                       : QByteArray();
}

/** Sizes and voxels of a volume, to tell that a call left it alone. */
struct Snapshot
{
    int32_t X, Y, Z;
    QByteArray Voxels;
    explicit Snapshot(const ByteVolume& v) : X(v.SizeX), Y(v.SizeY), Z(v.SizeZ), Voxels(Contents(v))
    {
    }
    bool Matches(const ByteVolume& v) const
    {
        return v.SizeX == X && v.SizeY == Y && v.SizeZ == Z && Contents(v) == Voxels;
    }
};

bool WriteIcs(const QString& path, size_t x, size_t y, size_t z, const void* samples,
              const IcsWriteOptions& options = {})
{
    return WriteIcsVolume(Std(path), x, y, z, samples, options, nullptr);
}

QStringList Entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

/**
 * Counts the opens of the files in a folder by name, as inotify reports them. inotify
 * merges an event into the same one just before it, so each file is watched as well
 * as the folder: the file's own events come between those of the folder.
 */
class OpenCounter
{
public:
    explicit OpenCounter(const QString& folder) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        bool watched =
            fd_ >= 0 && ::inotify_add_watch(fd_, QFile::encodeName(folder), IN_OPEN) >= 0;
        for (const QString& file : Entries(folder))
            watched = watched && ::inotify_add_watch(fd_, QFile::encodeName(folder + '/' + file),
                                                     IN_OPEN) >= 0;
        if (!watched && fd_ >= 0) fd_ = (::close(fd_), -1);
    }
    ~OpenCounter()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    bool IsValid() const { return fd_ >= 0; }

    /** The opens since the counter was made or last asked. */
    QMap<QString, int> Take()
    {
        QMap<QString, int> opens;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0) ++opens[QFile::decodeName(event->name)]; // the folder's
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        return opens;
    }

private:
    int fd_;
};

} // namespace

class TestByteVolume : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QString Path(const QString& name) const { return dir_.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        // Load ICS files as on a desktop, in a locale other than C: libics's own switch
        // to the C locale goes wrong only there.
        std::setlocale(LC_ALL, "C.UTF-8");
    }

    void newAndReleasedVolumes()
    {
        ByteVolume volume;
        QVERIFY(volume.Data == nullptr);
        QCOMPARE(volume.VoxelCount(), int64_t(0));
        QCOMPARE(volume.StrideX, int64_t(1));
        QCOMPARE(volume.StrideY, int64_t(1));
        QCOMPARE(volume.StrideZ, int64_t(1));
        FillRandom(volume, 6, 4, 3, 1);
        volume.Release();
        QVERIFY(volume.Data == nullptr);
        QCOMPARE(volume.SizeX, 0);
        QCOMPARE(volume.SizeY, 0);
        QCOMPARE(volume.SizeZ, 0);
        QCOMPARE(volume.StrideY, int64_t(6));
        QCOMPARE(volume.StrideZ, int64_t(24));
    }

    void allocate_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("z");
        QTest::newRow("odd") << 7 << 5 << 3;
        QTest::newRow("one voxel") << 1 << 1 << 1;
        QTest::newRow("one slice") << 33 << 17 << 1;
        QTest::newRow("one column") << 1 << 1 << 40;
    }

    void allocate()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, z);
        ByteVolume volume;
        FillRandom(volume, 9, 8, 6, 2); // the second Allocate replaces this buffer
        volume.Allocate(x, y, z);
        QVERIFY(volume.Data != nullptr);
        QCOMPARE(volume.SizeX, x);
        QCOMPARE(volume.SizeY, y);
        QCOMPARE(volume.SizeZ, z);
        QCOMPARE(volume.StrideX, int64_t(1));
        QCOMPARE(volume.StrideY, int64_t(x));
        QCOMPARE(volume.StrideZ, int64_t(x) * y);
        QCOMPARE(Contents(volume), QByteArray(x * y * z, '\0'));
    }

    void allocateRefuses_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("z");
        QTest::newRow("negative x") << -1 << 2 << 3;
        QTest::newRow("negative y") << 2 << -1 << 3;
        QTest::newRow("negative z") << 2 << 3 << INT_MIN;
        QTest::newRow("overflows 64 bits") << INT_MAX << INT_MAX << INT_MAX;
        QTest::newRow("beyond memory") << 65536 << 65536 << 65536;
    }

    void allocateRefuses()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, z);
        ByteVolume volume;
        FillRandom(volume, 4, 3, 2, 3);
        QVERIFY_THROWS_EXCEPTION(std::bad_alloc, volume.Allocate(x, y, z));
        QVERIFY(volume.Data == nullptr);
        QCOMPARE(volume.VoxelCount(), int64_t(0));
    }

    void fileTypeByContent_data()
    {
        // The content decides: raw data under any name but a ".ics" one loads as raw,
        // an ICS header under any name loads as ICS, its data file found where libics
        // looks for it beside that name.
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("icsName");
        QTest::addColumn<QString>("dataName"); // where libics finds the data of an ICS header
        QTest::newRow("shortest") << "v.ics" << true << "v.ids";
        QTest::newRow("longer") << "volume.ics" << true << "volume.ids";
        QTest::newRow("suffix alone") << ".ics" << false << ".ids";
        QTest::newRow("upper case") << "x.ICS" << false << "x.IDS";
        QTest::newRow("mixed case") << "x.Ics" << false << "x.Ids";
        QTest::newRow("suffix inside") << "a.ics.raw" << false << "a.ics.raw.ids";
        QTest::newRow("no dot") << "volumeics" << false << "volumeics.ids";
    }

    void fileTypeByContent()
    {
        QFETCH(QString, name);
        QFETCH(bool, icsName);
        QFETCH(QString, dataName);
        QCOMPARE(ByteVolume::IsIcsFileName(name.toStdString()), icsName);
        // The name is used relative to the folder, so that ".ics" stays four characters.
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir_.path()));
        const auto restore = qScopeGuard([&] {
            QFile::remove(name);
            QFile::remove(dataName);
            QDir::setCurrent(previous);
        });

        // Raw data loads unless the name promises ICS, which is then refused.
        ByteVolume saved, loaded;
        FillRandom(saved, 5, 3, 2, 4);
        QCOMPARE(saved.SaveRaw(name.toStdString()), 0);
        std::string message;
        const int32_t rawCode = loaded.Load(name.toStdString(), &message);
        QCOMPARE(rawCode, icsName ? int32_t(ByteVolume::LoadFailed) : int32_t(ByteVolume::LoadOk));
        QCOMPARE(Snapshot(saved).Matches(loaded), !icsName);
        if (icsName)
            QVERIFY2(QString::fromStdString(message).contains("ICS header"), message.c_str());

        // An ICS pair under the same name loads whatever the name.
        QFile::remove(name);
        ByteVolume ics;
        FillRandom(ics, 4, 3, 2, 9);
        std::string text;
        QVERIFY2(WriteIcsVolume("made.ics", 4, 3, 2, ics.Data, IcsWriteOptions{}, &text),
                 text.c_str());
        QVERIFY(QFile::rename("made.ics", name) && QFile::rename("made.ids", dataName));
        QCOMPARE(loaded.Load(name.toStdString(), &message), int32_t(ByteVolume::LoadOk));
        QVERIFY(Snapshot(ics).Matches(loaded));
    }

    void rawRoundTrip_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("z");
        QTest::newRow("odd") << 7 << 5 << 3;
        QTest::newRow("one slice") << 19 << 11 << 1;
        QTest::newRow("one voxel") << 1 << 1 << 1;
        QTest::newRow("tall") << 3 << 2 << 300;
        QTest::newRow("empty") << 0 << 0 << 0; // the header alone, 12 zero bytes
    }

    void rawRoundTrip()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, z);
        ByteVolume saved, loaded;
        if (x > 0) FillRandom(saved, x, y, z, 5);
        FillRandom(loaded, 2, 2, 2, 6);
        const QString path = Path("roundtrip.raw");
        std::string message = "stale";
        QCOMPARE(saved.SaveRaw(Std(path), &message), 0);
        QVERIFY(message.empty());
        QCOMPARE(ReadAll(path), RawHeader(x, y, z) + Contents(saved));
        message = "stale";
        QCOMPARE(loaded.Load(Std(path), &message), ByteVolume::LoadOk);
        QVERIFY2(message.empty(), message.c_str());
        QVERIFY(Snapshot(saved).Matches(loaded));
        QCOMPARE(loaded.StrideZ, int64_t(x) * y);
    }

    void loadShortDataSection_data()
    {
        QTest::addColumn<int>("present");
        QTest::newRow("header only") << 0;
        QTest::newRow("part of the data") << 10;
        QTest::newRow("all but one") << 23;
    }

    void loadShortDataSection()
    {
        QFETCH(int, present);
        ByteVolume source, loaded;
        FillRandom(source, 4, 3, 2, 8);
        const QString path = Path("short.raw");
        WriteAll(path, RawHeader(4, 3, 2) + Contents(source).left(present));
        FillRandom(loaded, 4, 3, 2, 9); // must not show through the missing part
        std::string message;
        QCOMPARE(loaded.Load(Std(path), &message), ByteVolume::LoadOk);
        QCOMPARE(loaded.SizeX, 4);
        QCOMPARE(loaded.SizeY, 3);
        QCOMPARE(loaded.SizeZ, 2);
        QCOMPARE(Contents(loaded), Contents(source).left(present) + QByteArray(24 - present, 0));
        QVERIFY2(QByteArray::fromStdString(message).contains("data section"), message.c_str());
    }

    void loadRawRefuses_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("11 bytes") << RawHeader(1, 1, 1).left(11);
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("negative x") << RawHeader(-1, 2, 2) + "abcd";
        QTest::newRow("negative z") << RawHeader(2, 2, INT_MIN);
        QTest::newRow("overflows 64 bits") << RawHeader(INT_MAX, INT_MAX, INT_MAX);
        QTest::newRow("beyond memory") << RawHeader(65536, 65536, 65536);
        // Fits a 64-bit count and an allocation, but not the memory of this machine.
        const qint64 slices = ByteVolume::MaxVoxelCount() / (qint64(1) << 32) + 1;
        QTest::newRow("just over memory") << RawHeader(65536, 65536, qint32(slices));
    }

    void loadRawRefuses()
    {
        QFETCH(QByteArray, content);
        const QString path = Path("hostile.raw");
        WriteAll(path, content);
        ByteVolume volume;
        FillRandom(volume, 5, 4, 3, 10);
        const Snapshot before(volume);
        std::string message;
        QCOMPARE(volume.Load(Std(path), &message), ByteVolume::LoadFailed);
        QVERIFY(!message.empty());
        QVERIFY(before.Matches(volume));
    }

    void loadRefusesNonFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing raw") << "missing.raw"
                                     << "none";
        QTest::newRow("missing ics") << "missing.ics"
                                     << "none";
        QTest::newRow("folder") << "folder"
                                << "folder";
        QTest::newRow("folder ics") << "folder.ics"
                                    << "folder";
        QTest::newRow("fifo") << "pipe"
                              << "fifo";
        QTest::newRow("fifo ics") << "pipe.ics"
                                  << "fifo";
    }

    void loadRefusesNonFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QTemporaryDir folder;
        const QByteArray path = QFile::encodeName(folder.filePath(name));
        if (kind == "folder") QCOMPARE(::mkdir(path.constData(), 0700), 0);
        if (kind == "fifo") QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        ByteVolume volume;
        FillRandom(volume, 3, 4, 5, 11);
        const Snapshot before(volume);
        std::string message;
        auto load = std::async(std::launch::async,
                               [&] { return volume.Load(path.toStdString(), &message); });
        if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            // A writer releases the blocked reader, so that the test can end.
            const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            load.wait();
            QFAIL("Load blocked on the name");
        }
        QCOMPARE(load.get(), ByteVolume::LoadFailed);
        QVERIFY(!message.empty());
        QVERIFY(before.Matches(volume));
    }

    void saveRawFailures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("fileSizeLimit");
        QTest::newRow("missing folder") << "no/such/folder/v.raw" << false;
        QTest::newRow("target is a folder") << "folder" << false;
        QTest::newRow("write fails part-way") << "target.raw" << true;
    }

    void saveRawFailures()
    {
        QFETCH(QString, name);
        QFETCH(bool, fileSizeLimit);
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir("folder"));
        WriteAll(folder.filePath("folder/inner"), "inner");
        const QByteArray old = RawHeader(1, 1, 2) + "ab";
        WriteAll(folder.filePath("target.raw"), old);
        const QStringList before = Entries(folder.path());

        ByteVolume volume;
        FillRandom(volume, 80, 60, 50, 12); // 240 000 voxels, far above the limit below
        std::string message;
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        int32_t code = -1;
        {
            const auto restore = qScopeGuard([&] {
                ::setrlimit(RLIMIT_FSIZE, &saved);
                std::signal(SIGXFSZ, oldHandler);
            });
            rlimit small = saved;
            small.rlim_cur = 8192;
            if (fileSizeLimit) QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
            code = volume.SaveRaw(Std(folder.filePath(name)), &message);
        }
        QCOMPARE(code, 1);
        QVERIFY(!message.empty());
        QCOMPARE(Entries(folder.path()), before); // no temporary file is left
        QCOMPARE(ReadAll(folder.filePath("target.raw")), old);
        QCOMPARE(ReadAll(folder.filePath("folder/inner")), QByteArray("inner"));
    }

    void saveRawReplacesTarget()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("target.raw");
        WriteAll(path, QByteArray(5000, char(0xAB)));
        ByteVolume volume;
        FillRandom(volume, 6, 5, 4, 13);
        QCOMPARE(volume.SaveRaw(Std(path)), 0);
        QCOMPARE(ReadAll(path), RawHeader(6, 5, 4) + Contents(volume));
        QCOMPARE(Entries(folder.path()), QStringList{"target.raw"});
    }

    void loadIcs8Bit_data()
    {
        QTest::addColumn<bool>("gzip");
        QTest::addColumn<bool>("singleFile");
        QTest::newRow("header and data") << false << false;
        QTest::newRow("gzip") << true << false;
        QTest::newRow("single file") << false << true;
        QTest::newRow("single file gzip") << true << true;
    }

    void loadIcs8Bit()
    {
        QFETCH(bool, gzip);
        QFETCH(bool, singleFile);
        ByteVolume source, loaded;
        FillRandom(source, 13, 7, 5, 14);
        FillRandom(loaded, 2, 3, 4, 15);
        const QString path = Path(QString("eight%1%2.ics").arg(gzip).arg(singleFile));
        QVERIFY(WriteIcs(path, 13, 7, 5, source.Data, {1, 0, gzip, singleFile}));
        const QByteArray locale = std::setlocale(LC_ALL, nullptr);
        std::string message = "stale";
        QCOMPARE(loaded.Load(Std(path), &message), ByteVolume::LoadOk);
        QVERIFY2(message.empty(), message.c_str());
        QVERIFY(Snapshot(source).Matches(loaded));
        QCOMPARE(QByteArray(std::setlocale(LC_ALL, nullptr)), locale);
    }

    void loadIcsWideSamples_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QList<quint32>>("samples");
        QTest::addColumn<QByteArray>("voxels");
        QTest::newRow("16 of 16 bits")
            << 2 << 16 << QList<quint32>{0, 0xFF, 0x100, 0x1234, 0x80FF, 0xFEFF, 0xFFFF, 0x7F00}
            << QByteArray("\x00\x00\x01\x12\x80\xFE\xFF\x7F", 8);
        QTest::newRow("12 of 16 bits")
            << 2 << 12 << QList<quint32>{0, 0x0F, 0x10, 0xABC, 0xFFF, 0x1000, 0xFFFF, 0x7F5}
            << QByteArray("\x00\x00\x01\xAB\xFF\xFF\xFF\x7F", 8);
        QTest::newRow("32 bits") << 4 << 0
                                 << QList<quint32>{0x12345678, 0xFF000000, 0x00FFFFFF, 0x40000000,
                                                   0x01000000, 0xC1FFFFFF, 0x3F000000, 0x80000000}
                                 << QByteArray("\x48\xFC\x00\x00\x04\x04\xFC\x00", 8);
    }

    void loadIcsWideSamples()
    {
        QFETCH(int, bytes);
        QFETCH(int, bits);
        QFETCH(QList<quint32>, samples);
        QFETCH(QByteArray, voxels);
        const std::vector<quint16> narrow(samples.begin(), samples.end());
        const std::vector<quint32> wide(samples.begin(), samples.end());
        const void* data = bytes == 2 ? static_cast<const void*>(narrow.data()) : wide.data();
        const QString path = Path(QString("wide%1.ics").arg(bits));
        QVERIFY(WriteIcs(path, 2, 2, 2, data, {bytes, bits, false, false}));
        ByteVolume loaded;
        QCOMPARE(loaded.Load(Std(path)), ByteVolume::LoadOk);
        QCOMPARE(loaded.SizeX, 2);
        QCOMPARE(loaded.SizeY, 2);
        QCOMPARE(loaded.SizeZ, 2);
        QCOMPARE(Contents(loaded), voxels);
    }

    void loadIcs16BitInManyBlocks()
    {
        // More samples than one conversion block holds: the blocks must join up.
        constexpr int X = 1031, Y = 1024, Z = 2;
        std::vector<quint16> samples(size_t(X) * Y * Z);
        QByteArray expected(qsizetype(samples.size()), 0);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = quint16(i * 2654435761u >> 7);
            expected[qsizetype(i)] = char(samples[i] >> 8);
        }
        const QString path = Path("many.ics");
        QVERIFY(WriteIcs(path, X, Y, Z, samples.data(), {2, 16, true, false}));
        ByteVolume loaded;
        QCOMPARE(loaded.Load(Std(path)), ByteVolume::LoadOk);
        QVERIFY(Contents(loaded) == expected);
    }

    void loadIcsRefuses_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("16-bit samples declaring 8 bits") << "declared8";
        QTest::newRow("1-D image") << "flat";
        QTest::newRow("data file missing") << "orphan";
    }

    void loadIcsRefuses()
    {
        QFETCH(QString, kind);
        const QString path = Path(kind + ".ics");
        const std::vector<quint16> samples(5 * 4 * 3, 0x0102);
        if (kind == "declared8") QVERIFY(WriteIcs(path, 5, 4, 3, samples.data(), {2, 8}));
        if (kind == "orphan") {
            QVERIFY(WriteIcs(path, 5, 4, 3, samples.data()));
            QVERIFY(QFile::remove(Path("orphan.ids")));
        }
        if (kind == "flat") {
            const size_t dims[1] = {24};
            const IcsLocaleScope cLocale;
            ICS* ics = nullptr;
            QCOMPARE(IcsOpen(&ics, Std(path).c_str(), "w1"), IcsErr_Ok);
            QCOMPARE(IcsSetLayout(ics, Ics_uint8, 1, dims), IcsErr_Ok);
            QCOMPARE(IcsSetData(ics, samples.data(), 24), IcsErr_Ok);
            QCOMPARE(IcsClose(ics), IcsErr_Ok);
        }
        ByteVolume volume;
        FillRandom(volume, 5, 4, 3, 16);
        const Snapshot before(volume);
        std::string message;
        const int32_t code = volume.Load(Std(path), &message);
        QVERIFY2(kind == "orphan" ? code != ByteVolume::LoadOk : code == ByteVolume::LoadFailed,
                 qPrintable(QString::number(code)));
        QVERIFY(!message.empty());
        QVERIFY(before.Matches(volume));
    }

    void loadIcsBigEndian()
    {
        constexpr int X = 5, Y = 3, Z = 2;
        std::vector<quint16> samples(X * Y * Z);
        QByteArray bigEndian, expected;
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = quint16(0x0123 + i * 0x0811);
            bigEndian.append(char(samples[i] >> 8)).append(char(samples[i] & 0xFF));
            expected.append(char(samples[i] >> 8));
        }
        QVERIFY(WriteIcs(Path("little.ics"), X, Y, Z, samples.data(), {2, 16}));
        // The header libics writes for it, with the byte order reversed.
        QByteArray header = ReadAll(Path("little.ics"));
        QVERIFY(header.contains("\tbyte_order\t1\t2\n"));
        WriteAll(Path("big.ics"), header.replace("\tbyte_order\t1\t2\n", "\tbyte_order\t2\t1\n"));
        WriteAll(Path("big.ids"), bigEndian);
        ByteVolume little, big;
        QCOMPARE(little.Load(Std(Path("little.ics"))), ByteVolume::LoadOk);
        QCOMPARE(Contents(little), expected);
        QCOMPARE(big.Load(Std(Path("big.ics"))), ByteVolume::LoadOk);
        QVERIFY(Snapshot(little).Matches(big));
    }

    void fifoTakingACheckedNameIsNotRead()
    {
        // A header or data file given to a FIFO between the check and the read blocked.
        const float ramp[8] = {0.5f, 1, 2, 3, 4, 5, 6, 7}; // read twice, opened twice
        for (const QByteArray ext : {"ids", "ics"}) {
            const QByteArray stem = QFile::encodeName(Path("swap " + ext)), name = stem + '.' + ext;
            QVERIFY(WriteIcs(stem + ".ics", 2, 2, 2, ramp, {4, 0, {}, {}, IcsWriteOptions::Real}));
            QCOMPARE(::mkfifo(stem, 0600), 0);
            const auto swap = [&](double at) { return at < 0.5 || ::rename(stem, name) || true; };
            auto load = std::async(std::launch::async, [&] {
                return ByteVolume().Load((stem + ".ics").toStdString(), nullptr, {swap});
            });
            const bool waited = load.wait_for(std::chrono::seconds(2)) != std::future_status::ready;
            while (load.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
                ::close(::open(name, O_WRONLY | O_NONBLOCK)); // lets it end
            QVERIFY(!waited && load.get() == ByteVolume::LoadOk && !QFile::exists(stem));
        }
    }

    void readerRoutes_data()
    {
        // Every way a name goes through the reader, and the files it opens, each exactly
        // once. Where libics reads the files they are not counted: it opens them again
        // through their descriptors, which inotify cannot tell apart from opens by name.
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("counted");
        QTest::addColumn<QStringList>("opened");
        const int ok = ByteVolume::LoadOk, failed = ByteVolume::LoadFailed;
        QTest::newRow("ics pair") << "pair.ics" << ok << false << QStringList();
        QTest::newRow("ids name of a pair") << "pair.ids" << ok << false << QStringList();
        QTest::newRow("single file") << "single.ics" << ok << false << QStringList();
        QTest::newRow("raw") << "volume.raw" << ok << true << QStringList{"volume.raw"};
        QTest::newRow("raw under an ids name")
            << "alone.ids" << ok << true << QStringList{"alone.ids"};
        const QStringList pair{"short.ics", "short.ids"};
        QTest::newRow("pair, data short") << "short.ics" << failed << true << pair;
        QTest::newRow("ids name, data short") << "short.ids" << failed << true << pair;
        QTest::newRow("single file, data short")
            << "cut.ics" << failed << true << QStringList{"cut.ics"};
        QTest::newRow("ics name, no header")
            << "bogus.ics" << failed << true << QStringList{"bogus.ics"};
        QTest::newRow("picture") << "picture.png" << failed << true << QStringList{"picture.png"};
        QTest::newRow("missing") << "none.raw" << failed << true << QStringList();
    }

    void readerRoutes()
    {
        QFETCH(QString, name);
        QFETCH(int, code);
        QFETCH(bool, counted);
        QFETCH(QStringList, opened);
        // Larger than what the probe reads first, so that the raw reader goes on from it.
        ByteVolume source;
        FillRandom(source, 20, 10, 8, 12);
        const QTemporaryDir folder;
        const auto path = [&](const QString& file) { return folder.filePath(file); };
        const auto resize = [&](const QString& file, qint64 by) {
            QFile data(path(file));
            QVERIFY(data.resize(data.size() + by));
        };
        QVERIFY(WriteIcs(path("pair.ics"), 20, 10, 8, source.Data));
        QVERIFY(WriteIcs(path("short.ics"), 20, 10, 8, source.Data));
        resize("short.ids", -100);
        QVERIFY(WriteIcs(path("single.ics"), 20, 10, 8, source.Data, {1, 0, false, true}));
        QVERIFY(WriteIcs(path("cut.ics"), 20, 10, 8, source.Data, {1, 0, false, true}));
        resize("cut.ics", -100);
        QCOMPARE(source.SaveRaw(Std(path("volume.raw"))), 0);
        QCOMPARE(source.SaveRaw(Std(path("alone.ids"))), 0);
        WriteAll(path("bogus.ics"), "no header\n");
        WriteAll(path("picture.png"), QByteArray("\x89PNG\r\n\x1a\n", 8) + RawHeader(1, 1, 1));

        ByteVolume volume;
        FillRandom(volume, 3, 4, 5, 13);
        const Snapshot before(volume);
        OpenCounter counter(folder.path());
        QVERIFY(counter.IsValid());
        const std::string file = Std(path(name));
        const VolumeReadResult read = ReadVolume(file, volume);
        const QMap<QString, int> opens = counter.Take();
        QCOMPARE(read.Code, code);
        // Loaded() says whether the volume is the file's; otherwise it is as it was.
        QCOMPARE(read.Loaded(), Snapshot(source).Matches(volume));
        QCOMPARE(!read.Loaded(), before.Matches(volume));
        QCOMPARE(read.Message.empty(), read.Loaded());
        if (counted) {
            QMap<QString, int> once;
            for (const QString& each : opened)
                once[each] = 1;
            QCOMPARE(opens, once);
        }

        // Load, and the reader with options, give the same.
        ByteVolume loaded, chunked;
        std::string message;
        QCOMPARE(loaded.Load(file, &message), read.Code);
        QCOMPARE(message, read.Message);
        VolumeLoadOptions options;
        options.Progress = [](double) { return true; };
        const VolumeReadResult withOptions = ReadVolume(file, chunked, &options);
        QCOMPARE(withOptions.Code, read.Code);
        QCOMPARE(withOptions.Message, read.Message);
        QCOMPARE(Snapshot(chunked).Matches(volume), read.Loaded());
    }

    void realFiles()
    {
        const QString folder = QStringLiteral(VOLINSPECT_TESTDATA) + '/';
        if (!QFile::exists(folder + "chromo3d.ics")) QSKIP("the real test files are absent");
        ByteVolume volume;
        std::string message;
        QCOMPARE(volume.Load(Std(folder + "chromo3d.ics"), &message), ByteVolume::LoadOk);
        QVERIFY2(message.empty(), message.c_str());
        QCOMPARE(volume.SizeX, 160);
        QCOMPARE(volume.SizeY, 140);
        QCOMPARE(volume.SizeZ, 16);
        QVERIFY(Contents(volume) == ReadAll(folder + "chromo3d.ids"));
        // Two-dimensional images are one plane; cermet's 5 significant bits sit in
        // 8-bit samples, which are the voxels as they stand.
        for (const char* name : {"trui", "cermet"}) {
            QCOMPARE(volume.Load(Std(folder + name + ".ics"), &message), ByteVolume::LoadOk);
            QVERIFY2(message.empty(), message.c_str());
            QVERIFY(volume.SizeX == 256 && volume.SizeY == 256 && volume.SizeZ == 1);
            QVERIFY2(Contents(volume) == ReadAll(folder + name + ".ids"), name);
        }
    }
};

QTEST_GUILESS_MAIN(TestByteVolume)
#include "tst_bytevolume.moc"
