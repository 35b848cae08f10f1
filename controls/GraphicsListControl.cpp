#include "GraphicsListControl.h"

#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QUndoCommand>
#include <QUndoStack>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

/** The XOR colour of grips and grip lines (purple). */
const QColor GripColor(0x80, 0x00, 0x80);

/** Screen positions further out are pulled in: far off any screen, safe to convert. */
constexpr double ScreenLimit = 1e6;

/** A client pixel coordinate truncated toward zero, kept within ±ScreenLimit. */
int Truncated(double c)
{
    return std::isnan(c) ? 0 : int(std::clamp(c, -ScreenLimit, ScreenLimit));
}

/** Pieces a line's repaint region is cut into, so a slanted line needs no large box. */
constexpr int LinePieceLength = 16;

/** The pixels of a 1-pixel line from `a` to `b`: a few small boxes along it. */
QRegion LineRegion(QPoint a, QPoint b)
{
    const int dx = std::abs(b.x() - a.x()), dy = std::abs(b.y() - a.y());
    const int pieces =
        std::min(dx, dy) <= 2 ? 1 : std::clamp(std::max(dx, dy) / LinePieceLength + 1, 1, 64);
    QRegion region;
    for (int k = 0; k < pieces; ++k) {
        const QPoint p = a + (b - a) * k / pieces, q = a + (b - a) * (k + 1) / pieces;
        region += QRect(p, q).normalized().adjusted(-1, -1, 1, 1);
    }
    return region;
}

/** The hollow square of a grip centred at (x, y) with half-size `size`: 2·size − 1 wide. */
QRect GripSquare(int x, int y, int size)
{
    return QRect(x - size + 1, y - size + 1, 2 * size - 1, 2 * size - 1);
}

bool SameItem(const GraphicsItemStruct& a, const GraphicsItemStruct& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

// --- the undo command ------------------------------------------------------------------

/**
 * An edit of one item written back: the item before and after. Pushing it changes
 * nothing (the edit is already in the list); undo and redo put the item back. Nudges of
 * one item in a row merge. It turns obsolete when the control releases its list or is
 * destroyed.
 */
class TGLCEditCommand : public QUndoCommand
{
public:
    static constexpr int NudgeId = 0x474C43; // shared by all nudges; mergeWith checks the item

    TGLCEditCommand(TGraphicsListControl* control, int index, const GraphicsItemStruct& before,
                    const GraphicsItemStruct& after, bool nudge)
        : control_(control), index_(index), before_(before), after_(after), nudge_(nudge)
    {
        setText(nudge ? QStringLiteral("Move item %1").arg(index)
                      : QStringLiteral("Edit item %1").arg(index));
        control_->commands_.push_back(this);
    }
    ~TGLCEditCommand() override
    {
        if (control_) std::erase(control_->commands_, this);
    }

    void undo() override
    {
        if (control_) control_->RestoreItem(index_, before_);
    }
    void redo() override
    {
        if (pushed_ && control_) control_->RestoreItem(index_, after_);
        pushed_ = true;
    }
    int id() const override { return nudge_ ? NudgeId : -1; }
    bool mergeWith(const QUndoCommand* other) override
    {
        const auto* next = static_cast<const TGLCEditCommand*>(other);
        if (!control_ || next->control_ != control_ || next->index_ != index_ || !next->nudge_)
            return false;
        after_ = next->after_;
        return true;
    }
    /** The control or its list is gone: the command does nothing any more. */
    void Orphan()
    {
        control_ = nullptr;
        setObsolete(true);
    }

private:
    TGraphicsListControl* control_;
    int index_;
    GraphicsItemStruct before_, after_;
    bool nudge_;
    bool pushed_ = false;
};

// --- notification objects ----------------------------------------------------------------

TGLCNotifyObject::~TGLCNotifyObject()
{
    for (const auto& control : knownTo_)
        if (control) control->Forget(this);
}

void TGLCNotifyObject::RegisterTo(TGraphicsListControl* control, int index)
{
    if (Control && Control->NotifyObject(Index) == this) Control->SetNotifyObject(Index, nullptr);
    Control = control;
    Index = index;
    if (control) {
        control->Know(this);
        control->SetNotifyObject(index, this);
    }
}

void TGLCNotifyObject::StartEdit()
{
    if (Control && Control->List) Control->StartDefaultEdit(Index);
}

// --- tables ------------------------------------------------------------------------------

void TGraphicsListControl::TGrip::Fill(float x, float y, TGripOrientation o, int size, bool movable)
{
    X = x;
    Y = y;
    Orientation = o;
    Size = size;
    Movable = movable;
    Active = true;
}

void TGraphicsListControl::TGripLine::Fill(int first, int second)
{
    First = first;
    Second = second;
    Active = true;
}

template <typename T> T& TGraphicsListControl::TTable<T>::operator[](int i)
{
    if (i < 0) i = 0;
    if (i >= MaxEntries) return scratch_ = T();
    if (i >= int(entries_.size())) entries_.resize(std::size_t(i) + 1);
    return entries_[std::size_t(i)];
}

template <typename T> const T& TGraphicsListControl::TTable<T>::operator[](int i) const
{
    if (i < 0) i = 0;
    if (i >= int(entries_.size())) return scratch_ = T();
    return entries_[std::size_t(i)];
}

template <typename T> void TGraphicsListControl::TTable<T>::Clear()
{
    for (T& entry : entries_)
        entry.Active = false;
}

template class TGraphicsListControl::TTable<TGraphicsListControl::TGrip>;
template class TGraphicsListControl::TTable<TGraphicsListControl::TGripLine>;

// --- construction, ownership, notification -----------------------------------------------

TGraphicsListControl::TGraphicsListControl(QWidget* parent) : TZoomableControl(parent)
{
    resize(256, 256);
    SetPaintsBackground(this, false);
    setFocusPolicy(Qt::ClickFocus); // the arrow keys nudge the item being edited
    SetAllocList(true);
}

TGraphicsListControl::~TGraphicsListControl()
{
    OrphanCommands();
    DropNotifyObjects();
    // Objects that kept pointing here (an override of cbDelete that does not unregister,
    // an object displaced from its entry) are left unregistered, never dangling.
    for (TGLCNotifyObject* object : followers_)
        if (object->Control == this) object->Control = nullptr;
    if (allocList_ && List) {
        DestroyList(List);
        delete List;
    }
    List = nullptr;
}

void TGraphicsListControl::SetAllocList(bool value)
{
    if (value == allocList_) return;
    allocList_ = value;
    OrphanCommands();
    if (value) {
        List = new GraphicsListStruct;
        InitListSize(List, allocSize_);
        Invalidate();
        for (int i = 0; notifyTable_ && i < std::min(allocSize_, int(notifyObjects_.size())); ++i)
            if (TGLCNotifyObject* object = notifyObjects_[std::size_t(i)]) object->cbReInsert();
    } else {
        if (List) {
            DestroyList(List);
            delete List;
        }
        List = nullptr;
        Invalidate();
        DropNotifyObjects();
    }
}

void TGraphicsListControl::SetAllocSize(int value)
{
    if (notifyTable_ && value > int(notifyObjects_.size()))
        notifyObjects_.resize(std::size_t(value), nullptr);
    if (allocList_ && value != allocSize_) {
        allocSize_ = value;
        SetAllocList(false);
        SetAllocList(true);
    } else {
        allocSize_ = value;
    }
}

void TGraphicsListControl::SetNotifyObject(int index, TGLCNotifyObject* obj)
{
    if (!notifyTable_) {
        notifyObjects_.assign(std::size_t(std::max(allocSize_, 0)), nullptr);
        notifyTable_ = true;
    }
    if (index < 0 || index >= allocSize_ || index >= int(notifyObjects_.size())) return;
    if (obj) {
        Know(obj);
        if (index != obj->Index) strayEntries_ = true;
    }
    notifyObjects_[std::size_t(index)] = obj;
}

TGLCNotifyObject* TGraphicsListControl::NotifyObject(int index) const
{
    return index >= 0 && index < int(notifyObjects_.size()) ? notifyObjects_[std::size_t(index)]
                                                            : nullptr;
}

void TGraphicsListControl::DropNotifyObjects()
{
    if (!notifyTable_) return;
    // Every registered object hears of it, in index order; an entry is cleared before its
    // callback, so a callback that destroys objects leaves nothing stale behind.
    for (std::size_t i = 0; i < notifyObjects_.size(); ++i) {
        TGLCNotifyObject* object = std::exchange(notifyObjects_[i], nullptr);
        if (!object) continue;
        object->cbDelete(); // may destroy objects: nothing of this one is used afterwards
    }
    notifyObjects_.clear();
    notifyTable_ = false;
}

void TGraphicsListControl::Know(TGLCNotifyObject* object)
{
    if (followers_.insert(object).second) object->knownTo_.emplace_back(this);
}

void TGraphicsListControl::Forget(TGLCNotifyObject* object)
{
    followers_.erase(object);
    // A registered object sits at its own Index; the whole table is searched only when
    // it is not there, or a program entered objects elsewhere itself.
    const bool atIndex = NotifyObject(object->Index) == object;
    if (atIndex) notifyObjects_[std::size_t(object->Index)] = nullptr;
    if (!atIndex || strayEntries_)
        std::replace(notifyObjects_.begin(), notifyObjects_.end(), object,
                     static_cast<TGLCNotifyObject*>(nullptr));
}

// --- mapping, display, painting ----------------------------------------------------------

void TGraphicsListControl::SetXScale(float value)
{
    SetMappingField(&TZoomMapping::XScale, value);
}

void TGraphicsListControl::SetYScale(float value)
{
    SetMappingField(&TZoomMapping::YScale, value);
}

void TGraphicsListControl::SetXOffset(float value)
{
    SetMappingField(&TZoomMapping::XOffset, value);
}

void TGraphicsListControl::SetYOffset(float value)
{
    SetMappingField(&TZoomMapping::YOffset, value);
}

void TGraphicsListControl::SetZoomProperties(float XScale, float XOffset, float YScale,
                                             float YOffset)
{
    SetXScale(XScale);
    SetXOffset(XOffset);
    SetYScale(YScale);
    SetYOffset(YOffset);
}

void TGraphicsListControl::MappingChanged(const TZoomMapping&) {}

void TGraphicsListControl::SetTransparent(bool value)
{
    if (value == transparent_) return;
    transparent_ = value;
    SetPaintsBackground(this, value);
    Invalidate();
}

void TGraphicsListControl::SetDisplayStart(int value)
{
    if (value == displayStart_) return;
    displayStart_ = value;
    Invalidate();
}

void TGraphicsListControl::SetDisplayCount(int value)
{
    if (value == displayCount_) return;
    displayCount_ = value;
    Invalidate();
}

void TGraphicsListControl::SetColor(TColor value)
{
    if (value == color_) return;
    color_ = value;
    update();
}

void TGraphicsListControl::Invalidate()
{
    listPictureValid_ = false;
    InvalidateOthers();
    update();
}

void TGraphicsListControl::InvalidateOthers()
{
    ::InvalidateOthers(this);
}

void TGraphicsListControl::moveEvent(QMoveEvent* event)
{
    RepaintMovedControl(this, transparent_);
    TZoomableControl::moveEvent(event);
}

void TGraphicsListControl::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    if (!transparent_) painter.fillRect(event->rect(), ColorToQColor(color_));
    painter.setClipRegion(event->region());
    if (!editing_ || !List) {
        listPicture_ = QImage();
        return PaintWindow(painter);
    }
    // While grips are shown, the list is drawn once into a picture of its own, and the
    // repaints of moving grips copy from it: a drag costs the same whatever the list's
    // length. A repaint of the whole control draws the list afresh.
    const ListPictureKey key{Mapping(),   size(),        devicePixelRatioF(),
                             List,        List->Items,   List->Count,
                             List->Color, displayStart_, displayCount_};
    if (!listPictureValid_ || !(key == listPictureKey_) ||
        (QRegion(rect()) - event->region()).isEmpty()) {
        const qreal ratio = key.ratio;
        if (listPicture_.size() != size() * ratio || listPicture_.devicePixelRatio() != ratio) {
            listPicture_ = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
            listPicture_.setDevicePixelRatio(ratio);
        }
        listPicture_.fill(Qt::transparent);
        QPainter picture(&listPicture_);
        DrawList(picture, List, XOffset(), YOffset(), XScale(), YScale(), displayStart_,
                 displayCount_);
        listPictureKey_ = key;
        listPictureValid_ = true;
    }
    const QRect r = event->rect();
    painter.drawImage(QRectF(r), listPicture_,
                      QRectF(QPointF(r.topLeft()) * key.ratio, QSizeF(r.size()) * key.ratio));
    DrawGrips(painter);
}

void TGraphicsListControl::PaintWindow(QPainter& painter)
{
    if (!List) return;
    DrawList(painter, List, XOffset(), YOffset(), XScale(), YScale(), displayStart_, displayCount_);
    if (editing_) DrawGrips(painter);
}

// --- grips ---------------------------------------------------------------------------------

void TGraphicsListControl::PlaceGrip(float x, float y, int& screenX, int& screenY,
                                     TGripOrientation o, int size) const
{
    screenX = Truncated(double(x * XScale() + XOffset()));
    screenY = Truncated(double(y * YScale() + YOffset()));
    const int d = size + 1;
    switch (o) {
    case goTop:
        screenY -= d;
        break;
    case goBottom:
        screenY += d;
        break;
    case goRight:
        screenX += d;
        break;
    case goLeft:
        screenX -= d;
        break;
    case goTopLeft:
        screenX -= d, screenY -= d;
        break;
    case goTopRight:
        screenX += d, screenY -= d;
        break;
    case goBottomLeft:
        screenX -= d, screenY += d;
        break;
    case goBottomRight:
        screenX += d, screenY += d;
        break;
    default:
        break;
    }
}

bool TGraphicsListControl::HitsGrip(int x, int y, int gx, int gy, int size)
{
    return gx - size <= x && x <= gx + size && gy - size <= y && y <= gy + size;
}

bool TGraphicsListControl::HitsGrip(int x, int y, const TGrip& grip)
{
    return HitsGrip(x, y, grip.ScreenX, grip.ScreenY, grip.Size);
}

void TGraphicsListControl::PlaceGrips()
{
    for (int i = 0; i < Grips.Count(); ++i) {
        TGrip& g = Grips[i];
        if (g.Active) PlaceGrip(g.X, g.Y, g.ScreenX, g.ScreenY, g.Orientation, g.Size);
    }
}

QRegion TGraphicsListControl::GripRegion()
{
    PlaceGrips();
    QRegion region;
    for (int i = 0; i < Grips.Count(); ++i) {
        const TGrip& g = Grips[i];
        if (g.Active && g.Size > 0) region += GripSquare(g.ScreenX, g.ScreenY, g.Size);
    }
    for (int i = 0; i < GripLines.Count(); ++i) {
        const TGripLine& line = GripLines[i];
        if (!line.Active) continue;
        int x1, y1, x2, y2;
        PlaceGrip(Grips[line.First].X, Grips[line.First].Y, x1, y1, goCenter, 0);
        PlaceGrip(Grips[line.Second].X, Grips[line.Second].Y, x2, y2, goCenter, 0);
        region += LineRegion({x1, y1}, {x2, y2});
    }
    return region & rect();
}

void TGraphicsListControl::RepaintGrips(const QRegion& before)
{
    const QRegion now = editing_ ? GripRegion() : QRegion();
    update(before | now);
}

void TGraphicsListControl::DrawGrip(QPainter& painter, const TGrip& grip) const
{
    const int size = grip.Size;
    if (size <= 0) return;
    const QRect square = GripSquare(grip.ScreenX, grip.ScreenY, size);
    // Each pixel of the outline once: XOR twice would wipe it out again.
    if (square.width() <= 2) {
        painter.fillRect(square, GripColor);
        return;
    }
    const int l = square.left(), t = square.top(), w = square.width();
    painter.fillRect(QRect(l, t, w, 1), GripColor);
    painter.fillRect(QRect(l, t + w - 1, w, 1), GripColor);
    painter.fillRect(QRect(l, t + 1, 1, w - 2), GripColor);
    painter.fillRect(QRect(l + w - 1, t + 1, 1, w - 2), GripColor);
}

void TGraphicsListControl::DrawGripLine(QPainter& painter, float x1, float y1, float x2,
                                        float y2) const
{
    int sx1, sy1, sx2, sy2;
    PlaceGrip(x1, y1, sx1, sy1, goCenter, 0);
    PlaceGrip(x2, y2, sx2, sy2, goCenter, 0);
    painter.drawLine(sx1, sy1, sx2, sy2);
}

void TGraphicsListControl::DrawGrips(QPainter& painter)
{
    PlaceGrips();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    for (int i = 0; i < Grips.Count(); ++i)
        if (Grips[i].Active) DrawGrip(painter, Grips[i]);
    QPen pen(GripColor, 0);
    pen.setCapStyle(Qt::FlatCap);
    painter.setPen(pen);
    for (int i = 0; i < GripLines.Count(); ++i) {
        const TGripLine& line = GripLines[i];
        if (!line.Active) continue;
        const TGrip &a = Grips[line.First], &b = Grips[line.Second];
        DrawGripLine(painter, a.X, a.Y, b.X, b.Y);
    }
    painter.restore();
}

// --- editing ---------------------------------------------------------------------------------

void TGraphicsListControl::SetEditing(bool value)
{
    if (value == editing_) return;
    if (value)
        StartEdit();
    else
        StopEdit();
}

void TGraphicsListControl::StartEdit()
{
    if (editing_) return;
    editing_ = true;
    RepaintGrips(QRegion());
}

void TGraphicsListControl::StopEdit()
{
    if (!editing_) return;
    editing_ = false;
    editType_ = 0;
    Invalidate();
}

void TGraphicsListControl::ClearGrips()
{
    Grips.Clear();
    GripLines.Clear();
}

void TGraphicsListControl::StartEditPoint(float x, float y)
{
    SetEditing(false);
    Grips.Clear();
    Grips[0].Fill(x, y, goCenter, DefaultGripSize, true);
    GripLines.Clear();
    editType_ = 1;
    StartEdit();
}

void TGraphicsListControl::StartEditRect(float x1, float y1, float x2, float y2)
{
    SetEditing(false);
    Grips.Clear();
    const struct
    {
        float x, y;
        TGripOrientation o;
    } grips[9] = {{x1, y1, goTopLeft},
                  {(x1 + x2) / 2, y1, goTop},
                  {x2, y1, goTopRight},
                  {x2, (y1 + y2) / 2, goRight},
                  {x2, y2, goBottomRight},
                  {(x1 + x2) / 2, y2, goBottom},
                  {x1, y2, goBottomLeft},
                  {x1, (y1 + y2) / 2, goLeft},
                  {(4 * x1 + x2) / 5, y1, goBottom}};
    for (int i = 0; i < 9; ++i)
        Grips[i].Fill(grips[i].x, grips[i].y, grips[i].o, DefaultGripSize, true);
    GripLines.Clear();
    for (int i = 0; i < 4; ++i)
        GripLines[i].Fill(2 * i, (2 * i + 2) % 8);
    editType_ = 2;
    StartEdit();
}

void TGraphicsListControl::StartEditLine(float x1, float y1, float x2, float y2)
{
    SetEditing(false);
    Grips.Clear();
    Grips[0].Fill(x1, y1, goCenter, DefaultGripSize, true);
    Grips[1].Fill((2 * x1 + x2) / 3, (2 * y1 + y2) / 3, goCenter, DefaultGripSize, true);
    Grips[2].Fill(x2, y2, goCenter, DefaultGripSize, true);
    GripLines.Clear();
    GripLines[0].Fill(0, 2);
    editType_ = 3;
    StartEdit();
}

void TGraphicsListControl::StartEditArc(float cx, float cy, float radius, float startAngle,
                                        float endAngle)
{
    SetEditing(false);
    Grips.Clear();
    const auto point = [&](float angle, int i) {
        const double t = double(angle) * M_PI / 180;
        Grips[i].Fill(float(cx + radius * std::cos(t)), float(cy - radius * std::sin(t)), goCenter,
                      DefaultGripSize, true);
    };
    point(startAngle, 0);
    point((startAngle + endAngle) / 2, 1);
    point(endAngle, 2);
    Grips[3].Fill((Grips[0].X + Grips[1].X + Grips[2].X) / 3,
                  (Grips[0].Y + Grips[1].Y + Grips[2].Y) / 3, goCenter, DefaultGripSize, true);
    GripLines.Clear();
    GripLines[0].Fill(0, 1);
    GripLines[1].Fill(1, 2);
    editType_ = 4;
    StartEdit();
}

void TGraphicsListControl::StartDefaultEdit(int index)
{
    editItem_ = -1;
    const GraphicsItemStruct* item =
        List && index < List->Count ? GetFromList(List, index) : nullptr;
    if (!item) return;
    const float* c = item->Coords;
    switch (item->Kind) {
    case GraphicsPoint:
        StartEditPoint(c[2], c[3]);
        break;
    case GraphicsLine:
        StartEditLine(c[0], c[1], c[2], c[3]);
        break;
    case GraphicsRectangle:
        StartEditRect(c[0], c[1], c[2], c[3]);
        break;
    case GraphicsArc:
        StartEditArc(c[0], c[1], c[2], c[3], c[4]);
        break;
    default:
        return;
    }
    editItem_ = index;
}

namespace {

/**
 * The circle through a, b and c and the arc on it from a through b to c, swept
 * counter-clockwise on screen from its start: (cx, cy, r, start, end). False when the
 * points lie on one line (or coincide), which gives no circle.
 */
bool ArcThrough(QPointF a, QPointF b, QPointF c, float out[5])
{
    // Relative to a, for precision far from the origin.
    const double bx = b.x() - a.x(), by = b.y() - a.y(), cx = c.x() - a.x(), cy = c.y() - a.y();
    const double d = 2 * (bx * cy - by * cx);
    const double scale = std::max({std::abs(bx), std::abs(by), std::abs(cx), std::abs(cy)});
    if (!(std::abs(d) > 1e-9 * scale * scale)) return false;
    const double b2 = bx * bx + by * by, c2 = cx * cx + cy * cy;
    const double ux = (cy * b2 - by * c2) / d, uy = (bx * c2 - cx * b2) / d;
    const double r = std::hypot(ux, uy);
    // Angles as the arc's formula counts them: (cx + r·cos t, cy − r·sin t).
    const auto angle = [&](double px, double py) {
        return std::atan2(-(py - uy), px - ux) * 180 / M_PI;
    };
    const auto ccw = [](double from, double to) {
        const double s = std::fmod(to - from, 360.0);
        return s < 0 ? s + 360 : s;
    };
    const double a0 = angle(0, 0), a1 = angle(bx, by), a2 = angle(cx, cy);
    const double toEnd = ccw(a0, a2);
    double start = a0, span = toEnd;
    if (ccw(a0, a1) > toEnd) start = a2, span = 360 - toEnd; // clockwise from a to c
    if (span == 0) span = 360;
    const double values[5] = {a.x() + ux, a.y() + uy, r, start, start + span};
    for (int i = 0; i < 5; ++i) {
        if (!std::isfinite(values[i])) return false;
        out[i] = float(values[i]);
    }
    return true;
}

} // namespace

void TGraphicsListControl::UpdateDefaultEdit(int index)
{
    GraphicsItemStruct* item = List && index < List->Count ? GetFromList(List, index) : nullptr;
    if (!item) return;
    float* c = item->Coords;
    switch (item->Kind) {
    case GraphicsPoint:
        c[2] = Grips[0].X, c[3] = Grips[0].Y;
        break;
    case GraphicsLine:
        c[0] = Grips[0].X, c[1] = Grips[0].Y, c[2] = Grips[2].X, c[3] = Grips[2].Y;
        break;
    case GraphicsRectangle:
        c[0] = Grips[0].X, c[1] = Grips[0].Y, c[2] = Grips[4].X, c[3] = Grips[4].Y;
        break;
    case GraphicsArc: {
        float arc[5];
        if (ArcThrough({Grips[0].X, Grips[0].Y}, {Grips[1].X, Grips[1].Y}, {Grips[2].X, Grips[2].Y},
                       arc))
            std::copy(arc, arc + 5, c);
        break;
    }
    default:
        break;
    }
}

void TGraphicsListControl::StdEditGripMove(int grip)
{
    switch (editType_) {
    case 2:
        StdEditRectangleGripMove(grip);
        break;
    case 3:
        StdEditLineGripMove(grip);
        break;
    case 4:
        StdEditArcGripMove(grip);
        break;
    default:
        break;
    }
}

void TGraphicsListControl::StdEditRectangleGripMove(int grip)
{
    TGrip &g0 = Grips[0], &g2 = Grips[2], &g4 = Grips[4], &g6 = Grips[6];
    switch (grip) {
    case 0:
        g2.Y = g0.Y, g6.X = g0.X;
        break;
    case 1:
        g0.Y = g2.Y = Grips[1].Y;
        break;
    case 2:
        g0.Y = g2.Y, g4.X = g2.X;
        break;
    case 3:
        g2.X = g4.X = Grips[3].X;
        break;
    case 4:
        g2.X = g4.X, g6.Y = g4.Y;
        break;
    case 5:
        g4.Y = g6.Y = Grips[5].Y;
        break;
    case 6:
        g0.X = g6.X, g4.Y = g6.Y;
        break;
    case 7:
        g0.X = g6.X = Grips[7].X;
        break;
    case 8: {
        const float dx = std::trunc(Grips[8].X - (4 * g0.X + g2.X) / 5);
        const float dy = std::trunc(Grips[8].Y - g0.Y);
        for (TGrip* g : {&g0, &g2, &g4, &g6})
            g->X += dx, g->Y += dy;
        break;
    }
    default:
        break;
    }
    Grips[1].X = (g0.X + g2.X) / 2, Grips[1].Y = g0.Y;
    Grips[3].X = g2.X, Grips[3].Y = (g2.Y + g4.Y) / 2;
    Grips[5].X = (g4.X + g6.X) / 2, Grips[5].Y = g4.Y;
    Grips[7].X = g0.X, Grips[7].Y = (g0.Y + g6.Y) / 2;
    Grips[8].X = (4 * g0.X + g2.X) / 5, Grips[8].Y = g0.Y;
}

void TGraphicsListControl::StdEditLineGripMove(int grip)
{
    TGrip &g0 = Grips[0], &g1 = Grips[1], &g2 = Grips[2];
    if (grip == 0 || grip == 2) {
        g1.X = (2 * g0.X + g2.X) / 3, g1.Y = (2 * g0.Y + g2.Y) / 3;
    } else if (grip == 1) {
        const float dx = std::trunc(g1.X - (2 * g0.X + g2.X) / 3);
        const float dy = std::trunc(g1.Y - (2 * g0.Y + g2.Y) / 3);
        g0.X += dx, g0.Y += dy, g2.X += dx, g2.Y += dy;
    }
}

void TGraphicsListControl::StdEditArcGripMove(int grip)
{
    TGrip &g0 = Grips[0], &g1 = Grips[1], &g2 = Grips[2], &g3 = Grips[3];
    if (grip == 3) {
        const float dx = std::trunc(g3.X - (g0.X + g1.X + g2.X) / 3);
        const float dy = std::trunc(g3.Y - (g0.Y + g1.Y + g2.Y) / 3);
        for (TGrip* g : {&g0, &g1, &g2})
            g->X += dx, g->Y += dy;
    }
    g3.X = (g0.X + g1.X + g2.X) / 3, g3.Y = (g0.Y + g1.Y + g2.Y) / 3;
}

// --- the mouse and the keyboard ----------------------------------------------------------

void TGraphicsListControl::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (!EatMouse || Button != mbLeft || (Shift & ssShift))
        return TZoomableControl::MouseDown(Button, Shift, X, Y);
    if (editing_)
        for (int i = 0; i < Grips.Count(); ++i) {
            const TGrip& g = Grips[i];
            if (g.Active && g.Movable && HitsGrip(X, Y, g)) {
                activeGrip_ = i;
                pressX_ = X, pressY_ = Y;
                gripX_ = g.X, gripY_ = g.Y;
                return;
            }
        }
    for (int i = 0; List && i < std::min(List->Count, List->Allocated); ++i)
        if (ItemHit(nullptr, &List->Items[i], XOffset(), YOffset(), X, Y, XScale(), YScale())) {
            StoreSelectedItem(i);
            if (TGLCNotifyObject* object = NotifyObject(i)) object->cbSelect();
            OnSelect(this, i);
            emit ItemSelected(i);
            if (AutoEdit) StartDefaultEdit(i);
            return;
        }
    StoreSelectedItem(-1);
    OnSelect(this, -1);
    emit ItemSelected(-1);
    StopEdit();
    TZoomableControl::MouseDown(Button, Shift, X, Y);
}

void TGraphicsListControl::MouseMove(TShiftState Shift, int X, int Y)
{
    if (!EatMouse || activeGrip_ < 0) return TZoomableControl::MouseMove(Shift, X, Y);
    const QRegion before = GripRegion();
    TGrip& grip = Grips[activeGrip_];
    // A scale of 0 maps every list position to one pixel: the axis does not move.
    if (XScale() != 0) grip.X = float(X - pressX_) / XScale() + gripX_;
    if (YScale() != 0) grip.Y = float(Y - pressY_) / YScale() + gripY_;
    if (editType_ != 0) {
        StdEditGripMove(activeGrip_);
    } else {
        const int moved = activeGrip_;
        OnGripMove(this, moved);
        emit GripMoved(moved);
    }
    RepaintGrips(before);
}

void TGraphicsListControl::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (!EatMouse || Button != mbLeft || activeGrip_ < 0)
        return TZoomableControl::MouseUp(Button, Shift, X, Y);
    const int grip = activeGrip_;
    if (editType_ != 0 && editItem_ >= 0) {
        WriteBack(false);
    } else if (editType_ == 0) {
        OnFinishMove(this, grip);
        emit GripMoveFinished(grip);
    }
    activeGrip_ = -1;
}

float TGraphicsListControl::ScreenSign(float scale)
{
    return scale > 0 ? 1.0f : scale < 0 ? -1.0f : 0.0f;
}

void TGraphicsListControl::keyPressEvent(QKeyEvent* event)
{
    const bool editingItem = editing_ && editType_ != 0 && List && editItem_ >= 0 &&
                             editItem_ < List->Count && activeGrip_ < 0;
    float dx = 0, dy = 0;
    switch (event->key()) {
    case Qt::Key_Left:
        dx = -ScreenSign(XScale());
        break;
    case Qt::Key_Right:
        dx = ScreenSign(XScale());
        break;
    case Qt::Key_Up:
        dy = -ScreenSign(YScale());
        break;
    case Qt::Key_Down:
        dy = ScreenSign(YScale());
        break;
    default:
        return TZoomableControl::keyPressEvent(event);
    }
    if (!editingItem) return TZoomableControl::keyPressEvent(event);
    event->accept();
    if (dx == 0 && dy == 0) return;
    const float step = (event->modifiers() & Qt::ShiftModifier) ? 10.0f : 1.0f;
    const QRegion before = GripRegion();
    for (int i = 0; i < Grips.Count(); ++i) {
        TGrip& g = Grips[i];
        g.X += dx * step, g.Y += dy * step;
    }
    RepaintGrips(before);
    WriteBack(true);
}

void TGraphicsListControl::wheelEvent(QWheelEvent* event)
{
    // Kept from the parent form; zooming is the panel's, through its application filter.
    event->accept();
}

// --- writing back, undo ------------------------------------------------------------------

void TGraphicsListControl::WriteBack(bool mergeable)
{
    const int index = editItem_;
    const GraphicsItemStruct* item =
        List && index < List->Count ? GetFromList(List, index) : nullptr;
    const GraphicsItemStruct before = item ? *item : GraphicsItemStruct();
    UpdateDefaultEdit(index);
    Invalidate();
    if (item && undoStack_ && !SameItem(before, *item))
        undoStack_->push(new TGLCEditCommand(this, index, before, *item, mergeable));
    NotifyChange(index);
}

void TGraphicsListControl::NotifyChange(int index)
{
    OnChange(this, index);
    emit ItemChanged(index);
    if (TGLCNotifyObject* object = NotifyObject(index)) object->cbChange();
}

void TGraphicsListControl::RestoreItem(int index, const GraphicsItemStruct& item)
{
    GraphicsItemStruct* target = List && index < List->Count ? GetFromList(List, index) : nullptr;
    if (!target) return;
    *target = item;
    activeGrip_ = -1;
    if (editing_ && editType_ != 0 && editItem_ == index) StartDefaultEdit(index);
    Invalidate();
    NotifyChange(index);
}

void TGraphicsListControl::SetSelectedItem(int index)
{
    if (!StoreSelectedItem(std::max(index, -1))) return;
    const bool held = List && index >= 0 && index < std::min(List->Count, List->Allocated);
    if (!held)
        StopEdit();
    else if (AutoEdit)
        StartDefaultEdit(index);
}

bool TGraphicsListControl::StoreSelectedItem(int index)
{
    if (index == selectedItem_) return false;
    selectedItem_ = index;
    emit SelectedItemChanged(index);
    return true;
}

void TGraphicsListControl::SetUndoStack(QUndoStack* stack)
{
    undoStack_ = stack;
}

void TGraphicsListControl::OrphanCommands()
{
    for (TGLCEditCommand* command : std::exchange(commands_, {}))
        command->Orphan();
}
