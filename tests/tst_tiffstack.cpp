// The TIFF reader against tifffile: make_stacks.py writes stacks of every kind (ImageJ,
// OME-TIFF, BigTIFF, tiles, compressed copies by tiffcp) with tifffile's reading of each;
// every sample read must equal it. Files the reader must refuse leave the stack as it was.

#include "TiffCorpus.h"
#include "TiffReader.h"
#include "VolumeFileType.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

std::string Std(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

/** Reads `path` through ProbeVolumeFile and ReadTiffStack. */
int32_t Read(const QString& path, VolumeStack& stack, std::string& message,
             const StackReadOptions* options = nullptr)
{
    VolumeFileProbe probe = ProbeVolumeFile(Std(path));
    if (probe.Type != VolumeFileType::Tiff) {
        message = "not probed as TIFF: " + probe.Reason;
        return -100;
    }
    return ReadTiffStack(probe.File, stack, message, options);
}

const char* DtypeOf(SampleKind kind)
{
    static const char* Names[] = {"uint8", "int8",   "uint16", "int16",   "uint32",
                                  "int32", "uint64", "int64",  "float32", "float64"};
    return Names[int(kind)];
}

/** A layout as text, to compare with one message on failure. */
QString Text(const StackLayout& l)
{
    return QString("%1 c %2 t %3x%4x%5 %6")
        .arg(l.Channels)
        .arg(l.Frames)
        .arg(l.SizeX)
        .arg(l.SizeY)
        .arg(l.SizeZ)
        .arg(DtypeOf(l.Kind));
}

QByteArray AllSamples(const VolumeStack& stack)
{
    QByteArray bytes;
    const StackLayout& l = stack.Layout();
    for (int t = 0; t < l.Frames; ++t)
        for (int c = 0; c < l.Channels; ++c)
            bytes.append(reinterpret_cast<const char*>(stack.Samples(c, t)),
                         qsizetype(l.VolumeBytes()));
    return bytes;
}

} // namespace

class TestTiffStack : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QString Path(const QString& name) const { return dir_.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        if (const QString missing = TiffToolsMissing(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        QByteArray error;
        QVERIFY2(MakeTiffCorpus(dir_.path(), error), error.constData());
    }

    void readsLikeTifffile_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("dump");
        QTest::addColumn<QString>("expected"); // the layout as Text gives it
        QFile manifest(Path("manifest.txt"));
        QVERIFY(manifest.open(QIODevice::ReadOnly | QIODevice::Text));
        while (!manifest.atEnd()) {
            const QStringList f = QString(manifest.readLine()).split(' ', Qt::SkipEmptyParts);
            if (f.size() != 8) continue;
            const QString dump = f[1] == "-" ? QString() : Path(f[1]);
            QTest::newRow(qPrintable(QFileInfo(f[0]).fileName()))
                << QDir(dir_.path()).absoluteFilePath(f[0]) << dump
                << QString("%1 c %2 t %3x%4x%5 %6")
                       .arg(f[4], f[3], f[7].trimmed(), f[6], f[5], f[2]);
        }
    }

    void readsLikeTifffile()
    {
        QFETCH(QString, file);
        QFETCH(QString, dump);
        QFETCH(QString, expected);
        VolumeStack stack;
        std::string message;
        QCOMPARE(Read(file, stack, message), ByteVolume::LoadOk);
        QCOMPARE(Text(stack.Layout()), expected);

        // The layout alone, from the directories, is the one the read gives.
        VolumeFileProbe probe = ProbeVolumeFile(Std(file));
        StackLayout layout;
        std::string layoutMessage;
        QCOMPARE(ReadTiffLayout(probe.File, layout, layoutMessage), ByteVolume::LoadOk);
        QCOMPARE(Text(layout), expected);
        QCOMPARE(layoutMessage, message);

        if (dump.isEmpty()) return; // JPEG: decoded, sizes checked
        QFile raw(dump);
        QVERIFY(raw.open(QIODevice::ReadOnly));
        const QByteArray want = raw.readAll(), got = AllSamples(stack);
        QCOMPARE(got.size(), want.size());
        const int64_t volume = stack.Layout().VolumeBytes();
        for (qsizetype i = 0; i < got.size(); ++i)
            if (got[i] != want[i])
                QFAIL(qPrintable(
                    QString("volume %1 differs at byte %2").arg(i / volume).arg(i % volume)));
    }

    void metadata_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QList<double>>("spacing"); // empty: not known
        QTest::addColumn<QStringList>("units");
        QTest::addColumn<QStringList>("names"); // name:rrggbb
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("layout");
        const QString um = "\u00B5m";
        QTest::newRow("ImageJ spacing") << "ij_u16.tif" << QList<double>{0.5, 0.25, 2.5}
                                        << QStringList{um, um, um} << QStringList{} << ""
                                        << "2 c 2 t 9x7x3 uint16";
        QTest::newRow("ImageJ escaped micro") << "ij_f32.tif" << QList<double>{1, 1, 1}
                                              << QStringList{um, um, um} << QStringList{} << ""
                                              << "3 c 2 t 5x6x1 float32";
        QTest::newRow("OME channels, units")
            << "ome_u16.tif" << QList<double>{0.5, 0.75, 3} << QStringList{um, um, "mm"}
            << QStringList{"red:", "far red:"} << ""
            << "2 c 2 t 5x6x3 uint16";
        QTest::newRow("OME colours, two images")
            << "ome_planes.tif" << QList<double>{0.125, 0.25, 2} << QStringList{"nm", "nm", "nm"}
            << QStringList{"DAPI:0000ff", "GFP:ff0000"} << "2 images; the first is read"
            << "2 c 2 t 5x6x3 uint16";
        const QStringList rgb{"R:ff0000", "G:00ff00", "B:0000ff"};
        QTest::newRow("RGB") << "rgb_uint8.tif" << QList<double>{} << QStringList{"", "", ""} << rgb
                             << ""
                             << "3 c 1 t 12x10x2 uint8";
        QTest::newRow("RGBA") << "rgba_uint8.tif" << QList<double>{} << QStringList{"", "", ""}
                              << rgb << "4 samples per pixel; those beyond R, G and B are left out"
                              << "3 c 1 t 12x10x1 uint8";
        QTest::newRow("OME count off")
            << "odd_ome_count.tif" << QList<double>{} << QStringList{"", "", ""} << QStringList{}
            << "the OME-XML gives 50 planes, the file holds 2 pages"
            << "1 c 1 t 5x6x2 uint16";
        QTest::newRow("ImageJ count off")
            << "odd_ij_images.tif" << QList<double>{} << QStringList{"", "", ""} << QStringList{}
            << "gives 1000 images, the file holds 3 pages); read as a plain stack"
            << "1 c 1 t 5x6x3 uint8";
        QTest::newRow("thumbnail")
            << "odd_thumbnail.tif" << QList<double>{} << QStringList{"", "", ""} << QStringList{}
            << "left out: 1 reduced-resolution page (thumbnails)"
            << "1 c 1 t 16x16x2 uint8";
    }

    void metadata()
    {
        QFETCH(QString, file);
        QFETCH(QList<double>, spacing);
        QFETCH(QStringList, units);
        QFETCH(QStringList, names);
        QFETCH(QString, warning);
        QFETCH(QString, layout);
        VolumeStack stack;
        std::string message;
        QCOMPARE(Read(Path(file), stack, message), ByteVolume::LoadOk);
        QCOMPARE(Text(stack.Layout()), layout);
        QVERIFY2(warning.isEmpty() ? message.empty()
                                   : QString::fromStdString(message).contains(warning),
                 message.c_str());
        const VoxelSpacing& s = stack.Layout().Spacing;
        QCOMPARE(s.Known, !spacing.isEmpty());
        for (int d = 0; d < 3; ++d) {
            if (!spacing.isEmpty()) QCOMPARE(s.Size[d], spacing[d]);
            QCOMPARE(QString::fromStdString(s.Units[d]), units[d]);
        }
        QStringList got;
        for (const ChannelInfo& c : stack.Layout().ChannelInfos)
            got << QString::fromStdString(c.Name) + ":" +
                       (c.HasColour ? QString("%1").arg(c.Colour, 6, 16, QChar('0')) : "");
        QCOMPARE(got, names);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("1-bit") << "refused_1bit.tif"
                               << "1-bit samples are not read";
        QTest::newRow("12-bit") << "refused_12bit.tif"
                                << "12-bit samples are not read";
        QTest::newRow("palette") << "refused_palette.tif"
                                 << "palette";
        QTest::newRow("complex") << "refused_complex.tif"
                                 << "complex numbers";
        QTest::newRow("float16") << "refused_float16.tif"
                                 << "16-bit floating-point";
        QTest::newRow("CMYK") << "refused_cmyk.tif"
                              << "CMYK";
        QTest::newRow("sizes") << "refused_sizes.tif"
                               << "page 2 holds 10 x 12 8-bit unsigned, page 1 10 x 10";
        QTest::newRow("kinds") << "refused_kinds.tif"
                               << "page 2 holds 10 x 10 16-bit unsigned";
        QTest::newRow("cut in samples") << "refused_cut_samples.tif"
                                        << "the samples run past the end of the file";
        QTest::newRow("cut in a directory") << "refused_cut_directory.tif"
                                            << "page 2 cannot be read";
        QTest::newRow("OME elsewhere") << "refused_ome_elsewhere.tif"
                                       << "other.ome.tif";
        QTest::newRow("not TIFF") << "manifest.txt"
                                  << "not probed as TIFF";
    }

    void refusals()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        VolumeStack stack;
        std::string message;
        QCOMPARE(Read(Path("rgb_uint8.tif"), stack, message), ByteVolume::LoadOk);
        const QString before = Text(stack.Layout());
        const QByteArray samples = AllSamples(stack);
        const int32_t code = Read(Path(file), stack, message);
        QVERIFY2(QString::fromStdString(message).contains(reason), message.c_str());
        if (!file.endsWith(".txt")) QCOMPARE(code, ByteVolume::LoadFailed);
        QCOMPARE(Text(stack.Layout()), before);
        QCOMPARE(AllSamples(stack), samples);
    }

    void progressAndCancel_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("planes");
        QTest::newRow("pages") << "ij_u16.tif" << 12;
        QTest::newRow("contiguous") << "ij_contiguous.tif" << 6;
        QTest::newRow("OME out of order") << "ome_planes.tif" << 12;
    }

    void progressAndCancel()
    {
        QFETCH(QString, file);
        QFETCH(int, planes);
        QList<double> seen;
        StackReadOptions options{[&](double f) { return seen << f, true; }};
        VolumeStack stack;
        std::string message;
        QCOMPARE(Read(Path(file), stack, message, &options), ByteVolume::LoadOk);
        QCOMPARE(seen.size(), planes);
        for (int i = 0; i < planes; ++i)
            QCOMPARE(seen[i], double(i + 1) / planes);

        const QByteArray samples = AllSamples(stack);
        int calls = 0;
        options.Progress = [&](double) { return ++calls < 3; };
        QCOMPARE(Read(Path(file), stack, message, &options), ByteVolume::LoadCancelled);
        QCOMPARE(message, std::string("the load was cancelled"));
        QCOMPARE(AllSamples(stack), samples);
    }
};

QTEST_GUILESS_MAIN(TestTiffStack)
#include "tst_tiffstack.moc"
