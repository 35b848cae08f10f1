// The measuring kernels: rectangle statistics of every sample kind on the three planes and
// through the stack against sums of the test's own, line profiles against the voxels and
// hand-computed interpolation, point samples at pixel edges, and boxes read from sources
// (the stack in memory, mapped files) against the stack they hold.

#include "Measure.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

namespace {

const SlicePlane Planes[] = {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side};
constexpr double Inf = std::numeric_limits<double>::infinity();

template <class T> void Put(uint8_t* at, double value)
{
    const T stored = T(value);
    std::memcpy(at, &stored, sizeof stored);
}

void PutSample(uint8_t* at, SampleKind kind, double value)
{
    // In the order of SampleKind.
    static void (*const put[])(uint8_t*, double) = {
        Put<uint8_t>, Put<int8_t>,   Put<uint16_t>, Put<int16_t>, Put<uint32_t>,
        Put<int32_t>, Put<uint64_t>, Put<int64_t>,  Put<float>,   Put<double>};
    put[int(kind)](at, value);
}

/**
 * A stack of x × y × z samples of `kind` per channel, random in low … high (whole numbers
 * for integer kinds), the first sample `high` and the second `low`; float kinds get a NaN
 * every 37 samples.
 */
VolumeStack RandomStack(SampleKind kind, int x, int y, int z, double low, double high,
                        int channels = 1)
{
    StackLayout layout;
    layout.SizeX = x, layout.SizeY = y, layout.SizeZ = z, layout.Channels = channels;
    layout.Kind = kind;
    VolumeStack stack;
    stack.Allocate(layout);
    QRandomGenerator random(uint32_t(kind) * 31 + uint32_t(x));
    const int bytes = SampleKindBytes(kind);
    for (int c = 0; c < channels; ++c)
        for (int64_t i = 0; i < layout.VoxelCount(); ++i) {
            double v = i == 0 ? high : i == 1 ? low : low + random.generateDouble() * (high - low);
            if (!IsFloatKind(kind)) v = std::clamp(std::round(v), low, high);
            if (IsFloatKind(kind) && i % 37 == 5) v = NAN;
            PutSample(stack.Samples(c, 0) + i * bytes, kind, v);
        }
    return stack;
}

/** Statistics the plain way: exact integer sums, long double deviations. */
struct Reference
{
    int64_t Count = 0, NaNs = 0;
    __int128 Whole = 0; // exact for integer values
    long double Sum = 0;
    double Min = Inf, Max = -Inf;
    std::vector<long double> Values;

    void Add(double v)
    {
        if (std::isnan(v)) {
            ++NaNs;
            return;
        }
        ++Count;
        Whole += __int128(v);
        Sum += v;
        Min = std::min(Min, v);
        Max = std::max(Max, v);
        Values.push_back(v);
    }
    double Sd() const
    {
        if (Count < 2) return NAN;
        long double deviations = 0;
        for (long double v : Values)
            deviations += (v - Sum / Count) * (v - Sum / Count);
        return double(std::sqrt(deviations / (Count - 1)));
    }
};

bool Near(double a, double b, double relative)
{
    return (std::isnan(a) && std::isnan(b)) || std::fabs(a - b) <= relative * std::fabs(b);
}

/** Compares `stats` with `reference`: exactly where the values' sums are exact. */
void CheckStats(const RegionStats& stats, const Reference& reference, bool exact)
{
    QCOMPARE(stats.Count, reference.Count);
    QCOMPARE(stats.NaNs, reference.NaNs);
    if (reference.Count == 0) {
        QCOMPARE(stats.Sum, 0.0);
        QVERIFY(std::isnan(stats.Mean) && std::isnan(stats.Min) && std::isnan(stats.Max));
        QVERIFY(std::isnan(stats.Sd));
        return;
    }
    QCOMPARE(stats.Min, reference.Min);
    QCOMPARE(stats.Max, reference.Max);
    if (exact) {
        QCOMPARE(stats.Sum, double(reference.Whole));
        QCOMPARE(stats.Mean, double(reference.Whole) / double(reference.Count));
    } else {
        QVERIFY(Near(stats.Sum, double(reference.Sum), 1e-12));
        QVERIFY(Near(stats.Mean, double(reference.Sum / reference.Count), 1e-12));
    }
    QVERIFY(Near(stats.Sd, reference.Sd(), exact ? 1e-12 : 1e-6));
}

/**
 * A source over a stack that counts its reads (rows and columns are not counted again as
 * the planes they read) and fails every read from plane FailAt on.
 */
class CountingSource : public StackPlaneSource
{
public:
    CountingSource(const VolumeStack& stack, bool rows) : StackPlaneSource(stack), rows_(rows) {}
    bool ReadsRows() const override { return rows_; }
    bool ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error) override
    {
        return Count(Planes, z, error) && StackPlaneSource::ReadPlane(c, t, z, out, error);
    }
    bool ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                  std::string& error) override
    {
        return Count(Rows, z, error) && PlaneSource::ReadRows(c, t, z, y0, y1, out, error);
    }
    bool ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out, std::string& error) override
    {
        return Count(Columns, z, error) && PlaneSource::ReadColumn(c, t, z, x, out, error);
    }
    int Planes = 0, Rows = 0, Columns = 0;
    int64_t FailAt = 1 << 30;

private:
    bool Count(int& counter, int64_t z, std::string& error)
    {
        // The base class reads rows and columns through ReadPlane: that one is not counted.
        if (&counter != &Planes) --Planes;
        ++counter;
        if (z < FailAt) return true;
        error = "plane " + std::to_string(z) + " is damaged";
        return false;
    }
    bool rows_;
};

} // namespace

class TestMeasure : public QObject
{
    Q_OBJECT

private slots:
    void rectanglesOfEveryKind_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::addColumn<bool>("exact");
        const auto row = [](const char* name, SampleKind kind, double low, double high,
                            bool exact) {
            QTest::newRow(name) << int(kind) << low << high << exact;
        };
        row("8-bit", SampleKind::UInt8, 0, 255, true);
        row("signed 8-bit", SampleKind::Int8, -128, 127, true);
        row("16-bit", SampleKind::UInt16, 0, 65535, true);
        row("signed 16-bit", SampleKind::Int16, -32768, 32767, true);
        row("32-bit", SampleKind::UInt32, 0, 4294967295.0, true);
        row("32-bit, narrow at the top", SampleKind::UInt32, 4294967000.0, 4294967295.0, true);
        row("signed 32-bit", SampleKind::Int32, -2147483648.0, 2147483647.0, true);
        row("64-bit", SampleKind::UInt64, 0, 0x1p40, true);
        row("signed 64-bit", SampleKind::Int64, -0x1p40, 0x1p40, true);
        row("float", SampleKind::Float32, -1e3, 1e3, false);
        row("double, far from 0", SampleKind::Float64, 1e9, 1e9 + 1, false);
    }
    void rectanglesOfEveryKind()
    {
        QFETCH(int, kind);
        QFETCH(double, low);
        QFETCH(double, high);
        QFETCH(bool, exact);
        constexpr int X = 13, Y = 11, Z = 7;
        const VolumeStack stack = RandomStack(SampleKind(kind), X, Y, Z, low, high);
        const SampleBlock whole = StackBlock(stack, 0, 0);
        // The same samples seen mirrored in x and z: strides of both signs.
        SampleBlock mirrored = whole;
        mirrored.Base += (X - 1) * whole.Stride[0] + (Z - 1) * whole.Stride[2];
        mirrored.Stride[0] = -whole.Stride[0];
        mirrored.Stride[2] = -whole.Stride[2];
        for (const bool mirror : {false, true})
            for (SlicePlane plane : Planes) {
                const SampleBlock& block = mirror ? mirrored : whole;
                const int64_t positions = plane == SlicePlane::Top     ? Z
                                          : plane == SlicePlane::Front ? Y
                                                                       : X;
                const SampleSlice probe = SliceOf(block, plane, 0);
                const double w = double(probe.Width), h = double(probe.Height);
                const double rects[][4] = {
                    {-0.5, -0.5, w - 0.5, h - 0.5}, // every voxel
                    {8.7, 5.2, 2.3, 1.0},           // corners swapped, an edge on centres
                    {2, 3, 4, 3},                   // one row: both edges on centres
                    {-4.2, h - 2.5, 3.5, h + 7},    // partly outside
                    {2.2, 1.1, 2.8, 4.0},           // between centres: empty
                    {w + 1, 0, w + 3, 2},           // outside: empty
                    {5, 2, 5, 2},                   // one voxel
                };
                for (const auto& r : rects) {
                    const double ua = std::min(r[0], r[2]), ub = std::max(r[0], r[2]);
                    const double va = std::min(r[1], r[3]), vb = std::max(r[1], r[3]);
                    Reference through;
                    for (int64_t p = 0; p < positions; ++p) {
                        Reference one;
                        for (int64_t v = 0; v < int64_t(h); ++v)
                            for (int64_t u = 0; u < int64_t(w); ++u) {
                                if (u < ua || u > ub || v < va || v > vb) continue;
                                auto [x, y, z] = SliceVoxel(plane, int(p), int(u), int(v));
                                if (mirror) x = X - 1 - x, z = Z - 1 - z;
                                const double value = stack.Value(0, 0, x, y, z);
                                one.Add(value);
                                through.Add(value);
                            }
                        if (p == 0 || p == positions / 2 || p == positions - 1) {
                            const SampleSlice slice = SliceOf(block, plane, p);
                            CheckStats(RectStats(slice, r[0], r[1], r[2], r[3]), one, exact);
                            CheckStats(RectStats(slice, r[2], r[3], r[0], r[1]), one, exact);
                        }
                    }
                    CheckStats(StackRectStats(block, plane, r[0], r[1], r[2], r[3]), through,
                               exact);
                    if (QTest::currentTestFailed())
                        qInfo() << "plane" << int(plane) << "mirrored" << mirror << "rect" << r[0]
                                << r[1] << r[2] << r[3];
                }
            }
        // Beyond the block's positions there is no slice, and nothing to count.
        QVERIFY(SliceOf(whole, SlicePlane::Top, Z).Empty());
        QVERIFY(SliceOf(whole, SlicePlane::Side, -1).Empty());
        QCOMPARE(RectStats(SliceOf(whole, SlicePlane::Top, Z), -9, -9, 99, 99).Count, int64_t(0));
    }

    void largeBoxesAgreeOverThreadCounts()
    {
        // Large enough to be shared among threads; floats must not depend on how many.
        const std::tuple<SampleKind, double, double> kinds[] = {{SampleKind::UInt16, 0, 65535},
                                                                {SampleKind::Int32, -2e9, 2e9},
                                                                {SampleKind::Float32, -3e4, 6e4}};
        for (const auto& [kind, low, high] : kinds) {
            const VolumeStack stack = RandomStack(kind, 160, 128, 64, low, high);
            const SampleBlock block = StackBlock(stack, 0, 0);
            Reference reference;
            for (int64_t i = 0; i < stack.Layout().VoxelCount(); ++i)
                reference.Add(stack.ValueAt(0, 0, i));
            std::vector<RegionStats> results;
            for (int threads : {1, 2, 3, 8}) {
                SetMeasureThreadLimit(threads);
                for (SlicePlane plane : Planes)
                    results.push_back(StackRectStats(block, plane, -1e9, -1e9, 1e9, 1e9));
            }
            SetMeasureThreadLimit(0);
            CheckStats(results[0], reference, kind != SampleKind::Float32);
            for (const RegionStats& stats : results) {
                QCOMPARE(stats.Count, results[0].Count);
                QCOMPARE(stats.Sum, results[0].Sum);
                QCOMPARE(stats.Sd, results[0].Sd);
                QCOMPARE(stats.Min, results[0].Min);
                QCOMPARE(stats.Max, results[0].Max);
            }
        }
    }

    void centresWithinAnInterval()
    {
        struct Case
        {
            double a, b;
            int64_t size, first, end;
        };
        const Case cases[] = {
            {0, 0, 5, 0, 1},          {-0.5, 4.5, 5, 0, 5},
            {4.5, -0.5, 5, 0, 5},     {1.0, 3.0, 5, 1, 4},
            {1.01, 2.99, 5, 2, 3},    {2.2, 2.8, 5, 0, 0},
            {-9, -1, 5, 0, 0},        {5, 9, 5, 0, 0},
            {4, 4, 5, 4, 5},          {NAN, 2, 5, 0, 0},
            {-1e300, 1e300, 5, 0, 5}, {-Inf, 0.3, 5, 0, 1},
            {0, 3, 0, 0, 0},          {3.999999, 3.0000001, 9, 0, 0},
        };
        for (const Case& c : cases) {
            int64_t first = -1, end = -1;
            CentresWithin(c.a, c.b, c.size, first, end);
            QVERIFY2(first == c.first && end == c.end, qPrintable(QString::number(c.a)));
        }
    }

    void lineProfiles()
    {
        // A side slice (u = z, v = y) of 16-bit samples: strided both ways.
        constexpr int X = 5, Y = 6, Z = 8;
        const VolumeStack stack = RandomStack(SampleKind::UInt16, X, Y, Z, 0, 65535);
        const SampleSlice side = SliceOf(StackBlock(stack, 0, 0), SlicePlane::Side, 3);
        QCOMPARE(side.Width, int64_t(Z));
        QCOMPARE(side.Height, int64_t(Y));
        const auto at = [&](int64_t u, int64_t v) { return stack.Value(0, 0, 3, v, u); };
        // Lines along an axis: the samples are the voxels they pass (a half step between two
        // voxels is their mean), clamped to the edge centres.
        const auto value = [&](double u, double v) {
            const int64_t iu = int64_t(u), iv = int64_t(v);
            return u == double(iu) ? at(iu, iv) : (at(iu, iv) + at(iu + 1, iv)) / 2;
        };
        struct Line
        {
            double u0, v0, u1, v1;
            std::vector<std::pair<double, double>> passes;
        };
        const Line lines[] = {
            {1, 2, 6, 2, {{1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}}},
            {1, 2, 6.5, 2, {{1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}, {6.5, 2}}},
            {3, 4, 3, 0, {{3, 4}, {3, 3}, {3, 2}, {3, 1}, {3, 0}}},
            {2.5, 1, 2.5, 1, {{2.5, 1}}},
            {-3, -2, 2, -2, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {2, 0}}}, // beyond the top
            {6, 5, 10, 5, {{6, 5}, {7, 5}, {7, 5}, {7, 5}, {7, 5}}},           // past the corner
        };
        for (const Line& line : lines) {
            const std::vector<double> profile =
                LineProfile(side, line.u0, line.v0, line.u1, line.v1);
            QCOMPARE(profile.size(), line.passes.size());
            for (size_t i = 0; i < profile.size(); ++i)
                QVERIFY2(
                    profile[i] == value(line.passes[i].first, line.passes[i].second),
                    qPrintable(
                        QString("line from (%1, %2), sample %3").arg(line.u0).arg(line.v0).arg(i)));
        }

        // A diagonal from (0, 0) to (2, 1): length √5, 4 samples, at distances 0, 1, 2, √5.
        const double s = std::sqrt(5.0);
        const auto bilinear = [&](double u, double v) {
            const int iu = int(u), iv = int(v);
            const double fu = u - iu, fv = v - iv;
            return (1 - fu) * (1 - fv) * at(iu, iv) + fu * (1 - fv) * at(iu + 1, iv) +
                   (1 - fu) * fv * at(iu, iv + 1) + fu * fv * at(iu + 1, iv + 1);
        };
        const std::vector<double> diagonal = LineProfile(side, 0, 0, 2, 1);
        const double expected[] = {at(0, 0), bilinear(2 / s, 1 / s), bilinear(4 / s, 2 / s),
                                   at(2, 1)};
        QCOMPARE(diagonal.size(), size_t(4));
        for (int i = 0; i < 4; ++i)
            QVERIFY(std::fabs(diagonal[size_t(i)] - expected[i]) < 1e-9 * 65536);
        QCOMPARE(LineLength(0, 0, 2, 1), s);

        // Counts: ceil(L) + 1 samples.
        QCOMPARE(LineProfile(side, 0, 0, 3, 4).size(), size_t(6));
        QCOMPARE(LineProfile(side, 0, 0, 1, 1).size(), size_t(3));
        QCOMPARE(LineProfile(side, 0.25, 0, 0.75, 0).size(), size_t(2));
        QVERIFY(LineProfile(side, 0, NAN, 1, 1).empty());

        // A NaN neighbour with no weight does not spoil a sample on a centre. In statistics
        // NaN is left out and counted apart, infinity counts and leaves no spread.
        const float values[] = {1, 2, NAN, INFINITY};
        const SampleSlice row{
            reinterpret_cast<const uint8_t*>(values), SampleKind::Float32, 4, 1, 4, 16};
        const std::vector<double> along = LineProfile(row, 0, 0, 3, 0);
        QCOMPARE(along.size(), size_t(4));
        QVERIFY(along[1] == 2 && std::isnan(along[2]) && along[3] == Inf);
        QVERIFY(std::isnan(LineProfile(row, 1.5, 0, 1.5, 0).at(0)));
        const RegionStats stats = RectStats(row, 0, 0, 3, 0);
        QVERIFY(stats.Count == 3 && stats.NaNs == 1 && stats.Sum == Inf && stats.Max == Inf);
        QVERIFY(stats.Min == 1 && std::isnan(stats.Sd));
        const RegionStats one = RectStats(row, 0, 0, 0.4, 0);
        QVERIFY(one.Count == 1 && one.Mean == 1 && std::isnan(one.Sd));
        const RegionStats none = RectStats(row, 2, 0, 2, 0);
        QVERIFY(none.Count == 0 && none.NaNs == 1 && std::isnan(none.Mean));
    }

    void pointSamples()
    {
        // Sample (u, v) = 100·v + u.
        uint16_t values[3][4];
        for (int v = 0; v < 3; ++v)
            for (int u = 0; u < 4; ++u)
                values[v][u] = uint16_t(100 * v + u);
        const SampleSlice slice{
            reinterpret_cast<const uint8_t*>(values), SampleKind::UInt16, 4, 3, 2, 8};
        struct Case
        {
            double u, v, expected;
        };
        const Case cases[] = {
            {2.49, 1, 102},       {2.5, 1, 103},   {-0.5, -0.5, 0}, {0.49999999999999994, 0, 0},
            {3.49, 2.49, 203},    {-0.51, 0, NAN}, {3.5, 0, NAN},   {0, 2.5, NAN},
            {1, -0.5000001, NAN}, {NAN, 1, NAN},
        };
        for (const Case& c : cases) {
            const double got = PointSample(slice, c.u, c.v);
            QVERIFY2(got == c.expected || (std::isnan(got) && std::isnan(c.expected)),
                     qPrintable(QString("(%1, %2): %3").arg(c.u, 0, 'g', 17).arg(c.v).arg(got)));
        }
    }

    void blocksReadFromSources()
    {
        constexpr int X = 37, Y = 23, Z = 19;
        const VolumeStack stack = RandomStack(SampleKind::UInt16, X, Y, Z, 0, 65535, 2);
        const StackLayout& layout = stack.Layout();
        // The same samples in files: packed rows, and rows padded apart behind a header.
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        std::vector<std::unique_ptr<PlaneSource>> sources;
        sources.push_back(std::make_unique<StackPlaneSource>(stack));
        for (const int64_t pad : {0, 6}) {
            MappedPlaneSource::Geometry geometry;
            geometry.Offset = 16;
            geometry.StrideY = stack.RowBytes() + pad;
            geometry.StrideZ = geometry.StrideY * Y + pad;
            geometry.StrideC = geometry.StrideZ * Z;
            std::vector<uint8_t> bytes(size_t(geometry.Offset + geometry.StrideC * 2), 0xEE);
            for (int c = 0; c < 2; ++c)
                for (int z = 0; z < Z; ++z)
                    for (int y = 0; y < Y; ++y)
                        std::memcpy(bytes.data() + geometry.Offset + c * geometry.StrideC +
                                        z * geometry.StrideZ + y * geometry.StrideY,
                                    stack.Row(c, 0, z, y), size_t(stack.RowBytes()));
            const QByteArray path = QFile::encodeName(folder.filePath(QString::number(pad)));
            std::FILE* file = std::fopen(path.constData(), "wb");
            QVERIFY(file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
            std::fclose(file);
            const int descriptor = ::open(path.constData(), O_RDONLY);
            std::string error;
            auto mapped = MappedFile::Map(descriptor, int64_t(bytes.size()), error);
            ::close(descriptor);
            QVERIFY2(mapped, error.c_str());
            sources.push_back(std::make_unique<MappedPlaneSource>(mapped, layout, geometry));
        }

        using Box = std::array<std::array<int64_t, 3>, 2>;
        const Box boxes[] = {
            {{{0, 0, 0}, {X, Y, Z}}},        // whole
            {{{3, 2, 4}, {20, 15, 11}}},     // inside
            {{{7, 0, 0}, {8, Y, Z}}},        // one voxel wide in x, every row and plane: columns
            {{{7, 5, 2}, {8, 6, 17}}},       // one wide, one row
            {{{0, 4, 3}, {X, 9, 8}}},        // whole rows
            {{{30, -5, 15}, {100, 10, 40}}}, // beyond the volume: clamped
            {{{5, 5, 5}, {5, 9, 9}}},        // empty
        };
        for (const auto& source : sources)
            for (const Box& box : boxes)
                for (int c : {0, 1}) {
                    std::vector<uint8_t> buffer;
                    SampleBlock block;
                    std::string error;
                    QVERIFY2(ReadBlock(*source, c, 0, box[0], box[1], buffer, block, error),
                             error.c_str());
                    const std::array<int64_t, 3> sizes = {X, Y, Z};
                    for (int a = 0; a < 3; ++a) {
                        const int64_t lo = std::clamp<int64_t>(box[0][a], 0, sizes[a]);
                        QCOMPARE(block.Origin[a], lo);
                        QCOMPARE(block.Size[a], std::clamp<int64_t>(box[1][a], lo, sizes[a]) - lo);
                    }
                    for (int64_t z = 0; z < block.Size[2]; ++z)
                        for (int64_t y = 0; y < block.Size[1]; ++y)
                            for (int64_t x = 0; x < block.Size[0]; ++x)
                                QCOMPARE(block.At(x, y, z),
                                         stack.Value(c, 0, block.Origin[0] + x, block.Origin[1] + y,
                                                     block.Origin[2] + z));
                    if (block.Empty()) continue;
                    // Its slices are the stack's, shifted by the origin.
                    for (SlicePlane plane : Planes) {
                        const int axis = 2 - int(plane); // the plane's normal
                        const int64_t position = block.Origin[axis] + block.Size[axis] - 1;
                        const SampleSlice slice = SliceOf(block, plane, position);
                        const auto [u0, v0] = SliceOrigin(block, plane);
                        for (int64_t v = 0; v < slice.Height; ++v)
                            for (int64_t u = 0; u < slice.Width; ++u) {
                                const auto [x, y, z] =
                                    SliceVoxel(plane, int(position), int(u0 + u), int(v0 + v));
                                QCOMPARE(slice.At(u, v), stack.Value(c, 0, x, y, z));
                            }
                    }
                }

        // How the box is read: columns for a side slice's column, rows where the source
        // reads rows alone, planes otherwise; a failure's reason comes through.
        for (const bool rows : {false, true}) {
            CountingSource source(stack, rows);
            std::vector<uint8_t> buffer;
            SampleBlock block;
            std::string error;
            QVERIFY(ReadBlock(source, 1, 0, {4, 0, 0}, {5, Y, Z}, buffer, block, error));
            QCOMPARE(source.Columns, Z);
            source.Columns = 0;
            QVERIFY(ReadBlock(source, 1, 0, {2, 3, 1}, {30, 20, 9}, buffer, block, error));
            QCOMPARE(source.Columns, 0);
            QCOMPARE(source.Rows > 0, rows);
            QCOMPARE(source.Planes, rows ? 0 : 8);
            source.FailAt = 5;
            QVERIFY(!ReadBlock(source, 0, 0, {0, 0, 0}, {X, Y, Z}, buffer, block, error));
            QCOMPARE(error, std::string("plane 5 is damaged"));
            QVERIFY(block.Empty() && !block.Base);
        }
        std::vector<uint8_t> buffer;
        SampleBlock block;
        std::string error;
        QVERIFY(!ReadBlock(*sources[0], 2, 0, {0, 0, 0}, {1, 1, 1}, buffer, block, error));
        QVERIFY(!error.empty());
    }
};

QTEST_GUILESS_MAIN(TestMeasure)
#include "tst_measure.moc"
