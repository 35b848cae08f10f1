// Figures of slices: `volinspect --export` run as the real program (pixels of its PNG
// against the voxels, views, positions, the aspect of anisotropic voxels, the scale bar,
// the colour maps, the plane-by-plane path of files larger than memory, exit statuses and
// messages), and the renderer itself (the image control's window, crosshair, shapes).

#include "ColourMap.h"
#include "FigureExport.h"
#include "IcsLocale.h"
#include "ImageControl.h"

#include <libics.h>

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

namespace {

/** The 16-bit test samples: about 4000 values, so their percentiles are exact. */
uint16_t Sample16(int x, int y, int z)
{
    return uint16_t(500 + x * 61 + y * 97 + z * 331);
}

uint8_t Sample8(int x, int y, int z)
{
    return uint8_t(x * 7 + y * 13 + z * 29);
}

/** The multi-channel time series: channel c at time point t is Sample16 + 7c + 3000t. */
int SampleMulti(int x, int y, int z, int c, int t)
{
    return Sample16(x, y, z) + 7 * c + 3000 * t;
}

/**
 * Writes an ICS file of X × Y × Z voxels, C channels and T time points of 8- or 16-bit
 * samples `value(x, y, z, c, t)`, with a voxel size.
 */
bool WriteIcs(const QString& path, std::array<int, 5> sizes, int bytes,
              const std::function<int(int, int, int, int, int)>& value,
              const double (&spacing)[3] = {1, 1, 1}, const char* unit = "undefined")
{
    static std::vector<uint8_t> data; // libics writes the data at IcsClose
    const auto [X, Y, Z, C, T] = sizes;
    data.assign(size_t(X) * Y * Z * C * T * bytes, 0);
    size_t i = 0;
    for (int t = 0; t < T; ++t)
        for (int c = 0; c < C; ++c)
            for (int z = 0; z < Z; ++z)
                for (int y = 0; y < Y; ++y)
                    for (int x = 0; x < X; ++x, ++i) {
                        const int v = value(x, y, z, c, t);
                        if (bytes == 1)
                            data[i] = uint8_t(v);
                        else
                            reinterpret_cast<uint16_t*>(data.data())[i] = uint16_t(v);
                    }
    const IcsLocaleScope cLocale;
    ICS* ics = nullptr;
    const int dimensions = C * T > 1 ? 5 : 3;
    const size_t dims[5] = {size_t(X), size_t(Y), size_t(Z), size_t(C), size_t(T)};
    const char* labels[5] = {"x", "y", "z", "ch", "t"};
    if (IcsOpen(&ics, path.toLocal8Bit().constData(), "w2") != IcsErr_Ok) return false;
    bool ok = IcsSetLayout(ics, bytes == 1 ? Ics_uint8 : Ics_uint16, dimensions, dims) == IcsErr_Ok;
    for (int d = 0; d < dimensions && ok; ++d)
        ok = IcsSetOrder(ics, d, labels[d], nullptr) == IcsErr_Ok &&
             (d >= 3 || IcsSetPosition(ics, d, 0, spacing[d], unit) == IcsErr_Ok);
    ok = ok && IcsSetData(ics, data.data(), data.size()) == IcsErr_Ok;
    return IcsClose(ics) == IcsErr_Ok && ok;
}

struct Run
{
    int status = -1;
    QByteArray err, out;
};

/** Runs the program with `args` (without a display), `environment` added. */
Run Export(const QStringList& args, const QStringList& environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    for (const QString& setting : environment)
        env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    process.setProcessEnvironment(env);
    process.start(VOLINSPECT_EXE, QStringList{"--export"} + args);
    if (!process.waitForFinished(30000)) return {};
    return {process.exitCode(), process.readAllStandardError(), process.readAllStandardOutput()};
}

/** The display level of sample `s` through the window, by the documented rule. */
int Level(double s, double min, double max)
{
    if (min < max ? s >= max : s <= max) return 255;
    const double t = (s - min) * (255 / (max - min));
    return t < 1 ? 0 : t >= 255 ? 255 : int(t);
}

/** The longest run of pure white pixels in a row of `image`: its row, first pixel, length. */
std::array<int, 3> WhiteRun(const QImage& image)
{
    std::array<int, 3> best{-1, -1, 0};
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0, run = 0; x < image.width(); ++x) {
            run = (image.pixel(x, y) & 0xFFFFFF) == 0xFFFFFF ? run + 1 : 0;
            if (run > best[2]) best = {y, x - run + 1, run};
        }
    return best;
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void slicePixels_data();
    void slicePixels();
    void anisotropicAspectAndScaleBar();
    void colourMapEnds_data();
    void colourMapEnds();
    void failures_data();
    void failures();
    void rendererAgreesWithTheImageControl();
    void crosshairShapesAndRendererRefusals();
    void roundScaleBarsAndNames();
    void helpAndVersion();

private:
    QString Path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestExport::initTestCase()
{
    QVERIFY(WriteIcs(Path("bytes.ics"), {19, 11, 7, 1, 1}, 1,
                     [](int x, int y, int z, int, int) { return Sample8(x, y, z); }));
    QVERIFY(WriteIcs(Path("wide.ics"), {19, 11, 7, 1, 1}, 2,
                     [](int x, int y, int z, int, int) { return Sample16(x, y, z); }));
    QVERIFY(WriteIcs(Path("multi.ics"), {19, 11, 7, 2, 3}, 2, SampleMulti));
    QVERIFY(QImage(4, 4, QImage::Format_RGB32).save(Path("picture.png")));
    QVERIFY(WriteIcs(Path("ramp.ics"), {256, 2, 1, 1, 1}, 1,
                     [](int x, int, int, int, int) { return x; }));
}

void TestExport::slicePixels_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<double>>("window"); // the window expected: min, max
    QTest::addColumn<QString>("memory");       // VOLINSPECT_MEMORY_LIMIT, to read from the file
    // The 16-bit samples run from 500 to 4554 without repeats in a bin; of 1463, the
    // window's ends are the 2nd and the 1462nd smallest.
    std::vector<double> sorted;
    for (int z = 0; z < 7; ++z)
        for (int y = 0; y < 11; ++y)
            for (int x = 0; x < 19; ++x)
                sorted.push_back(Sample16(x, y, z));
    std::sort(sorted.begin(), sorted.end());
    const QList<double> automatic{sorted[1], sorted[1461]};
    for (const QString memory : {"", "1K"}) {
        const QString tag = memory.isEmpty() ? "" : ", from the file";
        QTest::newRow(qPrintable("8-bit xy, middle" + tag))
            << "bytes.ics" << QStringList{} << QList<double>{0, 255} << memory;
        QTest::newRow(qPrintable("8-bit xz" + tag))
            << "bytes.ics" << QStringList{"--view", "xz", "--at", "0,10,0"} << QList<double>{0, 255}
            << memory;
        QTest::newRow(qPrintable("8-bit zy, window" + tag))
            << "bytes.ics" << QStringList{"--view", "zy", "--at", "18,0,6", "--window", "40,200"}
            << QList<double>{40, 200} << memory;
        QTest::newRow(qPrintable("16-bit xy, window" + tag))
            << "wide.ics" << QStringList{"--at", "3,4,6", "--window", "1000,3500"}
            << QList<double>{1000, 3500} << memory;
        QTest::newRow(qPrintable("16-bit zy, auto window" + tag))
            << "wide.ics" << QStringList{"--view", "zy", "--channel", "1", "--frame", "1"}
            << automatic << memory;
        QTest::newRow(qPrintable("16-bit xz, inverted" + tag))
            << "wide.ics" << QStringList{"--view", "xz", "--window", "4000,600"}
            << QList<double>{4000, 600} << memory;
        QTest::newRow(qPrintable("channel 2, time point 3" + tag))
            << "multi.ics" << QStringList{"--channel", "2", "--frame", "3", "--view", "xz"}
            << QList<double>{automatic[0] + 6007, automatic[1] + 6007} << memory;
        QTest::newRow(qPrintable("channel 1, time point 2" + tag))
            << "multi.ics" << QStringList{"--frame", "2", "--window", "3000,8000"}
            << QList<double>{3000, 8000} << memory;
    }
}

void TestExport::slicePixels()
{
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    QFETCH(QList<double>, window);
    QFETCH(QString, memory);
    const QString out = Path("slice.png");
    QFile::remove(out);
    const Run run =
        Export(QStringList{Path(file), out} + options,
               memory.isEmpty() ? QStringList{} : QStringList{"VOLINSPECT_MEMORY_LIMIT=" + memory});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    const QImage picture(out);
    // Where the slice lies: --at, else the middle of each axis (size / 2 rounded down).
    int at[3] = {9, 5, 3};
    const int i = int(options.indexOf("--at"));
    if (i >= 0)
        for (int d = 0; d < 3; ++d)
            at[d] = options[i + 1].split(',')[d].toInt();
    const auto option = [&](const char* name, const QString& otherwise) {
        return options.contains(name) ? options[options.indexOf(name) + 1] : otherwise;
    };
    const QString view = option("--view", "xy");
    const int c = option("--channel", "1").toInt() - 1, t = option("--frame", "1").toInt() - 1;
    QCOMPARE(picture.size(), view == "xy"   ? QSize(19, 11)
                             : view == "xz" ? QSize(19, 7)
                                            : QSize(7, 11));
    for (int v = 0; v < picture.height(); ++v)
        for (int u = 0; u < picture.width(); ++u) {
            const int x = view == "zy" ? at[0] : u, y = view == "xz" ? at[1] : v,
                      z = view == "xy"   ? at[2]
                          : view == "xz" ? v
                                         : u;
            const double s = file == "bytes.ics" ? Sample8(x, y, z) : SampleMulti(x, y, z, c, t);
            const int level = Level(s, window[0], window[1]);
            QCOMPARE(picture.pixel(u, v), qRgb(level, level, level));
        }
}

void TestExport::anisotropicAspectAndScaleBar()
{
    // z three times x and y: the front view is Z · 3 rows high, the side view Z · 3 wide.
    const auto value = [](int x, int y, int z, int = 0, int = 0) {
        return 1000 + x + 100 * y + 10000 * z;
    };
    QVERIFY(
        WriteIcs(Path("aniso.ics"), {16, 12, 5, 1, 1}, 2, value, {0.2, 0.2, 0.6}, "micrometer"));
    const QString out = Path("aniso.png");
    QCOMPARE(Export({Path("aniso.ics"), out, "--view", "xz", "--window", "0,65535"}).status, 0);
    QImage picture(out);
    QCOMPARE(picture.size(), QSize(16, 15));
    for (int j = 0; j < 15; ++j)
        for (int i = 0; i < 16; ++i)
            QCOMPARE(qGray(picture.pixel(i, j)), Level(value(i, 6, j / 3), 0, 65535));
    QCOMPARE(Export({Path("aniso.ics"), out, "--view", "zy"}).status, 0);
    QCOMPARE(QImage(out).size(), QSize(15, 12));
    // The same stack as tifffile writes it: an ImageJ hyperstack, its pixel size in the
    // resolution, its z spacing and unit in the description.
    QProcess python;
    python.start("/usr/bin/python3",
                 {"-c",
                  "import sys, numpy, tifffile\n"
                  "z, y, x = numpy.mgrid[0:5, 0:12, 0:16]\n"
                  "tifffile.imwrite(sys.argv[1], (1000 + x + 100 * y + 10000 * z).astype('u2'),"
                  " imagej=True, resolution=(5, 5), metadata={'axes': 'ZYX', 'spacing': 0.6,"
                  " 'unit': 'micron'})",
                  Path("aniso.tif")});
    QVERIFY(python.waitForFinished(30000) && python.exitCode() == 0);
    QCOMPARE(Export({Path("aniso.tif"), out, "--view", "xz", "--window", "0,65535"}).status, 0);
    QCOMPARE(QImage(out), picture);

    // The bar's white run against the spacing, in the file's unit or another; a file in
    // nanometres; voxels of the smaller spacing.
    const auto black = [](int, int, int, int, int) { return 0; };
    QVERIFY(WriteIcs(Path("big.ics"), {240, 160, 20, 1, 1}, 1, black, {0.25, 0.25, 0.75}, "um"));
    QVERIFY(WriteIcs(Path("nano.ics"), {240, 160, 20, 1, 1}, 1, black, {250, 250, 250}, "nm"));
    const struct
    {
        const char *file, *view, *bar;
        int pixels, width, height;
    } bars[] = {{"big.ics", "xz", "10um", 40, 240, 60}, {"big.ics", "xy", "2.5um", 10, 240, 160},
                {"big.ics", "zy", "500nm", 2, 60, 160}, {"nano.ics", "xy", "30um", 120, 240, 160},
                {"big.ics", "xz", "32px", 32, 240, 60}, {"nano.ics", "xy", "0.01mm", 40, 240, 160}};
    for (const auto& bar : bars) {
        QCOMPARE(Export({Path(bar.file), out, "--view", bar.view, "--scale-bar", bar.bar}).status,
                 0);
        picture = QImage(out).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(picture.size(), QSize(bar.width, bar.height));
        const auto [row, first, length] = WhiteRun(picture);
        QVERIFY2(length == bar.pixels, bar.bar);
        // In the lower right corner, with a dark outline at both ends.
        QVERIFY(row > bar.height * 3 / 4 && first + length > bar.width * 3 / 4);
        QVERIFY(first + length < bar.width && qGray(picture.pixel(first + length, row)) < 64 &&
                qGray(picture.pixel(first - 1, row)) < 64);
    }
    // The label, drawn on the offscreen platform: white pixels above the bar, not a run.
    QCOMPARE(Export({Path("big.ics"), out, "--scale-bar", "10um"}).status, 0);
    picture = QImage(out).convertToFormat(QImage::Format_RGB32);
    const auto [row, first, length] = WhiteRun(picture);
    int label = 0;
    for (int y = row - 40; y < row - 2; ++y)
        for (int x = first - 10; x < 240; ++x)
            label += qGray(picture.pixel(x, y)) > 128;
    QVERIFY2(label > 20, qPrintable(QString::number(label)));
}

void TestExport::colourMapEnds_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<uint>>("colours"); // of values 0, 1, 128, 254, 255
    QTest::newRow("grey") << "grey" << QList<uint>{0, 0x010101, 0x808080, 0xFEFEFE, 0xFFFFFF};
    QTest::newRow("inverted") << "Inverted grey"
                              << QList<uint>{0xFFFFFF, 0xFEFEFE, 0x7F7F7F, 0x010101, 0};
    QTest::newRow("viridis") << "VIRIDIS"
                             << QList<uint>{0x440154, 0x440256, 0x21918C, 0xFBE723, 0xFDE725};
    QTest::newRow("magma") << "magma"
                           << QList<uint>{0x000004, 0x010005, 0xB73779, 0xFCFBBD, 0xFCFDBF};
    QTest::newRow("fire") << "fire" << QList<uint>{0, 0x000004, 0xC92AD5, 0xFFFFF3, 0xFFFFFF};
    QTest::newRow("hilo") << "HiLo"
                          << QList<uint>{0x0000FF, 0x010101, 0x808080, 0xFEFEFE, 0xFF0000};
    QTest::newRow("red") << "red" << QList<uint>{0, 0x010000, 0x800000, 0xFE0000, 0xFF0000};
    QTest::newRow("cyan") << "cyan" << QList<uint>{0, 0x000101, 0x008080, 0x00FEFE, 0x00FFFF};
}

void TestExport::colourMapEnds()
{
    QFETCH(QString, name);
    QFETCH(QList<uint>, colours);
    const QString out = Path("ramp.png");
    const Run run = Export({Path("ramp.ics"), out, "--colormap", name});
    QCOMPARE(run.status, 0);
    const QImage picture = QImage(out).convertToFormat(QImage::Format_RGB32);
    const int values[] = {0, 1, 128, 254, 255};
    for (int k = 0; k < 5; ++k)
        QCOMPARE(picture.pixel(values[k], 1) & 0xFFFFFF, colours[k]);

    // Someone else's reader sees the same pixels.
    const QString python = "/usr/bin/python3";
    QProcess pil;
    pil.start(python, {"-c",
                       "import sys; from PIL import Image\n"
                       "im = Image.open(sys.argv[1]).convert('RGB')\n"
                       "print(im.size, [im.getpixel((v, 1)) for v in (0, 1, 128, 254, 255)])",
                       out});
    if (!pil.waitForFinished(20000) || pil.exitCode() != 0)
        QSKIP("Python's PIL is not installed: Qt's reader alone read the picture");
    QString expected = "(256, 2) [";
    for (int k = 0; k < 5; ++k)
        expected += QString("(%1, %2, %3)%4")
                        .arg(colours[k] >> 16)
                        .arg(colours[k] >> 8 & 0xFF)
                        .arg(colours[k] & 0xFF)
                        .arg(k < 4 ? ", " : "]\n");
    QCOMPARE(QString::fromUtf8(pil.readAllStandardOutput()), expected);
}

void TestExport::failures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // after "volinspect: "; D stands for the folder
    // The arguments between bars; status 2 says "--export: …" and then " (see --help)".
    const struct
    {
        const char *args, *message;
        int status;
    } rows[] = {
        {"D/missing.raw|D/o.png", "cannot load 'D/missing.raw': No such file or directory", 1},
        {"D/picture.png|D/o.png", "cannot load 'D/picture.png': a picture file, not a volume", 1},
        {"", "no volume file and no picture to write", 2},
        {"D/bytes.ics", "no picture to write after 'D/bytes.ics'", 2},
        {"a|b|c", "one volume file and one picture only, not also 'c'", 2},
        {"a|b|--zoom|2", "unknown option '--zoom'", 2},
        {"a|b|--view", "--view needs a value after it", 2},
        {"a|b|--view|yz", "invalid --view 'yz': the views are xy, xz and zy", 2},
        {"a|b|--colormap|plasma",
         "invalid --colormap 'plasma': the colour maps are grey, inverted, viridis, magma, fire, "
         "hilo, red, green, blue, cyan, magenta, yellow",
         2},
        // Values that only the file can refuse.
        {"D/bytes.ics|D/o.png|--at|0,0,7",
         "--at: z 7 lies beyond 'D/bytes.ics', whose z runs from 0 to 6", 2},
        {"D/bytes.ics|D/o.png|--channel|2", "--channel 2: 'D/bytes.ics' has 1 channel", 2},
        {"D/multi.ics|D/o.png|--frame|4", "--frame 4: 'D/multi.ics' has 3 time points", 2},
        {"D/bytes.ics|D/o.png|--scale-bar|5um",
         "a scale bar of 5 \u00B5m needs a voxel size in nm, um or mm, and 'D/bytes.ics' gives no "
         "voxel size (a length in px counts voxels)",
         2},
        {"D/bytes.ics|D/o.png|--scale-bar|14px",
         "a scale bar of 14 px would be 14 pixels long, and the figure has room for 1 to 13", 2},
        {"D/bytes.ics|D/none/o.png",
         "cannot write 'D/none/o.png': the folder D/none does not exist", 3},
        {"D/bytes.ics|D", "cannot write 'D': it is a folder", 3},
    };
    for (const auto& row : rows)
        QTest::newRow(row.args) << QString(row.args).split('|', Qt::SkipEmptyParts) << row.status
                                << (row.status == 2 ? QString("--export: %1 (see --help)\n")
                                                    : QString("%1\n"))
                                       .arg(QString::fromUtf8(row.message));
    // Values refused as they stand: each option and its reason.
    const struct
    {
        const char *option, *values, *reason;
    } values[] = {
        {"--at", "1,2|1,2,-3|1,2,3,4|x,1,2|1,,2", "three voxel positions X,Y,Z counted from 0"},
        {"--channel", "0|-1|1.5|two", "a whole number counted from 1"},
        {"--window", "5,5|1|a,b|1,2,3|nan,4|1,inf", "two different numbers MIN,MAX"},
        {"--scale-bar", "10|10 um|um|-5um|0px|10furlongs|1e999nm",
         "a positive length followed by nm, um, mm or px (500nm)"},
    };
    for (const auto& option : values)
        for (const QString& value : QString(option.values).split('|'))
            QTest::newRow(qPrintable(option.option + (" " + value)))
                << QStringList{"a", "b", option.option, value} << 2
                << QString("--export: invalid %1 '%2': it takes %3 (see --help)\n")
                       .arg(option.option, value, option.reason);
}

void TestExport::failures()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    args.replaceInStrings("D/", dir.path() + "/");
    args.replaceInStrings(QRegularExpression("^D$"), dir.path());
    QFile::remove(Path("o.png"));
    const Run run = Export(args);
    QCOMPARE(QString::fromUtf8(run.err),
             "volinspect: " +
                 message.replace("'D'", "'" + dir.path() + "'").replace("D/", dir.path() + "/"));
    QCOMPARE(run.status, status);
    QVERIFY(!QFile::exists(Path("o.png")));
    QCOMPARE(QDir(dir.path()).entryList({"*.tmp*", ".*png*"}, QDir::Files | QDir::Hidden),
             QStringList());
}

void TestExport::rendererAgreesWithTheImageControl()
{
    // The figure at 1:1 in grey is what the control shows of the same image and window,
    // pixel for pixel, whatever the kind; the windows fall between sample values.
    using T = TImageControl;
    const struct
    {
        T::AllocImageType kind;
        double scale, offset, min, max;
    } kinds[] = {{T::AllocImage8, 1, 0, 17.5, 203},
                 {T::AllocImage16, 97, 0, 1000.25, 20000.5},
                 {T::AllocImage32, 1000, -90000, -50000, 120000},
                 {T::AllocImageFloat, 1 / 7.3, -3, 1.1, 29.9}};
    for (const auto& kind : kinds) {
        T control;
        control.SetXSize(37);
        control.SetYSize(9);
        control.SetAllocImage(kind.kind);
        control.resize(37, 9);
        ImageStruct* image = control.Image();
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 37; ++x) {
                uint8_t* at = image->Data + std::ptrdiff_t(y) * image->LineStep;
                const double v = ((x * 41 + y * 23) % 251) * kind.scale + kind.offset;
                if (kind.kind == T::AllocImage8) at[x] = uint8_t(v);
                if (kind.kind == T::AllocImage16) reinterpret_cast<uint16_t*>(at)[x] = uint16_t(v);
                if (kind.kind == T::AllocImage32) reinterpret_cast<int32_t*>(at)[x] = int32_t(v);
                if (kind.kind == T::AllocImageFloat) reinterpret_cast<float*>(at)[x] = float(v);
            }
        control.SetMin(float(kind.min));
        control.SetMax(float(kind.max));
        FigureRequest request;
        request.Slice = image;
        request.Min = kind.min, request.Max = kind.max;
        QString error;
        const QImage figure = RenderFigure(request, error);
        QVERIFY2(!figure.isNull(), qPrintable(error));
        QCOMPARE(figure, control.grab().toImage().convertToFormat(QImage::Format_RGB32));
    }
}

void TestExport::crosshairShapesAndRendererRefusals()
{
    // A 5 × 3 slice, each pixel two figure pixels high.
    ImagePtr slice{NewImage8(5, 3)};
    FigureRequest request;
    request.Slice = slice.get();
    request.PixelWidth = 0.5, request.PixelHeight = 1.0, request.Unit = "mm";
    request.Crosshair = QPoint(3, 1);
    request.CrosshairUColour = 0x00FF00, request.CrosshairVColour = 0x0000FF;
    QString error;
    QImage figure = RenderFigure(request, error);
    QCOMPARE(figure.size(), QSize(5, 6));
    for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 5; ++i)
            QCOMPARE(figure.pixel(i, j) & 0xFFFFFF, j == 3 ? 0x0000FFu : i == 3 ? 0x00FF00u : 0u);
    request.Crosshair.reset();
    request.Shapes = {{FigureShape::Line, 0, 0, 4, 0, 0xFF0000},
                      {FigureShape::Rect, 1, 1, 3, 2, 0xFFFFFF}};
    figure = RenderFigure(request, error);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(figure.pixel(i, 1), qRgb(255, 0, 0)); // the row that shows slice row 0's centre
    QCOMPARE(figure.pixel(1, 3), qRgb(255, 255, 255));
    QCOMPARE(figure.pixel(2, 4), qRgb(0, 0, 0)); // inside the outline
    QCOMPARE(figure.pixel(3, 5), qRgb(255, 255, 255));

    const auto refused = [&](const FigureRequest& r, const char* reason) {
        QString why;
        return RenderFigure(r, why).isNull() && why.contains(reason);
    };
    request.Shapes.clear();
    request.ScaleBar = 1;
    QVERIFY(refused(request, "figure has room for 1 to 0")); // 1 mm: 2 of 5 pixels, no margin
    FigureRequest unknown = request;
    unknown.PixelWidth = NAN;
    QVERIFY(refused(unknown, "needs the voxel size"));
    // A bar in pixels needs no voxel size.
    ImagePtr wide{NewImage8(64, 16)}, rgb{NewImageRGB(4, 4)}, huge{NewImage8(20000, 2)};
    unknown.Slice = wide.get();
    unknown.ScaleBarInVoxels = true, unknown.ScaleBar = 10;
    figure = RenderFigure(unknown, error);
    QCOMPARE(figure.size(), QSize(64, 16));
    QCOMPARE(WhiteRun(figure)[2], 10);
    // Colours (a composite) are drawn as they are.
    reinterpret_cast<uint32_t*>(rgb->Data + rgb->LineStep)[1] = 0x123456;
    unknown.Slice = rgb.get();
    unknown.ScaleBar = 0;
    figure = RenderFigure(unknown, error);
    QCOMPARE(figure.pixel(1, 1), qRgb(0x12, 0x34, 0x56));
    unknown.Slice = nullptr;
    QVERIFY(refused(unknown, "no slice"));
    FigureRequest tall;
    tall.Slice = huge.get();
    tall.PixelWidth = 1, tall.PixelHeight = 20000;
    QVERIFY(refused(tall, "more than can be made"));
    QCOMPARE(ScaleBarLabel(request), QString("1 mm"));
    request.ScaleBarInVoxels = true, request.ScaleBar = 2.5;
    QCOMPARE(ScaleBarLabel(request), QString("2.5 px"));
}

void TestExport::roundScaleBarsAndNames()
{
    const double widths[][2] = {{100, 20}, {37, 10}, {240, 50}, {1, 0.2}, {0.03, 0.005},
                                {7.07, 1}, {0, 0},   {-4, 0},   {NAN, 0}, {INFINITY, 0}};
    for (const auto& [width, bar] : widths)
        QVERIFY2(std::abs(RoundScaleBar(width) - bar) <= 1e-12 * bar,
                 qPrintable(QString("%1 gives %2").arg(width).arg(RoundScaleBar(width))));
    ColourMap map = ColourMap::Fire;
    uint32_t colour = 0;
    QVERIFY(!ParseColourMap("plasma", map, colour) && map == ColourMap::Fire);
    for (const std::string& name : ColourMapNames()) {
        QVERIFY(ParseColourMap(name, map, colour));
        // Every name gives a table of its own, channels the ramp to their colour.
        const std::array<uint32_t, 256> table = ColourTable(map, colour);
        if (map == ColourMap::Channel) QCOMPARE(table[255], colour);
        for (const std::string& other : ColourMapNames()) {
            ColourMap m;
            uint32_t c;
            ParseColourMap(other, m, c);
            QVERIFY(other == name || ColourTable(m, c) != table);
        }
    }
    for (const char* menu : {"Grey", "Inverted grey", "Viridis", "Magma", "Fire", "HiLo"})
        QVERIFY(ParseColourMap(menu, map, colour) && colour == 0xFFFFFF);
}

void TestExport::helpAndVersion()
{
    // Before anything else: the missing file is never tried.
    Run run = Export({"missing.raw", "o.png", "--view", "xz", "--help"});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.err, QByteArray());
    for (const char* part : {"Usage: volinspect", "--export FILE OUT.png", "--scale-bar LENGTH",
                             "--colormap NAME", "counted from 1", "percentiles"})
        QVERIFY2(run.out.contains(part), part);
    run = Export({"--version"});
    QCOMPARE(run.status, 0);
    QVERIFY(run.out.startsWith("volinspect ") && run.err.isEmpty());
    // After "--" it is a name like any other.
    run = Export({"--", "--help", "o.png"});
    QCOMPARE(run.status, 1);
    QCOMPARE(run.err, QByteArray("volinspect: cannot load '--help': No such file or directory\n"));
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
