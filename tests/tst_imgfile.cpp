// Picture files: the kind and size the header tells, the pixels read into new and
// existing 8-bit and RGB images, the real microscopy pictures, and hostile files.

#include "imgfile.h"
#include "imgkernel.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Content
{
    Grey8,
    Grey16,
    Mono,
    MonoColour,
    PaletteGrey,
    PaletteColour,
    Rgb,
    Rgba
};

/**
 * A picture of `content`. Palettes are shuffled, so that index and colour differ, and the
 * 16-bit samples take every low byte.
 */
QImage Picture(Content content, int width, int height)
{
    static const QImage::Format formats[] = {QImage::Format_Grayscale8, QImage::Format_Grayscale16,
                                             QImage::Format_Mono,       QImage::Format_Mono,
                                             QImage::Format_Indexed8,   QImage::Format_Indexed8,
                                             QImage::Format_RGB32,      QImage::Format_ARGB32};
    QImage image(width, height, formats[content]);
    image.setDotsPerMeterX(2000000); // pixels of 0.5 x 1 µm
    image.setDotsPerMeterY(1000000);
    if (content == Mono) image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    if (content == MonoColour) image.setColorTable({qRgb(200, 30, 40), qRgb(10, 220, 90)});
    for (int i = 0; content == PaletteGrey && i < 16; ++i)
        image.setColor(i, qRgb(i * 7 % 16 * 17, i * 7 % 16 * 17, i * 7 % 16 * 17));
    for (int i = 0; content == PaletteColour && i < 10; ++i)
        image.setColor(i, qRgb(i * 25, 250 - i * 20, 77 + i * 3));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v = x * 37 + y * 11 + 5;
            if (image.colorCount() > 0)
                image.setPixel(x, y, v % image.colorCount());
            else if (content == Grey8)
                image.scanLine(y)[x] = uchar(v);
            else if (content == Grey16)
                reinterpret_cast<quint16*>(image.scanLine(y))[x] = quint16(v * 4099);
            else
                image.setPixel(x, y,
                               qRgba(v, v * 3, 255 - v, content == Rgba ? x * 53 + y * 17 : 255));
        }
    return image;
}

/** The colour `source` holds at (x, y), a 16-bit grey sample by its top 8 bits. */
QRgb Colour(const QImage& source, int x, int y)
{
    if (source.format() != QImage::Format_Grayscale16) return source.pixel(x, y) | 0xFF000000u;
    const int v = reinterpret_cast<const quint16*>(source.constScanLine(y))[x] >> 8;
    return qRgb(v, v, v);
}

QByteArray Encode(const QImage& image, const char* format)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!QImageWriter(&buffer, format).write(image)) qFatal("cannot encode a %s picture", format);
    return buffer.data();
}

/** The top-left w × h pixels of an 8-bit or RGB image: grey values, or blue, green, red. */
QByteArray Pixels(const ImageStruct* image, int w, int h)
{
    const int bytes = ImageElementBytes(image);
    QByteArray out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.append(reinterpret_cast<const char*>(image->Data + y * image->LineStep + x * bytes),
                       std::min(bytes, 3));
    return out;
}

/**
 * What Pixels should give for the top-left w × h of a picture holding `colours` (rows of
 * `width`), read into an 8-bit or an RGB image.
 */
QByteArray Expected(const std::vector<QRgb>& colours, int width, int w, int h, bool rgb, bool grey)
{
    QByteArray out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb c = colours[size_t(y * width + x)];
            const char g = char((299 * qRed(c) + 587 * qGreen(c) + 114 * qBlue(c)) / 1000);
            if (!rgb)
                out += g;
            else if (grey)
                out += QByteArray(3, g);
            else
                out.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c)));
        }
    return out;
}

/**
 * An 8-bit or RGB image to load into: a whole bottom-up image (layout 0) or a reference
 * inside a bottom-up (1) or top-down (2) parent with a border of 2 pixels. Every byte of
 * the parent's memory starts at a known value.
 */
struct Canvas
{
    Canvas(bool rgb, int layout, int width, int height)
    {
        const int border = layout ? 2 : 0, bytes = rgb ? 4 : 1;
        const int pw = width + 2 * border, ph = height + 2 * border;
        if (layout == 2) {
            storage.resize(size_t((pw * bytes + 4) * ph));
            topDown = {
                pw, ph, pw * bytes + 4, int16_t(rgb ? ImageKindRGB : ImageKind8), storage.data(),
                {}};
            parent = &topDown;
        } else {
            owned.reset(rgb ? NewImageRGB(pw, ph) : NewImage8(pw, ph));
            parent = owned.get();
        }
        memory = layout == 2 ? storage.data() : static_cast<uint8_t*>(parent->Memory);
        size = std::abs(parent->LineStep) * ph;
        for (int i = 0; i < size; ++i)
            memory[i] = uint8_t(i * 7 + 3);
        before = Bytes();
        SetTempReference(&reference, parent, border, border, width, height);
        target = layout ? &reference : parent;
    }

    QByteArray Bytes() const { return QByteArray(reinterpret_cast<const char*>(memory), size); }

    /** The memory as it is, but with the target's top-left w × h pixels as they were. */
    QByteArray Outside(int w, int h) const
    {
        QByteArray now = Bytes();
        const int bytes = ImageElementBytes(target);
        for (int y = 0; y < h; ++y) {
            const qsizetype at = target->Data + y * target->LineStep - memory;
            now.replace(at, w * bytes, before.mid(at, w * bytes));
        }
        return now;
    }

    ImagePtr owned;
    ImageStruct topDown, reference, *parent = nullptr, *target = nullptr;
    std::vector<uint8_t> storage;
    uint8_t* memory = nullptr;
    int size = 0;
    QByteArray before;
};

/** `png` with the size in its header replaced (and the header's checksum with it). */
QByteArray PngSized(QByteArray png, quint32 width, quint32 height)
{
    qToBigEndian(width, png.data() + 16);
    qToBigEndian(height, png.data() + 20);
    quint32 crc = ~0u;
    for (int i = 12; i < 29; ++i) {
        crc ^= uchar(png[i]);
        for (int k = 0; k < 8; ++k)
            crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    qToBigEndian(~crc, png.data() + 29);
    return png;
}

/** `tiff` (little-endian, as Qt writes it) with `tag` set to a LONG `value`. */
QByteArray TiffTag(QByteArray tiff, quint16 tag, quint32 value)
{
    const char* d = tiff.constData();
    const quint32 ifd = qFromLittleEndian<quint32>(d + 4);
    for (int i = 0; i < qFromLittleEndian<quint16>(d + ifd); ++i) {
        char* entry = tiff.data() + ifd + 2 + 12 * i;
        if (qFromLittleEndian<quint16>(entry) != tag) continue;
        qToLittleEndian<quint16>(4, entry + 2);
        qToLittleEndian<quint32>(1, entry + 4);
        qToLittleEndian<quint32>(value, entry + 8);
    }
    return tiff;
}

QByteArray Patched(QByteArray bytes, int at, QByteArray with)
{
    return bytes.replace(at, with.size(), with);
}

QByteArray Le32(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

long PeakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

class TestImgFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    int files_ = 0;

    QString Save(const QByteArray& bytes)
    {
        const QString path = dir_.filePath(QString::number(files_++));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write");
        return path;
    }

private slots:
    void pixels_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("content");
        QTest::addColumn<bool>("grey");
        QTest::addColumn<int>("target"); // 0: CreateImageFile; 8 or 32: LoadImageFile
        QTest::addColumn<int>("layout");
        QTest::addColumn<QSize>("size");
        const struct
        {
            const char* format;
            Content content;
            bool grey;
        } cases[] = {{"png", Grey8, true},        {"png", Grey16, true},
                     {"png", Mono, true},         {"png", MonoColour, true},
                     {"png", PaletteGrey, false}, {"png", PaletteColour, false},
                     {"png", Rgb, false},         {"png", Rgba, false},
                     {"tiff", Grey8, true},       {"tiff", Grey16, true},
                     {"tiff", Mono, true},        {"tiff", PaletteColour, false},
                     {"tiff", Rgb, false},        {"bmp", Grey8, false},
                     {"bmp", Mono, true},         {"bmp", PaletteColour, false},
                     {"bmp", Rgb, false},         {"pgm", Grey8, true},
                     {"pbm", Mono, true},         {"ppm", Rgb, false},
                     {"jpeg", Grey8, true},       {"jpeg", Rgb, false}};
        const char* const layouts[] = {"image", "bottom-up reference", "top-down reference"};
        for (const auto& c : cases) {
            static const char* const contents[] = {
                "grey",         "grey 16-bit",    "1-bit", "1-bit colours",
                "palette grey", "palette colour", "RGB",   "RGBA"};
            const QString name = QStringLiteral("%1 %2").arg(c.format, contents[c.content]);
            QTest::addRow("%s create", qPrintable(name))
                << c.format << int(c.content) << c.grey << 0 << 0 << QSize();
            for (int target : {8, 32})
                for (int layout : {0, 1, 2})
                    for (QSize size : {QSize(9, 4), QSize(17, 10)})
                        QTest::addRow("%s into %d-bit %s %dx%d", qPrintable(name), target,
                                      layouts[layout], size.width(), size.height())
                            << c.format << int(c.content) << c.grey << target << layout << size;
        }
    }

    void pixels()
    {
        QFETCH(QString, format);
        QFETCH(int, content);
        QFETCH(bool, grey);
        QFETCH(int, target);
        QFETCH(int, layout);
        QFETCH(QSize, size);
        const int w = 13, h = 7;
        const QImage source = Picture(Content(content), w, h);
        const QString path = Save(Encode(source, qPrintable(format)));
        const QImage decoded(path); // for JPEG, what Qt decodes is the picture
        std::vector<QRgb> colours;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                colours.push_back(Colour(format == "jpeg" ? decoded : source, x, y));

        // PBM, PGM and PPM state no resolution: Qt's default must not pass for one.
        const QList<double> pixelSize = format.startsWith('p') && format != "png"
                                            ? QList<double>{0, 0}
                                            : QList<double>{5e-7, 1e-6};
        const QByteArray name = QFile::encodeName(path);
        ImageFileInfo info;
        QCOMPARE(GetImageFileInfo(name, 0, &info), 1);
        QCOMPARE(QList<int>({info.Width, info.Height, info.Color}),
                 QList<int>({w, h, grey ? 0 : 1}));
        if (target == 0) {
            const ImagePtr image(CreateImageFile(name, 0, 0, 0));
            QVERIFY(image);
            QCOMPARE(int(image->Type), grey ? ImageKind8 | ImageAttributeDirect8
                                            : ImageKindRGB | ImageAttributeDirectRGB);
            QCOMPARE(QSize(image->XSize, image->YSize), QSize(w, h));
            QCOMPARE(Pixels(image.get(), w, h), Expected(colours, w, w, h, !grey, grey));
            QCOMPARE(image->Info.Source, name.toStdString());
            QCOMPARE(QList<double>({image->Info.XPixelSize, image->Info.YPixelSize}), pixelSize);
            return;
        }
        Canvas canvas(target == 32, layout, size.width(), size.height());
        const uint64_t generation = canvas.target->Generation;
        QCOMPARE(LoadImageFile(name, 0, canvas.target, 0, 0), 1);
        QVERIFY(canvas.target->Generation != generation); // drawings of it are redone
        const int cw = std::min(w, size.width()), ch = std::min(h, size.height());
        QCOMPARE(Pixels(canvas.target, cw, ch), Expected(colours, w, cw, ch, target == 32, grey));
        QCOMPARE(canvas.Outside(cw, ch), canvas.before);
        QCOMPARE(canvas.target->Info.Source, name.toStdString());
        QCOMPARE(QList<double>({canvas.target->Info.XPixelSize, canvas.target->Info.YPixelSize}),
                 pixelSize);
    }

    void realFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("color");
        QTest::newRow("cameraman") << "cameraman.tif" << 0;
        QTest::newRow("orka") << "orka.tif" << 0;
        QTest::newRow("DIP") << "DIP.tif" << 1;
    }

    void realFiles()
    {
        QFETCH(QString, file);
        QFETCH(int, color);
        const QString path = QDir(QStringLiteral(VOLINSPECT_TESTDATA)).filePath(file);
        if (!QFile::exists(path)) QSKIP("the real test files are absent");
        const QByteArray name = QFile::encodeName(path);
        ImageFileInfo info;
        QCOMPARE(GetImageFileInfo(name, 0, &info), 1);
        QCOMPARE(QList<int>({info.Width, info.Height, info.Color}), QList<int>({256, 256, color}));
        const ImagePtr image(CreateImageFile(name, 0, 0, 0));
        QVERIFY(image);
        QCOMPARE(ImageKind(image.get()), color ? ImageKindRGB : ImageKind8);
        const QImage reference(path);
        std::vector<QRgb> colours;
        for (int i = 0; i < 256 * 256; ++i)
            colours.push_back(reference.pixel(i % 256, i / 256));
        QCOMPARE(Pixels(image.get(), 256, 256), Expected(colours, 256, 256, 256, color, !color));
    }

    void hostile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("header"); // GetImageFileInfo: 1 or 0; -1 either
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QSize>("declared"); // what Qt reads from the header, when it is read
        const QByteArray png = Encode(Picture(Rgb, 64, 48), "png"),
                         bmp = Encode(Picture(Rgb, 64, 48), "bmp");
        const QByteArray tiff = Encode(Picture(Grey16, 64, 48), "tiff");
        const QByteArray mono = Encode(Picture(Mono, 64, 48), "png");
        QTest::newRow("png 100000 x 100000")
            << Save(PngSized(png, 100000, 100000)) << 0 << false << QSize(100000, 100000);
        // Qt's BMP reader itself refuses headers of more than 16384 x 16384 pixels.
        QTest::newRow("bmp 100000 x 100000")
            << Save(Patched(Patched(bmp, 18, Le32(100000)), 22, Le32(100000))) << 0 << false
            << QSize();
        QTest::newRow("tiff 100000 x 100000")
            << Save(TiffTag(TiffTag(tiff, 256, 100000), 257, 100000)) << 0 << false
            << QSize(100000, 100000);
        QTest::newRow("png 16384 x 16385")
            << Save(PngSized(mono, 16384, 16385)) << 0 << false << QSize(16384, 16385);
        QTest::newRow("png 16384 x 16384, data short")
            << Save(PngSized(mono, 16384, 16384)) << 1 << false << QSize(16384, 16384);
        QByteArray ico = Encode(Picture(Rgba, 16, 16), "ico");
        ico[6] = ico[7] = '\0'; // the directory's size: 256 x 256
        QTest::newRow("ico header 256 x 256, picture 16 x 16")
            << Save(ico) << 1 << false << QSize(256, 256);
        // A TGA (which Qt cannot write) of 4 x 4 pixels holding 2 x 2 before its footer.
        const QByteArray tga = QByteArray("\x01\0\x02\0\0\0\0\0\0\0\0\0\x04\0\x04\0\x18\x20*", 19) +
                               QByteArray(12, '\x40') + QByteArray(8, '\0') + "TRUEVISION-XFILE.";
        QTest::newRow("tga pixels short") << Save(tga + '\0') << 1 << false << QSize(4, 4);
        QTest::newRow("bmp width 0") << Save(Patched(bmp, 18, Le32(0))) << 0 << false << QSize();
        QTest::newRow("pgm height -3")
            << Save("P5\n4 -3\n255\n" + QByteArray(12, 'x')) << 0 << false << QSize();
        QTest::newRow("png header checksum")
            << Save(Patched(png, 17, "\x7f")) << 0 << false << QSize();
        QTest::newRow("png data scrambled")
            << Save(Patched(png, 100, QByteArray(40, '\x5a'))) << 1 << false << QSize();
        QTest::newRow("tiff strip past end")
            << Save(TiffTag(tiff, 273, 0x7ffffff0)) << -1 << false << QSize();
        QTest::newRow("bmp 7 bits a pixel")
            << Save(Patched(bmp, 28, "\x07")) << 0 << false << QSize();
        QTest::newRow("jpeg noise")
            << Save("\xff\xd8\xff" + QByteArray(500, '\x13')) << 0 << false << QSize();
        QByteArray noise(4096, '\0');
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        QTest::newRow("noise") << Save(noise) << 0 << false << QSize();
        QTest::newRow("empty") << Save({}) << 0 << false << QSize();
        QTest::newRow("folder") << dir_.path() << 0 << false << QSize();
        QTest::newRow("missing") << dir_.filePath("missing.png") << 0 << false << QSize();
        QTest::newRow("device") << "/dev/null" << 0 << false << QSize();
        const QString fifo = dir_.filePath("fifo");
        QVERIFY(mkfifo(QFile::encodeName(fifo), 0600) == 0);
        QTest::newRow("fifo") << fifo << 0 << false << QSize();
        for (const char* format : {"png", "bmp", "jpeg", "tiff", "pgm", "ppm", "pbm"}) {
            const QByteArray whole =
                Encode(Picture(format == QByteArray("pbm") ? Mono : Rgb, 64, 48), format);
            QTest::addRow("%s complete", format) << Save(whole) << 1 << true << QSize();
            for (qsizetype cut : {qsizetype(1), qsizetype(14), whole.size() / 4, whole.size() / 2,
                                  whole.size() * 3 / 4, whole.size() - 24})
                QTest::addRow("%s cut at %d", format, int(cut))
                    << Save(whole.left(cut)) << -1 << false << QSize();
        }
    }

    void hostile()
    {
        QFETCH(QString, path);
        QFETCH(int, header);
        QFETCH(bool, loads);
        QFETCH(QSize, declared);
        if (declared.isValid()) QCOMPARE(QImageReader(path).size(), declared);
        const QByteArray name = QFile::encodeName(path);
        // Should a read wait on the FIFO, a writer comes along to end the wait, too late.
        std::atomic<bool> done = false;
        std::thread release([&] {
            for (int i = 0; i < 400 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const int fd = done ? -1 : ::open(name, O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        });
        const long rss = PeakRssKb();
        QElapsedTimer timer;
        timer.start();
        ImageFileInfo info;
        const int32_t got = GetImageFileInfo(name, 0, &info);
        const ImagePtr image(CreateImageFile(name, 0, 0, 0));
        Canvas canvas(true, 1, 9, 7);
        const uint64_t generation = canvas.target->Generation;
        const int32_t loaded = LoadImageFile(name, 0, canvas.target, 0, 0);
        const qint64 elapsed = timer.elapsed();
        done = true;
        release.join();
        if (header >= 0) QCOMPARE(got, header);
        if (!got)
            QCOMPARE(QList<int>({info.Width, info.Height, info.Color}), QList<int>({0, 0, 0}));
        QCOMPARE(bool(image), loads);
        QCOMPARE(loaded, int32_t(loads));
        if (!loads) QCOMPARE(canvas.Bytes(), canvas.before);
        if (!loads) QCOMPARE(canvas.target->Generation, generation);
        QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
        QVERIFY2(PeakRssKb() - rss < 64 * 1024, "a large allocation was touched");
    }

    void loadRefuses_data()
    {
        QTest::addColumn<int>("kind"); // NewImage8, 16, 32, Float, Complex
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::newRow("16-bit image") << 1 << 0 << 0 << 0;
        QTest::newRow("32-bit image") << 2 << 0 << 0 << 0;
        QTest::newRow("float image") << 3 << 0 << 0 << 0;
        QTest::newRow("complex image") << 4 << 0 << 0 << 0;
        QTest::newRow("index 1") << 0 << 1 << 0 << 0;
        QTest::newRow("x 1") << 0 << 0 << 1 << 0;
        QTest::newRow("y -1") << 0 << 0 << 0 << -1;
    }

    void loadRefuses()
    {
        QFETCH(int, kind);
        QFETCH(int, index);
        QFETCH(int, x);
        QFETCH(int, y);
        static ImageStruct* (*const make[])(int32_t, int32_t) = {NewImage8, NewImage16, NewImage32,
                                                                 NewImageFloat, NewImageComplex};
        const ImagePtr image(make[kind](5, 5));
        const auto bytes = [&] {
            return QByteArray(static_cast<const char*>(image->Memory),
                              5 * std::abs(image->LineStep));
        };
        const QByteArray before = bytes();
        const QByteArray name = QFile::encodeName(Save(Encode(Picture(Grey8, 5, 5), "png")));
        QCOMPARE(LoadImageFile(name, index, image.get(), x, y), 0);
        QCOMPARE(bytes(), before);
        QVERIFY(image->Info.Source.empty());
        QCOMPARE(LoadImageFile(name, 0, nullptr, 0, 0), 0);
    }
};

QTEST_GUILESS_MAIN(TestImgFile)
#include "tst_imgfile.moc"
