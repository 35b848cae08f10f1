#include "SliceView.h"

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "ZoomPanel.h"

#include <QMouseEvent>

#include <cmath>

namespace {

/**
 * A press that moves no more than this before its release is a click: pixels of
 * Manhattan length, the horizontal and vertical moves added.
 */
constexpr int ClickTolerance = 3;
/** Half-size of a crosshair grip's square. */
constexpr int GripSize = 5;

GraphicsItemStruct Line(float x1, float y1, float x2, float y2, uint32_t color)
{
    GraphicsItemStruct item;
    item.Kind = GraphicsLine;
    item.Color = color;
    item.Coords[0] = x1, item.Coords[1] = y1, item.Coords[2] = x2, item.Coords[3] = y2;
    return item;
}

} // namespace

TSliceView::TSliceView(SlicePlane plane, QWidget* parent) : QObject(parent), plane_(plane)
{
    panel_ = new TZoomPanel(parent);
    panel_->SetColor(0x202020);
    // The window zooms the three views together (LinkedZoom): the picture may be smaller
    // or larger than the panel and lie anywhere in it, and the window bounds the level.
    panel_->SetMinScale(0.0f);
    panel_->SetXNoEmptyBorder(false);
    panel_->SetYNoEmptyBorder(false);
    panel_->setFocusPolicy(Qt::NoFocus);

    image_ = new TImageControl(panel_);
    image_->SetBorderColor(0x202020);
    // Voxels stay sharp squares when enlarged; rows of a slice that refers to the volume
    // run top-down from any address, which the drawing takes as they are.
    using Flag = TImageControl::DrawingMethodFlag;
    image_->SetDrawingMethod(Flag::DriverHandlesVerticalMirror |
                             Flag::HandlesNonWordAlignedImageYOffset |
                             Flag::DontPerformSmoothScalingWhenEnlarging);

    overlay_ = new TGraphicsListControl(panel_); // above the image: created after it
    overlay_->SetTransparent(true);
    overlay_->AutoEdit = false; // the crosshair lines are not reshaped, only dragged by grips
    overlay_->setFocusPolicy(Qt::NoFocus); // the window steps slices with the arrow keys
    overlay_->setMouseTracking(true);
    overlay_->installEventFilter(this);
    overlay_->OnGripMove = [this](QObject*, int grip) { GripMoved(grip); };
    overlay_->OnFinishMove = [this](QObject*, int) { SetCrosshair(crossU_, 0, crossV_, 0); };
    panel_->SetAutoMouse(true);
}

void TSliceView::ShowSlice(const ImageStruct* slice)
{
    sliceWidth_ = slice ? slice->XSize : 0, sliceHeight_ = slice ? slice->YSize : 0;
    // The control only reads an image it does not own. The model refills one record for
    // every slice of a plane: the record shown already takes the new pixels by Invalidate.
    if (image_->Image() == slice)
        image_->Invalidate();
    else
        image_->SetImage(const_cast<ImageStruct*>(slice));
}

void TSliceView::Refresh()
{
    image_->Invalidate();
}

void TSliceView::SetCrosshair(int u, uint32_t uColor, int v, uint32_t vColor)
{
    GraphicsListStruct* list = overlay_->List;
    if (!list || list->Allocated < 2) return;
    crossU_ = u, crossV_ = v;
    const float x = float(u) + 0.5f, y = float(v) + 0.5f;
    const float w = float(sliceWidth_), h = float(sliceHeight_);
    // A colour of 0 keeps the line's present colour (a grip drag moves the line only).
    const uint32_t colors[2] = {uColor ? uColor : list->Items[0].Color,
                                vColor ? vColor : list->Items[1].Color};
    list->Items[0] = Line(x, 0, x, h, colors[0]);
    list->Items[1] = Line(0, y, w, y, colors[1]);
    list->Count = sliceWidth_ > 0 && sliceHeight_ > 0 ? 2 : 0;
    // The grips sit at the lines' ends, the vertical line's at the top edge and the
    // horizontal line's at the left edge, clear of the picture's centre.
    overlay_->Grips[0].Fill(x, 0, TGraphicsListControl::goBottom, GripSize, true);
    overlay_->Grips[1].Fill(0, y, TGraphicsListControl::goRight, GripSize, true);
    if (list->Count == 0) overlay_->ClearGrips();
    ArmGrips();
    overlay_->Invalidate();
}

void TSliceView::ArmGrips()
{
    if (overlay_->List && overlay_->List->Count > 0 && !overlay_->Editing()) overlay_->StartEdit();
}

void TSliceView::GripMoved(int grip)
{
    const TGraphicsListControl::TGrip& g = overlay_->Grips[grip];
    if (grip == 0)
        emit CrosshairDragged(0, int(std::floor(g.X)));
    else if (grip == 1)
        emit CrosshairDragged(1, int(std::floor(g.Y)));
}

bool TSliceView::SliceAt(QPoint point, int& u, int& v) const
{
    const TZoomMapping& mapping = overlay_->Mapping();
    const double su = mapping.ToSampleX(point.x() + 0.5), sv = mapping.ToSampleY(point.y() + 0.5);
    if (!(su >= 0 && sv >= 0 && su < sliceWidth_ && sv < sliceHeight_)) return false;
    u = int(su), v = int(sv);
    return true;
}

bool TSliceView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != overlay_) return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::MiddleButton) {
            levelling_ = true;
            pressAt_ = mouse->position().toPoint();
            emit WindowLevelDragged(true, QPoint());
            return true;
        }
        if (mouse->button() != Qt::LeftButton) break;
        pressed_ = true, moved_ = false, onGrip_ = false;
        pressAt_ = mouse->position().toPoint();
        if (overlay_->Editing())
            for (int i = 0; i < 2; ++i)
                onGrip_ = onGrip_ || TGraphicsListControl::HitsGrip(pressAt_.x(), pressAt_.y(),
                                                                    overlay_->Grips[i]);
        break;
    }
    case QEvent::MouseMove: {
        const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
        hovered_ = true;
        if (levelling_) {
            emit WindowLevelDragged(false, at - pressAt_);
            return true;
        }
        if (pressed_ && ((at - pressAt_).manhattanLength() > ClickTolerance)) moved_ = true;
        int u = 0, v = 0;
        const bool inside = SliceAt(at, u, v);
        emit PointerAt(inside, u, v);
        break;
    }
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::MiddleButton && levelling_) {
            levelling_ = false;
            return true;
        }
        if (mouse->button() != Qt::LeftButton || !pressed_) break;
        pressed_ = false;
        int u = 0, v = 0;
        if (!moved_ && !onGrip_ && SliceAt(mouse->position().toPoint(), u, v)) emit Clicked(u, v);
        // A press on empty space stopped the grips: the crosshair keeps them.
        ArmGrips();
        break;
    }
    case QEvent::Enter:
        hovered_ = true;
        break;
    case QEvent::Leave:
        hovered_ = false;
        emit PointerAt(false, 0, 0);
        break;
    default:
        break;
    }
    return false;
}
