#include "VectorControl.h"

#include "imgdraw.h"

#include <QMoveEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <memory>

namespace {

/** The triangle test pattern: 0, 16, …, 240, 256, 240, …, 16, repeating every 32 samples. */
void FillTestPattern(VectorStruct* vector)
{
    for (int32_t i = 0; i < vector->Length; ++i) {
        const int a = i % 32;
        vector->Values[i] = static_cast<float>(a < 16 ? 16 * a : 16 * (32 - a));
    }
}

} // namespace

TVectorControl::TVectorControl(QWidget* parent) : QWidget(parent)
{
    resize(256, 64);
    setFocusPolicy(Qt::NoFocus);
    // The background is painted in paintEvent (or, when transparent, not at all).
    SetPaintsBackground(this, transparent_);
    SetAllocVector(true);
}

TVectorControl::~TVectorControl()
{
    if (allocVector_) ReleaseVector();
}

void TVectorControl::ReleaseVector()
{
    if (Vector) {
        DestroyVector(Vector);
        delete Vector;
    }
    Vector = nullptr;
}

void TVectorControl::SetAllocVector(bool value)
{
    if (value && !allocVector_) {
        auto record = std::make_unique<VectorStruct>();
        InitVectorSize(record.get(), allocSize_);
        FillTestPattern(record.get());
        // A client's record held until now stays the client's: it is not released.
        Vector = record.release();
        allocVector_ = true;
        Invalidate();
    } else if (!value && allocVector_) {
        ReleaseVector();
        allocVector_ = false;
        Invalidate();
    }
    allocVector_ = value;
}

void TVectorControl::SetAllocSize(int value)
{
    value = std::max(value, 0);
    if (allocVector_ && value != allocSize_) {
        allocSize_ = value;
        SetAllocVector(false);
        SetAllocVector(true);
    } else {
        allocSize_ = value;
    }
}

void TVectorControl::SetVertical(bool value)
{
    if (value == vertical_) return;
    vertical_ = value;
    Invalidate();
}

void TVectorControl::SetTransparent(bool value)
{
    if (value == transparent_) return;
    transparent_ = value;
    SetPaintsBackground(this, value);
    Invalidate();
}

void TVectorControl::SetVectorColor(TColor value)
{
    if (value == vectorColor_) return;
    vectorColor_ = value;
    Invalidate();
}

void TVectorControl::SetMin(float value)
{
    const bool changed = value != min_;
    min_ = value;
    if (changed && !autoMin_) Invalidate();
}

void TVectorControl::SetAutoMin(bool value)
{
    if (value == autoMin_) return;
    autoMin_ = value;
    Invalidate();
}

void TVectorControl::SetMax(float value)
{
    const bool changed = value != max_;
    max_ = value;
    if (changed && !autoMax_) Invalidate();
}

void TVectorControl::SetAutoMax(bool value)
{
    if (value == autoMax_) return;
    autoMax_ = value;
    Invalidate();
}

void TVectorControl::SetTopDown(bool value)
{
    if (value == topDown_) return;
    topDown_ = value;
    Invalidate();
}

void TVectorControl::SetReversed(bool value)
{
    if (value == reversed_) return;
    reversed_ = value;
    Invalidate();
}

void TVectorControl::SetColor(TColor value)
{
    if (value == color_) return;
    color_ = value;
    Invalidate();
}

void TVectorControl::Invalidate()
{
    InvalidateOthers();
    update();
}

void TVectorControl::InvalidateOthers()
{
    ::InvalidateOthers(this);
}

TVectorControl::DrawArguments TVectorControl::PaintArguments() const
{
    DrawArguments a;
    float lowest = 0, highest = 0, mean = 0, deviation = 0;
    if (autoMin_ || autoMax_) VectorStatistics(&lowest, &highest, &mean, &deviation, Vector);
    a.Min = autoMin_ ? lowest : min_;
    a.Max = autoMax_ ? highest : max_;

    const float w = static_cast<float>(width()), h = static_cast<float>(height());
    a.Vertical = vertical_;
    if (vertical_) {
        a.OriginX = topDown_ ? w : 0;
        a.OriginY = reversed_ ? h : 0;
        a.DirectionX = topDown_ ? -1 : 1;
        a.DirectionY = reversed_ ? -1 : 1;
    } else {
        a.OriginX = reversed_ ? w : 0;
        a.OriginY = topDown_ ? h : 0;
        a.DirectionX = reversed_ ? -1 : 1;
        a.DirectionY = topDown_ ? -1 : 1;
    }
    a.Width = w;
    a.Height = h;
    a.Color = vectorColor_;
    return a;
}

void TVectorControl::PaintWindow(QPainter& painter)
{
    if (!Vector) return;
    const DrawArguments a = PaintArguments();
    const uint32_t color = PlainColor(a.Color);
    if (a.Vertical) {
        DrawVectorVertical(painter, Vector, a.OriginX, a.OriginY, a.DirectionX, a.DirectionY,
                           a.Width, a.Height, a.Min, a.Max, color);
    } else {
        DrawVectorHorizontal(painter, Vector, a.OriginX, a.OriginY, a.DirectionX, a.DirectionY,
                             a.Width, a.Height, a.Min, a.Max, color);
    }
}

void TVectorControl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (!transparent_) painter.fillRect(rect(), ColorToQColor(color_));
    PaintWindow(painter);
}

void TVectorControl::moveEvent(QMoveEvent* event)
{
    RepaintMovedControl(this, transparent_);
    QWidget::moveEvent(event);
}
