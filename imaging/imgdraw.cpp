#include "imgdraw.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QPointF>
#include <QRectF>

#include <algorithm>
#include <cmath>
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
