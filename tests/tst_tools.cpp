// The volume tools: the synthetic edge image, the column threshold and the counting
// of a slice's grey values.

#include "ByteVolume.h"
#include "VolumeOps.h"

#include <QRandomGenerator>
#include <QTest>

class TestTools : public QObject
{
    Q_OBJECT

private slots:
    void syntheticEdge_data();
    void syntheticEdge();
    void syntheticEdgeIsMonotonicAndSymmetric();
    void threshold();
    void countSliceValues();
};

void TestTools::syntheticEdge_data()
{
    QTest::addColumn<int>("y");
    QTest::addColumn<QList<int>>("columns");
    QTest::addColumn<QList<int>>("values");
    QTest::newRow("row 0") << 0 << QList<int>{0, 39, 40, 41, 79} << QList<int>{0, 0, 127, 255, 255};
    QTest::newRow("row 9") << 9 << QList<int>{38, 39, 40, 41, 42}
                           << QList<int>{48, 85, 127, 169, 206};
    QTest::newRow("row 79") << 79 << QList<int>{0, 30, 39, 40, 41, 50, 79}
                            << QList<int>{0, 75, 122, 127, 132, 179, 255};
}

void TestTools::syntheticEdge()
{
    QFETCH(int, y);
    QFETCH(QList<int>, columns);
    QFETCH(QList<int>, values);
    ByteVolume volume;
    volume.Allocate(5, 5, 5);
    FillSyntheticEdge(volume);
    QCOMPARE(volume.SizeX, 80);
    QCOMPARE(volume.SizeY, 80);
    QCOMPARE(volume.SizeZ, 1);
    for (int i = 0; i < columns.size(); ++i)
        QCOMPARE(int(volume.Voxel(columns[i], y, 0)), values[i]);
    if (y == 0)
        for (int x = 0; x < 40; ++x)
            QCOMPARE(int(volume.Voxel(x, 0, 0)), 0);
}

void TestTools::syntheticEdgeIsMonotonicAndSymmetric()
{
    ByteVolume volume;
    FillSyntheticEdge(volume);
    for (int y = 0; y < 80; ++y)
        for (int x = 1; x < 80; ++x) {
            QVERIFY(volume.Voxel(x, y, 0) >= volume.Voxel(x - 1, y, 0));
            if (x < 40) // mirrored about the centre, up to the truncation
                QVERIFY(std::abs(int(volume.Voxel(40 - x, y, 0)) + volume.Voxel(40 + x, y, 0) -
                                 255) <= 1);
        }
}

void TestTools::threshold()
{
    ByteVolume volume;
    volume.Allocate(4, 3, 3);
    // Column (x, y) has its brightest voxel 10·(x + 4y), in the middle slice.
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (int z = 0; z < 3; ++z)
                volume.Voxel(x, y, z) = uint8_t(z == 1 ? 10 * (x + 4 * y) : 5 * (x + 4 * y));

    ByteVolume untouched;
    untouched.Allocate(4, 3, 3);
    std::copy(volume.Data, volume.Data + 36, untouched.Data);
    ThresholdColumns(volume, 0);
    QVERIFY(std::equal(volume.Data, volume.Data + 36, untouched.Data));

    ThresholdColumns(volume, 50);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) {
            const int brightest = 10 * (x + 4 * y);
            for (int z = 0; z < 3; ++z)
                QCOMPARE(volume.Voxel(x, y, z),
                         brightest < 50 ? uint8_t(0) : untouched.Voxel(x, y, z));
        }

    ByteVolume bright;
    bright.Allocate(2, 1, 2);
    bright.Voxel(0, 0, 1) = 255;
    bright.Voxel(1, 0, 0) = 254;
    ThresholdColumns(bright, 255); // the highest threshold the tool can set
    QCOMPARE(bright.Voxel(0, 0, 1), uint8_t(255));
    QCOMPARE(bright.Voxel(1, 0, 0), uint8_t(0));

    ByteVolume empty;
    ThresholdColumns(empty, 100);
    QVERIFY(!empty.Data);
}

void TestTools::countSliceValues()
{
    ByteVolume volume;
    volume.Allocate(37, 11, 3);
    QRandomGenerator random(7);
    for (int64_t i = 0; i < volume.VoxelCount(); ++i)
        volume.Data[i] = uint8_t(random.bounded(256));
    int64_t counts[256];
    for (int z = 0; z < 3; ++z) {
        CountSliceValues(volume, z, counts);
        int64_t expected[256] = {};
        for (int y = 0; y < 11; ++y)
            for (int x = 0; x < 37; ++x)
                ++expected[volume.Voxel(x, y, z)];
        QVERIFY(std::equal(counts, counts + 256, expected));
    }
    for (int z : {-1, 3}) {
        std::fill(counts, counts + 256, 99);
        CountSliceValues(volume, z, counts);
        QVERIFY(std::all_of(counts, counts + 256, [](int64_t c) { return c == 0; }));
    }
}

QTEST_APPLESS_MAIN(TestTools)
#include "tst_tools.moc"
