#include "ByteVolume.h"
#include "TestVolumes.h"
#include "SliceImages.h"
#include "SliceModel.h"
#include "VolumeOps.h"

#include <QImage>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <vector>

namespace {

enum class Slice
{
    Top,
    Front,
    Side,
    Projection
};

/** The bitmap size a drawing of `slice` needs. */
QSize SliceSize(const ByteVolume& v, Slice slice)
{
    switch (slice) {
    case Slice::Front:
        return {v.SizeX, v.SizeZ};
    case Slice::Side:
        return {v.SizeZ, v.SizeY};
    default:
        return {v.SizeX, v.SizeY};
    }
}

/** Draws as the window does: through a slice model over the volume. */
bool Draw(const ByteVolume& v, Slice slice, int position, QImage& image)
{
    const BitmapView view{image.bits(), image.width(), image.height(), image.bytesPerLine()};
    SliceModel model(&v);
    switch (slice) {
    case Slice::Top:
        return DrawModelSlice(model, SlicePlane::Top, position, view);
    case Slice::Front:
        return DrawModelSlice(model, SlicePlane::Front, position, view);
    case Slice::Side:
        return DrawModelSlice(model, SlicePlane::Side, position, view);
    case Slice::Projection:
        return DrawMaxProjection(v, view);
    }
    return false;
}

/** The voxel value that pixel (c, r) of a drawing shows, worked out voxel by voxel. */
uint8_t Expected(const ByteVolume& v, Slice slice, int position, int c, int r)
{
    switch (slice) {
    case Slice::Top:
        return v.Voxel(c, r, position);
    case Slice::Front:
        return v.Voxel(c, position, r);
    case Slice::Side:
        return v.Voxel(position, r, c);
    case Slice::Projection:
        break;
    }
    uint8_t best = 0;
    for (int z = 0; z < v.SizeZ; ++z)
        best = std::max(best, v.Voxel(c, r, z));
    return best;
}

/**
 * A bitmap whose rows are followed by a gap of bytes that a drawing must not touch; all
 * bytes start as 0x5A.
 */
struct Canvas
{
    static constexpr int Gap = 16;
    QByteArray Bytes;
    QImage Image;
    explicit Canvas(QSize size)
        : Bytes(qsizetype(size.height()) * (3 * size.width() + Gap), char(0x5A)),
          Image(reinterpret_cast<uchar*>(Bytes.data()), size.width(), size.height(),
                3 * size.width() + Gap, QImage::Format_BGR888)
    {
    }
    bool GapsUntouched() const
    {
        for (int r = 0; r < Image.height(); ++r)
            for (qsizetype i = 3 * Image.width(); i < Image.bytesPerLine(); ++i)
                if (Bytes[r * Image.bytesPerLine() + i] != char(0x5A)) return false;
        return true;
    }
};

} // namespace

Q_DECLARE_METATYPE(Slice)

class TestVolumeOps : public QObject
{
    Q_OBJECT

private slots:
    void columnMaxima_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("z");
        QTest::newRow("odd") << 13 << 7 << 5;
        QTest::newRow("one slice") << 9 << 4 << 1;
        QTest::newRow("one column") << 1 << 1 << 31;
        QTest::newRow("wide") << 67 << 3 << 9;
    }

    void columnMaxima()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, z);
        ByteVolume volume;
        FillRandom(volume, x, y, z, quint32(x * 131 + y * 7 + z));
        // Halve the voxels so that the maxima are not all near 255, then put the largest
        // voxel of one column into the last slice.
        for (int64_t i = 0; i < volume.VoxelCount(); ++i)
            volume.Data[i] /= 2;
        volume.Voxel(x - 1, y - 1, z - 1) = 200;
        const std::vector<uint8_t> maxima = ColumnMaxima(volume);
        QCOMPARE(maxima.size(), size_t(x) * y);
        for (int j = 0; j < y; ++j)
            for (int i = 0; i < x; ++i)
                QCOMPARE(maxima[size_t(i + j * x)], Expected(volume, Slice::Projection, 0, i, j));
        QCOMPARE(maxima.back(), uint8_t(200));
    }

    void columnMaximaOfEmptyVolume()
    {
        ByteVolume volume;
        QVERIFY(ColumnMaxima(volume).empty());
        FillRandom(volume, 4, 4, 4, 1);
        volume.Release();
        QVERIFY(ColumnMaxima(volume).empty());
    }

    void cutBlock_data()
    {
        QTest::addColumn<qint64>("cutX");
        QTest::addColumn<qint64>("cutY");
        QTest::addColumn<int>("size");
        // The source is 40 × 50 × 3.
        QTest::newRow("inside") << qint64(10) << qint64(20) << 16;
        QTest::newRow("whole volume") << qint64(0) << qint64(0) << 50;
        QTest::newRow("past right and bottom") << qint64(30) << qint64(41) << 16;
        QTest::newRow("negative corner") << qint64(-5) << qint64(-9) << 12;
        QTest::newRow("over all edges") << qint64(-3) << qint64(-2) << 60;
        QTest::newRow("right of the volume") << qint64(40) << qint64(0) << 8;
        QTest::newRow("above the volume") << qint64(5) << qint64(-8) << 8;
        QTest::newRow("far outside") << qint64(1000) << qint64(-1000) << 8;
        QTest::newRow("huge corner") << qint64(1) << (qint64(1) << 40) << 4;
        QTest::newRow("zero size") << qint64(1) << qint64(1) << 0;
        QTest::newRow("negative size") << qint64(10) << qint64(20) << -4;
    }

    void cutBlock()
    {
        QFETCH(qint64, cutX);
        QFETCH(qint64, cutY);
        QFETCH(int, size);
        ByteVolume source;
        FillRandom(source, 40, 50, 3, 2);
        for (int64_t i = 0; i < source.VoxelCount(); ++i)
            source.Data[i] |= 1; // no voxel of the source is 0
        const ByteVolume block = CutBlock(source, cutX, cutY, size);
        const int s = std::max(size, 0);
        QCOMPARE(block.SizeX, s);
        QCOMPARE(block.SizeY, s);
        QCOMPARE(block.SizeZ, 3);
        QCOMPARE(block.StrideY, int64_t(s));
        for (int k = 0; k < 3; ++k) {
            for (int j = 0; j < s; ++j) {
                for (int i = 0; i < s; ++i) {
                    const int64_t x = cutX + i, y = cutY + j;
                    const bool inside = x >= 0 && x < 40 && y >= 0 && y < 50;
                    const int expected = inside ? source.Voxel(x, y, k) : 0;
                    if (block.Voxel(i, j, k) != expected)
                        QFAIL(
                            qPrintable(QString::asprintf("block voxel (%d, %d, %d) is %d, not %d",
                                                         i, j, k, block.Voxel(i, j, k), expected)));
                }
            }
        }
    }

    void cutBlockOfReleasedVolume()
    {
        ByteVolume source;
        FillRandom(source, 10, 10, 4, 3);
        source.Release();
        const ByteVolume block = CutBlock(source, 2, 2, 6);
        QCOMPARE(block.SizeX, 6);
        QCOMPARE(block.SizeY, 6);
        QCOMPARE(block.SizeZ, 0);
        QVERIFY(block.Data == nullptr);
    }

    void drawSlice_data()
    {
        QTest::addColumn<Slice>("slice");
        QTest::addColumn<int>("position");
        QTest::newRow("top first") << Slice::Top << 0;
        QTest::newRow("top last") << Slice::Top << 4;
        QTest::newRow("front first") << Slice::Front << 0;
        QTest::newRow("front last") << Slice::Front << 6;
        QTest::newRow("side first") << Slice::Side << 0;
        QTest::newRow("side middle") << Slice::Side << 6;
        QTest::newRow("side last") << Slice::Side << 12;
        QTest::newRow("projection") << Slice::Projection << 0;
    }

    void drawSlice()
    {
        QFETCH(Slice, slice);
        QFETCH(int, position);
        // An odd small volume, one wide, tall and deep enough to cross any blocking of
        // voxels, rows or slices that a drawing may use, and one whose side view is
        // large enough to be split between threads.
        for (const QList<int>& size :
             {QList<int>{13, 7, 5}, QList<int>{83, 530, 37}, QList<int>{13, 531, 257}}) {
            ByteVolume volume;
            FillRandom(volume, size[0], size[1], size[2], quint32(size[2]));
            Canvas canvas(SliceSize(volume, slice));
            QVERIFY(Draw(volume, slice, position, canvas.Image));
            for (int r = 0; r < canvas.Image.height(); ++r) {
                const uchar* p = canvas.Image.constScanLine(r);
                for (int c = 0; c < canvas.Image.width(); ++c, p += 3) {
                    const int v = Expected(volume, slice, position, c, r);
                    if (p[0] != 0 || p[1] != v || p[2] != 0)
                        QFAIL(qPrintable(QString::asprintf(
                            "%d x %d x %d: pixel (%d, %d) is (%d, %d, %d), not (0, %d, 0)", size[0],
                            size[1], size[2], c, r, p[0], p[1], p[2], v)));
                }
            }
            QVERIFY(canvas.GapsUntouched());
        }
    }

    void drawSliceRefuses_data()
    {
        QTest::addColumn<Slice>("slice");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("fault");
        const struct
        {
            const char* name;
            Slice slice;
            int size; // the volume's size along the axis the position selects on
        } slices[] = {{"top", Slice::Top, 5},
                      {"front", Slice::Front, 7},
                      {"side", Slice::Side, 13},
                      {"projection", Slice::Projection, 0}};
        for (const auto& s : slices) {
            for (const char* fault : {"wider", "narrower", "taller", "transposed", "released"})
                QTest::addRow("%s, %s", s.name, fault) << s.slice << 0 << QString(fault);
            if (s.slice == Slice::Projection) continue;
            QTest::addRow("%s, position -1", s.name) << s.slice << -1 << QString();
            QTest::addRow("%s, position %d", s.name, s.size) << s.slice << s.size << QString();
        }
    }

    void drawSliceRefuses()
    {
        QFETCH(Slice, slice);
        QFETCH(int, position);
        QFETCH(QString, fault);
        ByteVolume volume;
        FillRandom(volume, 13, 7, 5, 4);
        QSize size = SliceSize(volume, slice);
        if (fault == "wider") size.rwidth() += 1;
        if (fault == "narrower") size.rwidth() -= 1;
        if (fault == "taller") size.rheight() += 1;
        if (fault == "transposed") size.transpose();
        if (fault == "released") volume.Release();
        Canvas canvas(size);
        const QByteArray before(canvas.Bytes.constData(), canvas.Bytes.size()); // a deep copy
        QVERIFY(!Draw(volume, slice, position, canvas.Image));
        QVERIFY(canvas.Bytes == before);
    }
};

QTEST_GUILESS_MAIN(TestVolumeOps)
#include "tst_volumeops.moc"
