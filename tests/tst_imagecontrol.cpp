// The image control: ownership and setters, the direct-draw rule, the cached display
// image and its conversions, the quadrant swap, border strips and pixels on screen,
// auto-load, transparency, the pan-and-zoom panel and the Qt properties.

#include "ImageControl.h"
#include "ZoomPanel.h"
#include "imgdraw.h"
#include "imgkernel.h"

#include <QImage>
#include <QMetaEnum>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

/** What the control shows: its own painting, in a QImage of its size. */
QImage Shown(TImageControl& control)
{
    QImage image(control.size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    control.PaintWindow(painter);
    return image;
}

/** A foreign image of `xsize` × `ysize` elements of `type` on a buffer the test owns. */
struct Foreign
{
    std::vector<uint8_t> memory;
    ImageStruct record;

    Foreign(int16_t type, int xsize, int ysize, int lineStep, uint8_t fill = 0)
    {
        const int rows = std::max(ysize, 1);
        memory.assign(size_t(std::abs(lineStep)) * rows + 64, fill);
        record.XSize = xsize;
        record.YSize = ysize;
        record.Type = type;
        record.LineStep = lineStep;
        record.Data = memory.data() + 32 + (lineStep < 0 ? size_t(-lineStep) * (rows - 1) : 0);
    }
    uint8_t& At(int x, int y, int bytes = 1)
    {
        return record.Data[std::ptrdiff_t(y) * record.LineStep + x * bytes];
    }
    /** The 32 bytes before and after the rows, which nobody may write. */
    bool GuardsIntact(uint8_t fill = 0) const
    {
        for (size_t i = 0; i < 32; ++i)
            if (memory[i] != fill || memory[memory.size() - 1 - i] != fill) return false;
        return true;
    }
};

/** An 8-bit element of `image` (any LineStep). */
uint8_t Element8(const ImageStruct* image, int x, int y)
{
    return image->Data[std::ptrdiff_t(y) * image->LineStep + x];
}

template <class T> T& ElementAt(ImageStruct* image, int x, int y)
{
    return reinterpret_cast<T*>(image->Data + std::ptrdiff_t(y) * image->LineStep)[x];
}

QString WritePicture(const QTemporaryDir& dir, const QString& name, const QImage& picture)
{
    const QString path = dir.filePath(name);
    if (!picture.save(path)) qFatal("cannot write test picture");
    return path;
}

} // namespace

class TestImageControl : public QObject
{
    Q_OBJECT

private slots:
    void newControl();
    void refusals();
    void sizesScalesAndOwnership();
    void directDrawRule_data();
    void directDrawRule();
    void everyKindOnScreen_data();
    void everyKindOnScreen();
    void displayModes_data();
    void displayModes();
    void quadrantSwap_data();
    void quadrantSwap();
    void borderStrips_data();
    void borderStrips();
    void panningReusesTheDisplayImage();
    void reclaimedDisplayImageIsRebuilt();
    void autoLoad_data();
    void autoLoad();
    void autoLoadLeavesForeignImagesWhole();
    void transparentControlShowsWhatLiesBeneath();
    void noImageAndMoves();
    void zoomPanelTakesTheImageAsReference();
    void qtProperties();
    void colourTableOnScreen();

private:
    QTemporaryDir dir;
};

void TestImageControl::newControl()
{
    TImageControl control;
    QCOMPARE(control.size(), QSize(256, 256));
    QCOMPARE(control.AllocImage(), TImageControl::AllocImage8);
    QVERIFY(control.Image());
    QCOMPARE(ImageKind(control.Image()), ImageKind8);
    QCOMPARE(control.Image()->XSize, 256);
    for (int y = 0; y < 256; y += 17)
        for (int x = 0; x < 256; x += 13)
            QCOMPARE(Element8(control.Image(), x, y), uint8_t(0));
    QCOMPARE(control.XSize(), 256);
    QCOMPARE(control.Min(), 0.0f);
    QCOMPARE(control.Max(), 255.0f);
    QCOMPARE(control.XScale(), 1.0f);
    QCOMPARE(control.YOffset(), 0.0f);
    QCOMPARE(control.DisplayColor(), TColor(0xFFFFFF));
    QCOMPARE(control.BorderColor(), TColor(0));
    QVERIFY(control.Rebuild());
    QVERIFY(!control.DisplayImage());
    // NewImage8's images are drawn as they are.
    const QImage shown = Shown(control);
    QCOMPARE(shown.pixel(100, 100), qRgb(0, 0, 0));
    QVERIFY(!control.DisplayImage());
    QCOMPARE(control.ConversionCount(), 0);
}

void TestImageControl::refusals()
{
    TImageControl control;
    control.SetTransparent(true);
    control.SetMin(10); // refused while transparent
    QCOMPARE(control.Min(), 0.0f);
    control.SetTransparent(false);
    control.SetMin(10);
    control.SetTransparent(true); // refused with a window other than 0 … 255
    QVERIFY(!control.Transparent());
    control.SetMin(0);

    // An RGB image keeps a white DisplayColor on a transparent control.
    control.SetAllocImage(TImageControl::AllocImageRGB);
    control.SetDisplayColor(0x00FF00);
    control.SetTransparent(true);
    QVERIFY(!control.Transparent());
    control.SetDisplayColor(0xFFFFFF);
    control.SetTransparent(true);
    QVERIFY(control.Transparent());
    control.SetDisplayColor(0x00FF00);
    QCOMPARE(control.DisplayColor(), TColor(0xFFFFFF));
    control.SetTransparent(false);
    control.SetDisplayColor(0x00FF00);
    control.SetAllocImage(TImageControl::AllocImage8);
    control.SetTransparent(true);
    QVERIFY(control.Transparent());
    ImagePtr rgb{NewImageRGB(4, 4)};
    control.SetImage(rgb.get()); // refused: RGB with a colour on a transparent control
    QVERIFY(control.Image() != rgb.get());
    QCOMPARE(control.AllocImage(), TImageControl::AllocImage8);

    // AutoSize and AutoScale exclude each other.
    control.SetAutoScale(true);
    control.SetAutoSize(true);
    QVERIFY(!control.AutoSize());
    control.SetAutoScale(false);
    control.SetAutoSize(true);
    control.SetAutoScale(true);
    QVERIFY(!control.AutoScale());
}

void TestImageControl::sizesScalesAndOwnership()
{
    TImageControl control;
    control.SetAllocImage(TImageControl::AllocImage16);
    ElementAt<uint16_t>(control.Image(), 3, 3) = 999;
    control.SetXSize(40); // a new blank 16-bit image of 40 × 256
    QCOMPARE(ImageKind(control.Image()), ImageKind16);
    QCOMPARE(control.Image()->XSize, 40);
    QCOMPARE(ElementAt<uint16_t>(control.Image(), 3, 3), uint16_t(0));

    // The same size again with AutoSize on still sizes the control and resets XOffset.
    control.SetXOffset(7);
    control.SetXScale(2.5f);
    control.SetAutoSize(true);
    control.SetXSize(40);
    QCOMPARE(control.width(), 100);
    QCOMPARE(control.XOffset(), 0.0f);
    control.SetXScale(0.3f); // truncated: 12
    QCOMPARE(control.width(), 12);
    control.SetAutoSize(false);

    // A foreign image of another size: sizes follow, nothing is allocated, and with
    // AutoScale the scales fill the control.
    control.resize(300, 150);
    control.SetAutoScale(true);
    Foreign foreign(ImageKindFloat, 60, 50, 240);
    control.SetImage(&foreign.record);
    QCOMPARE(control.AllocImage(), TImageControl::AllocNoImage);
    QCOMPARE(control.Image(), &foreign.record);
    QCOMPARE(control.XSize(), 60);
    QCOMPARE(control.YSize(), 50);
    QCOMPARE(control.XScale(), 5.0f);
    QCOMPARE(control.YScale(), 3.0f);
    control.SetXSize(0);
    QCOMPARE(control.XScale(), 0.0f);
    QCOMPARE(control.Image(), &foreign.record); // a foreign image is never re-made

    // Owning again drops the foreign image without deleting it (the sanitizer build
    // would see a free of the test's buffer); SetImage(null) deletes the owned one.
    control.SetXSize(60);
    control.SetAllocImage(TImageControl::AllocImageComplex);
    QVERIFY(control.Image() != &foreign.record);
    QCOMPARE(ImageKind(control.Image()), ImageKindComplex);
    control.SetImage(nullptr);
    QVERIFY(!control.Image());
    QCOMPARE(control.AllocImage(), TImageControl::AllocNoImage);
}

void TestImageControl::directDrawRule_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("lineStep");
    QTest::addColumn<int>("methods");
    QTest::addColumn<float>("max");
    QTest::addColumn<uint>("displayColor");
    QTest::addColumn<bool>("direct");

    const int mirror = int(TImageControl::DrawingMethodFlag::DriverHandlesVerticalMirror);
    const int unaligned = int(TImageControl::DrawingMethodFlag::HandlesNonWordAlignedImageYOffset);
    QTest::newRow("8-bit 0x0031 bottom-up") << 0x0031 << -8 << 0 << 255.0f << 0xFFFFFFu << true;
    QTest::newRow("… with Max 200") << 0x0031 << -8 << 0 << 200.0f << 0xFFFFFFu << false;
    QTest::newRow("top-down") << 0x0031 << 8 << 0 << 255.0f << 0xFFFFFFu << false;
    QTest::newRow("top-down, mirror option")
        << 0x0031 << 8 << mirror << 255.0f << 0xFFFFFFu << true;
    QTest::newRow("unaligned rows") << 0x0031 << -5 << 0 << 255.0f << 0xFFFFFFu << false;
    QTest::newRow("unaligned, option") << 0x0031 << -5 << unaligned << 255.0f << 0xFFFFFFu << true;
    QTest::newRow("8-bit 0x0011") << 0x0011 << -8 << mirror << 255.0f << 0xFFFFFFu << false;
    QTest::newRow("RGB 0x3004") << 0x3004 << -20 << 0 << 255.0f << 0xFFFFFFu << true;
    QTest::newRow("RGB, green") << 0x3004 << -20 << 0 << 255.0f << 0x00FF00u << false;
    QTest::newRow("RGB 0x1004") << 0x1004 << -20 << 0 << 255.0f << 0xFFFFFFu << false;
}

void TestImageControl::directDrawRule()
{
    QFETCH(int, type);
    QFETCH(int, lineStep);
    QFETCH(int, methods);
    QFETCH(float, max);
    QFETCH(uint, displayColor);
    QFETCH(bool, direct);

    const int bytes = type & 0xF;
    Foreign image(int16_t(type), 5, 4, lineStep);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            for (int b = 0; b < std::min(bytes, 3); ++b)
                (&image.At(x, y, bytes))[b] = uint8_t(20 * x + 50 * y + b);
    TImageControl control;
    control.resize(5, 4);
    control.SetDisplayColor(displayColor);
    control.SetDrawingMethod(TImageControl::DrawingMethodSet::fromInt(methods));
    control.SetImage(&image.record);
    control.SetMax(max);
    // A display image from an earlier paint goes when the image is drawn directly.
    control.SetMax(100);
    Shown(control);
    QVERIFY(control.DisplayImage());
    control.SetMax(max);
    const int64_t before = control.ConversionCount();
    const QImage shown = Shown(control);
    QCOMPARE(!control.DisplayImage(), direct);
    QCOMPARE(control.ConversionCount() - before, direct ? 0 : 1);
    QVERIFY(!control.Rebuild());
    // Either way the pixels are right: element (3, 2) at pixel (3, 2).
    const int v = 20 * 3 + 50 * 2;
    const int level = max == 255.0f ? v : std::min(255, int(v * (255.0 / max)));
    const QRgb pixel = shown.pixel(3, 2);
    if (bytes == 1)
        QCOMPARE(pixel, qRgb(level, level, level));
    else if (displayColor == 0xFFFFFF)
        QCOMPARE(pixel, qRgb(level + 2, level + 1, level));
    else
        QCOMPARE(qGreen(pixel), level + 1);
}

void TestImageControl::everyKindOnScreen_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<float>("min");
    QTest::addColumn<float>("max");
    QTest::newRow("8-bit, window") << int(TImageControl::AllocImage8) << 10.0f << 90.0f;
    QTest::newRow("16-bit") << int(TImageControl::AllocImage16) << 0.0f << 4000.0f;
    QTest::newRow("32-bit, inverted") << int(TImageControl::AllocImage32) << 2000.0f << -500.0f;
    QTest::newRow("float") << int(TImageControl::AllocImageFloat) << -1.0f << 3.0f;
    QTest::newRow("complex") << int(TImageControl::AllocImageComplex) << -2.0f << 6.0f;
    QTest::newRow("RGB, window") << int(TImageControl::AllocImageRGB) << 30.0f << 200.0f;
}

void TestImageControl::everyKindOnScreen()
{
    QFETCH(int, kind);
    QFETCH(float, min);
    QFETCH(float, max);
    TImageControl control;
    control.SetXSize(24);
    control.SetYSize(16);
    control.SetAllocImage(TImageControl::AllocImageType(kind));
    control.resize(24, 16);
    ImageStruct* image = control.Image();
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 24; ++x) {
            const int v = (x * 7 + y * 11) % 97;
            switch (ImageKind(image)) {
            case ImageKind8:
                ElementAt<uint8_t>(image, x, y) = uint8_t(v);
                break;
            case ImageKind16:
                ElementAt<uint16_t>(image, x, y) = uint16_t(v * 40);
                break;
            case ImageKind32:
                ElementAt<int32_t>(image, x, y) = v * 25 - 600;
                break;
            case ImageKindFloat:
                ElementAt<float>(image, x, y) = float(v) / 24.0f - 1.0f;
                break;
            case ImageKindComplex:
                ElementAt<float>(image, 2 * x, y) = float(v) / 12.0f - 2.0f;
                ElementAt<float>(image, 2 * x + 1, y) = float(x);
                break;
            default:
                ElementAt<uint32_t>(image, x, y) = uint32_t(v * 2 | (v + 100) << 8 | v << 16);
            }
        }
    control.SetMin(min);
    control.SetMax(max);
    control.Invalidate();
    const QImage shown = Shown(control);

    // The same conversion made directly: what the screen must show, element for pixel.
    const bool rgb = ImageKind(image) == ImageKindRGB;
    ImagePtr expected{rgb ? NewImageRGB(24, 16) : NewImage8(24, 16)};
    switch (ImageKind(image)) {
    case ImageKind8:
        Image8ToImage8(expected.get(), image, min, max);
        break;
    case ImageKind16:
        Image16ToImage8(expected.get(), image, min, max);
        break;
    case ImageKind32:
        Image32ToImage8(expected.get(), image, min, max);
        break;
    case ImageKindFloat:
        ImageFloatToImage8(expected.get(), image, min, max);
        break;
    case ImageKindComplex:
        ImageComplexReToImage8(expected.get(), image, min, max);
        break;
    default:
        ImageRGBToImageRGB(expected.get(), image, min, max);
    }
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 24; ++x) {
            const QRgb pixel = shown.pixel(x, y);
            if (rgb) {
                const uint32_t e = ElementAt<uint32_t>(expected.get(), x, y);
                QCOMPARE(pixel & 0xFFFFFF, e & 0xFFFFFF);
            } else {
                const int e = Element8(expected.get(), x, y);
                QCOMPARE(pixel, qRgb(e, e, e));
            }
        }
}

void TestImageControl::displayModes_data()
{
    QTest::addColumn<bool>("complex");
    QTest::addColumn<int>("display");
    QTest::addColumn<int>("sameAs"); // the mode that must show the same
    using T = TImageControl;
    QTest::newRow("float PartIm = Normal")
        << false << int(T::DisplayPartIm) << int(T::DisplayNormal);
    QTest::newRow("float Power = Normal") << false << int(T::DisplayPower) << int(T::DisplayNormal);
    QTest::newRow("float PowerLog = Log") << false << int(T::DisplayPowerLog) << int(T::DisplayLog);
    QTest::newRow("complex PartRe = Normal")
        << true << int(T::DisplayPartRe) << int(T::DisplayNormal);
    QTest::newRow("complex Log = PartReLog")
        << true << int(T::DisplayLog) << int(T::DisplayPartReLog);
    QTest::newRow("out of range = Normal") << true << 99 << int(T::DisplayNormal);
}

void TestImageControl::displayModes()
{
    QFETCH(bool, complex);
    QFETCH(int, display);
    QFETCH(int, sameAs);
    TImageControl control;
    control.SetXSize(16);
    control.SetYSize(8);
    control.SetAllocImage(complex ? TImageControl::AllocImageComplex
                                  : TImageControl::AllocImageFloat);
    control.resize(16, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            ElementAt<float>(control.Image(), complex ? 2 * x : x, y) = float(x * y) - 20.0f;
            if (complex) ElementAt<float>(control.Image(), 2 * x + 1, y) = float(x - y);
        }
    control.SetMin(-1);
    control.SetMax(50);
    control.SetDisplay(TImageControl::DisplayType(display));
    const QImage a = Shown(control);
    control.SetDisplay(TImageControl::DisplayType(sameAs));
    const QImage b = Shown(control);
    QCOMPARE(a, b);
    // And the modes do differ where they should: imaginary part against real part.
    if (complex) {
        control.SetDisplay(TImageControl::DisplayPartIm);
        QVERIFY(Shown(control) != b);
    }
}

void TestImageControl::quadrantSwap_data()
{
    QTest::addColumn<int>("X");
    QTest::addColumn<int>("Y");
    QTest::newRow("5 x 4") << 5 << 4;
    QTest::newRow("1 x 3") << 1 << 3;
    QTest::newRow("6 x 1") << 6 << 1;
}

void TestImageControl::quadrantSwap()
{
    QFETCH(int, X);
    QFETCH(int, Y);
    TImageControl control;
    control.SetXSize(X);
    control.SetYSize(Y);
    control.SetAllocImage(TImageControl::AllocImageFloat);
    control.resize(X, Y);
    for (int y = 0; y < Y; ++y)
        for (int x = 0; x < X; ++x)
            ElementAt<float>(control.Image(), x, y) = float(10 * x + y);
    control.SetMax(60);
    control.SetDisplay(TImageControl::DisplaySwapNormal);
    const QImage shown = Shown(control);
    const int hx = X / 2, hy = Y / 2;
    for (int y = 0; y < Y; ++y)
        for (int x = 0; x < X; ++x) {
            const int sx = (x + X - hx) % X, sy = (y + Y - hy) % Y;
            const int level = int((10.0 * sx + sy) * (255.0 / 60.0));
            QCOMPARE(shown.pixel(x, y), qRgb(level, level, level));
        }
}

void TestImageControl::borderStrips_data()
{
    QTest::addColumn<float>("offsetX");
    QTest::addColumn<float>("offsetY");
    QTest::addColumn<float>("scale");
    QTest::newRow("inside, fractional") << 10.3f << 5.6f << 1.5f;
    QTest::newRow("exactly covering") << 0.0f << 0.0f << 2.0f;
    QTest::newRow("hanging over the top left") << -31.7f << -12.2f << 3.25f;
    QTest::newRow("shrunk") << 40.5f << 20.5f << 0.37f;
    QTest::newRow("wholly outside") << 500.0f << 10.0f << 1.0f;
}

void TestImageControl::borderStrips()
{
    QFETCH(float, offsetX);
    QFETCH(float, offsetY);
    QFETCH(float, scale);
    TImageControl control;
    control.SetXSize(100);
    control.SetYSize(80);
    control.resize(200, 160);
    ImageFill(control.Image(), 128);
    control.SetBorderColor(0x0000FF); // red
    control.SetZoomProperties(scale, offsetX, scale, offsetY);
    const QImage shown = Shown(control);
    // Every pixel is either border (red) or image (grey): no gap, nothing left over.
    float x0 = 0, y0 = 0, x1 = 200, y1 = 160;
    QImage probe(200, 160, QImage::Format_ARGB32);
    QPainter painter(&probe);
    const bool covers =
        ImageExtent(painter, control.Image(), offsetX, offsetY, &x0, &y0, &x1, &y1, scale, scale);
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 200; ++x) {
            const bool inside = covers && x >= x0 && x <= x1 && y >= y0 && y <= y1;
            const QRgb want = inside ? qRgb(128, 128, 128) : qRgb(255, 0, 0);
            if (shown.pixel(x, y) != want)
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3")
                                     .arg(x)
                                     .arg(y)
                                     .arg(shown.pixel(x, y), 8, 16)));
        }
}

void TestImageControl::panningReusesTheDisplayImage()
{
    TImageControl control;
    control.SetAllocImage(TImageControl::AllocImage16);
    control.SetMax(4000);
    Shown(control);
    const int64_t built = control.ConversionCount();
    QCOMPARE(built, 1);
    for (int i = 0; i < 10; ++i) {
        control.SetZoomProperties(1.0f + 0.1f * i, float(i), 2.0f, -float(i));
        control.SetBorderColor(TColor(i));
        control.move(i, i);
        Shown(control);
    }
    QCOMPARE(control.ConversionCount(), built);
    control.SetMax(3000); // a new window converts again
    Shown(control);
    QCOMPARE(control.ConversionCount(), built + 1);
    // Replacing an 8-bit image by an RGB one of the same size makes an RGB display image.
    control.SetAllocImage(TImageControl::AllocImageRGB);
    Shown(control);
    QCOMPARE(ImageKind(control.DisplayImage()), ImageKindRGB);
}

void TestImageControl::reclaimedDisplayImageIsRebuilt()
{
    const int64_t budget = CacheBudget();
    {
        TImageControl control;
        control.SetAllocImage(TImageControl::AllocImageFloat);
        ElementAt<float>(control.Image(), 5, 6) = 200.0f;
        control.resize(32, 32);
        Shown(control);
        QVERIFY(control.DisplayImage());
        SetCacheBudget(0); // everything unlocked goes
        QVERIFY(!control.DisplayImage()->Data);
        QCOMPARE(control.DisplayImage()->XSize, 256); // the record stays readable
        const QImage shown = Shown(control);
        QCOMPARE(control.ConversionCount(), 2);
        QCOMPARE(shown.pixel(5, 6), qRgb(200, 200, 200));
        Shown(control);
        SetCacheBudget(budget);
    } // the destructor meets a reclaimed display image: no leak, no double free
    SetCacheBudget(budget);
    QCOMPARE(CacheBytes(), int64_t(0));
}

void TestImageControl::autoLoad_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("colour");
    QTest::addColumn<bool>("autoSize");
    using T = TImageControl;
    for (bool colour : {false, true})
        for (bool autoSize : {false, true})
            for (int kind :
                 {int(T::AllocImage8), int(T::AllocImage16), int(T::AllocImage32),
                  int(T::AllocImageFloat), int(T::AllocImageComplex), int(T::AllocImageRGB)})
                QTest::addRow("kind %d, %s, autosize %d", kind, colour ? "colour" : "grey",
                              int(autoSize))
                    << kind << colour << autoSize;
}

void TestImageControl::autoLoad()
{
    QFETCH(int, kind);
    QFETCH(bool, colour);
    QFETCH(bool, autoSize);
    // A 30 × 20 picture: grey v = x + 3y, or colour (r, g, b) = (x, 5y, 200).
    QImage picture(30, 20, colour ? QImage::Format_RGB32 : QImage::Format_Grayscale8);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x)
            if (colour)
                picture.setPixel(x, y, qRgb(x, 5 * y, 200));
            else
                picture.scanLine(y)[x] = uchar(x + 3 * y);
    const QString path = WritePicture(dir, colour ? "colour.png" : "grey.png", picture);
    const auto grey = [&](int x, int y) {
        return colour ? (299 * x + 587 * 5 * y + 114 * 200) / 1000 : x + 3 * y;
    };

    TImageControl control;
    control.SetXSize(40);
    control.SetYSize(16);
    control.SetAllocImage(TImageControl::AllocImageType(kind));
    control.SetXScale(2);
    control.SetAutoSize(autoSize);
    control.SetAutoLoad(path);
    QCOMPARE(control.AutoLoad(), path);
    QVERIFY(control.Rebuild());
    ImageStruct* image = control.Image();
    QVERIFY(image);
    const int xs = autoSize ? 30 : 40, ys = autoSize ? 20 : 16;
    QCOMPARE(control.XSize(), xs);
    QCOMPARE(image->XSize, xs);
    QCOMPARE(image->YSize, ys);
    if (autoSize) QCOMPARE(control.size(), QSize(60, 20));
    QCOMPARE(QString::fromStdString(image->Info.Source), path);
    for (int y = 0; y < ys; ++y)
        for (int x = 0; x < xs; ++x) {
            const bool inside = x < 30 && y < 20;
            const int g = inside ? grey(x, y) : 0;
            switch (ImageKind(image)) {
            case ImageKind8:
                QCOMPARE(int(Element8(image, x, y)), g);
                break;
            case ImageKind16:
                QCOMPARE(int(ElementAt<uint16_t>(image, x, y)), g);
                break;
            case ImageKind32:
                QCOMPARE(ElementAt<int32_t>(image, x, y), g);
                break;
            case ImageKindFloat:
                QCOMPARE(ElementAt<float>(image, x, y), float(g));
                break;
            case ImageKindComplex:
                QCOMPARE(ElementAt<float>(image, 2 * x, y), float(g));
                QCOMPARE(ElementAt<float>(image, 2 * x + 1, y), 0.0f);
                break;
            default: {
                const uint32_t p = ElementAt<uint32_t>(image, x, y);
                const QRgb want = !inside ? 0 : colour ? qRgb(x, 5 * y, 200) : qRgb(g, g, g);
                QCOMPARE(p & 0xFFFFFF, uint32_t(want & 0xFFFFFF));
            }
            }
        }

    // A missing file changes nothing but the name.
    control.SetAutoLoad(dir.filePath("none.png"));
    QCOMPARE(control.Image(), image);
    QCOMPARE(control.XSize(), xs);
}

void TestImageControl::autoLoadLeavesForeignImagesWhole()
{
    QImage picture(50, 40, QImage::Format_Grayscale8);
    picture.fill(77);
    const QString path = WritePicture(dir, "large.png", picture);
    for (bool autoSize : {false, true}) {
        Foreign foreign(ImageKind8 | ImageAttributeDirect8, 10, 6, -12, 0xEE);
        TImageControl control;
        control.SetImage(&foreign.record);
        control.SetAutoSize(autoSize);
        control.SetAutoLoad(path);
        // Never deleted (the sanitizer build), never written past its size.
        QCOMPARE(control.Image(), &foreign.record);
        QVERIFY(foreign.GuardsIntact(0xEE));
        QCOMPARE(Element8(&foreign.record, 9, 5), uint8_t(77));
        QCOMPARE(foreign.At(10, 5), uint8_t(0xEE)); // the row padding too
    }
    // No image at all: only the name is stored.
    TImageControl empty;
    empty.SetAllocImage(TImageControl::AllocNoImage);
    empty.SetAutoLoad(path);
    QVERIFY(!empty.Image());
    QCOMPARE(empty.AutoLoad(), path);
}

void TestImageControl::transparentControlShowsWhatLiesBeneath()
{
    QWidget parent;
    parent.resize(60, 40);
    parent.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, Qt::blue);
    parent.setPalette(palette);
    auto* control = new TImageControl(&parent);
    control->setGeometry(0, 0, 60, 40);
    control->SetXSize(20);
    control->SetYSize(10);
    control->SetTransparent(true);
    QVERIFY(control->Transparent());
    ImageFill(control->Image(), 0);
    ElementAt<uint8_t>(control->Image(), 2, 3) = 200;
    control->SetZoomProperties(2, 0, 2, 0);
    const QImage shown = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.pixel(5, 7), qRgb(200, 200, 200)); // element (2, 3) at scale 2
    QCOMPARE(shown.pixel(1, 1), qRgb(0, 0, 255));     // value 0: the parent shows
    QCOMPARE(shown.pixel(50, 30), qRgb(0, 0, 255));   // outside the image: no border
}

namespace {

/** A widget that keeps the region of its last paint. */
class PaintRecorder : public QWidget
{
public:
    using QWidget::QWidget;
    QRegion painted;

protected:
    void paintEvent(QPaintEvent* event) override { painted += event->region(); }
};

} // namespace

void TestImageControl::noImageAndMoves()
{
    // Without an image the client area is border; a transparent control paints nothing.
    TImageControl control;
    control.resize(8, 6);
    control.SetBorderColor(0x00FF00);
    control.SetAllocImage(TImageControl::AllocNoImage);
    QVERIFY(!control.Image());
    QCOMPARE(Shown(control).pixel(7, 5), qRgb(0, 255, 0));
    control.SetTransparent(true);
    QCOMPARE(Shown(control).pixel(7, 5), qRgb(255, 0, 255)); // the magenta beneath

    // A transparent control that moves has what it covers repainted, so a sibling
    // beneath it shows through at once; an opaque control covers what it moves over
    // (it claims its whole area, so nothing beneath is painted again).
    for (const bool transparent : {true, false}) {
        QWidget parent;
        parent.resize(200, 200);
        auto* beneath = new PaintRecorder(&parent);
        beneath->setGeometry(0, 0, 200, 200);
        auto* image = new TImageControl(&parent);
        image->setGeometry(20, 20, 60, 60);
        image->SetTransparent(transparent);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        QCoreApplication::processEvents();
        beneath->painted = QRegion();
        image->move(22, 20);
        QCoreApplication::processEvents();
        const bool whole = beneath->painted.contains(QRect(22, 20, 60, 60));
        QCOMPARE(whole, transparent);
    }
}

void TestImageControl::zoomPanelTakesTheImageAsReference()
{
    TZoomPanel panel;
    panel.resize(400, 300);
    panel.SetMinScale(0);
    auto* image = new TImageControl(&panel);
    image->SetXSize(200);
    image->SetYSize(100);
    image->SetAutoScale(true);
    panel.SetAutoMouse(true);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    panel.SetFracScale(2.0);
    // The panel maps the image's 200 × 100 elements onto the child's 400 × 300 pixels.
    QCOMPARE(image->XScale(), float(400.0 * panel.Zoom().XFactor / 200));
    QCOMPARE(image->YScale(), float(300.0 * panel.Zoom().YFactor / 100));
    QCOMPARE(image->XOffset(), float(400.0 * panel.Zoom().XOrigin));
    QVERIFY(!image->AutoScale());
    QVERIFY(!image->AutoSize());
}

void TestImageControl::qtProperties()
{
    TImageControl control;
    const struct
    {
        const char* name;
        QVariant value;
    } settings[] = {
        {"Display", QVariant::fromValue(TImageControl::DisplaySwapLog)},
        {"Min", 3.5f},
        {"Max", 99.0f},
        {"XSize", 64},
        {"YSize", 32},
        {"XScale", 1.5f},
        {"YScale", 0.5f},
        {"XOffset", -4.0f},
        {"YOffset", 2.0f},
        {"AutoScale", true},
        {"AutoLoad", QStringLiteral("none.png")},
        {"BorderColor", QColor(10, 20, 30)},
        {"DisplayColor", QColor(0, 255, 0)},
        {"DrawingMethod", QVariant::fromValue(TImageControl::DrawingMethodSet(
                              TImageControl::DrawingMethodFlag::DontPerformSmoothScaling))},
        {"AllocImage", QVariant::fromValue(TImageControl::AllocImage16)},
    };
    for (const auto& s : settings) {
        QVERIFY2(control.setProperty(s.name, s.value), s.name);
        if (QByteArray(s.name) == "XScale" || QByteArray(s.name) == "XOffset") continue;
        QCOMPARE(control.property(s.name), s.value);
    }
    QCOMPARE(control.BorderColor(), TColor(0x1E140A));
    QCOMPARE(ImageKind(control.Image()), ImageKind16);
    QCOMPARE(control.Image()->XSize, 64);
    // Enumerations and flags are known by name, as Designer shows them.
    const QMetaObject& meta = TImageControl::staticMetaObject;
    QCOMPARE(meta.enumerator(meta.indexOfEnumerator("DisplayType")).keyCount(), 16);
    const QMetaEnum flags = meta.enumerator(meta.indexOfEnumerator("DrawingMethodSet"));
    QVERIFY(flags.isFlag());
    QCOMPARE(flags.keysToValue("DontPerformSmoothScaling|DriverHandlesVerticalMirror"), 5);
    QVERIFY(control.setProperty("Transparent", true) && !control.Transparent()); // Min is 3.5
}

void TestImageControl::colourTableOnScreen()
{
    // A table in which every value has its own colour, unlike any grey ramp.
    std::vector<uint32_t> table(256), other(256);
    for (uint32_t v = 0; v < 256; ++v) {
        table[v] = v << 16 | (255 - v) << 8 | (v * 37 + 11) % 256;
        other[v] = table[v] ^ 0x808080;
    }
    TImageControl control;
    control.SetXSize(32);
    control.SetYSize(16);
    control.SetAllocImage(TImageControl::AllocImage8);
    control.resize(32, 16);
    ImageStruct* image = control.Image();
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x)
            ElementAt<uint8_t>(image, x, y) = uint8_t(x * 8 + y);
    control.SetDisplayColor(0x00FF00); // a table replaces the colour ramp
    control.Invalidate();
    const QImage ramp = control.grab().toImage().convertToFormat(QImage::Format_RGB32);

    // Drawn as they are (window 0 … 255) and through a window's display image, at 1:1.
    for (const float max : {255.0f, 127.0f}) {
        control.SetMax(max);
        control.SetColourTable(table);
        const QImage shown = control.grab().toImage().convertToFormat(QImage::Format_RGB32);
        ImagePtr levels{NewImage8(32, 16)};
        Image8ToImage8(levels.get(), image, 0, max);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 32; ++x)
                QCOMPARE(shown.pixel(x, y) & 0xFFFFFF, table[Element8(levels.get(), x, y)]);
        control.SetColourTable({});
    }
    control.SetMax(255);
    QCOMPARE(control.grab().toImage().convertToFormat(QImage::Format_RGB32), ramp);

    // A table changes how the display image is drawn, never the image: no conversion.
    // The same table again is kept; a wrong length counts as none.
    control.SetMax(127);
    control.grab();
    const int64_t conversions = control.ConversionCount();
    for (const auto& colours : {table, table, other, std::vector<uint32_t>(255, 0xFFFFFF)}) {
        control.SetColourTable(colours);
        control.grab();
    }
    QVERIFY(control.ColourTable().empty());
    control.SetColourTable(table);
    QCOMPARE(control.ColourTable(), table);
    QCOMPARE(control.ConversionCount(), conversions);
    control.SetMax(255);

    // Shrunk and smoothed, the image is rendered once and kept: a new table must not
    // reuse the rendering made with the old one. A constant image keeps interpolation out.
    ImageFill(image, 100);
    control.Invalidate();
    control.SetZoomProperties(0.5f, 0, 0.5f, 0);
    for (const auto* colours : {&table, &other, &table}) {
        control.SetColourTable(*colours);
        const QImage shown = control.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown.pixel(7, 3) & 0xFFFFFF, (*colours)[100]);
        QCOMPARE(shown.pixel(20, 10), qRgb(0, 0, 0)); // the border beyond the image
    }
    control.SetColourTable({});
    QCOMPARE(control.grab().toImage().pixel(7, 3), qRgb(0, 100, 0));
}

QTEST_MAIN(TestImageControl)
#include "tst_imagecontrol.moc"
