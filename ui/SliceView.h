#pragma once

#include "SliceModel.h"

#include <QObject>
#include <QPoint>

class QWidget;
class TGraphicsListControl;
class TImageControl;
class TZoomPanel;

/**
 * One orthogonal view of the inspector: a zoom panel holding the slice's image control
 * and, above it, a transparent overlay with the crosshair: a vertical line at the
 * position of the plane that runs along the slice's columns and a horizontal line at
 * the one along its rows, each with a grip at its end that drags that plane.
 *
 * The panel keeps its gestures (a left drag pans, the wheel zooms about the cursor); the
 * view only watches the overlay's events to tell a click (press and release without
 * moving) from a drag, and to follow the pointer.
 */
class TSliceView : public QObject
{
    Q_OBJECT

public:
    TSliceView(SlicePlane plane, QWidget* parent);

    SlicePlane Plane() const { return plane_; }
    TZoomPanel* Panel() const { return panel_; }
    TImageControl* Image() const { return image_; }
    TGraphicsListControl* Overlay() const { return overlay_; }

    /**
     * Shows `slice` (not owned; null for none). The panel's zoom is the window's: it
     * covers the whole panel and places the picture (see LinkedZoom).
     */
    void ShowSlice(const ImageStruct* slice);
    /** The slice's pixels changed in place (same record): redraws it. */
    void Refresh();
    /**
     * Puts the crosshair through slice column `u` (the vertical line, colour uColor) and
     * row `v` (the horizontal line, colour vColor); colours 0x00BBGGRR.
     */
    void SetCrosshair(int u, uint32_t uColor, int v, uint32_t vColor);
    /** The slice pixel under overlay pixel `point`; false outside the slice. */
    bool SliceAt(QPoint point, int& u, int& v) const;
    /** True while the pointer is over the view. */
    bool Hovered() const { return hovered_; }

signals:
    /** A click (press and release without moving) on slice pixel (u, v). */
    void Clicked(int u, int v);
    /** The pointer is over slice pixel (u, v), or over no pixel (`inside` false). */
    void PointerAt(bool inside, int u, int v);
    /** A crosshair grip was dragged: `axis` 0 to column `value`, 1 to row `value`. */
    void CrosshairDragged(int axis, int value);
    /**
     * A drag with the middle button (a button no gesture of the panel uses) started
     * (`started`) or moved by `delta` pixels from where it started: the window sets the
     * display window's width and level by it.
     */
    void WindowLevelDragged(bool started, QPoint delta);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    /** Shows the crosshair grips again (a press on empty space stops editing). */
    void ArmGrips();
    void GripMoved(int grip);

    SlicePlane plane_;
    TZoomPanel* panel_;
    TImageControl* image_;
    TGraphicsListControl* overlay_;
    int sliceWidth_ = 0, sliceHeight_ = 0;
    int crossU_ = 0, crossV_ = 0;
    bool hovered_ = false;
    bool pressed_ = false;   ///< a left press is under way
    bool moved_ = false;     ///< it moved beyond the click tolerance
    bool onGrip_ = false;    ///< it started on a grip
    bool levelling_ = false; ///< a middle-button drag sets the display window
    QPoint pressAt_;
};
