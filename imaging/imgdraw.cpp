#include "imgdraw.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <QPointF>
#include <QRectF>
#include <QRegion>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

/**
 * Coordinates further out than this are pulled in to it: far beyond any device, yet
 * small enough that the painter's fixed-point rasteriser handles them without trouble.
 */
constexpr double CoordinateLimit = 1e6;

QColor ColorOf(uint32_t color)
{
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

/**
 * One axis of the plot: positions run from `origin` along `direction` over `extent`.
 * Pixel(t) gives the pixel a position `t` from the origin falls in, as the device
 * coordinate of the pixel's corner (where an aliased 1-pixel pen paints exactly that
 * pixel). Pixel k, counted from the origin, holds the offsets [k, k + 1), so mirrored
 * axes give mirrored pixels; the far end of the plot belongs to the last pixel inside,
 * so that the greatest value is not lost just beyond the edge.
 */
struct Axis
{
    double origin, direction, extent;

    double Pixel(double t) const
    {
        // NaN stays NaN; everything else is kept within reach of the rasteriser.
        double p = origin + direction * t;
        if (std::isnan(p)) return p;
        p = std::clamp(p, -CoordinateLimit, CoordinateLimit);
        const bool farEdge = t == extent && extent >= 1 && p == std::floor(p);
        if (direction >= 0) return farEdge ? p - 1 : std::floor(p);
        return farEdge ? p : std::ceil(p) - 1;
    }
};

/**
 * Draws the runs of consecutive finite samples: a run of two or more as a polyline,
 * a run of one as a point. `vertical` swaps the roles of the axes.
 */
void DrawVector(QPainter& painter, const VectorStruct* vector, bool vertical, double originX,
                double originY, double directionX, double directionY, double width, double height,
                double min, double max, uint32_t color)
{
    if (!vector || !vector->Values || vector->Length <= 0) return;
    const int32_t n = vector->Length;
    const float* values = vector->Values;

    const Axis x{originX, directionX, width}, y{originY, directionY, height};
    const Axis& index = vertical ? y : x;
    Axis value = vertical ? x : y;
    // A reversed range (min > max) mirrors the value axis. Drawing the ordered range on
    // the flipped axis gives the same positions and mirrors the pixels exactly.
    if (min > max) {
        std::swap(min, max);
        value.origin += value.direction * value.extent;
        value.direction = -value.direction;
    }
    const double range = max - min;
    const double cell = index.extent / n;

    painter.save();
    const QColor penColor = ColorOf(color);
    QPen pen(penColor);
    pen.setWidth(1);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // Pixel corners suit an aliased pen; an antialiased one paints a pixel crisply only
    // when it runs through the pixel's centre.
    const bool smooth = painter.testRenderHint(QPainter::Antialiasing);
    const double shift = smooth ? 0.5 : 0.0;

    std::vector<QPointF> run;
    run.reserve(static_cast<size_t>(std::min<int32_t>(n, 65536)));
    const auto flush = [&] {
        if (run.size() == 1) {
            const QPointF p = run.front();
            if (smooth) {
                painter.fillRect(QRectF(p.x() - shift, p.y() - shift, 1, 1), penColor);
            } else {
                painter.drawPoint(p);
            }
        } else if (run.size() > 1) {
            painter.drawPolyline(run.data(), static_cast<int>(run.size()));
        }
        run.clear();
    };

    for (int32_t i = 0; i < n; ++i) {
        const double v = values[i];
        if (!std::isfinite(v)) {
            flush();
            continue;
        }
        // An empty range puts everything in the middle.
        const double f = range == 0 ? 0.5 : (v - min) / range;
        const double along = index.Pixel((i + 0.5) * cell);
        const double across = value.Pixel((vertical ? f : 1 - f) * value.extent);
        if (std::isnan(along) || std::isnan(across)) {
            flush();
            continue;
        }
        run.push_back(vertical ? QPointF(across + shift, along + shift)
                               : QPointF(along + shift, across + shift));
    }
    flush();
    painter.restore();
}

} // namespace

void DrawVectorHorizontal(QPainter& painter, const VectorStruct* vector, float originX,
                          float originY, float directionX, float directionY, float width,
                          float height, float min, float max, uint32_t color)
{
    DrawVector(painter, vector, false, originX, originY, directionX, directionY, width, height, min,
               max, color);
}

void DrawVectorVertical(QPainter& painter, const VectorStruct* vector, float originX, float originY,
                        float directionX, float directionY, float width, float height, float min,
                        float max, uint32_t color)
{
    DrawVector(painter, vector, true, originX, originY, directionX, directionY, width, height, min,
               max, color);
}

// --- images ------------------------------------------------------------------------

namespace {

/** The bit DrawTransparent adds (its other bit is DrawDriverHandlesVerticalMirror's). */
constexpr int32_t TransparentBit = 0x0100;

/**
 * The most pixels by which the block of whole pixels is drawn beyond the visible ones.
 * The margin hands interpolation the neighbours of the outermost visible elements, so
 * that a partial repaint gives the pixels a full one gives.
 */
constexpr double MarginLimit = 4096;

/** Whether DrawImage draws anything of `image`: an 8-bit or RGB image with its pixels. */
bool Drawable(const ImageStruct* image)
{
    const int16_t kind = ImageKind(image);
    if (kind != ImageKind8 && kind != ImageKindRGB) return false;
    return image->Data && image->XSize > 0 && image->YSize > 0 &&
           std::abs(int64_t(image->LineStep)) >= int64_t(image->XSize) * ImageElementBytes(image);
}

/**
 * The pixels [first, end) of one axis that `size` elements cover from `origin` at
 * `scale` pixels an element: those whose centre lies in [origin, origin + size · scale).
 * False when none does, and for a scale that is not positive and finite or an origin
 * that is not finite. DrawImage paints by this rule and ImageExtent reports it, so the
 * strips a caller fills around the extent meet the image exactly.
 */
bool Covered(double origin, double scale, int32_t size, double& first, double& end)
{
    if (!std::isfinite(origin) || !(scale > 0) || !std::isfinite(scale) || size <= 0) return false;
    first = std::ceil(origin - 0.5);
    end = std::ceil(origin + size * scale - 0.5);
    return first < end;
}

/** Pixels [p0, p1), whole numbers, showing the sample coordinates [s0, s1). */
struct Span
{
    double p0, p1, s0, s1;
};

/**
 * What DrawImage draws along one axis: the block of pixels lying wholly inside the
 * image, mapped exactly, and at its ends up to two pixels the image covers partly
 * (their centres inside), each showing the element under its centre. Every span starts
 * and ends on a pixel edge, so the painter fills exactly its pixels however it rounds;
 * and every source range lies within the image, where the painter wants it.
 */
struct AxisPlan
{
    Span spans[3];
    int count = 0;
    int32_t e0 = 0, e1 = 0; ///< the elements the spans read

    /** Plans the pixels within the visible [v0, v1); false when none is covered. */
    bool Make(double origin, double scale, int32_t size, double v0, double v1)
    {
        double first, end;
        if (!Covered(origin, scale, size, first, end)) return false;
        const double d0 = std::max(first, v0), d1 = std::min(end, v1);
        if (!(d0 < d1)) return false;

        const double limit = size;
        const auto single = [&](double p) {
            if (p < d0 || p >= d1) return;
            const double e = std::clamp(std::floor((p + 0.5 - origin) / scale), 0.0, limit - 1);
            spans[count++] = {p, p + 1, e, e + 1};
        };
        const auto sample = [&](double p) { return std::clamp((p - origin) / scale, 0.0, limit); };

        const double inner0 = std::ceil(origin), inner1 = std::floor(origin + size * scale);
        const bool partialFirst = first < inner0;
        if (partialFirst) single(first);
        // Beyond the visible pixels the painter's clip or device stops the block.
        const double margin = std::min(std::ceil(scale) + 1, MarginLimit);
        const double w0 = std::max(inner0, d0 - margin), w1 = std::min(inner1, d1 + margin);
        if (w0 < w1 && w0 < d1 && w1 > d0) spans[count++] = {w0, w1, sample(w0), sample(w1)};
        if (end - 1 >= inner1 && !(partialFirst && end - 1 == first)) single(end - 1);
        if (count == 0) return false;

        double lo = limit, hi = 0;
        for (int i = 0; i < count; ++i) {
            lo = std::min(lo, std::floor(spans[i].s0));
            hi = std::max(hi, std::ceil(spans[i].s1));
        }
        e0 = int32_t(std::clamp(lo, 0.0, limit));
        e1 = int32_t(std::clamp(hi, lo, limit));
        return e0 < e1;
    }
};

/** The painter's visible area in its logical coordinates: its device, within its clip. */
bool VisibleArea(const QPainter& painter, QRectF& area)
{
    const QPaintDevice* device = painter.device();
    if (!device) return false;
    bool invertible = false;
    const QTransform toLogical = painter.combinedTransform().inverted(&invertible);
    if (!invertible) return false;
    area = toLogical.mapRect(QRectF(0, 0, device->width(), device->height()));
    if (painter.hasClipping()) area &= painter.clipBoundingRect();
    return !area.isEmpty();
}

/**
 * Whether the painter writes pixels that keep alpha. Format_RGB32 wants its unused byte
 * 0xFF, and a raster target with alpha takes the byte as it is: an RGB image, whose
 * unused bytes are 0, would come out transparent there.
 */
bool TargetKeepsAlpha(const QPainter& painter)
{
    const QPaintEngine* engine = painter.paintEngine();
    QPaintDevice* target = engine ? engine->paintDevice() : nullptr;
    if (!target) return false;
    if (target->devType() == QInternal::Image)
        return static_cast<const QImage*>(target)->hasAlphaChannel();
    if (target->devType() == QInternal::Pixmap)
        return static_cast<const QPixmap*>(target)->hasAlphaChannel();
    return false;
}

/**
 * `height` rows of `width` elements of `image` from `first` on, `stride` bytes apart, as
 * a QImage sharing them. 8-bit value v shows colourTable[v] (0xRRGGBB) when there is a
 * table, else v / 255 · `color` (0x00BBGGRR); 0 fully transparent when `transparent`.
 * RGB pixels are copied, with alpha, only when `transparent` (black fully transparent)
 * or `opaqueCopy`.
 */
QImage Pixels(const ImageStruct* image, uint8_t* first, int width, int height, qsizetype stride,
              uint32_t color, const uint32_t* colourTable, bool transparent, bool opaqueCopy)
{
    if (ImageKind(image) == ImageKind8) {
        // The non-const buffer keeps setColorTable from copying the pixels.
        QImage pixels(first, width, height, stride, QImage::Format_Indexed8);
        const int red = color & 0xFF, green = (color >> 8) & 0xFF, blue = (color >> 16) & 0xFF;
        QList<QRgb> table(256);
        for (int v = 0; v < 256; ++v)
            table[v] = colourTable ? 0xFF000000 | (colourTable[v] & 0xFFFFFF)
                                   : qRgb((red * v + 127) / 255, (green * v + 127) / 255,
                                          (blue * v + 127) / 255);
        if (transparent) table[0] = qRgba(0, 0, 0, 0);
        pixels.setColorTable(table);
        return pixels;
    }
    if (!transparent && !opaqueCopy)
        return QImage(first, width, height, stride, QImage::Format_RGB32);
    QImage copy(width, height, QImage::Format_ARGB32_Premultiplied);
    if (copy.isNull()) return copy;
    for (int row = 0; row < height; ++row) {
        const auto* in = reinterpret_cast<const uint32_t*>(first + row * stride);
        auto* out = reinterpret_cast<uint32_t*>(copy.scanLine(row));
        for (int i = 0; i < width; ++i) {
            const uint32_t rgb = in[i] & 0x00FFFFFF;
            out[i] = transparent && rgb == 0 ? 0 : 0xFF000000 | rgb;
        }
    }
    return copy;
}

/**
 * A shrunk image (either scale below 1) is drawn at whole-pixel offsets, rounded: a
 * shift of less than a pixel means nothing at that scale, and it lets one rendering at
 * the scale serve every pan (see ShrunkRendering).
 */
void SnapOffsets(float xscale, float yscale, float& xoffset, float& yoffset)
{
    if (!(xscale < 1 || yscale < 1)) return;
    xoffset = std::floor(xoffset + 0.5f);
    yoffset = std::floor(yoffset + 0.5f);
}

bool Smooth(float xscale, float yscale, int32_t flags)
{
    return (xscale < 1 || yscale < 1) && !(flags & DrawDontPerformSmoothScaling) &&
           !((flags & DrawDontPerformSmoothScalingWhenVerticallyCompressing) && yscale < 1);
}

/** Draws the image at its offset, element by element through Qt (no rendering kept). */
void DrawDirect(QPainter& painter, const ImageStruct* image, float xoffset, float yoffset,
                float xscale, float yscale, uint32_t color, const uint32_t* colourTable,
                int32_t flags, bool keepAlpha)
{
    QRectF area;
    if (!VisibleArea(painter, area)) return;
    AxisPlan x, y;
    if (!x.Make(xoffset, xscale, image->XSize, std::floor(area.left()), std::ceil(area.right())) ||
        !y.Make(yoffset, yscale, image->YSize, std::floor(area.top()), std::ceil(area.bottom())))
        return;

    // Only the elements the spans read are wrapped, from the row lowest in memory on (a
    // QImage takes no negative stride): a bottom-up image's rows then run upwards.
    const bool bottomUp = image->LineStep < 0;
    const qsizetype stride = std::abs(qsizetype(image->LineStep));
    uint8_t* lowest = image->Data + qsizetype(bottomUp ? y.e1 - 1 : y.e0) * image->LineStep +
                      qsizetype(x.e0) * ImageElementBytes(image);
    const bool transparent = flags & TransparentBit;
    const QImage pixels =
        Pixels(image, lowest, x.e1 - x.e0, y.e1 - y.e0, stride, color, colourTable, transparent,
               ImageKind(image) == ImageKindRGB && keepAlpha);
    if (pixels.isNull()) return;

    const bool smooth = Smooth(xscale, yscale, flags);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    // Mirrored, painter row p lies at −p, and the upward rows read downwards again.
    if (bottomUp) painter.scale(1, -1);
    for (int i = 0; i < x.count; ++i) {
        const Span& u = x.spans[i];
        for (int j = 0; j < y.count; ++j) {
            const Span& v = y.spans[j];
            const QRectF target(u.p0, bottomUp ? -v.p1 : v.p0, u.p1 - u.p0, v.p1 - v.p0);
            const QRectF source(u.s0 - x.e0, bottomUp ? y.e1 - v.s1 : v.s0 - y.e0, u.s1 - u.s0,
                                v.s1 - v.s0);
            painter.drawImage(target, pixels, source);
        }
    }
    painter.restore();
}

/**
 * The most pixels a kept rendering of a shrunk image may have (16 MiB of RGB32); a
 * larger one is not kept, and the image is drawn element by element.
 */
constexpr int64_t MaxRenderingPixels = int64_t(1) << 22;
constexpr size_t KeptRenderings = 4;

/** A shrunk image rendered whole at its scale, at offset (0, 0), and what it shows. */
struct Rendering
{
    const uint8_t* data;
    uint64_t generation;
    int32_t xsize, ysize, lineStep;
    int16_t type;
    float xscale, yscale;
    uint32_t color;
    std::vector<uint32_t> table; ///< the colour table drawn through; empty for none
    int32_t flags;
    bool alpha;
    QImage image;

    bool Shows(const ImageStruct* i, float xs, float ys, uint32_t c, const uint32_t* t, int32_t f,
               bool a) const
    {
        return data == i->Data && generation == i->Generation && xsize == i->XSize &&
               ysize == i->YSize && lineStep == i->LineStep && type == i->Type && xscale == xs &&
               yscale == ys && color == c && flags == f && alpha == a &&
               (t ? table.size() == 256 && std::equal(table.begin(), table.end(), t)
                  : table.empty());
    }
};

/**
 * The rendering of a shrunk, smoothed image at its scale, made once and kept until the
 * image's pixels (Generation) or the drawing's arguments change: panning then costs
 * one copy of the visible pixels instead of a new interpolation over the whole image.
 * Null when the rendering would be too large to keep. Each thread keeps its own few.
 */
const QImage* ShrunkRendering(const ImageStruct* image, float xscale, float yscale, uint32_t color,
                              const uint32_t* colourTable, int32_t flags, bool alpha)
{
    thread_local std::vector<Rendering> kept; // the most recently used last
    // What the pixels do not depend on stays out of the key: the colour and the table
    // of an RGB image, the colour of an 8-bit image drawn through a table.
    if (ImageKind(image) == ImageKind8)
        alpha = flags & TransparentBit;
    else
        color = 0, colourTable = nullptr;
    if (colourTable) color = 0;
    for (size_t i = 0; i < kept.size(); ++i)
        if (kept[i].Shows(image, xscale, yscale, color, colourTable, flags, alpha)) {
            std::rotate(kept.begin() + std::ptrdiff_t(i), kept.begin() + std::ptrdiff_t(i) + 1,
                        kept.end());
            return &kept.back().image;
        }
    double x0, x1, y0, y1;
    if (!Covered(0, xscale, image->XSize, x0, x1) || !Covered(0, yscale, image->YSize, y0, y1))
        return nullptr;
    if (x1 * y1 > double(MaxRenderingPixels)) return nullptr;
    QImage rendering(int(x1), int(y1),
                     alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (rendering.isNull()) return nullptr;
    rendering.fill(0);
    {
        QPainter painter(&rendering);
        DrawDirect(painter, image, 0, 0, xscale, yscale, color, colourTable, flags, alpha);
    }
    if (kept.size() == KeptRenderings) kept.erase(kept.begin());
    std::vector<uint32_t> table;
    if (colourTable) table.assign(colourTable, colourTable + 256);
    kept.push_back({image->Data, image->Generation, image->XSize, image->YSize, image->LineStep,
                    image->Type, xscale, yscale, color, std::move(table), flags, alpha,
                    std::move(rendering)});
    return &kept.back().image;
}

} // namespace

void DrawImage(QPainter& painter, const ImageStruct* image, float xoffset, float yoffset,
               float xscale, float yscale, uint32_t color, int32_t flags, uint32_t borderColor)
{
    DrawImage(painter, image, xoffset, yoffset, xscale, yscale, color, flags, borderColor, nullptr);
}

void DrawImage(QPainter& painter, const ImageStruct* image, float xoffset, float yoffset,
               float xscale, float yscale, uint32_t color, int32_t flags, uint32_t,
               const uint32_t* colourTable)
{
    if (!Drawable(image) || !painter.isActive()) return;
    SnapOffsets(xscale, yscale, xoffset, yoffset);
    const bool keepAlpha = TargetKeepsAlpha(painter);
    if (Smooth(xscale, yscale, flags) && std::isfinite(xoffset) && std::isfinite(yoffset)) {
        // The kept rendering covers the image's pixels from (0, 0); offsets are whole.
        if (const QImage* rendering =
                ShrunkRendering(image, xscale, yscale, color, colourTable, flags, keepAlpha)) {
            painter.drawImage(QPointF(xoffset, yoffset), *rendering);
            return;
        }
    }
    DrawDirect(painter, image, xoffset, yoffset, xscale, yscale, color, colourTable, flags,
               keepAlpha);
}

bool ImageExtent(QPainter&, const ImageStruct* image, float xoffset, float yoffset, float* x0,
                 float* y0, float* x1, float* y1, float xscale, float yscale)
{
    if (!x0 || !y0 || !x1 || !y1 || !Drawable(image)) return false;
    SnapOffsets(xscale, yscale, xoffset, yoffset);
    double left, right, top, bottom;
    if (!Covered(xoffset, xscale, image->XSize, left, right) ||
        !Covered(yoffset, yscale, image->YSize, top, bottom))
        return false;
    // The client's pixels by the same rule: those whose centre lies inside it.
    const auto clientFirst = [](float v) { return std::ceil(double(v) - 0.5); };
    const double cx0 = clientFirst(*x0), cy0 = clientFirst(*y0);
    const double cx1 = clientFirst(*x1), cy1 = clientFirst(*y1);
    if (std::isnan(cx0) || std::isnan(cy0) || std::isnan(cx1) || std::isnan(cy1)) return false;
    left = std::max(left, cx0);
    right = std::min(right, cx1);
    top = std::max(top, cy0);
    bottom = std::min(bottom, cy1);
    if (!(left < right) || !(top < bottom)) return false;
    *x0 = float(left);
    *x1 = float(right - 1);
    *y0 = float(top);
    *y1 = float(bottom - 1);
    return true;
}

// --- graphics lists --------------------------------------------------------------------

namespace {

/** List coordinates to painter pixels, in double. */
struct ListMapping
{
    double xoffset, yoffset, xscale, yscale;

    double X(double u) const { return xoffset + u * xscale; }
    double Y(double v) const { return yoffset + v * yscale; }
};

/** A screen coordinate as the pixel it falls in, kept within reach of the rasteriser. */
int PixelOf(double c)
{
    if (std::isnan(c)) return int(-CoordinateLimit); // far off any device
    return int(std::floor(std::clamp(c, -CoordinateLimit, CoordinateLimit)));
}

/** A mapping of finite numbers: any other draws nothing and hits nothing. */
bool Finite(float xoffset, float yoffset, float xscale, float yscale)
{
    return std::isfinite(xoffset) && std::isfinite(yoffset) && std::isfinite(xscale) &&
           std::isfinite(yscale);
}

/** An arc with a non-negative radius, its start angle and its span (degrees, 0 … 360). */
struct Arc
{
    double cx, cy, r, start, span;
};

/** The arc of `item` as drawn; false when it draws nothing (equal angles). */
bool ArcOf(const GraphicsItemStruct& item, Arc& arc)
{
    const float* c = item.Coords;
    arc = {c[0], c[1], c[2], c[3], 0};
    double end = c[4];
    if (arc.r < 0) arc.r = -arc.r, arc.start += 180, end += 180;
    if (end == arc.start) return false;
    arc.span = std::fmod(end - arc.start, 360.0);
    if (arc.span < 0) arc.span += 360;
    if (arc.span == 0) arc.span = 360;
    return true;
}

/** The item can be drawn and hit: a known kind with finite coordinates. */
bool Usable(const GraphicsItemStruct& item)
{
    if (item.Kind < GraphicsPoint || item.Kind > GraphicsArc) return false;
    const int used = item.Kind == GraphicsArc ? 5 : 4;
    for (int i = item.Kind == GraphicsPoint ? 2 : 0; i < used; ++i)
        if (!std::isfinite(item.Coords[i])) return false;
    return true;
}

/** The painter pixels the item may touch (left, top, right, bottom; inclusive, grown). */
struct Box
{
    double x0, y0, x1, y1;

    bool Meets(const QRectF& r) const
    {
        return x1 >= r.left() && x0 <= r.right() && y1 >= r.top() && y0 <= r.bottom();
    }
};

Box BoundsOf(const GraphicsItemStruct& item, const ListMapping& m)
{
    const float* c = item.Coords;
    if (item.Kind == GraphicsPoint) {
        const double x = m.X(c[2]), y = m.Y(c[3]), d = GraphicsPointArm + 1;
        return {x - d, y - d, x + d, y + d};
    }
    if (item.Kind == GraphicsArc) {
        const double rx = std::abs(c[2] * m.xscale) + 1, ry = std::abs(c[2] * m.yscale) + 1;
        const double x = m.X(c[0]), y = m.Y(c[1]);
        return {x - rx, y - ry, x + rx, y + ry};
    }
    const auto [x0, x1] = std::minmax({m.X(c[0]), m.X(c[2])});
    const auto [y0, y1] = std::minmax({m.Y(c[1]), m.Y(c[3])});
    return {x0 - 1, y0 - 1, x1 + 1, y1 + 1};
}

/**
 * What the painter may paint, in its logical coordinates: the device, narrowed to the
 * painter's clip. `parts` receives the clip's rectangles when there are several.
 */
QRectF PaintableArea(const QPainter& painter, std::vector<QRectF>& parts)
{
    // In device pixels: at least the logical extent, whatever the pixel ratio.
    const QPaintDevice* device = painter.device();
    QRectF area(0, 0, device->width(), device->height());
    if (!painter.transform().isIdentity()) {
        bool invertible = false;
        const QTransform inverse = painter.transform().inverted(&invertible);
        area = invertible ? inverse.mapRect(area)
                          : QRectF(-CoordinateLimit, -CoordinateLimit, 2 * CoordinateLimit,
                                   2 * CoordinateLimit);
    }
    if (painter.hasClipping()) {
        const QRegion clip = painter.clipRegion();
        area &= QRectF(clip.boundingRect());
        if (clip.rectCount() > 1)
            for (const QRect& r : clip)
                parts.emplace_back(r);
    }
    return area;
}

/**
 * Draws an arc in device coordinates, for the arcs the painter cannot take as a path in
 * list coordinates (a device extent beyond CoordinateLimit, where its fixed-point
 * rasteriser fails, or a nearly singular mapping): only the parts within the limit, as a
 * polyline computed in double whose chords stay within a quarter pixel of the arc. The
 * angles where the arc crosses the limit split it; a piece whose middle lies inside is
 * drawn.
 */
/**
 * A mapping whose scales multiply to less than this is too close to singular for the
 * painter's transform: it inverts the transform to stroke, and strokes far off the arc.
 */
constexpr double NearlySingular = 1e-12;

void DrawLargeArc(QPainter& painter, const Arc& arc, const ListMapping& m)
{
    constexpr double Pi = 3.14159265358979323846;
    // Device point at angle t: (cx + rx cos t, cy + ry sin t), the path's angles running
    // counter-clockwise with y pointing down.
    const double cx = m.X(arc.cx), cy = m.Y(arc.cy);
    const double rx = m.xscale * arc.r, ry = -m.yscale * arc.r;
    // The start within one turn, so that the turns counted below stay few and exact.
    const double start = std::fmod(arc.start, 360.0);
    const double t0 = start * Pi / 180, t1 = (start + arc.span) * Pi / 180;
    const auto inside = [&](double t) {
        return std::abs(cx + rx * std::cos(t)) <= CoordinateLimit &&
               std::abs(cy + ry * std::sin(t)) <= CoordinateLimit;
    };
    std::vector<double> cuts{t0, t1};
    const auto cutAt = [&](double t) {
        for (double k = std::floor((t0 - t) / (2 * Pi)); t + k * 2 * Pi <= t1; ++k)
            if (t + k * 2 * Pi > t0) cuts.push_back(t + k * 2 * Pi);
    };
    for (const double edge : {-CoordinateLimit, CoordinateLimit}) {
        if (rx != 0 && std::abs((edge - cx) / rx) <= 1) {
            const double a = std::acos((edge - cx) / rx);
            cutAt(a), cutAt(-a);
        }
        if (ry != 0 && std::abs((edge - cy) / ry) <= 1) {
            const double a = std::asin((edge - cy) / ry);
            cutAt(a), cutAt(Pi - a);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    const double radius = std::max(std::abs(rx), std::abs(ry));
    const double step = radius > 0.125 ? 2 * std::acos(1 - 0.25 / radius) : 2 * Pi;
    std::vector<QPointF> points;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        const double a = cuts[i], b = cuts[i + 1];
        if (!(b > a) || !inside((a + b) / 2)) continue;
        const int n = int(std::clamp(std::ceil((b - a) / step), 1.0, 200000.0));
        points.clear();
        for (int k = 0; k <= n; ++k) {
            const double t = k == n ? b : a + (b - a) * k / n;
            points.emplace_back(
                std::clamp(cx + rx * std::cos(t), -CoordinateLimit, CoordinateLimit),
                std::clamp(cy + ry * std::sin(t), -CoordinateLimit, CoordinateLimit));
        }
        painter.drawPolyline(points.data(), int(points.size()));
    }
}

void DrawItem(QPainter& painter, const GraphicsItemStruct& item, const ListMapping& m)
{
    const float* c = item.Coords;
    switch (item.Kind) {
    case GraphicsPoint: {
        const int x = PixelOf(m.X(c[2])), y = PixelOf(m.Y(c[3])), a = GraphicsPointArm;
        const QLine cross[2] = {{x - a, y, x + a, y}, {x, y - a, x, y + a}};
        painter.drawLines(cross, 2);
        break;
    }
    case GraphicsLine:
        painter.drawLine(PixelOf(m.X(c[0])), PixelOf(m.Y(c[1])), PixelOf(m.X(c[2])),
                         PixelOf(m.Y(c[3])));
        break;
    case GraphicsRectangle: {
        const auto [x0, x1] = std::minmax({PixelOf(m.X(c[0])), PixelOf(m.X(c[2]))});
        const auto [y0, y1] = std::minmax({PixelOf(m.Y(c[1])), PixelOf(m.Y(c[3]))});
        painter.drawRect(QRect(x0, y0, x1 - x0, y1 - y0));
        break;
    }
    case GraphicsArc: {
        Arc arc;
        if (!ArcOf(item, arc)) break;
        const Box box = BoundsOf(item, m);
        if (std::max({-box.x0, box.x1, -box.y0, box.y1}) > CoordinateLimit ||
            std::abs(m.xscale * m.yscale) < NearlySingular) {
            DrawLargeArc(painter, arc, m);
            break;
        }
        // In list coordinates: the mapping becomes the painter's transform, so every
        // angle's point lands where the formula puts it, whatever the two scales.
        const QTransform screen = painter.worldTransform();
        painter.setWorldTransform(QTransform(m.xscale, 0, 0, m.yscale, m.xoffset, m.yoffset), true);
        const QRectF square(arc.cx - arc.r, arc.cy - arc.r, 2 * arc.r, 2 * arc.r);
        QPainterPath path;
        path.arcMoveTo(square, arc.start);
        path.arcTo(square, arc.start, arc.span);
        painter.drawPath(path);
        painter.setWorldTransform(screen);
        break;
    }
    default:
        break;
    }
}

/** Distance from (px, py) to the segment from (ax, ay) to (bx, by). */
double SegmentDistance(double px, double py, double ax, double ay, double bx, double by)
{
    const double dx = bx - ax, dy = by - ay, length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

/** Distance from (px, py) to the arc as drawn with mapping `m`: a polyline close to it. */
double ArcDistance(double px, double py, const Arc& arc, const ListMapping& m)
{
    const double cx = m.X(arc.cx), cy = m.Y(arc.cy);
    const double rx = arc.r * m.xscale, ry = arc.r * m.yscale;
    const double reach = std::max(std::abs(rx), std::abs(ry));
    // Chords short enough to stay within a quarter pixel of the curve.
    const double step = reach > 2 ? std::sqrt(0.5 / reach) : 0.5;
    const double span = arc.span * M_PI / 180, start = arc.start * M_PI / 180;
    const int n = int(std::clamp(std::ceil(span / step), 1.0, 200000.0));
    double best = INFINITY, ax = cx + rx * std::cos(start), ay = cy - ry * std::sin(start);
    for (int i = 1; i <= n; ++i) {
        const double t = start + span * i / n;
        const double bx = cx + rx * std::cos(t), by = cy - ry * std::sin(t);
        best = std::min(best, SegmentDistance(px, py, ax, ay, bx, by));
        ax = bx, ay = by;
    }
    return best;
}

} // namespace

void DrawList(QPainter& painter, const GraphicsListStruct* list, float xoffset, float yoffset,
              float xscale, float yscale, int32_t start, int32_t count)
{
    if (!list || !list->Items || !painter.isActive()) return;
    if (!Finite(xoffset, yoffset, xscale, yscale)) return;
    const int32_t items = std::clamp(list->Count, 0, list->Allocated);
    const int32_t first = std::clamp(start, 0, items);
    const int32_t last =
        count > 0 ? int32_t(std::min<int64_t>(int64_t(first) + count, items)) : items;
    if (first >= last) return;
    const ListMapping m{xoffset, yoffset, xscale, yscale};
    std::vector<QRectF> parts;
    const QRectF area = PaintableArea(painter, parts);
    if (area.isEmpty()) return;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setBrush(Qt::NoBrush);
    QPen pen(ColorOf(list->Color), 0);
    uint32_t penColor = list->Color;
    painter.setPen(pen);
    for (int32_t i = first; i < last; ++i) {
        const GraphicsItemStruct& item = list->Items[i];
        if (!Usable(item)) continue;
        const Box box = BoundsOf(item, m);
        if (!box.Meets(area)) continue;
        if (!parts.empty() &&
            std::none_of(parts.begin(), parts.end(), [&](const QRectF& r) { return box.Meets(r); }))
            continue;
        const uint32_t color = item.Color == GraphicsListColor ? list->Color : item.Color;
        if (color != penColor) {
            pen.setColor(ColorOf(color));
            painter.setPen(pen);
            penColor = color;
        }
        DrawItem(painter, item, m);
    }
    painter.restore();
}

bool ItemHit(const QPainter*, const GraphicsItemStruct* item, float xoffset, float yoffset,
             int32_t x, int32_t y, float xscale, float yscale)
{
    if (!item || !Usable(*item) || !Finite(xoffset, yoffset, xscale, yscale)) return false;
    const ListMapping m{xoffset, yoffset, xscale, yscale};
    const double tolerance = GraphicsHitTolerance;
    const Box box = BoundsOf(*item, m);
    const double px = x + 0.5, py = y + 0.5;
    if (px < box.x0 - tolerance || px > box.x1 + tolerance || py < box.y0 - tolerance ||
        py > box.y1 + tolerance)
        return false;
    // Shapes of pixels as drawn, measured between pixel centres.
    const auto centre = [](double c) { return PixelOf(c) + 0.5; };
    const float* c = item->Coords;
    switch (item->Kind) {
    case GraphicsPoint: {
        const double sx = centre(m.X(c[2])), sy = centre(m.Y(c[3])), a = GraphicsPointArm;
        return std::min(SegmentDistance(px, py, sx - a, sy, sx + a, sy),
                        SegmentDistance(px, py, sx, sy - a, sx, sy + a)) <= tolerance;
    }
    case GraphicsLine:
        return SegmentDistance(px, py, centre(m.X(c[0])), centre(m.Y(c[1])), centre(m.X(c[2])),
                               centre(m.Y(c[3]))) <= tolerance;
    case GraphicsRectangle: {
        const double x0 = centre(m.X(c[0])), y0 = centre(m.Y(c[1]));
        const double x1 = centre(m.X(c[2])), y1 = centre(m.Y(c[3]));
        return std::min({SegmentDistance(px, py, x0, y0, x1, y0),
                         SegmentDistance(px, py, x1, y0, x1, y1),
                         SegmentDistance(px, py, x1, y1, x0, y1),
                         SegmentDistance(px, py, x0, y1, x0, y0)}) <= tolerance;
    }
    case GraphicsArc: {
        Arc arc;
        return ArcOf(*item, arc) && ArcDistance(px, py, arc, m) <= tolerance;
    }
    default:
        return false;
    }
}
