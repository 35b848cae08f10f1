#pragma once

#include "SliceModel.h"
#include "ZoomPanel.h"

#include <QSize>

#include <array>

/**
 * One zoom for the inspector's three slice views, so that a structure lines up across
 * them: the top view (x across, y down), the front view under it (x across, z down) and
 * the side view beside it (z across, y down) are drawn at one scale, each view's centre
 * at one point of the volume. The front view thus shares the top view's horizontal scale
 * and offset, the side view its vertical ones, as long as the cells above each other are
 * equally wide and those beside each other equally high.
 *
 * Volume coordinates are voxels with voxel i covering [i, i + 1) along its axis. The level
 * is screen pixels per voxel of the smallest spacing: at 1 (1:1) such a voxel is one
 * pixel, and a voxel three times as long along z is three pixels high.
 */
class LinkedZoom
{
public:
    /**
     * A volume of `sizes` voxels (x, y, z) whose voxels measure `spacing` along each axis
     * (any unit; values that are not positive count as 1). The zoom is fitted anew.
     */
    void SetVolume(const std::array<int, 3>& sizes, const std::array<double, 3>& spacing);
    /** The spacing alone changed: the centre stays, the zoom is fitted anew. */
    void SetSpacing(const std::array<double, 3>& spacing);

    /** Screen pixels per voxel of the smallest spacing. */
    double Level() const { return level_; }
    /** True while the zoom follows the views' sizes (Fit) rather than the user's zoom. */
    bool Fitted() const { return fitted_; }
    const std::array<double, 3>& Centre() const { return centre_; }

    /**
     * Fits the whole volume into the views whose zoom areas are `areas` (by plane; an
     * empty size leaves that view out), centred, and keeps fitting at later resizes.
     */
    void Fit(const std::array<QSize, 3>& areas);
    /** Sets the level (clamped, see SetFrom), keeping the centre; the zoom no longer fits. */
    void SetLevel(double level);
    /**
     * Takes the zoom a view's panel now shows (after the user panned or zoomed it) as the
     * zoom of every view: its level (clamped to 1/8 of the fitted level … 64, or the
     * fitted level when larger) and its centre along the view's two axes.
     */
    void SetFrom(SlicePlane plane, const TZoom& zoom, QSize area);
    /** The zoom of `plane`'s panel whose zoom area is `area`. */
    TZoom ZoomOf(SlicePlane plane, QSize area) const;

    /** The axes (0 x, 1 y, 2 z) a view of `plane` shows across and down. */
    static int AcrossAxis(SlicePlane plane) { return plane == SlicePlane::Side ? 2 : 0; }
    static int DownAxis(SlicePlane plane) { return plane == SlicePlane::Front ? 2 : 1; }

private:
    /** Screen pixels per voxel along `axis` at the present level. */
    double PixelsPerVoxel(int axis) const { return level_ * relative_[size_t(axis)]; }
    double Clamped(double level) const;

    std::array<int, 3> sizes_{};
    std::array<double, 3> relative_{1, 1, 1}; ///< each axis's spacing over the smallest
    std::array<double, 3> centre_{};
    double level_ = 1;
    double fitLevel_ = 1;
    bool fitted_ = true;
};
