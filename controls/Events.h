#pragma once

#include "controls_export.h"

#include <QObject>
#include <QPointer>

#include <any>
#include <functional>
#include <type_traits>
#include <utility>

class QMouseEvent;

/**
 * The event vocabulary of the controls: mouse buttons and shift states as the
 * controls' events name them, the bound-method event type, and their converters from
 * Qt's mouse events.
 *
 * Hooks and signals. Every OnXxx hook of a control has a Qt signal beside it, emitted
 * at the same moment with the same arguments, in Qt types where there is one (a
 * Qt::MouseButton, a QPoint for client pixels). The Sender argument is left out: in a
 * slot it is QObject::sender(). The hook is called first, then the signal is emitted,
 * so a handler assigned to the hook sees the event before any connected slot; a hook
 * that is unassigned is skipped, and the signal is emitted all the same. A hook that
 * hands back a result through a reference argument (bool& Allow) has a signal with a
 * pointer argument in its place, which a slot connected directly may write.
 *
 * Properties that the user changes by interaction (a panel's zoom, a control's scale
 * and offsets, a grid's active cell, an overlay's selected item, an image's grey window)
 * have NOTIFY signals, XxxChanged, emitted only when the value really changes, never
 * for a write of the value held; they come once the new state is complete, before the
 * hook and signal of the event that changed it.
 */

/** A mouse button, as the gestures name it. */
enum TMouseButton
{
    mbLeft,
    mbRight,
    mbMiddle
};

/** Flags of a shift state: keys held and buttons down during a mouse event. */
enum TShiftStateFlag : unsigned
{
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32,
    ssDouble = 64
};
/** A set of TShiftStateFlag values. */
using TShiftState = unsigned;

/**
 * An event: a handler bound to an object's member function (or any callable).
 *
 * An event can be tested for being assigned and for being bound to one object's
 * member function, which is how a panel finds and clears the hooks it set. When the
 * bound object is a QObject, a call after that object's destruction does nothing.
 */
template <typename... Args> class TEvent
{
public:
    TEvent() = default;

    /** Binds `method` of `object`; `object` must outlive its calls or be a QObject. */
    template <typename T>
    TEvent(T* object, void (T::*method)(Args...))
        : object_(object), method_(method),
          call_([object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); })
    {
        if constexpr (std::is_base_of_v<QObject, T>) {
            guard_ = object;
            guarded_ = true;
        }
    }

    /** Any callable, bound to no object (a free handler, a lambda in a test). */
    template <typename F, typename = std::enable_if_t<std::is_invocable_v<F&, Args...> &&
                                                      !std::is_same_v<std::decay_t<F>, TEvent>>>
    TEvent(F handler) : call_(std::move(handler))
    {
    }

    /** True when a handler is assigned (and its QObject, if any, still lives). */
    explicit operator bool() const { return call_ && (!guarded_ || guard_); }

    /** True when the event is bound to `method` of `object`. */
    template <typename T> bool IsBoundTo(const T* object, void (T::*method)(Args...)) const
    {
        if (object_ != object) return false;
        const auto* stored = std::any_cast<void (T::*)(Args...)>(&method_);
        return stored && *stored == method;
    }

    /** True when the event is bound to any member function of `object`. */
    bool IsBoundTo(const void* object) const { return call_ && object_ == object; }

    /** Unassigns the event. */
    void Clear() { *this = TEvent(); }

    /** Calls the handler if one is assigned; does nothing otherwise. */
    void operator()(Args... args) const
    {
        if (*this) call_(std::forward<Args>(args)...);
    }

private:
    const void* object_ = nullptr;
    std::any method_;
    std::function<void(Args...)> call_;
    QPointer<QObject> guard_;
    bool guarded_ = false;
};

/** A mouse-button event: Sender, Button, Shift, X, Y (client pixels of the sender). */
using TMouseEvent = TEvent<QObject*, TMouseButton, TShiftState, int, int>;
/** A mouse-move event: Sender, Shift, X, Y (client pixels of the sender). */
using TMouseMoveEvent = TEvent<QObject*, TShiftState, int, int>;

/**
 * The button of a Qt mouse event as the controls name it; false (result unchanged)
 * for buttons they do not name.
 */
VOLINSPECT_CONTROLS_EXPORT bool ToMouseButton(Qt::MouseButton button, TMouseButton& result);

/** The Qt button of `button`, as the controls' signals carry it. */
VOLINSPECT_CONTROLS_EXPORT Qt::MouseButton ToQtButton(TMouseButton button);

/** Keys held and buttons down during `event`; a double click adds ssDouble. */
VOLINSPECT_CONTROLS_EXPORT TShiftState ToShiftState(const QMouseEvent& event);

/** Client pixels of a mouse event, truncated toward zero. */
VOLINSPECT_CONTROLS_EXPORT int PixelX(const QMouseEvent& event);
VOLINSPECT_CONTROLS_EXPORT int PixelY(const QMouseEvent& event);
