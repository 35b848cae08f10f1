// One volume of a stack as the inspector shows it: the slice model's slices of every
// sample kind against the display samples made of the whole volume, histograms counted
// from the stack against those of the display samples, voxels that refer to a stack's
// bytes, and the additive composite of channels.

#include "Composite.h"
#include "SampleStats.h"
#include "SliceModel.h"
#include "StackBytes.h"
#include "StackVoxels.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <cstring>

namespace {

const SlicePlane Planes[] = {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side};

template <class T> void Put(uint8_t* at, double value)
{
    const T stored = T(value);
    std::memcpy(at, &stored, sizeof stored);
}

/** A stack of `kind` whose samples are random in low … high (a NaN in float volumes). */
VolumeStack RandomStack(SampleKind kind, int x, int y, int z, int channels, int frames, double low,
                        double high)
{
    StackLayout layout;
    layout.SizeX = x, layout.SizeY = y, layout.SizeZ = z;
    layout.Channels = channels, layout.Frames = frames, layout.Kind = kind;
    layout.SignificantBits = SampleKindBytes(kind) * 8;
    VolumeStack stack;
    stack.Allocate(layout);
    QRandomGenerator random(uint32_t(kind) + 1);
    const int bytes = SampleKindBytes(kind);
    for (int c = 0; c < channels; ++c)
        for (int t = 0; t < frames; ++t)
            for (int64_t i = 0; i < layout.VoxelCount(); ++i) {
                double v = i == 0 ? high : low + random.generateDouble() * (high - low);
                if (!IsFloatKind(kind)) v = std::floor(v);
                if (IsFloatKind(kind) && i == 1) v = NAN;
                // In the order of SampleKind.
                static void (*const put[])(uint8_t*, double) = {
                    Put<uint8_t>, Put<int8_t>,   Put<uint16_t>, Put<int16_t>, Put<uint32_t>,
                    Put<int32_t>, Put<uint64_t>, Put<int64_t>,  Put<float>,   Put<double>};
                put[int(kind)](stack.Samples(c, t) + i * bytes, v);
            }
    return stack;
}

/** Pixel (u, v) of a slice of any display kind, as a double. */
double PixelValue(const ImageStruct& slice, int u, int v)
{
    const uint8_t* p = slice.Data + int64_t(v) * slice.LineStep;
    switch (ImageKind(&slice)) {
    case ImageKind8:
        return p[u];
    case ImageKind16:
        return qFromUnaligned<uint16_t>(p + 2 * u);
    case ImageKind32:
        return qFromUnaligned<int32_t>(p + 4 * u);
    default:
        return qFromUnaligned<float>(p + 4 * u);
    }
}

/** A 1 × 1 slice of `kind` holding `value`. */
ImagePtr OnePixel(int16_t kind, double value)
{
    ImagePtr image(kind == ImageKind8    ? NewImage8(1, 1)
                   : kind == ImageKind16 ? NewImage16(1, 1)
                   : kind == ImageKind32 ? NewImage32(1, 1)
                                         : NewImageFloat(1, 1));
    kind == ImageKind8    ? Put<uint8_t>(image->Data, value)
    : kind == ImageKind16 ? Put<uint16_t>(image->Data, value)
    : kind == ImageKind32 ? Put<int32_t>(image->Data, value)
                          : Put<float>(image->Data, value);
    return image;
}

} // namespace

class TestStackSlices : public QObject
{
    Q_OBJECT

private slots:
    void volumesShowAsTheirDisplaySamples_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::addColumn<bool>("viewed"); // top and front slices refer to the stack
        const auto row = [](const char* name, SampleKind kind, double low, double high,
                            bool viewed) {
            QTest::newRow(name) << int(kind) << low << high << viewed;
        };
        row("8-bit", SampleKind::UInt8, 0, 255, true);
        row("signed 8-bit", SampleKind::Int8, -128, 127, true);
        row("16-bit", SampleKind::UInt16, 0, 65535, true);
        row("signed 16-bit", SampleKind::Int16, -32768, 32767, false);
        row("32-bit, signed range", SampleKind::UInt32, 0, 2e9, true);
        row("32-bit, beyond", SampleKind::UInt32, 0, 4e9, false);
        row("signed 32-bit", SampleKind::Int32, -2e9, 2e9, true);
        row("64-bit", SampleKind::UInt64, 0, 1e15, false);
        row("signed 64-bit", SampleKind::Int64, -1e15, 1e15, false);
        row("float", SampleKind::Float32, -1e3, 1e3, true);
        row("double", SampleKind::Float64, -1e6, 1e6, false);
    }
    void volumesShowAsTheirDisplaySamples()
    {
        QFETCH(int, kind);
        QFETCH(double, low);
        QFETCH(double, high);
        QFETCH(bool, viewed);
        constexpr int X = 7, Y = 5, Z = 4;
        const VolumeStack stack = RandomStack(SampleKind(kind), X, Y, Z, 2, 2, low, high);
        SliceModel model;
        model.SetStackVolume(&stack, 1, 0);
        model.SetPosition(SlicePlane::Side, 5);
        for (const auto& [c, t] : {std::pair{1, 0}, std::pair{0, 1}}) {
            const int side = model.Position(SlicePlane::Side);
            model.SetStackVolume(&stack, c, t);
            QCOMPARE(model.Position(SlicePlane::Side), side); // same sizes: positions stay
            VolumeSamples display;
            ByteVolume bytes;
            std::string message;
            MakeDisplaySamples(stack, c, t, display);
            QVERIFY(MakeByteVolume(stack, c, t, bytes, message));
            QCOMPARE(model.DisplayKind(), display.Kind ? display.Kind : int16_t(ImageKind8));
            QCOMPARE(StackDisplayKind(stack, c, t), display.Kind);
            const uint8_t* begin = stack.Samples(c, t);
            const uint8_t* end = begin + stack.Layout().VolumeBytes();
            for (SlicePlane plane : Planes)
                for (int position : {0, model.Positions(plane) - 1}) {
                    model.SetPosition(plane, position);
                    const ImageStruct* slice = model.SampleSlice(plane);
                    QVERIFY(slice && ImageKind(slice) == model.DisplayKind());
                    QCOMPARE(slice->XSize, model.SliceWidth(plane));
                    QCOMPARE(slice->YSize, model.SliceHeight(plane));
                    QCOMPARE(slice->Data >= begin && slice->Data < end,
                             viewed && plane != SlicePlane::Side);
                    for (int v = 0; v < slice->YSize; ++v)
                        for (int u = 0; u < slice->XSize; ++u) {
                            const auto [x, y, z] = model.VoxelAt(plane, u, v);
                            const double expected =
                                display.Kind ? display.Value(x, y, z) : bytes.Voxel(x, y, z);
                            QCOMPARE(PixelValue(*slice, u, v), expected);
                            QCOMPARE(model.SampleAt(plane, u, v), expected);
                        }
                }
            // Counted from the stack as from the voxels and the display samples.
            const SampleHistogram fromStack = ComputeHistogram(stack, c, t);
            const SampleHistogram fromCopies =
                ComputeHistogram(bytes, display.Kind ? &display : nullptr);
            QCOMPARE(fromStack.Counts, fromCopies.Counts);
            QVERIFY(fromStack.Low == fromCopies.Low && fromStack.High == fromCopies.High &&
                    fromStack.Total == fromCopies.Total &&
                    fromStack.BinWidth == fromCopies.BinWidth);
            QCOMPARE(WholeValues(stack, c, t), !IsFloatKind(SampleKind(kind)));
            // Samples alone, without voxels, show the same slices.
            if (display.Kind) {
                SliceModel alone;
                QVERIFY(alone.SetSamples(&display));
                QCOMPARE(alone.Positions(SlicePlane::Side), X);
                alone.SetPosition(SlicePlane::Top, model.Position(SlicePlane::Top));
                QCOMPARE(alone.SampleAt(SlicePlane::Top, 3, 2),
                         model.SampleAt(SlicePlane::Top, 3, 2));
            }
        }
        // Other sizes put the positions in the middle; no stack shows nothing.
        const VolumeStack other = RandomStack(SampleKind(kind), 9, 3, 2, 1, 1, low, high);
        model.SetStackVolume(&other, 0, 0);
        QCOMPARE(model.Position(SlicePlane::Side), 4);
        model.SetStackVolume(nullptr, 0, 0);
        QVERIFY(model.Positions(SlicePlane::Top) == 0 && !model.SampleSlice(SlicePlane::Top));
    }

    void voxelsReferToTheStacksBytes()
    {
        VolumeStack bytes = RandomStack(SampleKind::UInt8, 6, 4, 3, 2, 1, 0, 255);
        StackVoxels voxels;
        std::string message = "old";
        QVERIFY(voxels.Make(bytes, 1, 0, message) && message.empty());
        QVERIFY(voxels.RefersToStack() && voxels.Volume().Data == bytes.Samples(1, 0));
        QCOMPARE(voxels.Volume().Voxel(5, 3, 2), bytes.Samples(1, 0)[5 + 3 * 6 + 2 * 24]);
        // Moving the stack keeps its buffers; the voxels never free them.
        const VolumeStack moved = std::move(bytes);
        QCOMPARE(voxels.Volume().Data, moved.Samples(1, 0));
        voxels.Clear();
        QVERIFY(moved.HasSamples(1, 0) && !voxels.Volume().Data);
        // Wider samples are reduced into voxels of their own.
        const VolumeStack wide = RandomStack(SampleKind::UInt16, 6, 4, 3, 1, 1, 0, 65535);
        ByteVolume reduced;
        QVERIFY(MakeByteVolume(wide, 0, 0, reduced, message));
        QVERIFY(voxels.Make(wide, 0, 0, message) && !voxels.RefersToStack());
        QVERIFY(std::memcmp(voxels.Volume().Data, reduced.Data, 72) == 0);
    }

    void channelsAddTheirColours_data()
    {
        QTest::addColumn<QList<int>>("kinds");
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<QList<double>>("windows"); // min, max of each layer
        QTest::addColumn<QList<uint>>("colours");
        QTest::addColumn<uint>("expected"); // 0xRRGGBB
        const uint green = 0x00FF00, magenta = 0xFF00FF, red = 0xFF0000;
        QTest::newRow("half green") << QList<int>{ImageKind8} << QList<double>{51}
                                    << QList<double>{0, 204} << QList<uint>{green} << 0x004000u;
        QTest::newRow("green and magenta add to white")
            << QList<int>{ImageKind16, ImageKind16} << QList<double>{4000, 9000}
            << QList<double>{0, 4000, 1000, 5000} << QList<uint>{green, magenta} << 0xFFFFFFu;
        QTest::newRow("each through its own window")
            << QList<int>{ImageKind16, ImageKindFloat} << QList<double>{350, 0.25}
            << QList<double>{200, 400, 0, 1} << QList<uint>{green, magenta} << 0x40BF40u;
        QTest::newRow("sums clamp")
            << QList<int>{ImageKind8, ImageKind8} << QList<double>{200, 200}
            << QList<double>{0, 255, 0, 255} << QList<uint>{red, red} << 0xFF0000u;
        QTest::newRow("below the window is dark")
            << QList<int>{ImageKind32} << QList<double>{-5} << QList<double>{0, 10}
            << QList<uint>{0xFFFFFF} << 0x000000u;
        QTest::newRow("wide counts keep their precision")
            << QList<int>{ImageKind32} << QList<double>{30437197}
            << QList<double>{30437122, 30437222} << QList<uint>{0xFFFFFF} << 0xBFBFBFu;
        QTest::newRow("a window of no width is a step")
            << QList<int>{ImageKind16, ImageKind16} << QList<double>{100, 99}
            << QList<double>{100, 100, 100, 100} << QList<uint>{green, magenta} << 0x00FF00u;
        QTest::newRow("NaN is dark") << QList<int>{ImageKindFloat} << QList<double>{NAN}
                                     << QList<double>{0, 1} << QList<uint>{0xFFFFFF} << 0x000000u;
        QTest::newRow("no layers")
            << QList<int>{} << QList<double>{} << QList<double>{} << QList<uint>{} << 0x000000u;
    }
    void channelsAddTheirColours()
    {
        QFETCH(QList<int>, kinds);
        QFETCH(QList<double>, values);
        QFETCH(QList<double>, windows);
        QFETCH(QList<uint>, colours);
        QFETCH(uint, expected);
        std::vector<ImagePtr> slices;
        std::vector<ChannelLayer> layers;
        for (qsizetype i = 0; i < kinds.size(); ++i) {
            slices.push_back(OnePixel(int16_t(kinds[i]), values[i]));
            layers.push_back({slices.back().get(), windows[2 * i], windows[2 * i + 1], colours[i]});
        }
        ImagePtr rgb(NewImageRGB(1, 1));
        QVERIFY(ComposeChannels(layers, *rgb));
        const uint8_t* p = rgb->Data;
        QCOMPARE(uint(p[2] << 16 | p[1] << 8 | p[0]), expected);
    }

    void compositesRefuseMismatchesAndColoursStartDistinct()
    {
        ImagePtr one = OnePixel(ImageKind8, 9), two(NewImage8(2, 1)), rgb(NewImageRGB(1, 1));
        const uint32_t before = qFromUnaligned<uint32_t>(rgb->Data);
        QVERIFY(!ComposeChannels({{one.get(), 0, 255, 0xFFFFFF}, {two.get(), 0, 255, 0xFF}}, *rgb));
        QVERIFY(!ComposeChannels({{nullptr, 0, 255, 0xFFFFFF}}, *rgb));
        QVERIFY(!ComposeChannels({{one.get(), 0, 255, 0xFFFFFF}}, *one)); // not RGB
        QCOMPARE(qFromUnaligned<uint32_t>(rgb->Data), before);
        // One channel is grey; the first two of several differ and add to white.
        QCOMPARE(StandardChannelColour(0, 1), 0xFFFFFFu);
        QCOMPARE(StandardChannelColour(0, 2) | StandardChannelColour(1, 2), 0xFFFFFFu);
        QSet<uint32_t> seven;
        for (int c = 0; c < 7; ++c)
            seven.insert(StandardChannelColour(c, 7));
        QCOMPARE(seven.size(), 7);
    }
};

QTEST_GUILESS_MAIN(TestStackSlices)
#include "tst_stackslices.moc"
