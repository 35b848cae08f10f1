// Hostile ICS headers: every one is refused with a reason before libics reads it, and
// the volume keeps what it held. Several of these crash, hang or corrupt memory when
// they reach the installed libics.

#include "ByteVolume.h"
#include "IcsHeaderCheck.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

/** A valid version 1 header of an 8-bit 4 × 3 × 2 image, one line per entry. */
QByteArray Header(const QByteArray& sizes = "8\t4\t3\t2", const QByteArray& extra = {},
                  const QByteArray& version = "1.0")
{
    return "\t\n"
           "ics_version\t" +
           version +
           "\n"
           "filename\tv\n"
           "layout\tparameters\t4\n"
           "layout\torder\tbits\tx\ty\tz\n"
           "layout\tsizes\t" +
           sizes +
           "\n"
           "layout\tcoordinates\tvideo\n"
           "layout\tsignificant_bits\t8\n"
           "representation\tformat\tinteger\n"
           "representation\tsign\tunsigned\n"
           "representation\tcompression\tuncompressed\n" +
           extra;
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write");
}

std::string Std(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

} // namespace

class TestIcsHeader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void validHeadersPass()
    {
        const QString ics = dir.filePath("ok.ics");
        Write(ics, Header("8\t4\t3\t2", "representation\tbyte_order\t1\n"));
        Write(dir.filePath("ok.ids"), QByteArray(24, 'a'));
        std::string message;
        QVERIFY2(CheckIcsHeader(Std(ics), message), message.c_str());
        ByteVolume volume;
        QCOMPARE(volume.Load(Std(ics)), 0);
        QCOMPARE(volume.Voxel(3, 2, 1), uint8_t('a'));

        // Version 2 with the data after the end line of the same file.
        const QString single = dir.filePath("single.ics");
        Write(single, Header("8\t4\t3\t2", "end\t\n", "2.0") + QByteArray(24, 'b'));
        QVERIFY2(CheckIcsHeader(Std(single), message), message.c_str());
        QCOMPARE(volume.Load(Std(single)), 0);
        QCOMPARE(volume.Voxel(0, 0, 0), uint8_t('b'));
    }

    void everySeparatorPairReads_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("tab, LF") << QByteArray("\t") << QByteArray("\n");
        QTest::newRow("tab, CR LF") << QByteArray("\t") << QByteArray("\r\n");
        QTest::newRow("tab, CR") << QByteArray("\t") << QByteArray("\r");
        QTest::newRow("space, LF") << QByteArray(" ") << QByteArray("\n");
        QTest::newRow("comma, semicolon") << QByteArray(",") << QByteArray(";");
        QTest::newRow("LF, CR") << QByteArray("\n") << QByteArray("\r");
    }

    void everySeparatorPairReads()
    {
        QFETCH(QByteArray, field);
        QFETCH(QByteArray, line);
        QByteArray header = Header("8\t4\t3\t2", "sensor\ts_params\tChannels\t1\nend\n");
        header.replace('\t', '\x01').replace('\n', '\x02');
        header.replace('\x01', field).replace('\x02', line);
        const QString ics = dir.filePath("seps.ics");
        Write(ics, header);
        Write(dir.filePath("seps.ids"), QByteArray(24, 'c'));
        std::string message;
        QVERIFY2(CheckIcsHeader(Std(ics), message), message.c_str());
        ByteVolume volume;
        QCOMPARE(volume.Load(Std(ics), &message), 0);
        QCOMPARE(volume.SizeX * volume.SizeY * volume.SizeZ, 24);
        QCOMPARE(volume.Voxel(3, 2, 1), uint8_t('c'));
    }

    void hostileHeaders_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("data"); // for NAME.ids; absent when empty
        QTest::addColumn<QString>("reason");

        const QByteArray ids(24, 'x');
        QTest::newRow("sensor parameters without values")
            << Header("8\t4\t3\t2", "sensor\ts_params\n") << ids << "sensor line";
        QTest::newRow("sensor states without values")
            << Header("8\t4\t3\t2", "sensor\ts_states\n") << ids << "sensor line";
        QTest::newRow("byte order 0")
            << Header("8\t4\t3\t2", "representation\tbyte_order\t0\n") << ids << "byte order";
        QTest::newRow("byte order beyond the sample")
            << Header("8\t4\t3\t2", "representation\tbyte_order\t2\n") << ids << "byte order";
        QTest::newRow("huge byte order")
            << Header("8\t4\t3\t2", "representation\tbyte_order\t4000000000\n") << ids
            << "byte order";
        QTest::newRow("a byte named twice in the byte order")
            << Header("32\t4\t3\t2", "representation\tbyte_order\t2\t2\t3\t4\n")
            << QByteArray(96, 'x') << "byte order names byte 2 twice";
        QTest::newRow("more byte order entries than bytes")
            << Header("16\t4\t3\t2", "representation\tbyte_order\t1\t2\t1\n") << QByteArray(48, 'x')
            << "byte order";
        QTest::newRow("negative size") << Header("8\t-1\t3\t2") << ids << "invalid size";
        QTest::newRow("sizes whose product overflows")
            << Header("8\t4294967296\t4294967296\t2") << ids << "overflow";
        QTest::newRow("too many sizes")
            << Header("8\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1") << ids << "more than 10";
        QTest::newRow("absurd sample width") << Header("4096\t4\t3\t2") << ids << "bits";
        QTest::newRow("data file missing") << Header() << QByteArray() << "missing";
        QTest::newRow("data file too short") << Header() << QByteArray(23, 'x') << "fewer than";
        QTest::newRow("version 2 without data")
            << Header("8\t4\t3\t2", {}, "2.0") << QByteArray() << "neither";
        QTest::newRow("version 2 naming a device")
            << Header("8\t4\t3\t2", "source\tfile\t/dev/zero\t0\nend\t\n", "2.0") << QByteArray()
            << "not a regular file";
        // libics takes the offset from a line of its own, not from the file line.
        QTest::newRow("version 2 naming a short file")
            << Header("8\t4\t3\t2", "source\tfile\tv.ids\nsource\toffset\t10\nend\t\n", "2.0")
            << ids << "fewer than";
        QTest::newRow("no separators") << QByteArray("\t") << ids << "too short";
        QTest::newRow("no sizes") << QByteArray("\t\nics_version\t1.0\nfilename\tv\n") << ids
                                  << "no sizes";
        QTest::newRow("no filename line")
            << QByteArray("\t\nics_version\t1.0\n") << ids << "no filename line";
        QTest::newRow("not a header at all")
            << QByteArray("\t\nversion\t1.0\n") << ids << "not an ICS header";
        // Lines as libics reads them: CR LF endings make LF the line separator, so a
        // bare LF line counts; a NUL byte ends the line's text; lines of over 1023
        // bytes go on as a new line.
        QByteArray crlf = Header("8\t4\t3\t2");
        crlf.replace("\n", "\r\n");
        QTest::newRow("CR LF header with a bare LF sensor line")
            << crlf + "sensor\ts_params\nend\r\n"
            << ids << "sensor line";
        QTest::newRow("sensor line cut by a NUL byte")
            << Header("8\t4\t3\t2", QByteArray("sensor\ts_params\0\tChannels\t1\n", 28)) << ids
            << "sensor line";
        QTest::newRow("sensor line after 1023 bytes")
            << Header("8\t4\t3\t2", "history\t" + QByteArray(1015, 'h') + "sensor\ts_states\n")
            << ids << "sensor line";
        // libics compares its keywords ignoring case.
        QTest::newRow("sensor parameters in capitals, CR LF") << crlf + "SENSOR\tS_pArams\nend\r\n"
                                                              << ids << "sensor line";
        QTest::newRow("channels in capitals")
            << Header("8\t4\t3\t2", "Sensor\tS_PARAMS\tCHANNELS\t100000\n") << ids << "channels";
        QTest::newRow("more sensor channels than libics holds")
            << Header("8\t4\t3\t2", "sensor\ts_params\tChannels\t100000\n") << ids << "channels";
        QTest::newRow("large header with data after it")
            << Header("8\t4\t3\t2", "history\t" + QByteArray(1 << 20, 'h') + "\nend\n", "2.0") +
                   QByteArray(24, 'd')
            << QByteArray() << "larger than 1 MiB";
    }

    void hostileHeaders()
    {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, data);
        QFETCH(QString, reason);
        QFile::remove(dir.filePath("v.ids"));
        const QString ics = dir.filePath("v.ics");
        Write(ics, header);
        if (!data.isEmpty()) Write(dir.filePath("v.ids"), data);

        std::string message;
        QVERIFY(!CheckIcsHeader(Std(ics), message));
        QVERIFY2(QString::fromStdString(message).contains(reason), message.c_str());

        ByteVolume volume;
        volume.Allocate(2, 2, 2);
        volume.Voxel(1, 1, 1) = 9;
        QCOMPARE(volume.Load(Std(ics), &message), int32_t(ByteVolume::LoadFailed));
        QCOMPARE(volume.SizeX, 2);
        QCOMPARE(volume.Voxel(1, 1, 1), uint8_t(9));
    }

    void dataSizeAsReadIsCheckedAgainstTheFile()
    {
        // A trailing 0 makes the sizes' product 0 for the header scan, while the
        // reader takes only the first four and finds 24 bytes of data to read.
        const QString ics = dir.filePath("trailing.ics");
        Write(ics, Header("8\t4\t3\t2\t0"));
        Write(dir.filePath("trailing.ids"), QByteArray(10, 'x'));
        ByteVolume volume;
        std::string message;
        QCOMPARE(volume.Load(Std(ics), &message), int32_t(ByteVolume::LoadFailed));
        QVERIFY2(QString::fromStdString(message).contains("too few"), message.c_str());
        QCOMPARE(volume.SizeX, 0);
    }

    void fifoDataFileIsNotOpened()
    {
        // A FIFO as the data file would make libics wait for a writer for ever.
        const QString fifo = dir.filePath("pipe.ids");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString ics = dir.filePath("pipe.ics");
        Write(ics, Header());
        std::string message;
        QVERIFY(!CheckIcsHeader(Std(ics), message));
        QVERIFY2(QString::fromStdString(message).contains("not a regular file"), message.c_str());

        const QString v2 = dir.filePath("named.ics");
        Write(v2, Header("8\t4\t3\t2", "source\tfile\t" + QFile::encodeName(fifo) + "\t0\nend\t\n",
                         "2.0"));
        QVERIFY(!CheckIcsHeader(Std(v2), message));
        ByteVolume volume;
        QCOMPARE(volume.Load(Std(v2)), int32_t(ByteVolume::LoadFailed));
    }

private:
    QTemporaryDir dir;
};

QTEST_APPLESS_MAIN(TestIcsHeader)
#include "tst_icsheader.moc"
