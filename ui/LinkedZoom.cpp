#include "LinkedZoom.h"

#include <algorithm>
#include <cmath>

namespace {

/** The largest level the views zoom to: 64 screen pixels a voxel. */
constexpr double MaxLevel = 64;
/** How far below the fitted level the views zoom out. */
constexpr double MinLevelOfFit = 1.0 / 8;

} // namespace

void LinkedZoom::SetVolume(const std::array<int, 3>& sizes, const std::array<double, 3>& spacing)
{
    sizes_ = sizes;
    for (int axis = 0; axis < 3; ++axis)
        centre_[size_t(axis)] = sizes[size_t(axis)] / 2.0;
    SetSpacing(spacing);
}

void LinkedZoom::SetSpacing(const std::array<double, 3>& spacing)
{
    std::array<double, 3> sizes{};
    for (size_t axis = 0; axis < 3; ++axis)
        sizes[axis] = spacing[axis] > 0 && std::isfinite(spacing[axis]) ? spacing[axis] : 1.0;
    const double smallest = *std::min_element(sizes.begin(), sizes.end());
    for (size_t axis = 0; axis < 3; ++axis)
        relative_[axis] = sizes[axis] / smallest;
    fitted_ = true;
}

void LinkedZoom::Fit(const std::array<QSize, 3>& areas)
{
    double level = 0;
    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
        const QSize area = areas[size_t(plane)];
        const int across = AcrossAxis(plane), down = DownAxis(plane);
        const double width = sizes_[size_t(across)] * relative_[size_t(across)];
        const double height = sizes_[size_t(down)] * relative_[size_t(down)];
        if (area.isEmpty() || !(width > 0 && height > 0)) continue;
        const double fits = std::min(area.width() / width, area.height() / height);
        level = level > 0 ? std::min(level, fits) : fits;
    }
    fitLevel_ = level > 0 ? level : 1;
    level_ = fitLevel_;
    for (int axis = 0; axis < 3; ++axis)
        centre_[size_t(axis)] = sizes_[size_t(axis)] / 2.0;
    fitted_ = true;
}

double LinkedZoom::Clamped(double level) const
{
    if (!(level > 0) || !std::isfinite(level)) return level_;
    return std::clamp(level, fitLevel_ * MinLevelOfFit, std::max(MaxLevel, fitLevel_));
}

void LinkedZoom::SetLevel(double level)
{
    level_ = Clamped(level);
    fitted_ = false;
}

void LinkedZoom::SetFrom(SlicePlane plane, const TZoom& zoom, QSize area)
{
    const int across = AcrossAxis(plane), down = DownAxis(plane);
    if (area.isEmpty() || sizes_[size_t(across)] <= 0 || sizes_[size_t(down)] <= 0) return;
    // The picture covers XOrigin·W … (XOrigin + XFactor)·W of the area: its scale gives the
    // level, the area's centre the point of the volume there.
    const double across0 = zoom.XFactor * area.width() / sizes_[size_t(across)];
    const double down0 = zoom.YFactor * area.height() / sizes_[size_t(down)];
    if (!(across0 > 0 && down0 > 0)) return;
    centre_[size_t(across)] = (area.width() / 2.0 - zoom.XOrigin * area.width()) / across0;
    centre_[size_t(down)] = (area.height() / 2.0 - zoom.YOrigin * area.height()) / down0;
    level_ = Clamped(across0 / relative_[size_t(across)]);
    fitted_ = false;
}

TZoom LinkedZoom::ZoomOf(SlicePlane plane, QSize area) const
{
    TZoom zoom;
    const int across = AcrossAxis(plane), down = DownAxis(plane);
    if (area.isEmpty()) return zoom;
    const double w = area.width(), h = area.height();
    const double sx = PixelsPerVoxel(across), sy = PixelsPerVoxel(down);
    zoom.XFactor = sizes_[size_t(across)] * sx / w;
    zoom.YFactor = sizes_[size_t(down)] * sy / h;
    zoom.XOrigin = (w / 2 - centre_[size_t(across)] * sx) / w;
    zoom.YOrigin = (h / 2 - centre_[size_t(down)] * sy) / h;
    return zoom;
}
