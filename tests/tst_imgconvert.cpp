// The conversions between element kinds, compared pixel by pixel with the documented
// formulas written out plainly below: on edge values, every 8- and 16-bit value,
// random images, the floats around each level's threshold, images of either row
// order, sub-rectangles and mismatched sizes.

#include "imgkernel.h"

#include <QTest>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr float Inf = std::numeric_limits<float>::infinity();
using D = ImageStruct*;
using S = const ImageStruct*;

/** A conversion: what it reads (complex: 'r'eal, 'i'maginary or 'p'ower) and writes. */
struct Conversion
{
    const char* name;
    int16_t from, to;
    bool (*run)(D, S, float, float);
    char reads = 'r';
    bool log = false;
    uint32_t tint = 0xFFFFFF; // RGB to RGB
};

template <bool (*F)(D, S)> bool NoWindow(D d, S s, float, float)
{
    return F(d, s);
}

template <uint32_t Tint> bool Tinted(D d, S s, float min, float max)
{
    return ImageRGBToImageRGBColor(d, s, Tint, min, max);
}

const Conversion Conversions[] = {
    {"8", ImageKind8, ImageKind8, Image8ToImage8},
    {"16", ImageKind16, ImageKind8, Image16ToImage8},
    {"32", ImageKind32, ImageKind8, Image32ToImage8},
    {"RGB", ImageKindRGB, ImageKind8, ImageRGBToImage8},
    {"float", ImageKindFloat, ImageKind8, ImageFloatToImage8},
    {"re", ImageKindComplex, ImageKind8, ImageComplexReToImage8},
    {"im", ImageKindComplex, ImageKind8, ImageComplexImToImage8, 'i'},
    {"power", ImageKindComplex, ImageKind8, ImageComplexPowerToImage8, 'p'},
    {"log float", ImageKindFloat, ImageKind8, ImageFloatLogToImage8, 'r', true},
    {"log re", ImageKindComplex, ImageKind8, ImageComplexReLogToImage8, 'r', true},
    {"log im", ImageKindComplex, ImageKind8, ImageComplexImLogToImage8, 'i', true},
    {"log power", ImageKindComplex, ImageKind8, ImageComplexPowerLogToImage8, 'p', true},
    {"RGB-RGB", ImageKindRGB, ImageKindRGB, ImageRGBToImageRGB},
    {"RGB tinted", ImageKindRGB, ImageKindRGB, Tinted<0xC81E64>, 'r', false, 0xC81E64},
    {"RGB blue", ImageKindRGB, ImageKindRGB, Tinted<0xFF0001>, 'r', false, 0xFF0001},
    {"to 16", ImageKind8, ImageKind16, NoWindow<Image8ToImage16>},
    {"to 32", ImageKind8, ImageKind32, NoWindow<Image8ToImage32>},
    {"to float", ImageKind8, ImageKindFloat, NoWindow<Image8ToImageFloat>},
    {"to complex", ImageKind8, ImageKindComplex, NoWindow<Image8ToImageComplex>},
    {"to RGB", ImageKind8, ImageKindRGB, NoWindow<Image8ToImageRGB>},
};
constexpr int Count = int(std::size(Conversions));
const int16_t Kinds[] = {ImageKind8,     ImageKind16,  ImageKind32,
                         ImageKindFloat, ImageKindRGB, ImageKindComplex};

// --- the documented formulas, per pixel ----------------------------------------------

uint8_t Display(double t)
{
    if (t < 1 || std::isnan(t)) return 0;
    if (t >= 255) return 255;
    return uint8_t(std::trunc(t));
}

uint8_t Linear(double s, float min, float max)
{
    if (max == min) return s >= min ? 255 : 0;
    if (min > max ? s <= max : s >= max) return 255; // Max itself: 255, however rounded
    const double factor = 255 / (double(max) - double(min));
    return Display((s - min) * factor);
}

uint8_t Logarithmic(double s, float min, float max)
{
    if (max == min) return s >= min ? 255 : 0;
    if (min > max ? s <= max : s >= max) return 255; // Max itself: 255, however rounded
    const double q = min < max ? s - min : min - s;
    const double w = std::fabs(double(max) - double(min));
    return Display(255.0 * std::log1p(std::max(0.0, q)) / std::log1p(w));
}

template <typename T> T Get(const uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/** The bytes of an element. */
struct Element
{
    uint8_t bytes[8];
    size_t count;
    const uint8_t* data() const { return bytes; }
    size_t size() const { return count; }
};

template <typename T> Element Bytes(T v)
{
    Element e{{}, sizeof v};
    std::memcpy(e.bytes, &v, sizeof v);
    return e;
}

/** The value the window reads from the source element at `s`. */
double Value(const Conversion& c, const uint8_t* s)
{
    const auto half = [&](int i) { return double(Get<float>(s + 4 * i)); };
    if (c.from == ImageKind8) return s[0];
    if (c.from == ImageKind16) return Get<uint16_t>(s);
    if (c.from == ImageKind32) return Get<int32_t>(s);
    if (c.from == ImageKindRGB) return (299 * s[2] + 587 * s[1] + 114 * s[0]) / 1000;
    if (c.from == ImageKindFloat || c.reads == 'r') return half(0);
    return c.reads == 'i' ? half(1) : half(0) * half(0) + half(1) * half(1);
}

/** The bytes the conversion should write for the source element at `s`. */
Element Expected(const Conversion& c, const uint8_t* s, float min, float max)
{
    const unsigned v = s[0];
    if (c.to == ImageKind8) return Bytes((c.log ? Logarithmic : Linear)(Value(c, s), min, max));
    if (c.to == ImageKind16) return Bytes(uint16_t(v));
    if (c.to == ImageKind32) return Bytes(int32_t(v));
    if (c.to == ImageKindFloat) return Bytes(float(v));
    if (c.to == ImageKindComplex) return Bytes(std::pair<float, float>(float(v), 0.0f));
    if (c.from == ImageKind8) return Bytes(v * 0x010101u);
    uint32_t pixel = 0; // blue scaled by the tint's BB, red by its RR; the 4th byte 0
    for (int i = 0; i < 3; ++i)
        pixel |= Linear(s[i], min, max) * ((c.tint >> (16 - 8 * i)) & 0xFF) / 255 << (8 * i);
    return Bytes(pixel);
}

// --- images ------------------------------------------------------------------------

ImagePtr New(int16_t kind, int w, int h)
{
    const auto make = kind == ImageKind8       ? NewImage8
                      : kind == ImageKind16    ? NewImage16
                      : kind == ImageKind32    ? NewImage32
                      : kind == ImageKindFloat ? NewImageFloat
                      : kind == ImageKindRGB   ? NewImageRGB
                                               : NewImageComplex;
    return ImagePtr(make(w, h));
}

/** A record of `image`'s pixels in the other row order (row 0 is its last row). */
ImageStruct Flipped(const ImageStruct* image)
{
    ImageStruct view = *image;
    view.Memory = nullptr;
    view.Data = image->Data + std::ptrdiff_t(image->YSize - 1) * image->LineStep;
    view.LineStep = -image->LineStep;
    return view;
}

uint8_t* At(const ImageStruct* image, int x, int y)
{
    return image->Data + std::ptrdiff_t(y) * image->LineStep + x * ImageElementBytes(image);
}

/** An image's whole pixel block, row padding included. */
QByteArray Block(const ImageStruct* image)
{
    const auto* first = image->LineStep < 0 ? At(image, 0, image->YSize - 1) : image->Data;
    return QByteArray(reinterpret_cast<const char*>(first),
                      qsizetype(std::abs(image->LineStep)) * image->YSize);
}

uint32_t Bits(float f)
{
    return std::bit_cast<uint32_t>(f);
}

/** Float bit patterns in value order (both zeros at 2^31) and back. */
uint32_t Ordinal(float f)
{
    const uint32_t u = Bits(f);
    return u >> 31 ? 0x80000000u - (u & 0x7FFFFFFF) : 0x80000000u + u;
}

float AtOrdinal(uint32_t o)
{
    return std::bit_cast<float>(o >= 0x80000000u ? o - 0x80000000u
                                                 : 0x80000000u | (0x80000000u - o));
}

/**
 * The floats where the level of a float-valued conversion changes, found by bisection
 * over the bit patterns in value order (for powers: the real components whose squares do).
 */
std::vector<float> Changes(const Conversion& c, float min, float max)
{
    const bool power = c.reads == 'p';
    const auto level = [&](uint32_t o) {
        const double v = AtOrdinal(o);
        return (c.log ? Logarithmic : Linear)(power ? v * v : v, min, max);
    };
    const uint32_t first = Ordinal(power ? 0.0f : -Inf), last = Ordinal(Inf);
    const bool falls = level(first) > level(last);
    std::vector<float> changes;
    for (int k = 1; k < 256; ++k) {
        const auto reached = [&](uint32_t o) { return (level(o) >= k) != falls; };
        uint32_t lo = first, hi = last;
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            reached(mid) ? hi = mid : lo = mid + 1;
        }
        if (reached(lo) && (changes.empty() || AtOrdinal(lo) != changes.back()))
            changes.push_back(AtOrdinal(lo));
    }
    return changes;
}

/**
 * Complex elements whose power re² + im² is exactly each double next to where the level
 * of the power changes (found by bisection over the doubles ≥ 0, in value order).
 */
std::vector<uint64_t> ExactPowers(const Conversion& c, float min, float max)
{
    const auto level = [&](uint64_t o) {
        return (c.log ? Logarithmic : Linear)(std::bit_cast<double>(o), min, max);
    };
    const uint64_t last = std::bit_cast<uint64_t>(double(Inf));
    const bool falls = level(0) > level(last);
    std::vector<uint64_t> pairs;
    for (int k = 1; k < 256; ++k) {
        uint64_t lo = 0, hi = last;
        while (lo < hi) {
            const uint64_t mid = lo + (hi - lo) / 2;
            (level(mid) >= k) != falls ? hi = mid : lo = mid + 1;
        }
        for (uint64_t o = std::max<uint64_t>(lo, 1) - 1; o <= lo + 1 && o < last; ++o) {
            const double p = std::bit_cast<double>(o);
            float re = float(std::sqrt(p));
            for (int n = 0; n < 32 && std::isfinite(re); ++n, re = std::nextafter(re, 0.0f)) {
                const float im = float(std::sqrt(std::max(0.0, p - double(re) * re)));
                for (float i : {std::nextafter(im, 0.0f), im, std::nextafter(im, Inf)})
                    if (double(re) * re + double(i) * i == p)
                        pairs.push_back(Bits(re) | uint64_t(Bits(i)) << 32);
            }
        }
    }
    return pairs;
}

/**
 * Source elements (their bytes in a uint64): every 8- and 16-bit value; otherwise edge
 * values, values near where the window's levels change (for floats every bit pattern
 * within 64 of each change) and random ones.
 */
std::vector<uint64_t> Pool(const Conversion& c, float min, float max, std::mt19937_64& rng)
{
    std::vector<uint64_t> pool;
    const int16_t kind = c.from;
    if (kind == ImageKind8 || kind == ImageKind16) {
        for (uint64_t v = 0; v < (kind == ImageKind8 ? 256u : 65536u); ++v)
            pool.push_back(v);
        return pool;
    }
    std::vector<float> floats = {0.0f,     -0.0f,   1,   -1,   255, 65535, FLT_MAX,
                                 -FLT_MAX, FLT_MIN, Inf, -Inf, min, max};
    for (uint32_t bits : {0x1u, 0x807FFFFFu, 0x7FC00000u, 0xFFC00001u, 0x7F800001u})
        floats.push_back(std::bit_cast<float>(bits)); // denormals, NaNs
    for (int k = 0; k < 256; ++k) {
        const float at = float(min + (double(max) - double(min)) * k / 255);
        float down = at, up = at;
        for (int n = 0; n < 3; ++n, down = std::nextafter(down, -Inf), up = std::nextafter(up, Inf))
            floats.insert(floats.end(), {down, up});
    }
    if (kind == ImageKindFloat || kind == ImageKindComplex)
        for (float at : Changes(c, min, max))
            for (int d = -64; d <= 64; ++d)
                floats.push_back(AtOrdinal(Ordinal(at) + uint32_t(d)));
    double lo = std::min(min, max), span = std::fabs(double(max) - double(min)) + 1;
    if (!std::isfinite(span)) lo = -1e6, span = 2e6;
    std::uniform_real_distribution<double> near(lo - span / 4, lo + span * 1.25);
    for (int i = 0; i < 4000; ++i)
        floats.push_back(i % 2 ? float(near(rng)) : std::bit_cast<float>(uint32_t(rng())));

    if (kind == ImageKind32) {
        for (int32_t v : {INT32_MIN, INT32_MIN + 1, -1, INT32_MAX - 1, INT32_MAX})
            pool.push_back(uint32_t(v));
        for (float f : floats)
            for (int d = -2; d <= 2 && !std::isnan(f); ++d)
                pool.push_back(uint32_t(int32_t(
                    std::clamp<double>(std::trunc(f) + d, double(INT32_MIN), double(INT32_MAX)))));
    }
    if (c.reads == 'p') pool = ExactPowers(c, min, max);
    const uint32_t pixels[] = {0, 0xFFFFFFFF, 0xFF, 0xFF00, 0xFF0000, 0xFF000000, 0xFFFFFF};
    for (int i = 0; i < 4000 && (kind == ImageKindRGB || kind == ImageKind32); ++i)
        pool.push_back(i < 7 ? pixels[i] : uint32_t(rng()));
    for (float f : floats) {
        const uint64_t other = rng() % 3 ? Bits(floats[rng() % floats.size()]) : 0;
        if (kind == ImageKindFloat) pool.push_back(Bits(f));
        // complex: every float as either component, with a random or zero companion
        if (kind == ImageKindComplex)
            pool.insert(pool.end(), {Bits(f) | other << 32, other | uint64_t(Bits(f)) << 32});
    }
    return pool;
}

/** Fills `image` with the pool in order, then with random picks from it. */
void Fill(ImageStruct* image, const std::vector<uint64_t>& pool, std::mt19937_64& rng)
{
    size_t i = 0;
    for (int y = 0; y < image->YSize; ++y)
        for (int x = 0; x < image->XSize; ++x, ++i)
            std::memcpy(At(image, x, y), &pool[i < pool.size() ? i : rng() % pool.size()],
                        size_t(ImageElementBytes(image)));
}

/** Compares every pixel of the common rectangle with the formulas. */
void Check(const Conversion& c, const ImageStruct* d, const ImageStruct* s, float min, float max)
{
    for (int y = 0; y < std::min(d->YSize, s->YSize); ++y)
        for (int x = 0; x < std::min(d->XSize, s->XSize); ++x) {
            const Element want = Expected(c, At(s, x, y), min, max);
            const auto hex = [](const uint8_t* p, size_t n) {
                return QByteArray(reinterpret_cast<const char*>(p), qsizetype(n)).toHex();
            };
            if (std::memcmp(At(d, x, y), want.data(), want.size()) != 0)
                QFAIL(qPrintable(QStringLiteral("(%1, %2): source %3, got %4, want %5")
                                     .arg(x)
                                     .arg(y)
                                     .arg(hex(At(s, x, y), size_t(ImageElementBytes(s))),
                                          hex(At(d, x, y), want.size()),
                                          hex(want.data(), want.size()))));
        }
}

} // namespace

class TestImgConvert : public QObject
{
    Q_OBJECT

private slots:
    void matchesFormula_data();
    void matchesFormula();
    void writesOnlyTheCommonRectangle_data();
    void writesOnlyTheCommonRectangle();
    void wrongKindsWriteNothing_data();
    void wrongKindsWriteNothing();
    void windowEndsAreExact();
};

void TestImgConvert::matchesFormula_data()
{
    QTest::addColumn<int>("conversion");
    QTest::addColumn<float>("min");
    QTest::addColumn<float>("max");
    const struct
    {
        const char* name;
        float min, max;
    } windows[] = {{"bytes", 0, 255},
                   {"factor short of 255", 0, 100}, // 100 · (255 / 100) < 255
                   {"logarithm short of 255", 0, 13},
                   {"inverted, short of 255", 100, 0},
                   {"ordinary", 1000, 40000},
                   {"inverted", 40000, 1000},
                   {"step", 100, 100},
                   {"step at -0", -0.0f, 0.0f},
                   {"fractional", 0.25f, 3.75f},
                   {"tiny", -1e-3f, 2e-3f},
                   {"huge", -FLT_MAX, FLT_MAX},
                   {"inverted huge", 3e38f, -1e30f},
                   {"infinite", 0, Inf},
                   {"denormal", 0, 1e-40f},
                   {"small", 1e-30f, 3e-30f},
                   {"not a number", std::numeric_limits<float>::quiet_NaN(), 10}};
    for (int c = 0; c < Count; ++c)
        for (const auto& w : windows)
            if (Conversions[c].from != ImageKind8 || Conversions[c].to == ImageKind8 ||
                &w == windows)
                QTest::addRow("%s, %s", Conversions[c].name, w.name) << c << w.min << w.max;
}

void TestImgConvert::matchesFormula()
{
    QFETCH(int, conversion);
    QFETCH(float, min);
    QFETCH(float, max);
    const Conversion& c = Conversions[conversion];
    std::mt19937_64 rng(uint64_t(conversion) * 977 + Bits(min) + Bits(max));
    const auto pool = Pool(c, min, max, rng);
    // Small images take the formula per pixel; larger ones tables, and SIMD rows with
    // plain tails (all tail when narrow) and threads when wide. The wide target is
    // seen in the other row order.
    const int shapes[][2] = {{37, 18}, {7, 9500}, {535, 516}};
    for (const auto& [width, height] : shapes) {
        ImagePtr src = New(c.from, width, height), dst = New(c.to, width, height);
        Fill(src.get(), pool, rng);
        ImageStruct target = width > 100 ? Flipped(dst.get()) : *dst;
        QVERIFY(c.run(&target, src.get(), min, max));
        Check(c, &target, src.get(), min, max);
        if (QTest::currentTestFailed()) return;
    }
}

void TestImgConvert::writesOnlyTheCommonRectangle_data()
{
    QTest::addColumn<int>("conversion");
    QTest::addColumn<QList<int>>("source"); // parent w, h, flipped, rectangle x, y, w, h
    QTest::addColumn<QList<int>>("target");
    const struct
    {
        const char* name;
        QList<int> source, target;
    } layouts[] = {
        {"same size", {67, 45, 0, 0, 0, 67, 45}, {67, 45, 0, 0, 0, 67, 45}},
        {"larger target", {40, 30, 1, 0, 0, 40, 30}, {67, 45, 0, 0, 0, 67, 45}},
        {"smaller target", {67, 45, 0, 0, 0, 67, 45}, {40, 30, 1, 0, 0, 40, 30}},
        {"rectangles, flipped", {90, 60, 1, 5, 7, 61, 33}, {80, 70, 1, 3, 2, 50, 40}},
        {"empty source", {30, 20, 0, 10, 10, 0, 2}, {30, 20, 0, 0, 0, 30, 20}},
        {"empty target", {30, 20, 0, 0, 0, 30, 20}, {30, 20, 1, 4, 4, 2, 0}},
        {"large rectangles", {700, 400, 0, 3, 1, 690, 398}, {720, 410, 1, 9, 5, 695, 400}},
    };
    for (int c = 0; c < Count; ++c)
        for (const auto& l : layouts)
            QTest::addRow("%s, %s", Conversions[c].name, l.name) << c << l.source << l.target;
}

void TestImgConvert::writesOnlyTheCommonRectangle()
{
    QFETCH(int, conversion);
    QFETCH(QList<int>, source);
    QFETCH(QList<int>, target);
    const Conversion& c = Conversions[conversion];
    std::mt19937_64 rng{uint64_t(conversion)};
    const auto pool = Pool(c, 2.5f, 251, rng);
    ImagePtr srcImage = New(c.from, source[0], source[1]);
    Fill(srcImage.get(), pool, rng);
    ImageStruct srcParent = source[2] ? Flipped(srcImage.get()) : *srcImage, src;
    SetTempReference(&src, &srcParent, source[3], source[4], source[5], source[6]);

    // The converted image and the expected one: the marker, with the formula's bytes
    // in the common rectangle.
    ImagePtr images[2] = {New(c.to, target[0], target[1]), New(c.to, target[0], target[1])};
    ImageStruct dst[2];
    for (int i = 0; i < 2; ++i) {
        std::memset(images[i]->Memory, 0xA5, size_t(Block(images[i].get()).size()));
        ImageStruct parent = target[2] ? Flipped(images[i].get()) : *images[i];
        SetTempReference(&dst[i], &parent, target[3], target[4], target[5], target[6]);
    }
    for (int y = 0; y < std::min(src.YSize, dst[1].YSize); ++y)
        for (int x = 0; x < std::min(src.XSize, dst[1].XSize); ++x) {
            const auto bytes = Expected(c, At(&src, x, y), 2.5f, 251);
            std::memcpy(At(&dst[1], x, y), bytes.data(), bytes.size());
        }
    QVERIFY(c.run(&dst[0], &src, 2.5f, 251));
    QCOMPARE(Block(images[0].get()), Block(images[1].get()));
}

void TestImgConvert::wrongKindsWriteNothing_data()
{
    QTest::addColumn<int>("conversion");
    for (int c = 0; c < Count; ++c)
        QTest::newRow(Conversions[c].name) << c;
}

void TestImgConvert::wrongKindsWriteNothing()
{
    QFETCH(int, conversion);
    const Conversion& c = Conversions[conversion];
    for (int16_t from : Kinds)
        for (int16_t to : Kinds) {
            ImagePtr src = New(from, 5, 4), dst = New(to, 5, 4);
            std::memset(dst->Memory, 0x5A, size_t(Block(dst.get()).size()));
            const QByteArray before = Block(dst.get());
            const uint64_t generation = dst->Generation;
            const bool right = from == c.from && to == c.to;
            if (right) {
                QVERIFY(!c.run(nullptr, src.get(), 0, 10));
                QVERIFY(!c.run(dst.get(), nullptr, 0, 10));
                ImageStruct reclaimed = *src; // a cached image whose pixels were taken back
                reclaimed.Data = nullptr;
                QVERIFY(!c.run(dst.get(), &reclaimed, 0, 10));
                ImagePtr none = New(from, 0, 3);
                QVERIFY(c.run(dst.get(), none.get(), 0, 10)); // nothing to do
                QCOMPARE(Block(dst.get()), before);
                QCOMPARE(dst->Generation, generation);
            }
            QCOMPARE(c.run(dst.get(), src.get(), 0, 10), right);
            if (!right) QCOMPARE(Block(dst.get()), before);
            QCOMPARE(dst->Generation != generation, right); // drawings of it are redone
        }
}

void TestImgConvert::windowEndsAreExact()
{
    // Max was painted 254 where the rounded factor or logarithm fell short of 255: windows
    // 0 … M either way round, on two pixels and every 256th M on the tables and AVX2 rows.
    for (int m = 1; m <= 65535; ++m)
        for (const int i : {1, 4, 8, -1, -4, -8}) { // 16-bit, float, log float; < 0: inverted
            const Conversion& c = Conversions[std::abs(i)];
            const float min = i < 0 ? float(m) : 0, max = i < 0 ? 0 : float(m);
            const int w = m % 256 ? 2 : 64, h = m % 256 ? 1 : 512;
            ImagePtr src = New(c.from, w, h), dst = New(c.to, w, h);
            for (int k = 0; k < w * h; ++k) {
                const float v = k % 2 ? max : min;
                const uint32_t e = c.from == ImageKind16 ? uint32_t(v) : Bits(v);
                std::memcpy(At(src.get(), k % w, k / w), &e, size_t(ImageElementBytes(src.get())));
            }
            QVERIFY(c.run(dst.get(), src.get(), min, max));
            for (int k = 0; k < w * h; ++k)
                if (*At(dst.get(), k % w, k / w) != (k % 2 ? 255 : 0))
                    QFAIL(qPrintable(QString::asprintf("%s: %g … %g", c.name, min, max)));
        }
}

QTEST_GUILESS_MAIN(TestImgConvert)

#include "tst_imgconvert.moc"
