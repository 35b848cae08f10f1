// The imaging library's vector records (size, release, statistics) and the drawing of
// a vector as a curve on a QPainter.

#include "imgdraw.h"
#include "imgkernel.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTest>

#include <cfloat>
#include <cmath>
#include <limits>

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float Inf = std::numeric_limits<float>::infinity();

/** A vector record holding `values`, released when it goes out of scope. */
class Samples
{
public:
    explicit Samples(const QList<float>& values)
    {
        InitVectorSize(&record, int32_t(values.size()));
        for (qsizetype i = 0; i < values.size(); ++i)
            record.Values[i] = values[i];
    }
    ~Samples() { DestroyVector(&record); }
    Samples(const Samples&) = delete;
    Samples& operator=(const Samples&) = delete;

    VectorStruct record;
};

/** Where the vector is drawn and on what scale. */
struct Plot
{
    bool vertical = false;
    float originX = 0, originY = 0, directionX = 1, directionY = 1;
    float min = 0, max = 1;
    bool antialiased = false;
};

/** `vector` drawn in black on a white image of `width` × `height` pixels. */
QImage Draw(const VectorStruct* vector, int width, int height, const Plot& plot)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, plot.antialiased);
    const auto draw = plot.vertical ? DrawVectorVertical : DrawVectorHorizontal;
    draw(painter, vector, plot.originX, plot.originY, plot.directionX, plot.directionY,
         float(width), float(height), plot.min, plot.max, 0);
    return image;
}

/** The image as text, one string a row: '#' for black, '.' for white, '+' otherwise. */
QStringList Rows(const QImage& image)
{
    QStringList rows;
    for (int y = 0; y < image.height(); ++y) {
        QString row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            row += p == qRgb(0, 0, 0) ? '#' : p == qRgb(255, 255, 255) ? '.' : '+';
        }
        rows << row;
    }
    return rows;
}

} // namespace

class TestImaging : public QObject
{
    Q_OBJECT

private slots:
    void initAndDestroy_data();
    void initAndDestroy();
    void statistics_data();
    void statistics();
    void rampRunsFromBottomLeftToTopRight();
    void mirroredAxesMirrorThePixels_data();
    void mirroredAxesMirrorThePixels();
    void equalMinAndMaxDrawsTheMiddle_data();
    void equalMinAndMaxDrawsTheMiddle();
    void samplesThatAreNotNumbersBreakTheLine_data();
    void samplesThatAreNotNumbersBreakTheLine();
    void verticalPutsLargerValuesRight();
    void nothingForAnEmptyVector();
    void hugeValuesAreSafe();
    void colourAndPainterState();
};

void TestImaging::initAndDestroy_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expected");
    QTest::newRow("some") << 5 << 5;
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("negative") << -3 << 0;
}

void TestImaging::initAndDestroy()
{
    QFETCH(int, size);
    QFETCH(int, expected);
    VectorStruct v;
    InitVectorSize(&v, 7);
    for (int i = 0; i < 7; ++i)
        v.Values[i] = float(i + 1);
    // Sizing again replaces the storage (the sanitizer sees a leak if the old one stays).
    InitVectorSize(&v, size);
    QCOMPARE(v.Length, expected);
    QCOMPARE(v.Allocated, expected);
    for (int i = 0; i < expected; ++i)
        QCOMPARE(v.Values[i], 0.0f);

    DestroyVector(&v);
    QCOMPARE(v.Values, nullptr);
    QCOMPARE(v.Length, 0);
    QCOMPARE(v.Allocated, 0);
    DestroyVector(&v); // a second release is harmless
    QCOMPARE(v.Values, nullptr);
}

void TestImaging::statistics_data()
{
    QTest::addColumn<QList<float>>("values");
    QTest::addColumn<int>("length");
    QTest::addColumn<float>("min");
    QTest::addColumn<float>("max");
    QTest::addColumn<float>("mean");
    QTest::addColumn<float>("deviation");
    QTest::newRow("plain") << QList<float>{3, 1, 4, 2} << 4 << 1.f << 4.f << 2.5f << 1.118034f;
    QTest::newRow("NaN skipped") << QList<float>{NaN, 2, NaN, 4, NaN} << 5 << 2.f << 4.f << 3.f
                                 << 1.f;
    QTest::newRow("NaN first") << QList<float>{NaN, -6} << 2 << -6.f << -6.f << -6.f << 0.f;
    QTest::newRow("only NaN") << QList<float>{NaN, NaN} << 2 << 0.f << 0.f << 0.f << 0.f;
    QTest::newRow("empty") << QList<float>{} << 0 << 0.f << 0.f << 0.f << 0.f;
    QTest::newRow("first Length only")
        << QList<float>{1, 2, 100, -100} << 2 << 1.f << 2.f << 1.5f << 0.5f;
    QTest::newRow("far from zero")
        << QList<float>{1e7f + 1, 1e7f + 3} << 2 << 1e7f + 1 << 1e7f + 3 << 1e7f + 2 << 1.f;
}

void TestImaging::statistics()
{
    QFETCH(QList<float>, values);
    QFETCH(int, length);
    Samples s(values);
    s.record.Length = length;
    float min = -99, max = -99, mean = -99, deviation = -99;
    VectorStatistics(&min, &max, &mean, &deviation, &s.record);
    QTEST(min, "min");
    QTEST(max, "max");
    QTEST(mean, "mean");
    QTEST(deviation, "deviation");
}

void TestImaging::rampRunsFromBottomLeftToTopRight()
{
    // One pixel per sample: each sample sits in its own column, the least value in the
    // bottom row and the greatest in the top row.
    Samples ramp({0, 1, 2, 3, 4, 5, 6, 7});
    Plot plot;
    plot.max = 7;
    const QStringList diagonal{".......#", "......#.", ".....#..", "....#...",
                               "...#....", "..#.....", ".#......", "#......."};
    QCOMPARE(Rows(Draw(&ramp.record, 8, 8, plot)), diagonal);

    // The ends of the range lie on the edges of the plot, and are drawn just inside.
    Samples ends({0, NaN, 7});
    const QStringList rows = Rows(Draw(&ends.record, 3, 8, plot));
    QCOMPARE(rows.first(), QStringLiteral("..#"));
    QCOMPARE(rows.last(), QStringLiteral("#.."));

    // Two pixels per sample: the samples lie at the cell centres, columns 1, 3, 5, ...
    Samples flat({2, 2, 2, 2});
    plot.max = 4;
    const QImage wide = Draw(&flat.record, 8, 5, plot);
    QCOMPARE(Rows(wide)[2], QStringLiteral(".#######"));
}

void TestImaging::mirroredAxesMirrorThePixels_data()
{
    QTest::addColumn<bool>("vertical");
    QTest::addColumn<bool>("mirrorX");
    QTest::addColumn<bool>("mirrorY");
    QTest::addColumn<bool>("swapRange"); // min > max mirrors the value axis
    QTest::addColumn<bool>("mirroredX");
    QTest::addColumn<bool>("mirroredY");
    QTest::newRow("horizontal, x") << false << true << false << false << true << false;
    QTest::newRow("horizontal, y") << false << false << true << false << false << true;
    QTest::newRow("horizontal, both") << false << true << true << false << true << true;
    QTest::newRow("horizontal, min > max") << false << false << false << true << false << true;
    QTest::newRow("vertical, x") << true << true << false << false << true << false;
    QTest::newRow("vertical, y") << true << false << true << false << false << true;
    QTest::newRow("vertical, min > max") << true << false << false << true << true << false;
}

void TestImaging::mirroredAxesMirrorThePixels()
{
    QFETCH(bool, vertical);
    QFETCH(bool, mirrorX);
    QFETCH(bool, mirrorY);
    QFETCH(bool, swapRange);
    QFETCH(bool, mirroredX);
    QFETCH(bool, mirroredY);
    // Uneven sizes and isolated samples without symmetry, reaching both ends of the
    // range. (Only the samples' own pixels mirror exactly: the rasteriser may step a
    // sloping line differently when it runs the other way.)
    Samples curve({0, NaN, 5, NaN, 9, NaN, 2, NaN, 7, NaN, 4});
    const int w = vertical ? 10 : 11, h = vertical ? 11 : 10;
    Plot plot;
    plot.vertical = vertical;
    plot.max = 9;
    const QImage plain = Draw(&curve.record, w, h, plot);

    if (mirrorX) {
        plot.originX = float(w);
        plot.directionX = -1;
    }
    if (mirrorY) {
        plot.originY = float(h);
        plot.directionY = -1;
    }
    if (swapRange) std::swap(plot.min, plot.max);
    const QImage mirrored = Draw(&curve.record, w, h, plot);
    QCOMPARE(Rows(mirrored), Rows(plain.mirrored(mirroredX, mirroredY)));
    QVERIFY(Rows(mirrored) != Rows(plain));
}

void TestImaging::equalMinAndMaxDrawsTheMiddle_data()
{
    QTest::addColumn<bool>("antialiased");
    QTest::newRow("aliased") << false;
    QTest::newRow("antialiased") << true;
}

void TestImaging::equalMinAndMaxDrawsTheMiddle()
{
    QFETCH(bool, antialiased);
    Samples s({1, 50, -3, 8, 0, 2});
    Plot plot;
    plot.min = plot.max = 5;
    plot.antialiased = antialiased;
    const QStringList rows = Rows(Draw(&s.record, 6, 9, plot));
    for (int y = 0; y < 9; ++y) {
        if (y != 4) QCOMPARE(rows[y], QStringLiteral("......"));
    }
    // An antialiased painter still gets a crisp line through the pixel centres (where
    // segments meet it may blend a little).
    if (antialiased) {
        QVERIFY(!rows[4].contains('.'));
        QCOMPARE(rows[4][0], '#');
    } else {
        QCOMPARE(rows[4], QStringLiteral("######"));
    }

    // An isolated sample is a single pixel either way.
    Samples one({NaN, 7, NaN});
    const QStringList point = Rows(Draw(&one.record, 3, 3, plot));
    QCOMPARE(point, (QStringList{"...", ".#.", "..."}));
}

void TestImaging::samplesThatAreNotNumbersBreakTheLine_data()
{
    QTest::addColumn<float>("gap");
    QTest::newRow("NaN") << NaN;
    QTest::newRow("infinite") << Inf;
    QTest::newRow("minus infinite") << -Inf;
}

void TestImaging::samplesThatAreNotNumbersBreakTheLine()
{
    QFETCH(float, gap);
    Samples s({1, 1, 1, gap, 1, 1, gap, 1, gap, gap});
    const QStringList rows = Rows(Draw(&s.record, 10, 3, Plot{.min = 0, .max = 2}));
    // A single sample between breaks is still drawn, as a point.
    QCOMPARE(rows, (QStringList{"..........", "###.##.#..", ".........."}));
}

void TestImaging::verticalPutsLargerValuesRight()
{
    Samples ramp({0, 1, 2, 3, 4});
    Plot plot;
    plot.vertical = true;
    plot.max = 4;
    const QStringList diagonal{"#....", ".#...", "..#..", "...#.", "....#"};
    QCOMPARE(Rows(Draw(&ramp.record, 5, 5, plot)), diagonal);
    // A single sample lies in the middle of the index axis.
    Samples one({4});
    QCOMPARE(Rows(Draw(&one.record, 5, 5, plot))[2], QStringLiteral("....#"));
}

void TestImaging::nothingForAnEmptyVector()
{
    const QStringList blank(4, QStringLiteral("...."));
    VectorStruct empty;
    QCOMPARE(Rows(Draw(&empty, 4, 4, Plot{})), blank);
    QCOMPARE(Rows(Draw(nullptr, 4, 4, Plot{.vertical = true})), blank);
    Samples zeroLength({1, 1, 1});
    zeroLength.record.Length = 0;
    QCOMPARE(Rows(Draw(&zeroLength.record, 4, 4, Plot{})), blank);
}

void TestImaging::hugeValuesAreSafe()
{
    Samples s({0.5f, FLT_MAX, -FLT_MAX, 1e30f, 0.5f, 0.5f});
    QStringList rows = Rows(Draw(&s.record, 6, 4, Plot{}));
    // The curve leaves the picture and comes back to its last two samples.
    QCOMPARE(rows[2].right(2), QStringLiteral("##"));
    QCOMPARE(rows[2][0], '#');

    // A range wider than single precision holds: the extremes still reach the edges.
    Samples extremes({FLT_MAX, -FLT_MAX});
    rows = Rows(Draw(&extremes.record, 2, 4, Plot{.min = -FLT_MAX, .max = FLT_MAX}));
    QCOMPARE(rows[0][0], '#');
    QCOMPARE(rows[3][1], '#');

    // A range without a scale places nothing.
    rows = Rows(Draw(&s.record, 6, 4, Plot{.vertical = true, .min = -Inf, .max = Inf}));
    QCOMPARE(rows, QStringList(4, QStringLiteral("......")));
}

void TestImaging::colourAndPainterState()
{
    Samples s({1, 1, 1, 1});
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    const QPen pen(Qt::red, 3);
    painter.setPen(pen);
    painter.setBrush(Qt::green);
    DrawVectorHorizontal(painter, &s.record, 0, 0, 1, 1, 4, 3, 0, 2, 0x123456);
    QCOMPARE(painter.pen(), pen);
    QCOMPARE(painter.brush().color(), QColor(Qt::green));
    painter.end();
    for (int x = 0; x < 4; ++x)
        QCOMPARE(image.pixel(x, 1), qRgb(0x56, 0x34, 0x12));
    QCOMPARE(image.pixel(0, 0), qRgb(255, 255, 255));
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    TestImaging test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_imaging.moc"
