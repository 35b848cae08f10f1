#include "Events.h"

#include <QMouseEvent>

bool ToMouseButton(Qt::MouseButton button, TMouseButton& result)
{
    switch (button) {
    case Qt::LeftButton:
        result = mbLeft;
        return true;
    case Qt::RightButton:
        result = mbRight;
        return true;
    case Qt::MiddleButton:
        result = mbMiddle;
        return true;
    default:
        return false;
    }
}

Qt::MouseButton ToQtButton(TMouseButton button)
{
    switch (button) {
    case mbRight:
        return Qt::RightButton;
    case mbMiddle:
        return Qt::MiddleButton;
    default:
        return Qt::LeftButton;
    }
}

TShiftState ToShiftState(const QMouseEvent& event)
{
    TShiftState s = 0;
    const Qt::KeyboardModifiers keys = event.modifiers();
    if (keys & Qt::ShiftModifier) s |= ssShift;
    if (keys & Qt::AltModifier) s |= ssAlt;
    if (keys & Qt::ControlModifier) s |= ssCtrl;
    const Qt::MouseButtons buttons = event.buttons();
    if (buttons & Qt::LeftButton) s |= ssLeft;
    if (buttons & Qt::RightButton) s |= ssRight;
    if (buttons & Qt::MiddleButton) s |= ssMiddle;
    if (event.type() == QEvent::MouseButtonDblClick) s |= ssDouble;
    return s;
}

int PixelX(const QMouseEvent& event)
{
    return static_cast<int>(event.position().x());
}
int PixelY(const QMouseEvent& event)
{
    return static_cast<int>(event.position().y());
}
