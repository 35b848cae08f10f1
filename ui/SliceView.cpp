#include "SliceView.h"

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "ZoomPanel.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
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

/** Pixels from a shape within which a press takes it. */
constexpr double HitDistance = 5;
/** The colour shapes are drawn in, 0x00BBGGRR: yellow, apart from the crosshair's colours. */
constexpr uint32_t ShapeColour = 0x00FFFF;

/** A shape's list item: list coordinates have voxel edges at whole numbers. */
GraphicsItemStruct Item(const TSliceView::Shape& shape)
{
    const float x0 = float(shape.X0 + 0.5), y0 = float(shape.Y0 + 0.5);
    const float x1 = float(shape.X1 + 0.5), y1 = float(shape.Y1 + 0.5);
    GraphicsItemStruct item = Line(x0, y0, x1, y1, ShapeColour);
    if (shape.Kind == TSliceView::RectShape) item.Kind = GraphicsRectangle;
    if (shape.Kind == TSliceView::PointShape) {
        item.Kind = GraphicsPoint;
        item.Coords[0] = item.Coords[1] = 0;
        item.Coords[2] = x0, item.Coords[3] = y0;
    }
    return item;
}

/** Distance in pixels from `p` to the segment from `a` to `b`. */
double SegmentDistance(QPointF p, QPointF a, QPointF b)
{
    const QPointF d = b - a;
    const double length2 = QPointF::dotProduct(d, d);
    const double t =
        length2 > 0 ? std::clamp(QPointF::dotProduct(p - a, d) / length2, 0.0, 1.0) : 0.0;
    const QPointF nearest = a + t * d;
    return std::hypot(p.x() - nearest.x(), p.y() - nearest.y());
}

} // namespace

/**
 * The shapes' labels over a view: the overlay draws graphics lists only. Mouse events
 * pass through to the overlay beneath.
 */
class TShapeLabels : public QWidget
{
public:
    TShapeLabels(TSliceView* view, QWidget* parent) : QWidget(parent), view_(view)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QFont font = painter.font();
        font.setPointSizeF(font.pointSizeF() * 0.9);
        painter.setFont(font);
        for (const TSliceView::Shape& shape : view_->shapes_) {
            if (shape.Label.isEmpty()) continue;
            const QPointF at =
                view_->PixelOf(shape.Kind == TSliceView::PointShape ? shape.X0 : shape.X1,
                               shape.Kind == TSliceView::PointShape ? shape.Y0 : shape.Y1) +
                QPointF(7, -5);
            // Dark around light: the text reads on any picture, kept within the view.
            QPainterPath path;
            path.addText(QPointF(), font, shape.Label);
            const QRectF box = path.boundingRect();
            const QPointF placed(std::clamp(at.x(), 2 - box.left(),
                                            std::max(2 - box.left(), width() - 2 - box.right())),
                                 std::clamp(at.y(), 2 - box.top(),
                                            std::max(2 - box.top(), height() - 2 - box.bottom())));
            path.translate(placed);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.strokePath(path, QPen(QColor(0, 0, 0, 200), 3));
            painter.fillPath(path, QColor(255, 255, 160));
        }
    }

private:
    TSliceView* view_;
};

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
    // A shape's grips released: the overlay wrote the item back.
    overlay_->OnChange = [this](QObject*, int item) {
        Shape shape;
        if (item == selectedItem_ && EditedShape(shape))
            emit ShapeEdited(shape.Id, shape.X0, shape.Y0, shape.X1, shape.Y1, true);
    };
    labels_ = new TShapeLabels(this, panel_); // above the overlay, letting its events through
    // The grips' squares are placed on the screen when their edit starts: after a zoom or
    // pan (the panel has handed every control its mapping) they are placed anew, unless
    // one is being dragged.
    connect(panel_, &TZoomPanel::Zoomed, this, [this] {
        labels_->update();
        if (!overlay_->Editing() || overlay_->ActiveGrip() >= 0) return;
        selectedItem_ = -1;
        EditSelection();
    });
    panel_->SetAutoMouse(true);
}

void TSliceView::ShowSlice(const ImageStruct* slice)
{
    const int width = slice ? slice->XSize : 0, height = slice ? slice->YSize : 0;
    const bool resized = width != sliceWidth_ || height != sliceHeight_;
    sliceWidth_ = width, sliceHeight_ = height;
    // The control only reads an image it does not own. The model refills one record for
    // every slice of a plane: the record shown already takes the new pixels by Invalidate.
    if (image_->Image() == slice)
        image_->Invalidate();
    else
        image_->SetImage(const_cast<ImageStruct*>(slice));
    // The panel hands its children the mapping of a picture of the new size.
    if (resized) panel_->Resize();
}

void TSliceView::Refresh()
{
    image_->Invalidate();
}

void TSliceView::SetCrosshair(int u, uint32_t uColor, int v, uint32_t vColor)
{
    crossU_ = u, crossV_ = v;
    // A colour of 0 keeps the line's present colour (a grip drag moves the line only).
    if (uColor) crossColors_[0] = uColor;
    if (vColor) crossColors_[1] = vColor;
    WriteList();
    ArmGrips();
    overlay_->Invalidate();
}

void TSliceView::WriteList()
{
    const int needed = 2 + int(shapes_.size()) + (drawing_ ? 1 : 0);
    if (!overlay_->List || overlay_->List->Allocated < needed) {
        // A new list: the edit of the old one's item goes with it.
        overlay_->SetAllocSize(std::max(needed, 2 * overlay_->AllocSize()));
        selectedItem_ = -1;
    }
    GraphicsListStruct* list = overlay_->List;
    if (!list) return;
    if (sliceWidth_ <= 0 || sliceHeight_ <= 0) {
        list->Count = 0;
        return;
    }
    const float x = float(crossU_) + 0.5f, y = float(crossV_) + 0.5f;
    const float w = float(sliceWidth_), h = float(sliceHeight_);
    list->Items[0] = Line(x, 0, x, h, crossColors_[0]);
    list->Items[1] = Line(0, y, w, y, crossColors_[1]);
    int count = 2;
    const auto write = [&](const Shape& shape) { list->Items[count++] = Item(shape); };
    for (const Shape& shape : shapes_)
        write(shape);
    if (drawing_) write(drawn_);
    list->Count = count;
    labels_->update();
}

void TSliceView::ArmGrips()
{
    if (selectedItem_ >= 0) return;
    // The edit starts anew (after a shape's, or with the crosshair moved), which places the
    // grips' squares where they now are; a crosshair grip being dragged stays the one.
    overlay_->StopEdit();
    overlay_->ClearGrips();
    GraphicsListStruct* list = overlay_->List;
    if (!list || list->Count == 0) return;
    // The grips sit at the lines' ends, the vertical line's at the top edge and the
    // horizontal line's at the left edge, clear of the picture's centre.
    const float x = float(crossU_) + 0.5f, y = float(crossV_) + 0.5f;
    overlay_->Grips[0].Fill(x, 0, TGraphicsListControl::goBottom, GripSize, true);
    overlay_->Grips[1].Fill(0, y, TGraphicsListControl::goRight, GripSize, true);
    overlay_->StartEdit();
}

void TSliceView::SetShapes(const std::vector<Shape>& shapes, int selected)
{
    shapes_ = shapes;
    selected_ = selected;
    WriteList();
    EditSelection();
    overlay_->Invalidate();
}

void TSliceView::EditSelection()
{
    int item = -1;
    for (size_t i = 0; i < shapes_.size(); ++i)
        if (shapes_[i].Id == selected_) item = 2 + int(i);
    // A drag of a grip keeps its edit: the shapes follow it, not the other way round.
    if (overlay_->ActiveGrip() >= 0 && item == selectedItem_ && item >= 0) return;
    selectedItem_ = item;
    if (item >= 0)
        overlay_->StartDefaultEdit(item);
    else
        ArmGrips();
}

void TSliceView::SetTool(int tool)
{
    tool_ = tool;
    overlay_->setCursor(tool >= 0 ? Qt::CrossCursor : Qt::ArrowCursor);
}

QPointF TSliceView::PixelOf(double u, double v) const
{
    return overlay_->Mapping().ToPixel(QPointF(u + 0.5, v + 0.5));
}

QPointF TSliceView::SliceCoordinates(QPointF pixel) const
{
    return overlay_->Mapping().ToSample(pixel) - QPointF(0.5, 0.5);
}

int TSliceView::ShapeAt(QPointF at) const
{
    for (size_t i = shapes_.size(); i-- > 0;) {
        const Shape& shape = shapes_[i];
        const QPointF a = PixelOf(shape.X0, shape.Y0), b = PixelOf(shape.X1, shape.Y1);
        double distance = 0;
        switch (shape.Kind) {
        case PointShape:
            distance = std::hypot(at.x() - a.x(), at.y() - a.y());
            break;
        case LineShape:
            distance = SegmentDistance(at, a, b);
            break;
        case RectShape: {
            const QPointF c(a.x(), b.y()), d(b.x(), a.y());
            distance = std::min({SegmentDistance(at, a, c), SegmentDistance(at, c, b),
                                 SegmentDistance(at, b, d), SegmentDistance(at, d, a)});
            break;
        }
        }
        if (distance <= HitDistance) return shape.Id;
    }
    return -1;
}

bool TSliceView::EditedShape(Shape& shape) const
{
    if (selectedItem_ < 0 || size_t(selectedItem_ - 2) >= shapes_.size()) return false;
    shape = shapes_[size_t(selectedItem_ - 2)];
    const auto& grips = overlay_->Grips;
    // The grips of the overlay's edits: a point's 0, a rectangle's corners 0 and 4, a
    // line's ends 0 and 2; list coordinates have voxel edges at whole numbers.
    const int second = overlay_->EditType() == 2 ? 4 : overlay_->EditType() == 3 ? 2 : 0;
    shape.X0 = grips[0].X - 0.5, shape.Y0 = grips[0].Y - 0.5;
    shape.X1 = grips[second].X - 0.5, shape.Y1 = grips[second].Y - 0.5;
    return true;
}

void TSliceView::QueueEditReport()
{
    if (editReportQueued_) return;
    editReportQueued_ = true;
    // The overlay moves the grips after this filter has seen the move: the report waits
    // for it, and many moves in one turn of the loop make one report.
    QMetaObject::invokeMethod(
        this,
        [this] {
            editReportQueued_ = false;
            Shape shape;
            if (overlay_->ActiveGrip() >= 0 && EditedShape(shape))
                emit ShapeEdited(shape.Id, shape.X0, shape.Y0, shape.X1, shape.Y1, false);
        },
        Qt::QueuedConnection);
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
    case QEvent::MouseButtonPress:
        return MousePress(*static_cast<QMouseEvent*>(event));
    case QEvent::MouseMove:
        return MouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
    case QEvent::MouseButtonRelease:
        return MouseRelease(*static_cast<QMouseEvent*>(event));
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

bool TSliceView::MousePress(const QMouseEvent& mouse)
{
    const QPoint at = mouse.position().toPoint();
    if (mouse.button() == Qt::MiddleButton) {
        levelling_ = true;
        pressAt_ = at;
        emit WindowLevelDragged(true, QPoint());
        return true;
    }
    if (mouse.button() != Qt::LeftButton) return false;
    bool onGrip = false;
    if (overlay_->Editing())
        for (int i = 0; i < overlay_->Grips.Count(); ++i)
            onGrip = onGrip || (overlay_->Grips[i].Active &&
                                TGraphicsListControl::HitsGrip(at.x(), at.y(), overlay_->Grips[i]));
    const bool onShapeGrip = onGrip && selectedItem_ >= 0;
    if (tool_ >= 0 && !onShapeGrip && sliceWidth_ > 0 && sliceHeight_ > 0) {
        // A new shape, from the press on, its ends kept within the slice.
        const QPointF p = SliceCoordinates(at);
        const double u = std::clamp(p.x(), -0.5, sliceWidth_ - 0.5);
        const double v = std::clamp(p.y(), -0.5, sliceHeight_ - 0.5);
        drawing_ = true;
        drawn_ = Shape{-1, ShapeKind(tool_), u, v, u, v, QString()};
        WriteList();
        overlay_->Invalidate();
        emit ShapeDrawn(tool_, u, v, u, v, false);
        return true;
    }
    if (!onShapeGrip) {
        const int shape = ShapeAt(at);
        if (shape >= 0) {
            emit ShapePressed(shape);
            return true;
        }
        if (selected_ >= 0) emit ShapePressed(-1);
    }
    pressed_ = true, moved_ = false;
    onGrip_ = onGrip;
    pressAt_ = at;
    return false;
}

bool TSliceView::MouseMove(QPoint at)
{
    hovered_ = true;
    if (levelling_) {
        emit WindowLevelDragged(false, at - pressAt_);
        return true;
    }
    if (drawing_) {
        const QPointF p = SliceCoordinates(at);
        const double u = std::clamp(p.x(), -0.5, sliceWidth_ - 0.5);
        const double v = std::clamp(p.y(), -0.5, sliceHeight_ - 0.5);
        if (drawn_.Kind == PointShape) drawn_.X0 = u, drawn_.Y0 = v;
        drawn_.X1 = u, drawn_.Y1 = v;
        WriteList();
        overlay_->Invalidate();
        emit ShapeDrawn(drawn_.Kind, drawn_.X0, drawn_.Y0, drawn_.X1, drawn_.Y1, false);
        return true;
    }
    if (overlay_->ActiveGrip() >= 0 && selectedItem_ >= 0) QueueEditReport();
    if (pressed_ && ((at - pressAt_).manhattanLength() > ClickTolerance)) moved_ = true;
    int u = 0, v = 0;
    const bool inside = SliceAt(at, u, v);
    emit PointerAt(inside, u, v);
    return false;
}

bool TSliceView::MouseRelease(const QMouseEvent& mouse)
{
    if (mouse.button() == Qt::MiddleButton && levelling_) {
        levelling_ = false;
        return true;
    }
    if (mouse.button() != Qt::LeftButton) return false;
    if (drawing_) {
        drawing_ = false;
        WriteList();
        overlay_->Invalidate();
        emit ShapeDrawn(drawn_.Kind, drawn_.X0, drawn_.Y0, drawn_.X1, drawn_.Y1, true);
        return true;
    }
    if (!pressed_) return false;
    pressed_ = false;
    int u = 0, v = 0;
    if (!moved_ && !onGrip_ && SliceAt(mouse.position().toPoint(), u, v)) emit Clicked(u, v);
    // A press on empty space stopped the grips: the crosshair keeps them.
    if (!overlay_->Editing()) EditSelection();
    return false;
}
