#include "ZoomPanel.h"

#include <QApplication>
#include <QChildEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QResizeEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cstdint>

TZoomMapping TZoomMapping::FromZoom(const TZoom& zoom, int width, int height, int xSize, int ySize)
{
    TZoomMapping m;
    m.XScale = static_cast<float>(double(width) * zoom.XFactor / xSize);
    m.XOffset = static_cast<float>(double(width) * zoom.XOrigin);
    m.YScale = static_cast<float>(double(height) * zoom.YFactor / ySize);
    m.YOffset = static_cast<float>(double(height) * zoom.YOrigin);
    return m;
}

// ---------------------------------------------------------------------------------

namespace {

/** The child controls of `panel` in list order (widgets that are not windows). */
QList<QWidget*> ChildControls(const QWidget* panel)
{
    QList<QWidget*> result;
    for (QObject* object : panel->children()) {
        if (!object->isWidgetType()) continue;
        auto* widget = static_cast<QWidget*>(object);
        if (!widget->isWindow()) result.append(widget);
    }
    return result;
}

/** A picture at least as large as the area may leave no empty border. */
void KeepNoEmptyBorder(double factor, double& origin)
{
    if (origin > 0) origin = 0;
    if (factor + origin < 1) origin = 1 - factor;
}

/** One axis of a zoom step about `at` (area units) by the normalised step `fd`. */
void ScaleAxis(double& factor, double& origin, float at, float fd, float maxScale, float minScale,
               float speed, bool noEmptyBorder)
{
    if (!(maxScale != 0 && fd <= 0 && factor >= maxScale)) {
        const double f = 1.0 - double(speed) * fd;
        // A step that would collapse or mirror the picture shrinks it onto the point and
        // leaves the factor to the minimum; with no minimum to stop it, it is not taken.
        if (f > 0 || minScale > 0) {
            const double g = std::max(f, 0.0);
            origin = at + (origin - at) * g;
            factor *= g;
        }
    }
    if (minScale != 0 && factor < minScale) factor = minScale;
    if (factor < 1)
        origin = (1 - factor) * 0.5;
    else if (noEmptyBorder)
        KeepNoEmptyBorder(factor, origin);
}

/**
 * The one application-wide wheel filter of all panels. It acts on an event when it
 * reaches a widget (not the window that first receives it) and, having zoomed, ends
 * its delivery, so a notch is applied once whatever the number of panels.
 */
class TWheelHook : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Wheel || !watched->isWidgetType()) return false;
        return TZoomPanel::ProcessMouseWheelMessage(*static_cast<QWheelEvent*>(event));
    }
};

int livePanels = 0;
QPointer<TWheelHook> wheelHook;

} // namespace

// ---------------------------------------------------------------------------------

TZoomableControl::TZoomableControl(QWidget* parent) : QWidget(parent)
{
    // Moves are reported with no button down too, as the gestures' hooks expect.
    setMouseTracking(true);
}

bool TZoomableControl::PictureSize(int& XSize, int& YSize, bool& HasImage) const
{
    XSize = YSize = 0;
    HasImage = false;
    return false;
}

void TZoomableControl::PanelZoomApplied() {}

bool TZoomableControl::SetMapping(const TZoomMapping& mapping)
{
    if (mapping == mapping_) return false;
    const TZoomMapping previous = mapping_;
    mapping_ = mapping;
    MappingChanged(previous);
    if (mapping.XScale != previous.XScale) emit XScaleChanged();
    if (mapping.XOffset != previous.XOffset) emit XOffsetChanged();
    if (mapping.YScale != previous.YScale) emit YScaleChanged();
    if (mapping.YOffset != previous.YOffset) emit YOffsetChanged();
    return true;
}

void TZoomableControl::MappingChanged(const TZoomMapping&)
{
    update();
}

void TZoomableControl::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (OnMouseDown) OnMouseDown(this, Button, Shift, X, Y);
    if (!OnMouseDown && OnPanelMouseDown) OnPanelMouseDown(this, Button, Shift, X, Y);
    emit MousePressed(ToQtButton(Button), Shift, QPoint(X, Y));
}

void TZoomableControl::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (OnMouseUp) OnMouseUp(this, Button, Shift, X, Y);
    if (!OnMouseUp && OnPanelMouseUp) OnPanelMouseUp(this, Button, Shift, X, Y);
    emit MouseReleased(ToQtButton(Button), Shift, QPoint(X, Y));
}

void TZoomableControl::MouseMove(TShiftState Shift, int X, int Y)
{
    if (OnMouseMove) OnMouseMove(this, Shift, X, Y);
    if (!OnMouseMove && OnPanelMouseMove) OnPanelMouseMove(this, Shift, X, Y);
    emit MouseMoved(Shift, QPoint(X, Y));
}

void TZoomableControl::mousePressEvent(QMouseEvent* event)
{
    TMouseButton button;
    if (!ToMouseButton(event->button(), button)) return QWidget::mousePressEvent(event);
    event->accept();
    MouseDown(button, ToShiftState(*event), PixelX(*event), PixelY(*event));
}

void TZoomableControl::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A double click is a second press carrying ssDouble.
    mousePressEvent(event);
}

void TZoomableControl::mouseReleaseEvent(QMouseEvent* event)
{
    TMouseButton button;
    if (!ToMouseButton(event->button(), button)) return QWidget::mouseReleaseEvent(event);
    event->accept();
    MouseUp(button, ToShiftState(*event), PixelX(*event), PixelY(*event));
}

void TZoomableControl::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    MouseMove(ToShiftState(*event), PixelX(*event), PixelY(*event));
}

bool TZoomableControl::event(QEvent* event)
{
    // Leaving a panel drops the hooks bound to it; a later panel hooks afresh.
    if (event->type() == QEvent::ParentAboutToChange) {
        if (auto* panel = qobject_cast<TZoomPanel*>(parentWidget())) {
            panel->Unhook(this);
            panel->state_ = 0;
            panel->childrenChanged_ = true;
            panel->update();
        }
    }
    return QWidget::event(event);
}

// ---------------------------------------------------------------------------------

TZoomPanel::TZoomPanel(QWidget* parent) : TPanel(parent)
{
    SetAutoMouse(false);
    SetClientRatio(-1.0f);
    SetResizeChildren(true);
    SetMinScale(1.0f);
    childCount_ = 0;
    initialised_ = true;
    Resize();

    if (livePanels++ == 0 || !wheelHook) {
        wheelHook = new TWheelHook(qApp);
        qApp->installEventFilter(wheelHook);
    }
}

TZoomPanel::~TZoomPanel()
{
    for (QWidget* child : ChildControls(this))
        if (auto* zoomable = qobject_cast<TZoomableControl*>(child)) Unhook(zoomable);
    if (--livePanels == 0) delete wheelHook;
}

void TZoomPanel::Unhook(TZoomableControl* child)
{
    if (child->OnPanelMouseDown.IsBoundTo(this, &TZoomPanel::ChildMouseDown))
        child->OnPanelMouseDown.Clear();
    if (child->OnPanelMouseUp.IsBoundTo(this, &TZoomPanel::ChildMouseUp))
        child->OnPanelMouseUp.Clear();
    if (child->OnPanelMouseMove.IsBoundTo(this, &TZoomPanel::ChildMouseMove))
        child->OnPanelMouseMove.Clear();
}

void TZoomPanel::SetMaxScale(float value)
{
    if (value != 0 && value < 1.0f) value = 1.0f;
    maxScale_ = value;
}

void TZoomPanel::SetMinScale(float value)
{
    if (value > 1.0f || value < 0) value = 1.0f;
    minScale_ = value;
}

void TZoomPanel::SetClientRatio(float value)
{
    clientRatio_ = value;
    Resize();
}

void TZoomPanel::SetResizeChildren(bool value)
{
    resizeChildren_ = value;
    Resize();
}

void TZoomPanel::SetOnZoom(TZoomEvent value)
{
    onZoom_ = std::move(value);
    Resize();
}

void TZoomPanel::SetAutoMouse(bool value)
{
    const QList<QWidget*> children = ChildControls(this);
    if (value == autoMouse_ && children.size() == childCount_ && !childrenChanged_) return;
    childCount_ = static_cast<int>(children.size());
    childrenChanged_ = false;
    autoMouse_ = value;
    for (QWidget* child : children) {
        auto* zoomable = qobject_cast<TZoomableControl*>(child);
        if (!zoomable) continue;
        if (value) {
            zoomable->OnPanelMouseDown = TMouseEvent(this, &TZoomPanel::ChildMouseDown);
            zoomable->OnPanelMouseUp = TMouseEvent(this, &TZoomPanel::ChildMouseUp);
            zoomable->OnPanelMouseMove = TMouseMoveEvent(this, &TZoomPanel::ChildMouseMove);
        } else {
            Unhook(zoomable);
        }
    }
}

QRect TZoomPanel::ZoomArea() const
{
    // Until a panel resized while hidden is laid out again, the area follows its size.
    return initialised_ && size() != laidOutSize_ ? AreaForSize() : zoomArea_;
}

QRect TZoomPanel::AreaForSize() const
{
    if (!resizeChildren_) return QRect(zoomArea_.topLeft(), contentsRect().size());
    const int w = width();
    const int h = height();
    int areaWidth = w;
    int areaHeight = h;
    if (clientRatio_ > 0) {
        if (float(h) > float(w) / clientRatio_)
            areaHeight = static_cast<int>(float(w) / clientRatio_);
        else
            areaWidth = static_cast<int>(float(h) * clientRatio_);
    }
    return QRect((w - areaWidth) / 2, (h - areaHeight) / 2, areaWidth, areaHeight);
}

bool TZoomPanel::LayOutIfStale()
{
    // Qt holds a hidden widget's resize event back until it is shown.
    if (!initialised_ || size() == laidOutSize_) return false;
    Resize();
    return true;
}

void TZoomPanel::Resize()
{
    if (initialised_) {
        laidOutSize_ = size();
        zoomArea_ = AreaForSize();
        if (resizeChildren_)
            for (QWidget* child : ChildControls(this))
                child->setGeometry(zoomArea_);
    }
    generateZoomEvent();
}

void TZoomPanel::generateZoomEvent()
{
    // A panel resized while hidden lays itself out first, which comes back here.
    if (LayOutIfStale()) return;
    if (autoMouse_) {
        const QList<QWidget*> children = ChildControls(this);
        // The reference: the first image child with a picture shown, else the first image
        // child at all; only children offering a positive picture size qualify.
        TZoomableControl* reference = nullptr;
        int refXSize = 0;
        int refYSize = 0;
        for (QWidget* child : children) {
            auto* zoomable = qobject_cast<TZoomableControl*>(child);
            int xSize = 0;
            int ySize = 0;
            bool hasImage = false;
            if (!zoomable || !zoomable->PictureSize(xSize, ySize, hasImage)) continue;
            if (xSize <= 0 || ySize <= 0) continue;
            if (!reference) {
                reference = zoomable;
                refXSize = xSize;
                refYSize = ySize;
            }
            if (hasImage) {
                reference = zoomable;
                refXSize = xSize;
                refYSize = ySize;
                break;
            }
        }
        if (reference) {
            const TZoomMapping m = TZoomMapping::FromZoom(zoom_, reference->width(),
                                                          reference->height(), refXSize, refYSize);
            for (QWidget* child : children) {
                if (auto* zoomable = qobject_cast<TZoomableControl*>(child)) {
                    zoomable->SetZoomProperties(m.XScale, m.XOffset, m.YScale, m.YOffset);
                    zoomable->PanelZoomApplied();
                }
            }
        }
    }
    if (zoom_ != notifiedZoom_) {
        notifiedZoom_ = zoom_;
        emit ZoomChanged(zoom_);
    }
    if (onZoom_) onZoom_(this, zoom_);
    emit Zoomed(zoom_);
}

void TZoomPanel::Move(int DX, int DY)
{
    LayOutIfStale();
    if (zoomArea_.width() <= 0 || zoomArea_.height() <= 0) return;
    const float fx = static_cast<float>(double(DX) / zoomArea_.width());
    const float fy = static_cast<float>(double(DY) / zoomArea_.height());
    if (xEnable_) {
        zoom_.XOrigin += fx;
        if (xNoEmptyBorder_) KeepNoEmptyBorder(zoom_.XFactor, zoom_.XOrigin);
    }
    if (yEnable_) {
        zoom_.YOrigin += fy;
        if (yNoEmptyBorder_) KeepNoEmptyBorder(zoom_.YFactor, zoom_.YOrigin);
    }
    if (xEnable_ || yEnable_) generateZoomEvent();
}

void TZoomPanel::Scale(int X, int Y, int Delta)
{
    LayOutIfStale();
    if (zoomArea_.width() <= 0 || zoomArea_.height() <= 0) return;
    const float fx = static_cast<float>(double(X) / zoomArea_.width());
    const float fy = static_cast<float>(double(Y) / zoomArea_.height());
    // The step is normalised by the area height on both axes.
    const float fd = static_cast<float>(double(Delta) / zoomArea_.height());
    const bool xTakesPart = xEnable_ && xScaleEnable_;
    const bool yTakesPart = yEnable_ && yScaleEnable_;
    if (xTakesPart)
        ScaleAxis(zoom_.XFactor, zoom_.XOrigin, fx, fd, maxScale_, minScale_, scaleSpeed_,
                  xNoEmptyBorder_);
    if (yTakesPart)
        ScaleAxis(zoom_.YFactor, zoom_.YOrigin, fy, fd, maxScale_, minScale_, scaleSpeed_,
                  yNoEmptyBorder_);
    if (xTakesPart || yTakesPart) generateZoomEvent();
}

void TZoomPanel::SetFracScale(double F)
{
    if (xEnable_ && xScaleEnable_) zoom_.XFactor = F;
    if (yEnable_ && yScaleEnable_) zoom_.YFactor = F;
    Scale(width() / 2, height() / 2, 0);
}

void TZoomPanel::Reset()
{
    zoom_ = TZoom();
    generateZoomEvent();
}

void TZoomPanel::SetZoom(const TZoom& zoom)
{
    if (zoom == zoom_) return;
    zoom_ = zoom;
    generateZoomEvent();
}

void TZoomPanel::SetZoomField(double TZoom::*field, float value)
{
    if (float(zoom_.*field) == value) return;
    TZoom zoom = zoom_;
    zoom.*field = value;
    SetZoom(zoom);
}

void TZoomPanel::StartMove(int X, int Y)
{
    if (state_ != 0) return;
    state_ = 1;
    last_ = QPoint(X, Y);
}

void TZoomPanel::StartScale(int X, int Y)
{
    if (state_ != 0) return;
    state_ = 2;
    last_.setY(Y);
    zoomCentre_ = QPoint(X, Y);
}

void TZoomPanel::StopMove()
{
    if (state_ == 1) state_ = 0;
}

void TZoomPanel::StopScale()
{
    if (state_ == 2) state_ = 0;
}

void TZoomPanel::PointMove(int X, int Y)
{
    if (state_ == 1) {
        Move(X - last_.x(), Y - last_.y());
        last_ = QPoint(X, Y);
    } else if (state_ == 2) {
        Scale(zoomCentre_.x(), zoomCentre_.y(), Y - last_.y());
        last_.setY(Y);
    }
}

void TZoomPanel::ChildMouseDown(QObject* Sender, TMouseButton Button, TShiftState, int X, int Y)
{
    if (Button == mbLeft) {
        StartMove(X, Y);
    } else if (Button == mbRight) {
        StartScale(X, Y);
        // Keep the zoom drag going when the pointer leaves the child.
        if (auto* control = qobject_cast<QWidget*>(Sender); control && control->isVisible())
            control->grabMouse();
    }
}

void TZoomPanel::ChildMouseUp(QObject*, TMouseButton Button, TShiftState, int, int)
{
    if (Button == mbLeft) {
        StopMove();
    } else if (Button == mbRight) {
        StopScale();
        if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    }
}

void TZoomPanel::ChildMouseMove(QObject*, TShiftState, int X, int Y)
{
    PointMove(X, Y);
}

bool TZoomPanel::ProcessMouseWheelMessage(const QWheelEvent& Msg)
{
    const int delta = Msg.angleDelta().y();
    if (delta == 0) return false;
    const QPoint global = Msg.globalPosition().toPoint();
    QWidget* control = QApplication::widgetAt(global);
    if (!control || control->isWindow()) return false;
    auto* panel = qobject_cast<TZoomPanel*>(control->parentWidget());
    if (!panel || !panel->scaleWheel_) return false;
    const QPoint local = control->mapFromGlobal(global);
    const int d = static_cast<int>(int64_t(delta) * -control->height() / 2400);
    panel->Scale(local.x(), local.y(), d);
    return true;
}

void TZoomPanel::paintEvent(QPaintEvent* event)
{
    if (childrenChanged_ || ChildControls(this).size() != childCount_) {
        // Children came or went: hook the new ones, lay them out and hand them the zoom.
        SetAutoMouse(autoMouse_);
        childCount_ = static_cast<int>(ChildControls(this).size());
        childrenChanged_ = false;
        Resize();
    }
    TPanel::paintEvent(event);
}

void TZoomPanel::resizeEvent(QResizeEvent* event)
{
    TPanel::resizeEvent(event);
    Resize();
}

void TZoomPanel::showEvent(QShowEvent* event)
{
    TPanel::showEvent(event);
    LayOutIfStale();
}

void TZoomPanel::childEvent(QChildEvent* event)
{
    if (event->added() || event->removed()) {
        childrenChanged_ = true;
        update();
    }
    TPanel::childEvent(event);
}
