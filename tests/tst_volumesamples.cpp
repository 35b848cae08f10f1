// Samples kept in their own kind: ICS files of every integer and floating-point type
// loaded with options against the plain load and the values written, cancelled and
// refused loads that change nothing, the voxel spacing of a header, the slice model's
// sample slices, and histogram percentiles against a sorted copy of the values.

#include "ByteVolume.h"
#include "IcsLocale.h"
#include "SampleStats.h"
#include "SliceModel.h"
#include "TestVolumes.h"
#include "VolumeSamples.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <libics.h>
#include <libics_ll.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

std::string Std(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

/** Writes `values` as an x × y × z ICS image of `type` through libics. */
bool WriteTyped(const QString& path, Ics_DataType type, const size_t (&dims)[3],
                const QList<double>& values, int significantBits = 0, bool gzip = false)
{
    std::vector<uint8_t> data(size_t(values.size()) * IcsGetDataTypeSize(type));
    for (qsizetype i = 0; i < values.size(); ++i) {
        const double v = values[i];
        uint8_t* p = data.data() + size_t(i) * IcsGetDataTypeSize(type);
        type == Ics_uint8    ? qToUnaligned(uint8_t(v), p)
        : type == Ics_uint16 ? qToUnaligned(uint16_t(v), p)
        : type == Ics_sint16 ? qToUnaligned(int16_t(v), p)
        : type == Ics_uint32 ? qToUnaligned(uint32_t(v), p)
        : type == Ics_sint32 ? qToUnaligned(int32_t(v), p)
        : type == Ics_real32 ? qToUnaligned(float(v), p)
                             : qToUnaligned(v, p);
    }
    const IcsLocaleScope cLocale;
    ICS* ics = nullptr;
    Ics_Error error = IcsOpen(&ics, Std(path).c_str(), "w1");
    if (error == IcsErr_Ok) error = IcsSetLayout(ics, type, 3, dims);
    if (error == IcsErr_Ok && significantBits) error = IcsSetSignificantBits(ics, significantBits);
    if (error == IcsErr_Ok) error = IcsSetData(ics, data.data(), data.size());
    if (error == IcsErr_Ok && gzip) error = IcsSetCompression(ics, IcsCompr_gzip, 6);
    if (ics && IcsClose(ics) != IcsErr_Ok) return false;
    return error == IcsErr_Ok;
}

QList<double> RandomValues(size_t count, double low, double high, quint32 seed, bool integers)
{
    QRandomGenerator random(seed);
    QList<double> values(qsizetype(count), 0);
    for (double& v : values) {
        v = low + random.generateDouble() * (high - low);
        if (integers) v = std::min(std::floor(v), high);
    }
    return values;
}

QByteArray Bytes(const ByteVolume& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.Data), qsizetype(v.VoxelCount()));
}

QByteArray Bytes(const VolumeSamples& s)
{
    return QByteArray(reinterpret_cast<const char*>(s.Bytes.data()), qsizetype(s.Bytes.size()));
}

/** Samples of `kind` holding `values` in storage order. */
VolumeSamples MakeSamples(int16_t kind, int32_t x, int32_t y, int32_t z,
                          const QList<double>& values)
{
    VolumeSamples samples{kind, x, y, z, {}};
    samples.Bytes.resize(size_t(values.size()) * size_t(samples.ElementBytes()));
    for (qsizetype i = 0; i < values.size(); ++i) {
        uint8_t* p = samples.Bytes.data() + i * samples.ElementBytes();
        if (kind == ImageKind16) qToUnaligned(uint16_t(values[i]), p);
        if (kind == ImageKind32) qToUnaligned(int32_t(values[i]), p);
        if (kind == ImageKindFloat) qToUnaligned(float(values[i]), p);
    }
    return samples;
}

const size_t Small[3] = {2, 2, 2};
const SlicePlane Planes[] = {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side};

} // namespace

class TestVolumeSamples : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QString Path(const QString& name) const { return dir_.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        std::setlocale(LC_ALL, "C.UTF-8");
    }

    void samplesKeepTheirValues_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QList<double>>("written");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QList<double>>("kept");
        const double i32min = std::numeric_limits<int32_t>::min(), i32max = INT32_MAX;
        const QList<double> twelve{0, 1, 4095, 2048, 17, 4000, 3, 1234};
        const QList<double> s16{-32768, -1, 0, 1, 32767, -300, 5, -2};
        const QList<double> s32{i32min, -1, 0, i32max, 65536, -65537, 7, 1e9};
        const QList<double> r32{-1.5, 0, 0x1p-22, 0x1p100, -0x1p-126, 255.75, 1, -0x1.fffffep127};
        QTest::newRow("uint16, 12 of 16 bits")
            << int(Ics_uint16) << 12 << twelve << int(ImageKind16) << twelve;
        QTest::newRow("sint16") << int(Ics_sint16) << 0 << s16 << int(ImageKind32) << s16;
        QTest::newRow("uint32 within int32")
            << int(Ics_uint32) << 0 << QList<double>{0, 1, i32max, 9, 70000, 2, 3, 4}
            << int(ImageKind32) << QList<double>{0, 1, i32max, 9, 70000, 2, 3, 4};
        // One sample above INT32_MAX turns all into floats, rounded to 24 bits.
        QTest::newRow("uint32 above int32")
            << int(Ics_uint32) << 0
            << QList<double>{0, 2147483648.0, 4294967295.0, 16777217, 3, 3000000000.0, 1, 2}
            << int(ImageKindFloat)
            << QList<double>{0, 2147483648.0, 4294967296.0, 16777216, 3, 3000000000.0, 1, 2};
        QTest::newRow("sint32") << int(Ics_sint32) << 0 << s32 << int(ImageKind32) << s32;
        QTest::newRow("real32") << int(Ics_real32) << 0 << r32 << int(ImageKindFloat) << r32;
        QTest::newRow("real64") << int(Ics_real64) << 0
                                << QList<double>{0.5, -2.25, 0.1, 1e300, -7, 1, 2, 1e-3}
                                << int(ImageKindFloat)
                                << QList<double>{0.5, -2.25, double(0.1f), HUGE_VAL, -7,
                                                 1,   2,     double(1e-3f)};
        QTest::newRow("uint8: none")
            << int(Ics_uint8) << 0 << QList<double>{0, 255, 1, 2, 3, 4, 5, 6} << 0
            << QList<double>{};
    }

    void samplesKeepTheirValues()
    {
        QFETCH(int, type);
        QFETCH(int, bits);
        QFETCH(QList<double>, written);
        QFETCH(int, kind);
        QFETCH(QList<double>, kept);
        const QString path = Path(QString("typed%1.ics").arg(QTest::currentDataTag()).remove(' '));
        QVERIFY(WriteTyped(path, Ics_DataType(type), Small, written, bits));
        ByteVolume plain, loaded;
        std::string plainMessage, message;
        VolumeSamples samples = MakeSamples(ImageKind16, 1, 1, 1, {9}); // stale
        const int32_t plainCode = plain.Load(Std(path), &plainMessage);
        QCOMPARE(loaded.Load(Std(path), &message, {{}, &samples, nullptr}), plainCode);
        QCOMPARE(message, plainMessage);
        QVERIFY(Bytes(loaded) == Bytes(plain));
        QCOMPARE(int(samples.Kind), kind);
        QCOMPARE(samples.Empty(), kept.isEmpty());
        for (qsizetype i = 0; i < kept.size(); ++i) {
            const double value = samples.Value(i % 2, i / 2 % 2, i / 4);
            QVERIFY2(value == kept[i], qPrintable(QString("sample %1: %2, not %3")
                                                      .arg(i)
                                                      .arg(value, 0, 'g', 17)
                                                      .arg(kept[i], 0, 'g', 17)));
        }
    }

    void blockReadsMatchThePlainLoad_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("gzip");
        QTest::newRow("uint8") << int(Ics_uint8) << false;
        QTest::newRow("uint16 gzip") << int(Ics_uint16) << true;
        QTest::newRow("real32, one read") << int(Ics_real32) << false;
        QTest::newRow("real64, two reads") << int(Ics_real64) << false;
        QTest::newRow("raw file") << int(Ics_unknown) << false;
    }

    void blockReadsMatchThePlainLoad()
    {
        QFETCH(int, type);
        QFETCH(bool, gzip);
        // More samples than one block (2^20) or raw chunk (16 MiB) holds.
        const size_t dims[3] = {1031, 1024, size_t(type == Ics_unknown ? 17 : 2)};
        QString path = Path(QString("blocks%1%2.ics").arg(type).arg(gzip));
        QList<double> values;
        if (type == Ics_unknown) {
            ByteVolume raw;
            FillRandom(raw, int32_t(dims[0]), int32_t(dims[1]), int32_t(dims[2]), 5);
            path = Path("blocks.raw");
            QCOMPARE(raw.SaveRaw(Std(path)), 0);
        } else {
            values = RandomValues(dims[0] * dims[1] * dims[2], 0, type == Ics_uint8 ? 255 : 60000,
                                  3, type != Ics_real32 && type != Ics_real64);
            QVERIFY(WriteTyped(path, Ics_DataType(type), dims, values, 0, gzip));
        }
        ByteVolume plain, loaded;
        QCOMPARE(plain.Load(Std(path)), ByteVolume::LoadOk);
        VolumeSamples samples;
        std::vector<double> fractions;
        const auto record = [&](double f) { return fractions.push_back(f), true; };
        QCOMPARE(loaded.Load(Std(path), nullptr, {record, &samples, nullptr}), ByteVolume::LoadOk);
        QVERIFY(Bytes(loaded) == Bytes(plain));
        QVERIFY(fractions.size() > 1 && fractions.back() == 1.0);
        QVERIFY(std::is_sorted(fractions.begin(), fractions.end()) && fractions.front() > 0);
        if (type == Ics_uint16 || type == Ics_real32 || type == Ics_real64)
            for (size_t i = 0; i < size_t(values.size()); i += 997)
                QCOMPARE(samples.Value(i % dims[0], i / dims[0] % dims[1], i / dims[0] / dims[1]),
                         type == Ics_uint16 ? values[i] : double(float(values[i])));
    }

    void dimWideSamplesWarn()
    {
        // Wide samples that all reduced to one voxel loaded without a word (in[1]: 32-bit).
        const QList<double> in[] = {{3, 199, 17}, {0, 16777215, 9}, {0, 65535, 9}, {7, 7, 7}};
        const std::string want[] = {"its 16-bit samples (3 to 199) all reduce to the same "
                                    "8-bit voxel (0); the figure is computed on the 8-bit voxels",
                                    "its 32-bit samples (0 to 16777215) all reduce", "", ""};
        for (int i = 0; i < 4; ++i) {
            QVERIFY(WriteTyped(Path("d.ics"), i == 1 ? Ics_uint32 : Ics_uint16, {3, 1, 1}, in[i]));
            std::string text;
            QVERIFY(ByteVolume().Load(Std(Path("d.ics")), &text) == ByteVolume::LoadOk &&
                    text.starts_with(want[i]) && text.empty() == want[i].empty());
        }
    }

    void cancelledAndRefusedLoadsChangeNothing_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("code");
        for (const char* file : {"c8.ics", "c16.ics", "c64.ics", "c.raw"})
            QTest::newRow(file) << QString(file) << int(ByteVolume::LoadCancelled);
        QTest::newRow("1-D image") << "flat.ics" << int(ByteVolume::LoadFailed);
        QTest::newRow("missing") << "none.ics" << int(ByteVolume::LoadFailed);
    }

    void cancelledAndRefusedLoadsChangeNothing()
    {
        QFETCH(QString, file);
        QFETCH(int, code);
        const QList<double> values = RandomValues(60, 0, 200, 8, true);
        const size_t dims[3] = {5, 4, 3}, flat[1] = {60};
        const Ics_DataType type = file == "c16.ics"   ? Ics_uint16
                                  : file == "c64.ics" ? Ics_real64
                                                      : Ics_uint8;
        if (file.startsWith('c') && file.endsWith(".ics"))
            QVERIFY(WriteTyped(Path(file), type, dims, values));
        if (file == "c.raw") {
            ByteVolume raw;
            FillRandom(raw, 5, 4, 3, 2);
            QCOMPARE(raw.SaveRaw(Std(Path(file))), 0);
        }
        if (file == "flat.ics") {
            const IcsLocaleScope cLocale;
            ICS* ics = nullptr;
            QCOMPARE(IcsOpen(&ics, Std(Path(file)).c_str(), "w1"), IcsErr_Ok);
            QCOMPARE(IcsSetLayout(ics, Ics_uint8, 1, flat), IcsErr_Ok);
            // libics writes the data at IcsClose: the buffer must live until then.
            const std::vector<uint8_t> zeros(60);
            QCOMPARE(IcsSetData(ics, zeros.data(), zeros.size()), IcsErr_Ok);
            QCOMPARE(IcsClose(ics), IcsErr_Ok);
        }
        ByteVolume volume;
        FillRandom(volume, 3, 2, 2, 9);
        const QByteArray voxels = Bytes(volume);
        VolumeSamples samples = MakeSamples(ImageKind32, 3, 2, 2, RandomValues(12, -9, 9, 1, true));
        const QByteArray sampleBytes = Bytes(samples);
        VoxelSpacing spacing{{0.5, 2, 3}, {"a", "b", "c"}, true};
        int calls = 0;
        const auto cancel = [&](double) { return ++calls, false; };
        QCOMPARE(volume.Load(Std(Path(file)), nullptr, {cancel, &samples, &spacing}), code);
        QCOMPARE(calls, code == ByteVolume::LoadCancelled ? 1 : 0);
        QVERIFY(volume.SizeX == 3 && volume.SizeZ == 2 && Bytes(volume) == voxels);
        QVERIFY(samples.Kind == ImageKind32 && samples.SizeX == 3 && Bytes(samples) == sampleBytes);
        QVERIFY(spacing.Known && spacing.Size[0] == 0.5 && spacing.Units[2] == "c");
    }

    void spacingFromTheHeader_data()
    {
        QTest::addColumn<QString>("scale");
        QTest::addColumn<QString>("units");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QList<double>>("sizes");
        QTest::addColumn<QStringList>("names");
        const QStringList none{"", "", ""};
        QTest::newRow("scale and units")
            << "1\t0.5\t0.25\t2"
            << "relative\tmicrometer\tum\tnm" << true << QList<double>{0.5, 0.25, 2}
            << QStringList{"micrometer", "um", "nm"};
        QTest::newRow("units alone") << "1\t1\t1\t1"
                                     << "relative\tum\tum\tum" << true << QList<double>{1, 1, 1}
                                     << QStringList{"um", "um", "um"};
        QTest::newRow("scale alone") << "1\t0.2\t0.2\t1"
                                     << "relative\tundefined\tundefined\tundefined" << true
                                     << QList<double>{0.2, 0.2, 1} << none;
        QTest::newRow("libics defaults") << "1\t1\t1\t1"
                                         << "relative\tundefined\tundefined\tundefined" << false
                                         << QList<double>{1, 1, 1} << none;
        QTest::newRow("no lines") << ""
                                  << "" << false << QList<double>{1, 1, 1} << none;
        for (const char* bad : {"0", "-0.5", "nan", "inf"})
            QTest::newRow(bad) << QString("1\t0.5\t%1\t2").arg(bad) << "relative\tum\tum\tum"
                               << false << QList<double>{1, 1, 1} << none;
    }

    void spacingFromTheHeader()
    {
        QFETCH(QString, scale);
        QFETCH(QString, units);
        QFETCH(bool, known);
        QFETCH(QList<double>, sizes);
        QFETCH(QStringList, names);
        const QString path = Path("spaced.ics");
        QVERIFY(WriteTyped(path, Ics_uint8, Small, QList<double>(8, 1)));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromLatin1(file.readAll()).split('\n');
        file.close();
        lines.removeIf([](const QString& l) {
            return l.startsWith("parameter\tscale") || l.startsWith("parameter\tunits");
        });
        if (!scale.isEmpty())
            lines.insert(lines.size() - 1,
                         "parameter\tscale\t" + scale + "\nparameter\tunits\t" + units);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(lines.join('\n').toLatin1());
        file.close();
        ByteVolume volume;
        VoxelSpacing spacing{{7, 7, 7}, {"x", "y", "z"}, !known};
        QCOMPARE(volume.Load(Std(path), nullptr, {{}, nullptr, &spacing}), ByteVolume::LoadOk);
        QCOMPARE(spacing.Known, known);
        for (int d = 0; d < 3; ++d) {
            QCOMPARE(spacing.Size[d], sizes[d]);
            QCOMPARE(QString::fromStdString(spacing.Units[d]), names[d]);
        }
    }

    void sampleSlicesShowTheSamples_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("16-bit") << int(ImageKind16);
        QTest::newRow("32-bit") << int(ImageKind32);
        QTest::newRow("float") << int(ImageKindFloat);
    }

    void sampleSlicesShowTheSamples()
    {
        QFETCH(int, kind);
        constexpr int X = 7, Y = 5, Z = 4;
        ByteVolume volume, other;
        FillRandom(volume, X, Y, Z, 4);
        const VolumeSamples samples =
            MakeSamples(int16_t(kind), X, Y, Z,
                        RandomValues(X * Y * Z, kind == ImageKind16 ? 0 : -9e4, 6e4, 6,
                                     kind != ImageKindFloat));
        SliceModel model(&volume);
        const QByteArray top8 =
            QByteArray(reinterpret_cast<const char*>(model.Slice(SlicePlane::Top)->Data), X * Y);
        QVERIFY(model.SetSamples(&samples));
        const uint8_t* begin = samples.Bytes.data();
        const uint8_t* end = begin + samples.Bytes.size();
        for (SlicePlane plane : Planes)
            for (int position : {0, model.Positions(plane) - 1}) {
                model.SetPosition(plane, position);
                const ImageStruct* slice = model.SampleSlice(plane);
                QVERIFY(slice && ImageKind(slice) == kind);
                QCOMPARE(slice->XSize, model.SliceWidth(plane));
                QCOMPARE(slice->YSize, model.SliceHeight(plane));
                const bool inSamples = slice->Data >= begin && slice->Data < end;
                QCOMPARE(inSamples, plane != SlicePlane::Side);
                QCOMPARE(model.IsSampleReference(plane), plane != SlicePlane::Side);
                for (int v = 0; v < slice->YSize; ++v)
                    for (int u = 0; u < slice->XSize; ++u) {
                        const auto [x, y, z] = model.VoxelAt(plane, u, v);
                        const uint8_t* p = slice->Data + int64_t(v) * slice->LineStep;
                        const double shown =
                            kind == ImageKind16   ? qFromUnaligned<uint16_t>(p + 2 * u)
                            : kind == ImageKind32 ? qFromUnaligned<int32_t>(p + 4 * u)
                                                  : qFromUnaligned<float>(p + 4 * u);
                        QCOMPARE(shown, samples.Value(x, y, z));
                        QCOMPARE(model.SampleAt(plane, u, v), shown);
                    }
            }
        // The 8-bit slices stay as they were.
        model.SetPosition(SlicePlane::Top, (Z - 1) / 2);
        QVERIFY(QByteArray(reinterpret_cast<const char*>(model.Slice(SlicePlane::Top)->Data),
                           X * Y) == top8);
        QVERIFY(std::isnan(model.SampleAt(SlicePlane::Top, X, 0)));
        // Samples of other sizes are refused and dropped with a volume of other sizes.
        const VolumeSamples wrong =
            MakeSamples(int16_t(kind), X, Y, Z + 1, QList<double>(X * Y * (Z + 1), 1));
        QVERIFY(!model.SetSamples(&wrong));
        QCOMPARE(model.SampleSlice(SlicePlane::Side), model.Slice(SlicePlane::Side));
        QVERIFY(model.SetSamples(&samples));
        FillRandom(other, X, Y, Z + 1, 7);
        model.SetVolume(&other);
        QVERIFY(!model.Samples());
        QCOMPARE(model.SampleAt(SlicePlane::Front, 1, 2),
                 double(other.Voxel(1, model.Position(SlicePlane::Front), 2)));
    }

    void percentileIsTheRankedSample_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<double>("value");
        // 100 voxels: 56 of 5, 34 of 7, 9 of 9, one 200; the k-th smallest, k = fraction ·
        // 100 rounded up (0.56 · 100 is a little above 56 in doubles).
        const QList<QPair<double, double>> rows{{0, 5},    {0.56, 5}, {0.57, 7},    {0.9, 7},
                                                {0.91, 9}, {0.99, 9}, {0.991, 200}, {1, 200}};
        for (const auto& [fraction, value] : rows)
            QTest::addRow("%g", fraction) << fraction << value;
    }

    void percentileIsTheRankedSample()
    {
        QFETCH(double, fraction);
        QFETCH(double, value);
        ByteVolume volume;
        volume.Allocate(10, 5, 2);
        QRandomGenerator random(3);
        for (int i = 0; i < 100; ++i)
            volume.Data[i] = i < 56 ? 5 : i < 90 ? 7 : i < 99 ? 9 : 200;
        std::shuffle(volume.Data, volume.Data + 100, random);
        const SampleHistogram h = ComputeHistogram(volume, nullptr);
        QCOMPARE(h.Percentile(fraction), value);
        QVERIFY(h.Low == 5 && h.High == 200 && h.Total == 100 && h.Counts[7] == 34);
    }

    void histogramPercentiles_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::addColumn<double>("tolerance"); // 0: exact
        QTest::newRow("8-bit voxels") << 0 << 0.0 << 255.0 << 0.0;
        QTest::newRow("16-bit, 12 bits used") << int(ImageKind16) << 0.0 << 4095.0 << 0.0;
        QTest::newRow("16-bit, full range") << int(ImageKind16) << 0.0 << 65535.0 << 16.0;
        QTest::newRow("32-bit, narrow") << int(ImageKind32) << -2000.0 << 2095.0 << 0.0;
        QTest::newRow("32-bit, wide") << int(ImageKind32) << -2e9 << 2e9 << 1e6;
        QTest::newRow("float") << int(ImageKindFloat) << -3.5 << 1e4 << 1e4 / 4096;
    }

    void histogramPercentiles()
    {
        QFETCH(int, kind);
        QFETCH(double, low);
        QFETCH(double, high);
        QFETCH(double, tolerance);
        constexpr int X = 64, Y = 50, Z = 40;
        QList<double> values = RandomValues(X * Y * Z, low, high, 11, kind != ImageKindFloat);
        values[5] = low;
        values[6] = high;
        ByteVolume volume;
        volume.Allocate(X, Y, Z);
        for (qsizetype i = 0; i < values.size(); ++i)
            volume.Data[i] = kind ? 0 : uint8_t(values[i]);
        VolumeSamples samples = MakeSamples(int16_t(kind), X, Y, Z, values);
        if (kind == ImageKindFloat) // Not-finite samples count nowhere.
            for (int i : {7, 8})
                qToUnaligned(i == 7 ? NAN : -INFINITY, samples.Bytes.data() + 4 * i);
        const SampleHistogram h = ComputeHistogram(volume, kind ? &samples : nullptr);
        std::vector<double> sorted;
        for (qsizetype i = 0; i < values.size(); ++i)
            if (kind != ImageKindFloat)
                sorted.push_back(values[i]);
            else if (i != 7 && i != 8)
                sorted.push_back(double(float(values[i])));
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(h.Total, uint64_t(sorted.size()));
        QCOMPARE(h.Low, sorted.front());
        QCOMPARE(h.High, sorted.back());
        QVERIFY(h.Counts.size() <= 4096 && (kind || h.Counts.size() == 256));
        for (double f : {0.0, 0.001, 0.25, 0.5, 0.999, 1.0}) {
            const double expected =
                sorted[std::max<size_t>(size_t(std::ceil(f * sorted.size())), 1) - 1];
            QVERIFY2(
                std::abs(h.Percentile(f) - expected) <= tolerance,
                qPrintable(QString("%1: %2, not %3").arg(f).arg(h.Percentile(f)).arg(expected)));
        }
        // Cancelled at the first report: nothing counted.
        const SampleHistogram cancelled =
            ComputeHistogram(volume, kind ? &samples : nullptr, [](double) { return false; });
        QVERIFY(cancelled.Total == 0 && cancelled.Counts.empty());
    }
};

QTEST_GUILESS_MAIN(TestVolumeSamples)
#include "tst_volumesamples.moc"
