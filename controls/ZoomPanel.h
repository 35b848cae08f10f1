#pragma once

#include "controls_export.h"

#include "Events.h"
#include "Framework.h"

#include <QMetaType>
#include <QObject>
#include <QPoint>
#include <QPointF>
#include <QPointer>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QWidget>

#include <utility>

class QWheelEvent;

/**
 * Zoomable controls and the pan-and-zoom panel.
 *
 * A TZoomPanel keeps one zoom state (TZoom) for the controls stacked in it, turns
 * left drags into panning and right drags and the mouse wheel into zooming about a
 * point, and hands every zoomable child its scale and offset (TZoomMapping) through
 * TZoomableControl::SetZoomProperties.
 */

/**
 * The zoom state of a panel, in units of its zoom area. With an area W × H pixels
 * the picture covers x from XOrigin·W to (XOrigin + XFactor)·W and y from YOrigin·H to
 * (YOrigin + YFactor)·H. The initial values (the identity) fill the area exactly.
 */
struct VOLINSPECT_CONTROLS_EXPORT TZoom
{
    double XFactor = 1.0; ///< picture width / zoom-area width; above 1 is zoomed in
    double XOrigin = 0.0; ///< picture's left edge, in area widths from the area's left edge
    double YFactor = 1.0; ///< picture height / zoom-area height
    double YOrigin = 0.0; ///< picture's top edge, in area heights from the area's top edge

    bool operator==(const TZoom&) const = default;
};
Q_DECLARE_METATYPE(TZoom)

/** A zoom event: Sender (the panel) and the panel's own zoom record. */
using TZoomEvent = TEvent<QObject*, const TZoom&>;

/**
 * The mapping between picture samples and a control's client pixels that a zoomable
 * control receives: sample coordinate u lies at pixel XOffset + u·XScale, likewise in y.
 * Every zoomable control maps points and rectangles through this type.
 */
struct VOLINSPECT_CONTROLS_EXPORT TZoomMapping
{
    float XScale = 1.0f;  ///< client pixels per picture sample along x
    float XOffset = 0.0f; ///< client pixel x of sample coordinate 0
    float YScale = 1.0f;  ///< client pixels per picture sample along y
    float YOffset = 0.0f; ///< client pixel y of sample coordinate 0

    bool operator==(const TZoomMapping&) const = default;

    /** Client pixel x of picture sample coordinate `u`. */
    double ToPixelX(double u) const { return XOffset + u * XScale; }
    /** Client pixel y of picture sample coordinate `v`. */
    double ToPixelY(double v) const { return YOffset + v * YScale; }
    /** Picture sample coordinate of client pixel x; 0 when XScale is 0. */
    double ToSampleX(double x) const { return XScale == 0.0f ? 0.0 : (x - XOffset) / XScale; }
    /** Picture sample coordinate of client pixel y; 0 when YScale is 0. */
    double ToSampleY(double y) const { return YScale == 0.0f ? 0.0 : (y - YOffset) / YScale; }

    /** A point in picture samples mapped to client pixels. */
    QPointF ToPixel(QPointF sample) const { return {ToPixelX(sample.x()), ToPixelY(sample.y())}; }
    /** A point in client pixels mapped to picture samples. */
    QPointF ToSample(QPointF pixel) const { return {ToSampleX(pixel.x()), ToSampleY(pixel.y())}; }
    /** A rectangle in picture samples mapped to client pixels (normalised). */
    QRectF ToPixel(const QRectF& sample) const
    {
        return QRectF(ToPixel(sample.topLeft()), ToPixel(sample.bottomRight())).normalized();
    }
    /** A rectangle in client pixels mapped to picture samples (normalised). */
    QRectF ToSample(const QRectF& pixel) const
    {
        return QRectF(ToSample(pixel.topLeft()), ToSample(pixel.bottomRight())).normalized();
    }

    /**
     * The mapping a panel's zoom gives a control `width` × `height` client pixels
     * showing a picture of `xSize` × `ySize` samples: XScale = width·XFactor / xSize,
     * XOffset = width·XOrigin, likewise in y; computed in double, stored as float.
     * Sizes must be positive.
     */
    static TZoomMapping FromZoom(const TZoom& zoom, int width, int height, int xSize, int ySize);
};

/**
 * The base of every control whose picture a container scales and shifts. A container
 * hands it a mapping through SetZoomProperties and receives its mouse events through
 * the three OnPanelMouse… hooks.
 *
 * The control's own OnMouseDown, OnMouseUp and OnMouseMove come first; each OnPanel…
 * hook is called only when the matching own event is unassigned, so an application
 * handler on a child takes the event away from the panel. A control that leaves its
 * panel loses the hooks bound to that panel.
 *
 * Signals: MousePressed, MouseReleased and MouseMoved follow the hooks of each event
 * (whichever of the own and the panel's hook ran, or none), and XScaleChanged,
 * XOffsetChanged, YScaleChanged and YOffsetChanged notify the mapping's fields, each
 * when its value changes (the NOTIFY signals of a subclass's XScale … YOffset).
 */
class VOLINSPECT_CONTROLS_EXPORT TZoomableControl : public QWidget
{
    Q_OBJECT
public:
    explicit TZoomableControl(QWidget* parent = nullptr);

    /** The control's own mouse events (the application's). */
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TMouseMoveEvent OnMouseMove;

    /** Hooks set and cleared by a TZoomPanel; unassigned after construction. */
    TMouseEvent OnPanelMouseDown;
    TMouseEvent OnPanelMouseUp;
    TMouseMoveEvent OnPanelMouseMove;

    /**
     * Takes a new mapping: sample u at client pixel XOffset + u·XScale, likewise in y.
     * The control stores it (SetMapping) and redraws.
     */
    virtual void SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset) = 0;

    /**
     * The mapping between picture samples and client pixels the control shows: the one
     * copy its painting, its hit tests and its grips map through.
     */
    const TZoomMapping& Mapping() const { return mapping_; }

    /**
     * For controls that can give a panel its reference picture (image controls): the
     * picture size in samples and whether a picture is shown; returns true. Other
     * controls return false and never become the reference.
     */
    virtual bool PictureSize(int& XSize, int& YSize, bool& HasImage) const;

    /**
     * Called by a panel right after SetZoomProperties. An image control switches its
     * AutoSize and AutoScale off here, so it neither resizes itself to its picture nor
     * recomputes its own scale. The base does nothing.
     */
    virtual void PanelZoomApplied();

signals:
    /** A button went down at `pos` client pixels (beside OnMouseDown / OnPanelMouseDown). */
    void MousePressed(Qt::MouseButton button, TShiftState shift, QPoint pos);
    /** A button went up at `pos` client pixels (beside OnMouseUp / OnPanelMouseUp). */
    void MouseReleased(Qt::MouseButton button, TShiftState shift, QPoint pos);
    /** The pointer moved to `pos` client pixels (beside OnMouseMove / OnPanelMouseMove). */
    void MouseMoved(TShiftState shift, QPoint pos);
    /**
     * A field of the mapping changed (Mapping() holds the new value). Without
     * arguments, as the NOTIFY signals of properties a subclass declares must be.
     */
    void XScaleChanged();
    void XOffsetChanged();
    void YScaleChanged();
    void YOffsetChanged();

protected:
    /**
     * Stores `mapping`; when it differs from the present one, calls MappingChanged with
     * the previous mapping, then emits the changed fields' signals. Returns whether it
     * changed.
     */
    bool SetMapping(const TZoomMapping& mapping);
    /** Sets one field of the mapping (&TZoomMapping::XScale, …) through SetMapping. */
    bool SetMappingField(float TZoomMapping::*field, float value)
    {
        TZoomMapping mapping = mapping_;
        mapping.*field = value;
        return SetMapping(mapping);
    }
    /** Called after the mapping changed. The base repaints the control. */
    virtual void MappingChanged(const TZoomMapping& previous);

    /** A button went down at (X, Y) client pixels: own OnMouseDown, else OnPanelMouseDown. */
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    /** A button went up at (X, Y) client pixels: own OnMouseUp, else OnPanelMouseUp. */
    virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
    /** The pointer moved to (X, Y) client pixels: own OnMouseMove, else OnPanelMouseMove. */
    virtual void MouseMove(TShiftState Shift, int X, int Y);

    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    TZoomMapping mapping_;
};

/**
 * A panel holding controls stacked on one rectangle (an image and its overlays) with
 * one zoom state for all of them.
 *
 * With ResizeChildren the panel lays every child over the zoom area, the largest
 * rectangle of ratio ClientRatio centred in the panel. A left drag on a zoomable child
 * pans, a right drag zooms about the press point (dragging up zooms in), and one wheel
 * notch over a child zooms by about 1.1 about the cursor. After every change the panel
 * hands its zoomable children their mapping (with AutoMouse, once a reference image
 * child exists) and raises OnZoom.
 *
 * Children added or removed are picked up at the next paint. A panel resized while hidden,
 * which Qt sends no resize event, is laid out again at its next step, pan or notification
 * and when shown.
 *
 * Published properties are Q_PROPERTYs (Qt Designer, setProperty): each Set… setter
 * has a Qt-style alias (setXEnable), the colour is a QColor there, MoveButton and
 * ScaleButton are the PanelButton enum and MoveShift and ScaleShift the ShiftStateSet
 * flags, whose values are those of TMouseButton and TShiftStateFlag. The zoom state is
 * published as XFactor, XOrigin, YFactor and YOrigin (floats, for programs and bindings:
 * neither shown in Designer nor stored in forms), notified by ZoomChanged when the user
 * or the program changes it; Zoomed follows every OnZoom.
 */
class VOLINSPECT_CONTROLS_EXPORT TZoomPanel : public TPanel
{
    Q_OBJECT
    Q_PROPERTY(bool MoveAuto READ MoveAuto WRITE setMoveAuto)
    Q_PROPERTY(bool ScaleAuto READ ScaleAuto WRITE setScaleAuto)
    Q_PROPERTY(PanelButton MoveButton READ moveButton WRITE setMoveButton)
    Q_PROPERTY(PanelButton ScaleButton READ scaleButton WRITE setScaleButton)
    Q_PROPERTY(ShiftStateSet MoveShift READ moveShift WRITE setMoveShift)
    Q_PROPERTY(ShiftStateSet ScaleShift READ scaleShift WRITE setScaleShift)
    Q_PROPERTY(bool ScaleWheel READ ScaleWheel WRITE setScaleWheel)
    Q_PROPERTY(bool XEnable READ XEnable WRITE setXEnable)
    Q_PROPERTY(bool YEnable READ YEnable WRITE setYEnable)
    Q_PROPERTY(bool XScaleEnable READ XScaleEnable WRITE setXScaleEnable)
    Q_PROPERTY(bool YScaleEnable READ YScaleEnable WRITE setYScaleEnable)
    Q_PROPERTY(bool XNoEmptyBorder READ XNoEmptyBorder WRITE setXNoEmptyBorder)
    Q_PROPERTY(bool YNoEmptyBorder READ YNoEmptyBorder WRITE setYNoEmptyBorder)
    Q_PROPERTY(float MaxScale READ MaxScale WRITE setMaxScale)
    Q_PROPERTY(float MinScale READ MinScale WRITE setMinScale)
    Q_PROPERTY(float ScaleSpeed READ ScaleSpeed WRITE setScaleSpeed)
    Q_PROPERTY(float ClientRatio READ ClientRatio WRITE setClientRatio)
    Q_PROPERTY(bool ResizeChildren READ ResizeChildren WRITE setResizeChildren)
    Q_PROPERTY(bool AutoMouse READ AutoMouse WRITE setAutoMouse)
    Q_PROPERTY(QColor Color READ color WRITE setColor)
    Q_PROPERTY(float XFactor READ xFactor WRITE setXFactor NOTIFY ZoomChanged
                   DESIGNABLE false STORED false)
    Q_PROPERTY(float XOrigin READ xOrigin WRITE setXOrigin NOTIFY ZoomChanged
                   DESIGNABLE false STORED false)
    Q_PROPERTY(float YFactor READ yFactor WRITE setYFactor NOTIFY ZoomChanged
                   DESIGNABLE false STORED false)
    Q_PROPERTY(float YOrigin READ yOrigin WRITE setYOrigin NOTIFY ZoomChanged
                   DESIGNABLE false STORED false)

public:
    /** A gesture's mouse button for the MoveButton and ScaleButton properties. */
    enum PanelButton
    {
        ButtonLeft = mbLeft,
        ButtonRight = mbRight,
        ButtonMiddle = mbMiddle
    };
    Q_ENUM(PanelButton)

    /** The TShiftStateFlag bits for the MoveShift and ScaleShift properties. */
    enum ShiftFlag : unsigned
    {
        ShiftKey = ssShift,
        AltKey = ssAlt,
        CtrlKey = ssCtrl,
        LeftDown = ssLeft,
        RightDown = ssRight,
        MiddleDown = ssMiddle,
        DoubleClick = ssDouble
    };
    Q_DECLARE_FLAGS(ShiftStateSet, ShiftFlag)
    Q_FLAG(ShiftStateSet)

    explicit TZoomPanel(QWidget* parent = nullptr);
    ~TZoomPanel() override;

    // Stored only; the gestures do not consult them.
    bool MoveAuto() const { return moveAuto_; }
    void SetMoveAuto(bool value) { moveAuto_ = value; }
    bool ScaleAuto() const { return scaleAuto_; }
    void SetScaleAuto(bool value) { scaleAuto_ = value; }
    TMouseButton MoveButton() const { return moveButton_; }
    void SetMoveButton(TMouseButton value) { moveButton_ = value; }
    TMouseButton ScaleButton() const { return scaleButton_; }
    void SetScaleButton(TMouseButton value) { scaleButton_ = value; }
    TShiftState MoveShift() const { return moveShift_; }
    void SetMoveShift(TShiftState value) { moveShift_ = value; }
    TShiftState ScaleShift() const { return scaleShift_; }
    void SetScaleShift(TShiftState value) { scaleShift_ = value; }

    /** The mouse wheel zooms this panel. */
    bool ScaleWheel() const { return scaleWheel_; }
    void SetScaleWheel(bool value) { scaleWheel_ = value; }
    /** The axis takes part in panning and zooming. */
    bool XEnable() const { return xEnable_; }
    void SetXEnable(bool value) { xEnable_ = value; }
    bool YEnable() const { return yEnable_; }
    void SetYEnable(bool value) { yEnable_ = value; }
    /** The axis takes part in zooming. */
    bool XScaleEnable() const { return xScaleEnable_; }
    void SetXScaleEnable(bool value) { xScaleEnable_ = value; }
    bool YScaleEnable() const { return yScaleEnable_; }
    void SetYScaleEnable(bool value) { yScaleEnable_ = value; }
    /** A picture at least as large as the area leaves no empty border on the axis. */
    bool XNoEmptyBorder() const { return xNoEmptyBorder_; }
    void SetXNoEmptyBorder(bool value) { xNoEmptyBorder_ = value; }
    bool YNoEmptyBorder() const { return yNoEmptyBorder_; }
    void SetYNoEmptyBorder(bool value) { yNoEmptyBorder_ = value; }

    /** Zooming in stops once a factor has reached it; 0 = no maximum. */
    float MaxScale() const { return maxScale_; }
    /**
     * Stores the maximum; a value other than 0 below 1.0 becomes 1.0, so that a picture
     * zoomed out can always be zoomed back in until it fills the area. The published
     * MaxScale (setMaxScale, which forms and setProperty write) does not apply this rule:
     * see StoreMaxScale.
     */
    void SetMaxScale(float value);
    /**
     * Stores the maximum as given, without the rule of SetMaxScale: the published
     * property's setter. A maximum between 0 and 1 is kept, and zooming in then stops
     * below the area's size: a panel at the identity zoom zooms out only.
     */
    void StoreMaxScale(float value) { maxScale_ = value; }
    /** Lower limit of the factors; 0 = no minimum. */
    float MinScale() const { return minScale_; }
    /** Stores the minimum; a value above 1.0 or below 0 becomes 1.0. */
    void SetMinScale(float value);
    /** Zoom gain: one step multiplies a factor by 1 − ScaleSpeed·Delta / area height. */
    float ScaleSpeed() const { return scaleSpeed_; }
    void SetScaleSpeed(float value) { scaleSpeed_ = value; }
    /** Width / height of the zoom area; 0 or less = the whole panel. Re-lays out. */
    float ClientRatio() const { return clientRatio_; }
    void SetClientRatio(float value);
    /** The panel places every child over the zoom area. Re-lays out. */
    bool ResizeChildren() const { return resizeChildren_; }
    void SetResizeChildren(bool value);
    /** The panel hooks its zoomable children's mouse events and hands them the zoom. */
    bool AutoMouse() const { return autoMouse_; }
    /** Hooks (true) or unhooks (false) the zoomable children; rescans the children. */
    void SetAutoMouse(bool value);

    // Qt-style names of the setters, as Qt Designer's generated code and setProperty
    // call them; the colour (TPanel's) as QColor, buttons and shift states as the
    // property types above.
    VOLINSPECT_QT_SETTER(MoveAuto, bool)
    VOLINSPECT_QT_SETTER(ScaleAuto, bool)
    PanelButton moveButton() const { return PanelButton(moveButton_); }
    void setMoveButton(PanelButton value) { SetMoveButton(TMouseButton(value)); }
    PanelButton scaleButton() const { return PanelButton(scaleButton_); }
    void setScaleButton(PanelButton value) { SetScaleButton(TMouseButton(value)); }
    ShiftStateSet moveShift() const { return ShiftStateSet::fromInt(moveShift_); }
    void setMoveShift(ShiftStateSet value) { SetMoveShift(TShiftState(value.toInt())); }
    ShiftStateSet scaleShift() const { return ShiftStateSet::fromInt(scaleShift_); }
    void setScaleShift(ShiftStateSet value) { SetScaleShift(TShiftState(value.toInt())); }
    VOLINSPECT_QT_SETTER(ScaleWheel, bool)
    VOLINSPECT_QT_SETTER(XEnable, bool)
    VOLINSPECT_QT_SETTER(YEnable, bool)
    VOLINSPECT_QT_SETTER(XScaleEnable, bool)
    VOLINSPECT_QT_SETTER(YScaleEnable, bool)
    VOLINSPECT_QT_SETTER(XNoEmptyBorder, bool)
    VOLINSPECT_QT_SETTER(YNoEmptyBorder, bool)
    /**
     * The published MaxScale: stored as given (StoreMaxScale), without SetMaxScale's
     * rule, unlike every other alias here, which calls its Set… setter.
     */
    void setMaxScale(float value) { StoreMaxScale(value); }
    /** Applies SetMinScale's rule: a value above 1.0 or below 0 becomes 1.0. */
    VOLINSPECT_QT_SETTER(MinScale, float)
    VOLINSPECT_QT_SETTER(ScaleSpeed, float)
    VOLINSPECT_QT_SETTER(ClientRatio, float)
    VOLINSPECT_QT_SETTER(ResizeChildren, bool)
    VOLINSPECT_QT_SETTER(AutoMouse, bool)
    QColor color() const { return ColorToQColor(Color()); }
    void setColor(const QColor& value) { SetColor(PropertyColor(Color(), value)); }
    // The zoom state's fields as the float properties give them; a write of the value a
    // property reads changes nothing.
    float xFactor() const { return float(zoom_.XFactor); }
    void setXFactor(float value) { SetZoomField(&TZoom::XFactor, value); }
    float xOrigin() const { return float(zoom_.XOrigin); }
    void setXOrigin(float value) { SetZoomField(&TZoom::XOrigin, value); }
    float yFactor() const { return float(zoom_.YFactor); }
    void setYFactor(float value) { SetZoomField(&TZoom::YFactor, value); }
    float yOrigin() const { return float(zoom_.YOrigin); }
    void setYOrigin(float value) { SetZoomField(&TZoom::YOrigin, value); }

    /**
     * Raised after every zoom change with the panel and its zoom record, and at every
     * layout; signal Zoomed. (ZoomChanged comes only when the zoom differs.)
     */
    const TZoomEvent& OnZoom() const { return onZoom_; }
    /** Stores the handler and re-lays out, so the new handler is called at once. */
    void SetOnZoom(TZoomEvent value);

    /** The zoom state. */
    const TZoom& Zoom() const { return zoom_; }
    /**
     * Takes `zoom` as the zoom state as given, without limits or border rules (as Reset
     * does), and notifies (generateZoomEvent) when it differs from the present one.
     */
    void SetZoom(const TZoom& zoom);
    /** The zoom area: left, top (panel pixels), width, height, for the present size. */
    QRect ZoomArea() const;

    /** Zooms about (X, Y) zoom-area pixels; a negative Delta (pixels) zooms in. */
    void Scale(int X, int Y, int Delta);
    /** Pans by (DX, DY) zoom-area pixels. */
    void Move(int DX, int DY);
    /** Sets both enabled factors to F, then applies the limits and the border rules. */
    void SetFracScale(double F);
    /** Back to the identity zoom, without limits; notifies. */
    void Reset();

    /** Begins panning at (X, Y) child pixels, when no gesture runs. */
    void StartMove(int X, int Y);
    /** Begins zooming about (X, Y) child pixels, when no gesture runs. */
    void StartScale(int X, int Y);
    /** Ends a pan; a running zoom gesture is left alone. */
    void StopMove();
    /** Ends a zoom gesture; a running pan is left alone. */
    void StopScale();
    /** Feeds a pointer position (child pixels) to the running gesture. */
    void PointMove(int X, int Y);

    /** Hands the children their mapping (with AutoMouse) and raises OnZoom. */
    void generateZoomEvent();
    /** Lays out the zoom area and the children, then generateZoomEvent. */
    void Resize();

    /** Target of the children's OnPanelMouseDown: left pans, right zooms and captures. */
    void ChildMouseDown(QObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    /** Target of OnPanelMouseUp: ends the gesture of that button. */
    void ChildMouseUp(QObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    /** Target of OnPanelMouseMove. */
    void ChildMouseMove(QObject* Sender, TShiftState Shift, int X, int Y);

    /**
     * The application-wide wheel routine: zooms the TZoomPanel whose child lies under
     * the event's global position by wheel delta × (−child height) / 2400 pixels about
     * the cursor. Returns false, changing nothing, when no such panel exists, its
     * ScaleWheel is off or the event carries no vertical delta. All panels share one
     * application event filter that calls it, so one notch zooms exactly once.
     */
    static bool ProcessMouseWheelMessage(const QWheelEvent& Msg);

    /** The gesture state: 0 idle, 1 moving, 2 scaling. */
    int GestureState() const { return state_; }

signals:
    /** Emitted after OnZoom, every time it is raised (whether or not it is assigned). */
    void Zoomed(const TZoom& zoom);
    /**
     * The zoom state differs from the one last notified: emitted by generateZoomEvent
     * once the children have their mapping, before OnZoom. The NOTIFY signal of XFactor,
     * XOrigin, YFactor and YOrigin.
     */
    void ZoomChanged(const TZoom& zoom);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void childEvent(QChildEvent* event) override;

private:
    void Unhook(TZoomableControl* child);
    /** The zoom area the layout gives the panel at its present size. */
    QRect AreaForSize() const;
    /** Lays out (Resize) when the size differs from the last layout's; true if it did. */
    bool LayOutIfStale();
    /** The float property's write of one zoom field: SetZoom when it reads differently. */
    void SetZoomField(double TZoom::*field, float value);

    bool moveAuto_ = false;
    bool scaleAuto_ = false;
    TMouseButton moveButton_ = mbLeft;
    TMouseButton scaleButton_ = mbRight;
    TShiftState moveShift_ = 0;
    TShiftState scaleShift_ = 0;
    bool scaleWheel_ = true;
    bool xEnable_ = true;
    bool yEnable_ = true;
    bool xScaleEnable_ = true;
    bool yScaleEnable_ = true;
    bool xNoEmptyBorder_ = true;
    bool yNoEmptyBorder_ = true;
    float maxScale_ = 0.0f;
    float minScale_ = 1.0f;
    float scaleSpeed_ = 2.0f;
    float clientRatio_ = -1.0f;
    bool resizeChildren_ = true;
    TZoomEvent onZoom_;
    QRect zoomArea_;
    QSize laidOutSize_; ///< the panel's size at the last layout
    QPoint last_;       ///< last pointer position of a gesture
    QPoint zoomCentre_; ///< press point of a zoom gesture
    bool initialised_ = false;
    int state_ = 0;
    TZoom zoom_;
    TZoom notifiedZoom_;           ///< the zoom of the last ZoomChanged (initially the identity)
    int childCount_ = 0;           ///< children seen at the last scan
    bool childrenChanged_ = false; ///< a child came or went since the last scan
    bool autoMouse_ = false;

    friend class TZoomableControl;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(TZoomPanel::ShiftStateSet)
