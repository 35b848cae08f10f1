// The slice model: every plane's pixels against Voxel, positions kept within the volume,
// slices that refer to the volume's memory without copying, and fresh slices after the
// voxels change.

#include "SliceModel.h"
#include "TestVolumes.h"

#include <QtTest>

namespace {

const SlicePlane Planes[] = {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side};

/** True when every pixel of the plane's slice is the voxel VoxelAt names. */
bool ShowsVoxels(SliceModel& model, SlicePlane plane)
{
    const ImageStruct* slice = model.Slice(plane);
    const ByteVolume& volume = *model.Volume();
    if (!slice || slice->XSize != model.SliceWidth(plane) ||
        slice->YSize != model.SliceHeight(plane))
        return false;
    for (int v = 0; v < slice->YSize; ++v)
        for (int u = 0; u < slice->XSize; ++u) {
            const auto [x, y, z] = model.VoxelAt(plane, u, v);
            if (slice->Data[int64_t(v) * slice->LineStep + u] != volume.Voxel(x, y, z))
                return false;
        }
    return true;
}

} // namespace

class TestSliceModel : public QObject
{
    Q_OBJECT
private slots:
    void slicesShowTheirVoxels_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("z");
        QTest::newRow("odd sizes") << 37 << 23 << 19;
        QTest::newRow("one voxel") << 1 << 1 << 1;
        QTest::newRow("tall stack") << 16 << 12 << 400;
        QTest::newRow("one slice") << 70 << 3 << 1;
    }
    void slicesShowTheirVoxels()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, z);
        ByteVolume volume;
        FillRandom(volume, x, y, z, quint32(x * y * z));
        SliceModel model(&volume);
        // Each plane starts in the middle of its axis and is kept within it.
        QCOMPARE(model.Position(SlicePlane::Top), (z - 1) / 2);
        QCOMPARE(model.Positions(SlicePlane::Side), x);
        for (SlicePlane plane : Planes) {
            const int last = model.Positions(plane) - 1;
            for (int position : {0, last, last / 2, -5, last + 7}) {
                QCOMPARE(model.SetPosition(plane, position), std::clamp(position, 0, last));
                QVERIFY2(
                    ShowsVoxels(model, plane),
                    qPrintable(QStringLiteral("plane %1 at %2").arg(int(plane)).arg(position)));
            }
        }
        // Top and front refer to the volume's memory; the side slice is a copy of its own.
        const uint8_t* begin = volume.Data;
        const uint8_t* end = volume.Data + volume.VoxelCount();
        for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front}) {
            const ImageStruct* slice = model.Slice(plane);
            QVERIFY(model.IsReference(plane) && slice->Data >= begin && slice->Data < end &&
                    !slice->Memory);
        }
        const ImageStruct* side = model.Slice(SlicePlane::Side);
        QVERIFY(!model.IsReference(SlicePlane::Side) && (side->Data < begin || side->Data >= end));
    }

    void recordsChangeOnlyWithTheirSlice()
    {
        ByteVolume volume;
        FillRandom(volume, 20, 10, 6, 1);
        SliceModel model(&volume);
        const ImageStruct* top = model.Slice(SlicePlane::Top);
        const uint64_t generation = top->Generation;
        QCOMPARE(model.Slice(SlicePlane::Top)->Generation, generation); // unchanged: drawings kept
        model.SetPosition(SlicePlane::Front, 1);
        QCOMPARE(model.Slice(SlicePlane::Top)->Generation, generation);
        model.SetPosition(SlicePlane::Top, 4);
        QVERIFY(model.Slice(SlicePlane::Top)->Generation != generation);
        // Written voxels: the copied side slice is taken again once told.
        model.SetPosition(SlicePlane::Side, 3);
        const uint64_t sideGeneration = model.Slice(SlicePlane::Side)->Generation;
        volume.Voxel(3, 5, 2) = uint8_t(volume.Voxel(3, 5, 2) + 1);
        model.VolumeChanged();
        QVERIFY(ShowsVoxels(model, SlicePlane::Side));
        QVERIFY(model.Slice(SlicePlane::Side)->Generation != sideGeneration);
        // No voxels, no slices.
        ByteVolume empty;
        model.SetVolume(&empty);
        QVERIFY(!model.Slice(SlicePlane::Top) && model.Positions(SlicePlane::Top) == 0);
        QCOMPARE(model.SetPosition(SlicePlane::Top, 3), 0);
        model.SetVolume(nullptr);
        QVERIFY(!model.Slice(SlicePlane::Side));
    }
};

QTEST_APPLESS_MAIN(TestSliceModel)
#include "tst_slicemodel.moc"
