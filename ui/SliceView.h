#pragma once

#include "SliceModel.h"

#include <QObject>
#include <QPoint>
#include <QPointF>
#include <QString>

#include <vector>

class QWidget;
class TGraphicsListControl;
class TImageControl;
class TShapeLabels;
class TZoomPanel;

/**
 * One orthogonal view of the inspector: a zoom panel holding the slice's image control
 * and, above it, a transparent overlay with the crosshair: a vertical line at the
 * position of the plane that runs along the slice's columns and a horizontal line at
 * the one along its rows, each with a grip at its end that drags that plane.
 *
 * The overlay also shows measuring shapes (lines, rectangles, points) with a label each.
 * A shape selected is edited with the overlay's grips in place of the crosshair's; with a
 * drawing tool chosen, a left drag (a click for a point) draws a new shape instead of
 * panning. Shapes are given and reported in voxel-centre coordinates of the slice: the
 * centre of slice pixel (u, v) lies at (u, v).
 *
 * The panel keeps its gestures (a left drag pans, a right drag and the wheel zoom); the
 * view watches the overlay's events to tell a click (press and release without moving)
 * from a drag, to follow the pointer, and takes the middle button for the display window.
 */
class TSliceView : public QObject
{
    Q_OBJECT

public:
    /** Kinds of shapes, in the order of MeasureShape::Kind. */
    enum ShapeKind
    {
        LineShape,
        RectShape,
        PointShape
    };
    /** A shape as the view shows it. */
    struct Shape
    {
        int Id = 0; ///< the window's name for it
        ShapeKind Kind = LineShape;
        double X0 = 0, Y0 = 0, X1 = 0, Y1 = 0; ///< voxel-centre slice coordinates
        QString Label;                         ///< written beside it
    };

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

    /**
     * Shows `shapes`, the one named `selected` (−1 for none) with its grips. A shape whose
     * grip is being dragged keeps its grips and the place the drag gives it.
     */
    void SetShapes(const std::vector<Shape>& shapes, int selected);
    const std::vector<Shape>& Shapes() const { return shapes_; }
    /** The drawing tool: a ShapeKind, or −1 for none (the panel's gestures). */
    void SetTool(int tool);
    int Tool() const { return tool_; }
    /** The overlay pixel of voxel-centre slice coordinates (u, v). */
    QPointF PixelOf(double u, double v) const;
    /** Voxel-centre slice coordinates of overlay pixel `pixel`. */
    QPointF SliceCoordinates(QPointF pixel) const;

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
    /** A shape of the drawing tool is being drawn (`finished` at the release). */
    void ShapeDrawn(int kind, double x0, double y0, double x1, double y1, bool finished);
    /** A press on shape `id`, or on no shape (−1) in navigating. */
    void ShapePressed(int id);
    /** Shape `id` is being reshaped or moved by its grips (`finished` at the release). */
    void ShapeEdited(int id, double x0, double y0, double x1, double y1, bool finished);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    /** Writes the list: the crosshair's two lines, the shapes, the shape being drawn. */
    void WriteList();
    /** The crosshair's grips, shown (when no shape is selected). */
    void ArmGrips();
    /** Grips on the selected shape, or the crosshair's when there is none. */
    void EditSelection();
    void GripMoved(int grip);
    /** The shape under overlay pixel `at` (the last drawn wins), −1 for none. */
    int ShapeAt(QPointF at) const;
    /** The shape selected as the grips of its edit now place it. */
    bool EditedShape(Shape& shape) const;
    /** Reports the grips' place of the shape being edited, once per turn of the loop. */
    void QueueEditReport();
    bool MousePress(const class QMouseEvent& mouse);
    bool MouseMove(QPoint at);
    bool MouseRelease(const class QMouseEvent& mouse);

    SlicePlane plane_;
    TZoomPanel* panel_;
    TImageControl* image_;
    TGraphicsListControl* overlay_;
    TShapeLabels* labels_;
    int sliceWidth_ = 0, sliceHeight_ = 0;
    int crossU_ = 0, crossV_ = 0;
    uint32_t crossColors_[2] = {0xFFFFFF, 0xFFFFFF};
    bool hovered_ = false;
    bool pressed_ = false;   ///< a left press is under way
    bool moved_ = false;     ///< it moved beyond the click tolerance
    bool onGrip_ = false;    ///< it started on a grip
    bool levelling_ = false; ///< a middle-button drag sets the display window
    QPoint pressAt_;

    std::vector<Shape> shapes_;
    int selected_ = -1;     ///< the id of the shape selected
    int selectedItem_ = -1; ///< its list index, −1 for none
    int tool_ = -1;
    bool drawing_ = false; ///< a shape of the tool is being drawn
    Shape drawn_;          ///< it
    bool editReportQueued_ = false;

    friend class TShapeLabels;
};
