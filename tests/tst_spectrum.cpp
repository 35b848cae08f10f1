#include "ByteVolume.h"
#include "TestVolumes.h"
#include "Spectrum.h"
#include "SpectrumReference.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <tuple>
#include <vector>

namespace {

bool SameBits(float a, float b)
{
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

QString Text(float value)
{
    return QString::number(double(value), 'g', 9) +
           QStringLiteral(" (0x%1)").arg(std::bit_cast<uint32_t>(value), 8, 16, QChar('0'));
}

/** Empty when both results are the same to the last bit, else the first difference. */
QString Difference(const SpectrumResult& got, const SpectrumResult& expected)
{
    if (got.Curve.size() != expected.Curve.size())
        return QStringLiteral("curve has %1 values, expected %2")
            .arg(got.Curve.size())
            .arg(expected.Curve.size());
    for (size_t p = 0; p < got.Curve.size(); ++p)
        if (!SameBits(got.Curve[p], expected.Curve[p]))
            return QStringLiteral("curve value %1 is %2, expected %3")
                .arg(p)
                .arg(Text(got.Curve[p]), Text(expected.Curve[p]));
    if (!SameBits(got.Figure, expected.Figure))
        return QStringLiteral("figure is %1, expected %2")
            .arg(Text(got.Figure), Text(expected.Figure));
    return {};
}

/** printf's rendering of a value, as the application shows figures. */
QString Printf(const char* format, float value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, double(value));
    return QString::fromLatin1(text);
}

/**
 * Caps the kernel's SIMD version for its lifetime (empty: the widest the processor has),
 * so that every version is compared with the reference on this machine.
 */
class SimdCap
{
public:
    explicit SimdCap(const QByteArray& name) { SetSpectrumSimdLimit(name.toStdString()); }
    ~SimdCap() { SetSpectrumSimdLimit({}); }
    SimdCap(const SimdCap&) = delete;
    SimdCap& operator=(const SimdCap&) = delete;
};

const QList<QByteArray> SimdVersions = {"", "avx2", "sse2", "plain"};

} // namespace

class TestSpectrum : public QObject
{
    Q_OBJECT

private slots:
    void matchesReference_data();
    void matchesReference();
    void everyWidthMatchesReference();
    void largeJobsMatchReference_data();
    void largeJobsMatchReference();
    void controlStopsAndPredicts();
    void stridedVolume();
    void exampleLines_data();
    void exampleLines();
    void equalRowsGiveTheRowsSpectrum_data();
    void equalRowsGiveTheRowsSpectrum();
    void flatVolume_data();
    void flatVolume();
    void edgeCases_data();
    void edgeCases();
    void longLinesRoundLikeTheLiteralSum();
    void figureAloneIsBitIdentical();
};

void TestSpectrum::matchesReference_data()
{
    QTest::addColumn<int>("sizeX");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("z");
    QTest::addColumn<int>("y");

    // Widths around the smallest curves and across the 16-, 32- and 64-byte blocks of
    // the SIMD versions; a 5 × 4 volume, lines at the edges and inside.
    for (int width : {7, 8, 9, 10, 11, 16, 33, 64, 65, 97, 100, 128, 129, 200}) {
        for (auto [mode, z, y] :
             {std::tuple{1, 0, 0}, {1, 3, 4}, {1, 2, 1}, {2, 0, 0}, {2, 3, 2}, {3, 0, 0}})
            QTest::addRow("x%d mode %d z%d y%d", width, mode, z, y) << width << mode << z << y;
    }
}

void TestSpectrum::matchesReference()
{
    QFETCH(int, sizeX);
    QFETCH(int, mode);
    QFETCH(int, z);
    QFETCH(int, y);
    ByteVolume volume;
    FillRandom(volume, sizeX, 5, 4, quint32(sizeX * 131 + mode * 7 + z * 3 + y));

    const SpectrumResult expected = ReferenceLagSpectrum(volume, mode, z, y);
    QCOMPARE(expected.Curve.size(), size_t(sizeX - 6));
    for (const QByteArray& simd : SimdVersions) {
        const SimdCap cap(simd);
        const QString difference = Difference(ComputeLagSpectrum(volume, mode, z, y), expected);
        QVERIFY2(difference.isEmpty(),
                 qPrintable((simd.isEmpty() ? QStringLiteral("widest SIMD") : QString(simd)) +
                            QStringLiteral(": ") + difference));
    }
}

void TestSpectrum::everyWidthMatchesReference()
{
    // Every width up to 200: the runs of the lags end at every position within a block
    // and within a group of lags that the SIMD versions process together.
    for (int sizeX = 7; sizeX <= 200; ++sizeX) {
        ByteVolume volume;
        FillRandom(volume, sizeX, 3, 2, quint32(sizeX));
        const SpectrumResult expected = ReferenceLagSpectrum(volume, 3, 0, 0);
        for (const QByteArray& simd : SimdVersions) {
            const SimdCap cap(simd);
            const QString difference = Difference(ComputeLagSpectrum(volume, 3, 0, 0), expected);
            QVERIFY2(difference.isEmpty(),
                     qPrintable(
                         QStringLiteral("width %1, %2: ")
                             .arg(sizeX)
                             .arg(simd.isEmpty() ? QStringLiteral("widest SIMD") : QString(simd)) +
                         difference));
        }
    }
}

void TestSpectrum::largeJobsMatchReference_data()
{
    QTest::addColumn<int>("sizeX");
    QTest::addColumn<int>("sizeY");
    QTest::addColumn<int>("sizeZ");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("z");

    // More than 2^24 voxel differences: with more than one core, the curve entries are
    // shared out among threads (the first two). The last is as large, but too narrow to
    // be worth sharing.
    QTest::newRow("x300, 1024 lines, mode 3") << 300 << 64 << 16 << 3 << 0;
    QTest::newRow("x1000, 40 lines, mode 2") << 1000 << 40 << 3 << 2 << 2;
    QTest::newRow("x16, 204800 lines, mode 3") << 16 << 512 << 400 << 3 << 0;
}

void TestSpectrum::largeJobsMatchReference()
{
    QFETCH(int, sizeX);
    QFETCH(int, sizeY);
    QFETCH(int, sizeZ);
    QFETCH(int, mode);
    QFETCH(int, z);
    ByteVolume volume;
    FillRandom(volume, sizeX, sizeY, sizeZ, quint32(sizeX + sizeY));
    const SpectrumResult result = ComputeLagSpectrum(volume, mode, z, 0);
    const QString difference = Difference(result, ReferenceLagSpectrum(volume, mode, z, 0));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // Followed through a control, the work goes in pieces with the same result.
    SpectrumControl control;
    const SpectrumResult followed = ComputeLagSpectrum(volume, mode, z, 0, &control);
    const QString pieces = Difference(followed, result);
    QVERIFY2(pieces.isEmpty(), qPrintable(pieces));
    QVERIFY(control.Done >= SpectrumDifferences(volume, mode));
    QVERIFY(!followed.Cancelled);
}

void TestSpectrum::controlStopsAndPredicts()
{
    // A line wider than the exact run of a lag, in pieces and whole.
    ByteVolume wide;
    FillRandom(wide, 70000, 2, 1, 3);
    SpectrumControl control;
    const QString difference = Difference(ComputeLagSpectrum(wide, SpectrumLine, 0, 1, &control),
                                          ComputeLagSpectrum(wide, SpectrumLine, 0, 1));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(control.Done.load(), SpectrumDifferences(wide, SpectrumLine));
    QCOMPARE(SpectrumDifferences(wide, SpectrumLine), int64_t(69995) * (2 * 70000 - 69996) / 2);

    // Cancelled, a computation of minutes returns at once with no curve and no figure.
    ByteVolume huge;
    FillRandom(huge, 1 << 20, 1, 1, 4);
    SpectrumControl stop;
    stop.Cancel = true;
    QElapsedTimer clock;
    clock.start();
    const SpectrumResult stopped = ComputeLagSpectrum(huge, SpectrumLine, 0, 0, &stop);
    QVERIFY(clock.elapsed() < 2000);
    QVERIFY(stopped.Cancelled);
    QVERIFY(stopped.Curve.empty());
    QVERIFY(std::isnan(stopped.Figure));

    // The prediction tells a line of a million voxels (minutes) from ordinary work.
    QVERIFY(PredictedSpectrumSeconds(huge, SpectrumLine) > 60);
    ByteVolume cube;
    cube.Allocate(512, 512, 16);
    QVERIFY(PredictedSpectrumSeconds(cube, SpectrumLine) < 0.001);
    QVERIFY(PredictedSpectrumSeconds(cube, SpectrumVolume) < 1);
    QCOMPARE(PredictedSpectrumSeconds(huge, SpectrumVolume),
             PredictedSpectrumSeconds(huge, SpectrumLine));
}

void TestSpectrum::stridedVolume()
{
    // Voxels two bytes apart along X: (x, y, z) at 2x + 2·X·y + 2·X·Y·z of the buffer.
    constexpr int X = 70, Y = 3, Z = 2;
    ByteVolume volume;
    FillRandom(volume, 2 * X, Y, Z, 5);
    volume.SizeX = X;
    volume.StrideX = 2;
    for (auto [mode, z, y] : {std::tuple{1, 1, 2}, {2, 1, 0}, {3, 0, 0}}) {
        const QString difference = Difference(ComputeLagSpectrum(volume, mode, z, y),
                                              ReferenceLagSpectrum(volume, mode, z, y));
        QVERIFY2(difference.isEmpty(),
                 qPrintable(QStringLiteral("mode %1: ").arg(mode) + difference));
    }
}

void TestSpectrum::exampleLines_data()
{
    QTest::addColumn<QByteArray>("voxels");
    QTest::addColumn<QStringList>("curve"); // each value as "%.3f"
    QTest::addColumn<QString>("figure");    // as "%2.3f"

    // A step: G for lags 1 … 5 is 255/9, 510/16, 765/21, 1020/24, 1275/25.
    QByteArray step(5, '\0');
    step += QByteArray(5, char(255));
    QTest::newRow("step") << step << QStringList{"-8.500", "-6.071", "-4.554", "-3.542"}
                          << "-22.667";

    // Alternating 0 and 255: G(L) is 255/L for odd L and 0 for even L; the figure is
    // G(1) − G(5).
    QByteArray alternating;
    for (int k = 0; k < 12; ++k)
        alternating += char(k % 2 ? 255 : 0);
    QTest::newRow("alternating") << alternating << QStringList{"-36.429", "51.000",  "-51.000",
                                                               "85.000",  "-85.000", "255.000"}
                                 << "204.000";

    // A ramp rising by 10: every difference at lag L is 10·L, so every G is 10.
    QByteArray ramp;
    for (int k = 0; k < 20; ++k)
        ramp += char(10 * k);
    QTest::newRow("ramp") << ramp << QStringList(14, "0.000") << "0.000";
}

void TestSpectrum::exampleLines()
{
    QFETCH(QByteArray, voxels);
    QFETCH(QStringList, curve);
    QFETCH(QString, figure);
    ByteVolume volume;
    volume.Allocate(int32_t(voxels.size()), 1, 1);
    std::copy(voxels.begin(), voxels.end(), volume.Data);

    // One line: every mode sees the same.
    for (int mode : {1, 2, 3}) {
        for (const SpectrumResult& result :
             {ComputeLagSpectrum(volume, mode, 0, 0), ReferenceLagSpectrum(volume, mode, 0, 0)}) {
            QStringList values;
            for (float value : result.Curve)
                values << Printf("%.3f", value);
            QCOMPARE(values, curve);
            QCOMPARE(Printf("%2.3f", result.Figure), figure);
        }
    }
}

void TestSpectrum::equalRowsGiveTheRowsSpectrum_data()
{
    QTest::addColumn<int>("sizeX");
    QTest::addColumn<int>("sizeY");
    QTest::addColumn<int>("sizeZ");
    QTest::addColumn<int>("mode");

    QTest::newRow("x10, 3 rows, mode 2") << 10 << 3 << 1 << 2;
    QTest::newRow("x64, 17 rows, mode 2") << 64 << 17 << 2 << 2;
    QTest::newRow("x200, 100 rows, mode 2") << 200 << 100 << 1 << 2;
    QTest::newRow("x97, 9 x 7 rows, mode 3") << 97 << 9 << 7 << 3;
}

void TestSpectrum::equalRowsGiveTheRowsSpectrum()
{
    QFETCH(int, sizeX);
    QFETCH(int, sizeY);
    QFETCH(int, sizeZ);
    QFETCH(int, mode);
    ByteVolume volume;
    FillRandom(volume, sizeX, sizeY, sizeZ, quint32(sizeX));
    for (int64_t line = 1; line < int64_t(sizeY) * sizeZ; ++line)
        std::copy(volume.Data, volume.Data + sizeX, volume.Data + line * sizeX);

    const SpectrumResult row = ComputeLagSpectrum(volume, 1, sizeZ - 1, sizeY - 1);
    const SpectrumResult all = ComputeLagSpectrum(volume, mode, sizeZ - 1, 0);
    QCOMPARE(all.Curve.size(), row.Curve.size());
    // The sum of n equal values, rounded n times, is n times the value to within about
    // n · 2^-24 of it.
    const double tolerance = 4.0 * sizeY * sizeZ / double(1 << 24);
    double scale = 0;
    for (size_t p = 0; p < row.Curve.size(); ++p) {
        scale += std::abs(row.Curve[p]);
        QVERIFY2(std::abs(all.Curve[p] - row.Curve[p]) <= tolerance * std::abs(row.Curve[p]),
                 qPrintable(QStringLiteral("value %1: %2, the row gives %3")
                                .arg(p)
                                .arg(Text(all.Curve[p]), Text(row.Curve[p]))));
    }
    QVERIFY(scale > 0);
    QVERIFY2(std::abs(all.Figure - row.Figure) <= tolerance * scale,
             qPrintable(Text(all.Figure) + QStringLiteral(", the row gives ") + Text(row.Figure)));
}

void TestSpectrum::flatVolume_data()
{
    QTest::addColumn<int>("sizeX");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("mode");

    for (int width : {10, 64, 129})
        for (int value : {0, 77, 255})
            for (int mode : {1, 2, 3})
                QTest::addRow("x%d value %d mode %d", width, value, mode) << width << value << mode;
}

void TestSpectrum::flatVolume()
{
    QFETCH(int, sizeX);
    QFETCH(int, value);
    QFETCH(int, mode);
    ByteVolume volume;
    volume.Allocate(sizeX, 4, 3);
    std::fill(volume.Data, volume.Data + volume.VoxelCount(), uint8_t(value));

    const SpectrumResult result = ComputeLagSpectrum(volume, mode, 2, 1);
    QCOMPARE(result.Curve, std::vector<float>(size_t(sizeX - 6), 0.0f));
    QCOMPARE(result.Figure, 0.0f);
}

void TestSpectrum::edgeCases_data()
{
    QTest::addColumn<int>("sizeX");
    QTest::addColumn<int>("sizeY");
    QTest::addColumn<int>("sizeZ");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("z");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("values"); // expected curve length
    QTest::addColumn<bool>("nan");   // whether the figure is NaN

    // Too short for a figure, or for any curve.
    QTest::newRow("x10") << 10 << 2 << 2 << 1 << 1 << 1 << 4 << false;
    QTest::newRow("x9") << 9 << 2 << 2 << 1 << 1 << 1 << 3 << true;
    QTest::newRow("x8 mode 2") << 8 << 2 << 2 << 2 << 1 << 0 << 2 << true;
    QTest::newRow("x7 mode 3") << 7 << 2 << 2 << 3 << 0 << 0 << 1 << true;
    QTest::newRow("x6") << 6 << 2 << 2 << 1 << 0 << 0 << 0 << true;
    QTest::newRow("x5 mode 3") << 5 << 2 << 2 << 3 << 0 << 0 << 0 << true;
    QTest::newRow("x1") << 1 << 2 << 2 << 1 << 0 << 0 << 0 << true;

    // Lines outside the volume; mode 2 ignores y and mode 3 both.
    QTest::newRow("y -1") << 12 << 3 << 2 << 1 << 0 << -1 << 0 << true;
    QTest::newRow("y = Y") << 12 << 3 << 2 << 1 << 0 << 3 << 0 << true;
    QTest::newRow("z -1") << 12 << 3 << 2 << 1 << -1 << 0 << 0 << true;
    QTest::newRow("z = Z") << 12 << 3 << 2 << 1 << 2 << 0 << 0 << true;
    QTest::newRow("mode 2, z = Z") << 12 << 3 << 2 << 2 << 2 << 0 << 0 << true;
    QTest::newRow("mode 2, z -1") << 12 << 3 << 2 << 2 << -1 << 0 << 0 << true;
    QTest::newRow("mode 2, y = Y ignored") << 12 << 3 << 2 << 2 << 1 << 3 << 6 << false;
    QTest::newRow("mode 3, z and y ignored") << 12 << 3 << 2 << 3 << -7 << 99 << 6 << false;

    // No lines at all.
    for (int mode : {1, 2, 3}) {
        QTest::addRow("Y = 0, mode %d", mode) << 12 << 0 << 2 << mode << 0 << 0 << 0 << true;
        QTest::addRow("Z = 0, mode %d", mode) << 12 << 2 << 0 << mode << 0 << 0 << 0 << true;
        QTest::addRow("empty volume, mode %d", mode) << 0 << 0 << 0 << mode << 0 << 0 << 0 << true;
    }

    // Unknown modes.
    for (int mode : {0, 4, -1})
        QTest::addRow("mode %d", mode) << 12 << 3 << 2 << mode << 0 << 0 << 0 << true;
}

void TestSpectrum::edgeCases()
{
    QFETCH(int, sizeX);
    QFETCH(int, sizeY);
    QFETCH(int, sizeZ);
    QFETCH(int, mode);
    QFETCH(int, z);
    QFETCH(int, y);
    QFETCH(int, values);
    QFETCH(bool, nan);
    ByteVolume volume;
    FillRandom(volume, sizeX, sizeY, sizeZ, 3);

    const SpectrumResult result = ComputeLagSpectrum(volume, mode, z, y);
    QCOMPARE(result.Curve.size(), size_t(values));
    if (nan) {
        // A positive quiet NaN, which printf shows as "nan", not "-nan".
        QVERIFY(SameBits(result.Figure, std::numeric_limits<float>::quiet_NaN()));
        QCOMPARE(Printf("%2.3f", result.Figure), QStringLiteral("nan"));
    } else {
        QVERIFY(std::isfinite(result.Figure));
    }
    const QString difference = Difference(result, ReferenceLagSpectrum(volume, mode, z, y));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestSpectrum::longLinesRoundLikeTheLiteralSum()
{
    // Past 65793 differences a float sum of differences can exceed 2^24 and round; the
    // kernel must round exactly as the literal term-by-term sum does. A full reference
    // run takes too long at this width, so the curve values are checked one by one from
    // the lag means they depend on: value p of a single line is G(L − 1) − G(L) for
    // L = N − p, and the figure needs lags 1 … 5.
    constexpr int X = 68000;
    constexpr int64_t N = X - 5;
    ByteVolume volume;
    FillRandom(volume, X, 2, 1, 11);
    // Row 1 alternates low (0 … 3) and high (252 … 255) voxels: every odd lag adds at
    // least 248 per term, so its sum passes 2^24 near the end of the line.
    QRandomGenerator random(12);
    for (int64_t k = 0; k < X; ++k)
        volume.Voxel(k, 1, 0) = uint8_t((k % 2 ? 252 : 0) + random.bounded(4));

    // The data must make the literal sum round, or this test would prove nothing.
    int64_t exact = 0;
    for (int64_t k = 0; k + 1 < X; ++k)
        exact += std::abs(int(volume.Voxel(k, 1, 0)) - int(volume.Voxel(k + 1, 1, 0)));
    QVERIFY(exact > (int64_t(1) << 24));
    QVERIFY(!SameBits(ReferenceLagMean(volume, 1, 0, 1), float(double(exact) / double(X - 1))));

    const SpectrumResult result = ComputeLagSpectrum(volume, 1, 0, 1);
    QCOMPARE(result.Curve.size(), size_t(N - 1));
    for (int64_t p : {int64_t(0), int64_t(1), N / 2, N - 2300, N - 2000, N - 7, N - 6, N - 5, N - 4,
                      N - 3, N - 2}) {
        const int64_t lag = N - p;
        const float c = float((double(ReferenceLagMean(volume, 1, 0, lag - 1)) -
                               double(ReferenceLagMean(volume, 1, 0, lag))) +
                              0.0);
        const float expected = float(double(c) / 1.0);
        QVERIFY2(SameBits(result.Curve[size_t(p)], expected),
                 qPrintable(QStringLiteral("value %1: %2, expected %3")
                                .arg(p)
                                .arg(Text(result.Curve[size_t(p)]), Text(expected))));
    }
    const std::vector<float>& v = result.Curve;
    const float figure = float((((long double)v[N - 2] + v[N - 3]) + v[N - 4]) + v[N - 5]);
    QVERIFY(SameBits(result.Figure, figure));
}

void TestSpectrum::figureAloneIsBitIdentical()
{
    // The figure from the lags 1 … 5 against the whole curve's: random shapes in every
    // SIMD version, then lines long enough for the float sums to round, then real files.
    const auto check = [](const ByteVolume& volume, const QString& what) {
        const float whole = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure;
        const float alone = ComputeHighFrequencyFigure(volume);
        QVERIFY2(
            SameBits(alone, whole),
            qPrintable(QStringLiteral("%1: %2, expected %3").arg(what, Text(alone), Text(whole))));
    };
    QRandomGenerator shapes(77);
    for (const QByteArray& simd : SimdVersions) {
        const SimdCap cap(simd);
        for (int i = 0; i < 40; ++i) {
            const int x = i < 8 ? 6 + i : shapes.bounded(6, 700);
            ByteVolume volume;
            FillRandom(volume, x, shapes.bounded(1, 9), shapes.bounded(1, 5), quint32(i));
            check(volume, QStringLiteral("%1 x %2 x %3 (%4)")
                              .arg(x)
                              .arg(volume.SizeY)
                              .arg(volume.SizeZ)
                              .arg(QString::fromLatin1(simd)));
            if (QTest::currentTestFailed()) return;
        }
    }
    // A volume large enough for threads, with more lines than one round takes: any
    // number of threads gives the same bits.
    {
        ByteVolume large;
        FillRandom(large, 520, 90, 100, 8);
        const float whole = ComputeLagSpectrum(large, SpectrumVolume, 0, 0).Figure;
        for (unsigned threads : {1u, 2u, 3u, 8u})
            QVERIFY2(SameBits(ComputeHighFrequencyFigure(large, threads), whole),
                     qPrintable(QStringLiteral("%1 threads").arg(threads)));
    }
    // 70 003 voxels a line, alternating low and high: the odd lags' sums pass 2^24.
    ByteVolume wide;
    FillRandom(wide, 70003, 2, 1, 5);
    QRandomGenerator random(6);
    for (int64_t k = 0; k < wide.SizeX; ++k)
        wide.Voxel(k, 1, 0) = uint8_t((k % 2 ? 250 : 0) + random.bounded(6));
    check(wide, QStringLiteral("70003 x 2 x 1"));
    int realFiles = 0;
    for (const char* name : {"chromo3d.ics", "cermet.ics", "trui.ics"}) {
        ByteVolume real;
        if (real.Load(std::string(VOLINSPECT_TESTDATA) + "/" + name) != ByteVolume::LoadOk)
            continue; // the real files are absent from a user's clone
        ++realFiles;
        check(real, QString::fromLatin1(name));
    }
    if (realFiles == 0) qInfo("the real files are absent: only computed volumes were compared");
}

QTEST_APPLESS_MAIN(TestSpectrum)
#include "tst_spectrum.moc"
