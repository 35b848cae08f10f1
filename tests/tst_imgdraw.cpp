// Drawing of images on a QPainter (placement, values, transparency, interpolation, the
// extent border strips are fitted to) and the pixel cache behind the …Alloc images.

#include "imgdraw.h"
#include "imgkernel.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr QRgb Beneath = 0xFF123456; ///< what a target holds before drawing

/** The test picture: the 8-bit value, or RGB pixel (0x00RRGGBB), of element (x, y). */
uint32_t Element(bool rgb, int x, int y)
{
    return rgb ? 0xC80000u | uint32_t(10 + 30 * y) << 8 | uint32_t(10 + 30 * x)
               : uint32_t(10 + 7 * (y * 7 + x));
}

/** Gives an 8-bit or RGB image the picture, moved right and down by `shift` over zeros. */
ImageStruct* Paint(ImageStruct* image, int shift = 0)
{
    const bool rgb = ImageKind(image) == ImageKindRGB;
    for (int y = 0; y < image->YSize; ++y) {
        uint8_t* row = image->Data + qsizetype(y) * image->LineStep;
        for (int x = 0; x < image->XSize; ++x) {
            const uint32_t e = x < shift || y < shift ? 0 : Element(rgb, x - shift, y - shift);
            if (rgb)
                reinterpret_cast<uint32_t*>(row)[x] = e;
            else
                row[x] = uint8_t(e);
        }
    }
    return image;
}

/** A new image holding the picture; bottom-up, as NewImage… makes them. */
ImagePtr Picture(bool rgb, int w, int h, int shift = 0)
{
    return ImagePtr(Paint(rgb ? NewImageRGB(w, h) : NewImage8(w, h), shift));
}

/** The picture top-down in `buffer`. */
ImageStruct TopDown(bool rgb, int w, int h, int shift, std::vector<uint32_t>& buffer)
{
    buffer.assign(size_t(w) * h, 0);
    ImageStruct image;
    image.XSize = w;
    image.YSize = h;
    image.Type = rgb ? ImageKindRGB : ImageKind8;
    image.LineStep = 4 * w;
    image.Data = reinterpret_cast<uint8_t*>(buffer.data());
    Paint(&image, shift);
    return image;
}

/** `image` drawn in white at `place` (x, y offset; width, height scale) over `beneath`. */
QImage Draw(const ImageStruct* image, QRectF place, int flags = 0, QSize size = {24, 24},
            QRgb beneath = Beneath, QRect clip = {})
{
    QImage target(size, QImage::Format_ARGB32_Premultiplied);
    target.fill(beneath);
    QPainter painter(&target);
    if (!clip.isNull()) painter.setClipRect(clip);
    DrawImage(painter, image, place.x(), place.y(), place.width(), place.height(), 0xFFFFFF, flags,
              0);
    return target;
}

/** The element whose cell holds pixel c's centre; -1 outside [0, size). */
int Sample(int c, double origin, double scale, int size)
{
    const double u = (c + 0.5 - origin) / scale;
    return u >= 0 && u < size ? int(std::floor(u)) : -1;
}

/** Whether pixel c's centre lies on an edge between two of `size` elements. */
bool OnInnerEdge(int c, double origin, double scale, int size)
{
    const double u = (c + 0.5 - origin) / scale, edge = std::round(u);
    return edge > 0 && edge < size && std::abs(u - edge) < 1e-4;
}

/** The greatest difference of a channel between two images of one size. */
int Difference(const QImage& a, const QImage& b)
{
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int shift : {0, 8, 16, 24})
                most = std::max(most, std::abs(int(a.pixel(x, y) >> shift & 0xFF) -
                                               int(b.pixel(x, y) >> shift & 0xFF)));
    return most;
}

/** A 1024 × 768 paint device that keeps the images drawn on it. */
class Recorder : public QPaintDevice, public QPaintEngine
{
public:
    Recorder() : QPaintEngine(AllFeatures) {}
    QPaintEngine* paintEngine() const override { return const_cast<Recorder*>(this); }
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState&) override {}
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawImage(const QRectF&, const QImage& image, const QRectF&,
                   Qt::ImageConversionFlags) override
    {
        images.push_back(image);
    }
    Type type() const override { return User; }
    int metric(PaintDeviceMetric m) const override
    {
        return m == PdmWidth                    ? 1024
               : m == PdmHeight                 ? 768
               : m == PdmDevicePixelRatioScaled ? int(devicePixelRatioFScale())
               : m == PdmDevicePixelRatio       ? 1
                                                : 96;
    }

    std::vector<QImage> images;
};

/** Restores the cache budget a test changes. */
struct BudgetGuard
{
    int64_t saved = CacheBudget();
    ~BudgetGuard() { SetCacheBudget(saved); }
};

ImageStruct* NewCached(int w, int h)
{
    return NewImage8Alloc(w, h, 0x300, CacheAllocLock, CacheUnlockFree);
}

} // namespace

class TestImgDraw : public QObject
{
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void layoutsDrawAlike_data();
    void layoutsDrawAlike();
    void values_data();
    void values();
    void smoothing_data();
    void smoothing();
    void extentIsWhatIsPainted_data();
    void extentIsWhatIsPainted();
    void nothingDrawn_data();
    void nothingDrawn();
    void largeImageCostsWhatIsVisible();
    void shrunkRenderingFollowsThePixels();
    void cacheReclaimsLeastRecentlyUsed();
    void cachedImageReleases_data();
    void cachedImageReleases();
};

void TestImgDraw::placement_data()
{
    QTest::addColumn<bool>("rgb");
    QTest::addColumn<QRectF>("place");
    for (bool rgb : {false, true}) {
        const char* kind = rgb ? "RGB" : "8-bit";
        QTest::addRow("%s 1:1 at 2, 3", kind) << rgb << QRectF(2, 3, 1, 1);
        QTest::addRow("%s 1:1 at 2.3, 3.7", kind) << rgb << QRectF(2.3, 3.7, 1, 1);
        QTest::addRow("%s x3 at 1, -2", kind) << rgb << QRectF(1, -2, 3, 3);
        QTest::addRow("%s x2.7, x1.3", kind) << rgb << QRectF(.35, 1.6, 2.7, 1.3);
        QTest::addRow("%s edges on centres", kind) << rgb << QRectF(.5, 1.5, 3, 3);
        QTest::addRow("%s x2.25, x3.25", kind) << rgb << QRectF(-.5, 1.5, 2.25, 3.25);
        QTest::addRow("%s x0.7 unsmoothed", kind) << rgb << QRectF(3.1, .2, .7, .62);
    }
}

void TestImgDraw::placement()
{
    QFETCH(bool, rgb);
    QFETCH(QRectF, place);
    const QImage out = Draw(Picture(rgb, 7, 5).get(), place, DrawDontPerformSmoothScaling);
    float xo = place.x(), yo = place.y();
    const float xs = place.width(), ys = place.height();
    if (xs < 1 || ys < 1) {
        // Shrunk images are drawn at whole-pixel offsets.
        xo = std::floor(xo + 0.5f);
        yo = std::floor(yo + 0.5f);
    }
    int checked = 0;
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            // A centre on an edge between two elements may show either.
            if (OnInnerEdge(x, xo, xs, 7) || OnInnerEdge(y, yo, ys, 5)) continue;
            const int u = Sample(x, xo, xs, 7), v = Sample(y, yo, ys, 5);
            const uint32_t e = Element(rgb, u, v);
            const QRgb want = u < 0 || v < 0 ? Beneath : rgb ? 0xFF000000 | e : qRgb(e, e, e);
            QVERIFY2(out.pixel(x, y) == want, qPrintable(QString("at %1, %2").arg(x).arg(y)));
            ++checked;
        }
    }
    QVERIFY(checked > out.width() * out.height() / 2);
}

void TestImgDraw::layoutsDrawAlike_data()
{
    QTest::addColumn<bool>("rgb");
    QTest::addColumn<QRectF>("place");
    QTest::addColumn<int>("tolerance"); // interpolating, Qt rounds a mirrored image otherwise
    for (bool rgb : {false, true}) {
        const char* kind = rgb ? "RGB" : "8-bit";
        QTest::addRow("%s enlarged", kind) << rgb << QRectF(1.37, .6, 2.6, 2.37) << 0;
        QTest::addRow("%s shrunk", kind) << rgb << QRectF(1.37, .6, .45, .55) << 2;
        QTest::addRow("%s widened, flattened", kind) << rgb << QRectF(1.37, .6, 2.6, .55) << 2;
        QTest::addRow("%s narrowed, heightened", kind) << rgb << QRectF(1.37, .6, .45, 2.37) << 2;
    }
}

void TestImgDraw::layoutsDrawAlike()
{
    QFETCH(bool, rgb);
    QFETCH(QRectF, place);
    QFETCH(int, tolerance);
    const QImage want = Draw(Picture(rgb, 30, 20).get(), place, 0, {80, 56});
    QVERIFY(want.pixel(6, 4) != Beneath);
    // The picture top-down, and references into bottom-up and top-down pictures.
    std::vector<uint32_t> plain, larger;
    ImageStruct topDown = TopDown(rgb, 30, 20, 0, plain);
    const ImageStruct parentDown = TopDown(rgb, 32, 22, 2, larger);
    const ImagePtr parentUp = Picture(rgb, 32, 22, 2);
    ImageStruct refUp, refDown;
    SetTempReference(&refUp, parentUp.get(), 2, 2, 30, 20);
    SetTempReference(&refDown, &parentDown, 2, 2, 30, 20);
    for (const ImageStruct* image : {&topDown, &refUp, &refDown})
        QVERIFY(Difference(Draw(image, place, 0, {80, 56}), want) <= tolerance);

    // Repainting within a clip gives the pixels the whole drawing gave there (shrinking RGB,
    // Qt interpolates coarsely, from where the clip starts).
    const QRect clip(5, 3, 6, 5);
    const QImage clipped = Draw(Picture(rgb, 30, 20).get(), place, 0, {80, 56}, Beneath, clip);
    QVERIFY(Difference(clipped.copy(clip), want.copy(clip)) <= (rgb ? 8 : tolerance));
}

void TestImgDraw::values_data()
{
    QTest::addColumn<bool>("rgb");
    QTest::addColumn<uint>("value");  // 8-bit value or RGB pixel
    QTest::addColumn<uint>("colour"); // 0x00BBGGRR
    QTest::addColumn<int>("flags");
    QTest::addColumn<QRgb>("want");
    const int transparent = DrawTransparent;
    QTest::newRow("white, full") << false << 255u << 0xFFFFFFu << 0 << qRgb(255, 255, 255);
    QTest::newRow("white gives grey") << false << 128u << 0xFFFFFFu << 0 << qRgb(128, 128, 128);
    QTest::newRow("green") << false << 77u << 0x00FF00u << 0 << qRgb(0, 77, 0);
    QTest::newRow("red is the low byte") << false << 200u << 0x0000FFu << 0 << qRgb(200, 0, 0);
    QTest::newRow("blue the third") << false << 13u << 0xFF0000u << 0 << qRgb(0, 0, 13);
    QTest::newRow("top byte ignored") << false << 77u << 0xAB00FF00u << 0 << qRgb(0, 77, 0);
    QTest::newRow("0 is black") << false << 0u << 0xFFFFFFu << 0 << qRgb(0, 0, 0);
    QTest::newRow("0 transparent") << false << 0u << 0xFFFFFFu << transparent << Beneath;
    QTest::newRow("1 is not") << false << 1u << 0xFFFFFFu << transparent << qRgb(1, 1, 1);
    QTest::newRow("0x0100 alone") << false << 0u << 0xFFFFFFu << 0x0100 << Beneath;
    QTest::newRow("mirror bit alone") << false << 0u << 0xFFFFFFu << 1 << qRgb(0, 0, 0);
    QTest::newRow("RGB as it is") << true << 0x102030u << 0x00FF00u << 0 << qRgb(16, 32, 48);
    QTest::newRow("RGB black") << true << 0u << 0u << 0 << qRgb(0, 0, 0);
    QTest::newRow("RGB black transparent") << true << 0u << 0u << transparent << Beneath;
    QTest::newRow("RGB blue is not") << true << 1u << 0u << transparent << qRgb(0, 0, 1);
}

void TestImgDraw::values()
{
    QFETCH(bool, rgb);
    QFETCH(uint, value);
    QFETCH(uint, colour);
    QFETCH(int, flags);
    const ImagePtr image(rgb ? NewImageRGB(1, 1) : NewImage8(1, 1));
    if (rgb)
        *reinterpret_cast<uint32_t*>(image->Data) = value;
    else
        image->Data[0] = uint8_t(value);
    QImage target(4, 4, QImage::Format_ARGB32_Premultiplied);
    target.fill(Beneath);
    QPainter painter(&target);
    DrawImage(painter, image.get(), 0, 0, 4, 4, colour, flags, 0);
    QTEST(target.pixel(2, 1), "want");
}

void TestImgDraw::smoothing_data()
{
    QTest::addColumn<QRectF>("place");
    QTest::addColumn<int>("flags");
    QTest::addColumn<bool>("interpolated");
    const int never = DrawDontPerformSmoothScaling;
    const int enlarging = DrawDontPerformSmoothScalingWhenEnlarging;
    const int flattening = DrawDontPerformSmoothScalingWhenVerticallyCompressing;
    QTest::newRow("enlarged") << QRectF(.3, .2, 3, 2.5) << 0 << false;
    QTest::newRow("shrunk") << QRectF(.3, .2, .6, .7) << 0 << true;
    QTest::newRow("narrowed only") << QRectF(.3, .2, .6, 2) << 0 << true;
    QTest::newRow("flattened only") << QRectF(.3, .2, 2, .6) << 0 << true;
    QTest::newRow("never smooth") << QRectF(.3, .2, .6, .7) << never << false;
    QTest::newRow("enlarging flag") << QRectF(.3, .2, .6, .7) << enlarging << true;
    QTest::newRow("flattening flag") << QRectF(.3, .2, .6, .7) << flattening << false;
    QTest::newRow("flattening flag, narrowed") << QRectF(.3, .2, .6, 2) << flattening << true;
}

void TestImgDraw::smoothing()
{
    QFETCH(QRectF, place);
    QFETCH(int, flags);
    const ImagePtr board(NewImage8(16, 16));
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            board->Data[y * board->LineStep + x] = (x + y) % 2 ? 255 : 0;
    const QImage out = Draw(board.get(), place, flags, {8, 8});
    bool between = false;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            between |= qRed(out.pixel(x, y)) % 255 != 0;
    QTEST(between, "interpolated");
}

void TestImgDraw::extentIsWhatIsPainted_data()
{
    QTest::addColumn<bool>("rgb");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRectF>("place");
    QTest::newRow("wholly left") << false << QSize(5, 5) << QRectF(-20.4, 3, 2, 2);
    QTest::newRow("wholly below") << true << QSize(5, 5) << QRectF(3, 31.6, 1, 1);
    QTest::newRow("ends on centres") << false << QSize(4, 4) << QRectF(.5, 1.5, 2.5, 1.25);
    QTest::newRow("within a pixel") << false << QSize(3, 2) << QRectF(7.2, 7.1, .2, .3);
    QTest::newRow("between centres") << true << QSize(3, 2) << QRectF(7.6, 7.1, .2, .3);
    QTest::newRow("over everything") << false << QSize(2, 2) << QRectF(-1e6, -3e5, 1e7, 1e6);
    QTest::newRow("enormous") << true << QSize(2, 3) << QRectF(-1e30, -2e30, 3e38, 2e38);
    QTest::newRow("minute") << false << QSize(2, 3) << QRectF(3.3, 4.5, 1e-30, 1e-30);
    QRandomGenerator random(20240611);
    const auto scale = [&] { return std::exp(random.bounded(5.0) - 2.5); };
    const auto offset = [&] { return random.bounded(50.0) - 15; };
    for (int i = 0; i < 60; ++i)
        QTest::addRow("random %d", i)
            << bool(i % 2) << QSize(1 + random.bounded(12), 1 + random.bounded(12))
            << QRectF(offset(), offset(), scale(), scale());
}

void TestImgDraw::extentIsWhatIsPainted()
{
    QFETCH(bool, rgb);
    QFETCH(QSize, size);
    QFETCH(QRectF, place);
    const ImagePtr image = Picture(rgb, size.width(), size.height());
    QImage out = Draw(image.get(), place, 0, {32, 32}, 0);
    QRect painted;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            if (qAlpha(out.pixel(x, y))) painted |= QRect(x, y, 1, 1);

    float x0 = 0, y0 = 0, x1 = 32, y1 = 32;
    QPainter painter(&out);
    const bool covered = ImageExtent(painter, image.get(), place.x(), place.y(), &x0, &y0, &x1, &y1,
                                     place.width(), place.height());
    painter.end();
    QCOMPARE(covered, !painted.isEmpty());
    if (covered)
        QCOMPARE(QRect(QPoint(int(x0), int(y0)), QPoint(int(x1), int(y1))), painted);
    else
        QCOMPARE(QList<float>({x0, y0, x1, y1}), QList<float>({0, 0, 32, 32}));

    // Border strips around the extent meet the image without a gap or an overlap.
    if (!covered) x0 = x1 = y0 = y1 = 32;
    QImage strips(32, 32, QImage::Format_ARGB32_Premultiplied);
    strips.fill(0);
    QPainter border(&strips);
    border.fillRect(QRectF(0, 0, 32, y0), Qt::black);
    border.fillRect(QRectF(0, y1 + 1, 32, 31 - y1), Qt::black);
    border.fillRect(QRectF(0, y0, x0, y1 + 1 - y0), Qt::black);
    border.fillRect(QRectF(x1 + 1, y0, 31 - x1, y1 + 1 - y0), Qt::black);
    border.end();
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            QVERIFY2((qAlpha(out.pixel(x, y)) > 0) != (qAlpha(strips.pixel(x, y)) > 0),
                     qPrintable(QString("at %1, %2").arg(x).arg(y)));
}

void TestImgDraw::nothingDrawn_data()
{
    QTest::addColumn<int>("type"); // of the image; 0 for none
    QTest::addColumn<int>("width");
    QTest::addColumn<QRectF>("place");
    const int k8 = ImageKind8, rgb = ImageKindRGB;
    QTest::newRow("zero scale") << k8 << 4 << QRectF(1, 1, 0, 2);
    QTest::newRow("negative scale") << rgb << 4 << QRectF(20, 20, 2, -2);
    QTest::newRow("NaN offset") << k8 << 4 << QRectF(NaN, 1, 2, 2);
    QTest::newRow("NaN scale") << rgb << 4 << QRectF(1, 1, NaN, 2);
    QTest::newRow("infinite scale") << rgb << 4 << QRectF(1, 1, 2, qInf());
    QTest::newRow("infinite offset") << k8 << 4 << QRectF(-qInf(), 1, 2, 2);
    QTest::newRow("16-bit") << int(ImageKind16) << 4 << QRectF(1, 1, 2, 2);
    QTest::newRow("float") << int(ImageKindFloat) << 4 << QRectF(1, 1, 2, 2);
    QTest::newRow("empty") << k8 << 0 << QRectF(1, 1, 2, 2);
    QTest::newRow("none") << 0 << 4 << QRectF(1, 1, 2, 2);
}

void TestImgDraw::nothingDrawn()
{
    QFETCH(int, type);
    QFETCH(int, width);
    QFETCH(QRectF, place);
    const ImagePtr image(type == ImageKind8     ? NewImage8(width, 4)
                         : type == ImageKindRGB ? NewImageRGB(width, 4)
                         : type == ImageKind16  ? NewImage16(width, 4)
                         : type                 ? NewImageFloat(width, 4)
                                                : nullptr);
    QImage out = Draw(image.get(), place);
    QCOMPARE(out, Draw(nullptr, {}));
    float x0 = 0, y0 = 0, x1 = 24, y1 = 24;
    QPainter painter(&out);
    QVERIFY(!ImageExtent(painter, image.get(), place.x(), place.y(), &x0, &y0, &x1, &y1,
                         place.width(), place.height()));
    QCOMPARE(QList<float>({x0, y0, x1, y1}), QList<float>({0, 0, 24, 24}));
}

void TestImgDraw::largeImageCostsWhatIsVisible()
{
    const ImagePtr image(NewImage8(4096, 4096));
    for (int y = 0; y < 4096; ++y)
        for (int x = 0; x < 4096; ++x)
            image->Data[qsizetype(y) * image->LineStep + x] = uint8_t((x * 7 + y * 13) % 251 + 1);
    const auto* memory = static_cast<const uchar*>(image->Memory);
    const QRectF place(-10000.3, -20000.6, 8, 8);
    const QRect clip(300, 200, 64, 48); // 8 × 6 elements
    // What is handed to the painter is the image's own pixels, those the clip shows and
    // a margin of two elements at most.
    Recorder recorder;
    QPainter painter(&recorder);
    painter.setClipRect(clip);
    DrawImage(painter, image.get(), place.x(), place.y(), 8, 8, 0xFFFFFF, 0, 0);
    painter.end();
    QVERIFY(!recorder.images.empty());
    for (const QImage& drawn : recorder.images) {
        QVERIFY(drawn.constBits() >= memory && drawn.constBits() < memory + 4096 * 4096);
        QVERIFY(drawn.width() <= 8 + 4 && drawn.height() <= 6 + 4);
    }

    QElapsedTimer timer;
    timer.start();
    QImage out;
    for (int i = 0; i < 100; ++i)
        out = Draw(image.get(), place, 0, {1024, 768}, Beneath, clip);
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    for (int y = clip.top() - 9; y < clip.bottom() + 10; y += 3) {
        for (int x = clip.left() - 9; x < clip.right() + 10; x += 3) {
            const int u = Sample(x, place.x(), 8, 4096), v = Sample(y, place.y(), 8, 4096);
            const int e = (u * 7 + v * 13) % 251 + 1;
            QCOMPARE(out.pixel(x, y), clip.contains(x, y) ? qRgb(e, e, e) : Beneath);
        }
    }
}

void TestImgDraw::shrunkRenderingFollowsThePixels()
{
    // A shrunk image is rendered once at its scale and kept: whole-pixel pans show what
    // a fresh drawing shows, and changed pixels (a new Generation) are drawn anew.
    ImagePtr image = Picture(false, 90, 70);
    const QRectF place(3.4, -2.6, 0.3, 0.4); // drawn at (3, -3)
    const QImage first = Draw(image.get(), place, 0, {40, 30});
    ImagePtr copy = Picture(false, 90, 70); // other pixels in memory: never kept before
    QCOMPARE(Draw(copy.get(), place, 0, {40, 30}), first);
    QCOMPARE(Draw(image.get(), place.translated(5, 4), 0, {40, 30}),
             Draw(copy.get(), place.translated(5, 4), 0, {40, 30}));

    ImageFill(image.get(), 200); // a library write: the next drawing follows it
    const QImage filled = Draw(image.get(), place, 0, {40, 30});
    QCOMPARE(filled.pixel(10, 5), qRgb(200, 200, 200));
    for (int y = 0; y < 30; ++y) // a write of the program's own …
        std::memset(image->Data + qsizetype(y) * image->LineStep, 0, 90);
    QCOMPARE(Draw(image.get(), place, 0, {40, 30}), filled); // … is not seen until
    TouchImage(image.get());                                 // it says so
    QVERIFY(Draw(image.get(), place, 0, {40, 30}) != filled);
}

void TestImgDraw::cacheReclaimsLeastRecentlyUsed()
{
    BudgetGuard guard;
    const int64_t start = CacheBytes();
    CachedImage a(NewCached(64, 64)), b(NewCached(64, 64)), c(NewCached(64, 64));
    QVERIFY(a && b && c);
    QCOMPARE(CacheBytes(), start + 3 * 64 * 64);
    a.Unlock();
    b.Unlock();
    c.Unlock();
    QVERIFY(a.Lock()); // a is now the most recently used, b the least
    a.Unlock();
    QVERIFY(c.Lock());
    SetCacheBudget(start + 2 * 64 * 64);
    QCOMPARE(b.get()->Data, nullptr);
    QCOMPARE(b.get()->XSize, 64); // the sizes stay readable
    QVERIFY(a.get()->Data && c.get()->Data);
    QCOMPARE(Draw(b.get(), {0, 0, 1, 1}), Draw(nullptr, {}));

    SetCacheBudget(0); // everything unlocked goes, the locked c stays
    QCOMPARE(a.get()->Data, nullptr);
    QVERIFY(c.get()->Data);
    QCOMPARE(CacheBytes(), start + 64 * 64);
    QVERIFY(!b.Lock()); // the lock releases the reclaimed record
    QCOMPARE(b.get(), nullptr);
    c.Unlock(); // over the budget: reclaimed at once
    QCOMPARE(c.get()->Data, nullptr);
    QCOMPARE(CacheBytes(), start);
}

void TestImgDraw::cachedImageReleases_data()
{
    QTest::addColumn<bool>("reclaimed");
    QTest::addColumn<int>("how"); // 0 destructor, 1 Reset(), 2 Reset(other), 3 move assignment
    for (bool reclaimed : {false, true}) {
        const char* state = reclaimed ? "reclaimed" : "live";
        QTest::addRow("%s, destructor", state) << reclaimed << 0;
        QTest::addRow("%s, Reset()", state) << reclaimed << 1;
        QTest::addRow("%s, Reset(other)", state) << reclaimed << 2;
        QTest::addRow("%s, moved over", state) << reclaimed << 3;
    }
}

void TestImgDraw::cachedImageReleases()
{
    QFETCH(bool, reclaimed);
    QFETCH(int, how);
    BudgetGuard guard;
    const int64_t start = CacheBytes();
    {
        CachedImage owner(NewCached(40, 30));
        if (reclaimed) {
            owner.Unlock();
            SetCacheBudget(0);
            QCOMPARE(owner.get()->Data, nullptr);
            SetCacheBudget(guard.saved);
        }
        if (how == 1) owner.Reset();
        if (how == 2) owner.Reset(NewCached(8, 8));
        if (how == 3) owner = CachedImage(NewCached(8, 8));
        owner.Reset(owner.get()); // taking what it holds changes nothing
        QCOMPARE(CacheBytes(), start + (how >= 2 ? 64 : how == 0 && !reclaimed ? 1200 : 0));
        QCOMPARE(bool(owner), how != 1);
    }
    QCOMPARE(CacheBytes(), start);
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    TestImgDraw test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_imgdraw.moc"
