#pragma once

#include "controls_export.h"

#include "Events.h"
#include "Framework.h"
#include "ZoomPanel.h"
#include "imgdraw.h"
#include "imgkernel.h"

#include <QColor>
#include <QImage>
#include <QPointer>
#include <QRegion>
#include <QUndoStack>

#include <unordered_set>
#include <vector>

class TGraphicsListControl;
class TGLCEditCommand;

/**
 * Follows one item of a TGraphicsListControl's list: a program derives from it,
 * overrides the callbacks and registers the object for an item index (RegisterTo).
 * The control calls the callbacks of the object registered for an index when that item
 * is selected or changed, and of all registered objects when the list is created anew
 * or released.
 *
 * Lifetimes are independent: an object destroyed while registered unregisters itself,
 * and a control destroyed first leaves every object unregistered (Control null).
 */
class VOLINSPECT_CONTROLS_EXPORT TGLCNotifyObject
{
public:
    TGLCNotifyObject() = default;
    virtual ~TGLCNotifyObject();
    TGLCNotifyObject(const TGLCNotifyObject&) = delete;
    TGLCNotifyObject& operator=(const TGLCNotifyObject&) = delete;

    /** The control the object is registered with; null when none. */
    TGraphicsListControl* Control = nullptr;
    /** The item index the object follows. */
    int Index = 0;

    /** The control created a new list while the object was registered. */
    virtual void cbReInsert() {}
    /** The control released its list (or is being destroyed); the base unregisters. */
    virtual void cbDelete() { Control = nullptr; }
    /** An edit of the item was written back into the list. */
    virtual void cbChange() {}
    /** The item was clicked. */
    virtual void cbSelect() {}

    /**
     * Leaves the present control (clearing its entry when it still holds this object),
     * then follows item `index` of `control`. A null control unregisters; an index
     * outside 0 … AllocSize − 1 is stored here but gives the control no entry.
     */
    void RegisterTo(TGraphicsListControl* control, int index);
    /** Starts the default edit of the followed item, when registered with a list. */
    void StartEdit();

private:
    friend class TGraphicsListControl;
    /** The controls that may hold a pointer to this object, to be told of its end. */
    std::vector<QPointer<TGraphicsListControl>> knownTo_;
};

/**
 * An overlay showing a graphics list (points, lines, rectangles, arcs) in list
 * coordinates, mapped to client pixels by a scale and an offset per axis: list
 * coordinate u lies at pixel XOffset + u·XScale (TZoomMapping), likewise in y. In a
 * TZoomPanel it follows the panel's zoom; with Transparent on, the view beneath shows
 * through.
 *
 * A left click selects the item under the pointer (the lowest index wins; SelectedItem,
 * cbSelect, OnSelect) and, with AutoEdit, puts grips on it: small purple squares, drawn
 * with XOR so that they show on any picture, joined by thin lines. Dragging a grip reshapes or
 * moves the item by rules fixed per kind; the release writes the item back (OnChange,
 * then cbChange) and, with an undo stack set, pushes one undoable command. An arc is
 * written back as the circle through its three grips. The arrow keys move the item
 * being edited by one list unit (Shift: ten) while the control has focus.
 *
 * The control consumes left presses without Shift while EatMouse is on; right
 * presses, shift-presses and presses on empty space go to the zoomable base, so the
 * panel still pans and zooms. Programs may also fill the grip tables themselves and
 * follow the drags through OnGripMove and OnFinishMove.
 *
 * Nothing is drawn outside a paint event: a change of the grips repaints only their old
 * and new squares and lines. While grips are shown, the list is drawn once into a
 * picture kept by the control and those small repaints copy from it, so a drag costs
 * the same for ten items or ten thousand; otherwise a small repaint draws only the items
 * within it. Changes the program makes to the list's items show after Invalidate().
 *
 * Signals: ItemSelected, ItemChanged, GripMoved and GripMoveFinished follow the hooks of
 * the same names; SelectedItem and the mapping (XScale … YOffset) have NOTIFY signals.
 */
class VOLINSPECT_CONTROLS_EXPORT TGraphicsListControl : public TZoomableControl
{
    Q_OBJECT
    Q_PROPERTY(bool AllocList READ AllocList WRITE setAllocList)
    Q_PROPERTY(int AllocSize READ AllocSize WRITE setAllocSize)
    Q_PROPERTY(float XScale READ XScale WRITE setXScale NOTIFY XScaleChanged)
    Q_PROPERTY(float YScale READ YScale WRITE setYScale NOTIFY YScaleChanged)
    Q_PROPERTY(float XOffset READ XOffset WRITE setXOffset NOTIFY XOffsetChanged)
    Q_PROPERTY(float YOffset READ YOffset WRITE setYOffset NOTIFY YOffsetChanged)
    Q_PROPERTY(bool Transparent READ Transparent WRITE setTransparent)
    Q_PROPERTY(bool AutoEdit MEMBER AutoEdit)
    Q_PROPERTY(bool EatMouse MEMBER EatMouse)
    Q_PROPERTY(int DisplayStart READ DisplayStart WRITE setDisplayStart)
    Q_PROPERTY(int DisplayCount READ DisplayCount WRITE setDisplayCount)
    Q_PROPERTY(QColor Color READ color WRITE setColor)
    Q_PROPERTY(int SelectedItem READ SelectedItem WRITE setSelectedItem NOTIFY SelectedItemChanged
                   DESIGNABLE false STORED false)

public:
    /** On which side of its position a grip's square is drawn (screen y grows down). */
    enum TGripOrientation
    {
        goCenter,
        goTop,
        goBottom,
        goRight,
        goLeft,
        goTopLeft,
        goTopRight,
        goBottomLeft,
        goBottomRight
    };
    Q_ENUM(TGripOrientation)

    /** Half-size in pixels of a grip's square, and its hit tolerance. */
    static constexpr int DefaultGripSize = 5;

    /** One grip: a position in list coordinates and the square drawn for it. */
    struct TGrip
    {
        float X = 0, Y = 0; ///< list coordinates
        TGripOrientation Orientation = goCenter;
        int Size = DefaultGripSize;   ///< half-size of the square, pixels
        bool Active = false;          ///< drawn and hit
        bool Movable = true;          ///< may be dragged
        int ScreenX = 0, ScreenY = 0; ///< client pixel of the square's centre, last placed

        void Fill(float x, float y, TGripOrientation o, int size, bool movable);
    };

    /** A thin line joining grips First and Second. */
    struct TGripLine
    {
        int First = 0, Second = 0;
        bool Active = false;

        void Fill(int first, int second);
    };

    /**
     * A table that never fails to index: a negative index means 0, an index at or
     * beyond the count grows the table (new entries default) up to MaxEntries entries;
     * indices beyond that reach a scratch entry outside the table, reset on each use.
     * Created with one entry; it never shrinks.
     */
    template <typename T> class VOLINSPECT_CONTROLS_EXPORT TTable
    {
    public:
        static constexpr int MaxEntries = 1 << 16;
        TTable() : entries_(1) {}
        T& operator[](int i);
        const T& operator[](int i) const;
        int Count() const { return int(entries_.size()); }
        /** Makes every entry inactive; the count stays. */
        void Clear();

    private:
        std::vector<T> entries_;
        mutable T scratch_;
    };
    using TGripArray = TTable<TGrip>;
    using TGripLineArray = TTable<TGripLine>;

    /** An event of the control: Sender and an item or grip index. */
    using TIndexEvent = TEvent<QObject*, int>;

    explicit TGraphicsListControl(QWidget* parent = nullptr);
    ~TGraphicsListControl() override;

    /** The list shown: owned while AllocList is on; a program's own otherwise (or null). */
    GraphicsListStruct* List = nullptr;

    /** Grips and the lines joining them, in list coordinates. */
    TGripArray Grips;
    TGripLineArray GripLines;

    /** A selected item goes straight into editing. */
    bool AutoEdit = true;
    /** The control consumes the left presses (without Shift) it uses. */
    bool EatMouse = true;

    /** An item was clicked (its index), or the empty space (−1); signal ItemSelected. */
    TIndexEvent OnSelect;
    /** An edit was written back into item index; signal ItemChanged. */
    TIndexEvent OnChange;
    /** Custom grip index moved; signal GripMoved. */
    TIndexEvent OnGripMove;
    /** The drag of custom grip index ended; signal GripMoveFinished. */
    TIndexEvent OnFinishMove;

    bool AllocList() const { return allocList_; }
    /**
     * On: a new owned list of AllocSize items, then cbReInsert to the objects registered
     * below AllocSize, in index order. Off: releases the owned list, then cbDelete to
     * every registered object and the table is released (see SetAllocSize).
     */
    void SetAllocList(bool value);
    int AllocSize() const { return allocSize_; }
    /**
     * Capacity of the owned list and size of the notification table (which grows with
     * it, and keeps its entries when it shrinks while AllocList is off). A new size on an
     * owning control re-creates the list: AllocList off and on again, discarding the
     * items and the registrations, without cbReInsert.
     *
     * Releasing the table tells every registered object (cbDelete, in index order), also
     * one at or above the new size: an object left out would keep pointing at a control
     * that has no entry for it, and would never hear of the control again. So changing
     * AllocSize of an owning control, or switching AllocList off, leaves no object
     * registered.
     */
    void SetAllocSize(int value);
    /** Client pixels per list unit; stored only, no repaint. */
    float XScale() const { return Mapping().XScale; }
    void SetXScale(float value);
    float YScale() const { return Mapping().YScale; }
    void SetYScale(float value);
    /** Client pixel of list coordinate 0; stored only, no repaint. */
    float XOffset() const { return Mapping().XOffset; }
    void SetXOffset(float value);
    float YOffset() const { return Mapping().YOffset; }
    void SetYOffset(float value);
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    /** First item drawn and how many (0: to the end of the list). Hit tests see all. */
    int DisplayStart() const { return displayStart_; }
    void SetDisplayStart(int value);
    int DisplayCount() const { return displayCount_; }
    void SetDisplayCount(int value);
    /** The background of an opaque control. */
    TColor Color() const { return color_; }
    void SetColor(TColor value);
    /**
     * The item last selected, by a click (the empty space selects −1) or by
     * SetSelectedItem; −1 for none. The list is not watched: an index it names may be
     * gone from a list changed since. Notified by SelectedItemChanged.
     */
    int SelectedItem() const { return selectedItem_; }
    /**
     * Selects item `index` as a click on it does, without the click's hooks and
     * signals (cbSelect, OnSelect, ItemSelected): with AutoEdit an item the list holds
     * goes into editing; an index naming no item (−1, as any negative index becomes)
     * stops the edit, as a click on the empty space does. The item selected already
     * changes nothing.
     */
    void SetSelectedItem(int index);

    // Qt-style names of the setters (Qt Designer, setProperty); the colour as a QColor.
    VOLINSPECT_QT_SETTER(AllocList, bool)
    VOLINSPECT_QT_SETTER(AllocSize, int)
    VOLINSPECT_QT_SETTER(XScale, float)
    VOLINSPECT_QT_SETTER(YScale, float)
    VOLINSPECT_QT_SETTER(XOffset, float)
    VOLINSPECT_QT_SETTER(YOffset, float)
    VOLINSPECT_QT_SETTER(Transparent, bool)
    VOLINSPECT_QT_SETTER(DisplayStart, int)
    VOLINSPECT_QT_SETTER(DisplayCount, int)
    VOLINSPECT_QT_SETTER(SelectedItem, int)
    QColor color() const { return ColorToQColor(color_); }
    void setColor(const QColor& value) { SetColor(PropertyColor(color_, value)); }

    /** Sets XScale, XOffset, YScale and YOffset, in this order; no repaint. */
    void SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset) override;

    /** Repaints the control and what it covers, drawing the list afresh. */
    void Invalidate();
    /** Repaints the parent's area under the control and every overlapping visible sibling. */
    void InvalidateOthers();
    /** Paints the list, then (when editing) the grips, on `painter` in client pixels. */
    void PaintWindow(QPainter& painter);

    /** Enters `obj` (null clears) for item `index`; creates the table; other indices ignored. */
    void SetNotifyObject(int index, TGLCNotifyObject* obj);
    /** The object registered for `index`, or null. */
    TGLCNotifyObject* NotifyObject(int index) const;
    /** Whether the notification table exists. */
    bool HasNotifyTable() const { return notifyTable_; }

    // --- editing ---------------------------------------------------------------------

    /** Grips are shown and can be dragged. */
    bool Editing() const { return editing_; }
    void SetEditing(bool value);
    /** Shows the grips as they stand (custom grips when EditType is 0). */
    void StartEdit();
    /** Hides the grips; EditType becomes 0. */
    void StopEdit();
    /** Makes every grip and grip line inactive. */
    void ClearGrips();
    /** Default edits of a shape given in list coordinates (EditType 1, 2, 3, 4). */
    void StartEditPoint(float x, float y);
    void StartEditRect(float x1, float y1, float x2, float y2);
    void StartEditLine(float x1, float y1, float x2, float y2);
    void StartEditArc(float cx, float cy, float radius, float startAngle, float endAngle);
    /** Edits item `index` of the list by its kind; EditItem becomes index (else −1). */
    void StartDefaultEdit(int index);
    /** Writes the grips into item `index` by its kind (an arc: the circle through 0, 1, 2). */
    void UpdateDefaultEdit(int index);
    /** Applies the move rule of EditType after `grip` moved. */
    void StdEditGripMove(int grip);
    void StdEditRectangleGripMove(int grip);
    void StdEditLineGripMove(int grip);
    void StdEditArcGripMove(int grip);

    /** 0 custom grips, 1 point, 2 rectangle, 3 line, 4 arc. */
    int EditType() const { return editType_; }
    /** The list index under default edit, −1 for none. */
    int EditItem() const { return editItem_; }
    /** The grip being dragged, −1 for none. */
    int ActiveGrip() const { return activeGrip_; }

    /**
     * The client pixel of the square's centre for a grip at list (x, y): the position
     * truncated toward zero, shifted by size + 1 by the orientation.
     */
    void PlaceGrip(float x, float y, int& screenX, int& screenY, TGripOrientation o,
                   int size) const;
    /** True when (x, y) lies within `size` of (gx, gy) on both axes, bounds included. */
    static bool HitsGrip(int x, int y, int gx, int gy, int size);
    static bool HitsGrip(int x, int y, const TGrip& grip);

    /**
     * Edits written back from now on push an undoable command on `stack` (null: none).
     * Undo and redo restore the item, repaint and raise OnChange and cbChange once.
     */
    void SetUndoStack(QUndoStack* stack);
    QUndoStack* UndoStack() const { return undoStack_; }

signals:
    /** Emitted after OnSelect, every time it is raised: the item clicked, or −1. */
    void ItemSelected(int index);
    /** Emitted after OnChange (before the item's cbChange): the item written back. */
    void ItemChanged(int index);
    /** Emitted after OnGripMove: the custom grip moved. */
    void GripMoved(int grip);
    /** Emitted after OnFinishMove: the custom grip whose drag ended. */
    void GripMoveFinished(int grip);
    /** SelectedItem changed; the new index. */
    void SelectedItemChanged(int index);

protected:
    void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) override;
    void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) override;
    void MouseMove(TShiftState Shift, int X, int Y) override;
    /** The mapping is stored only: the view beneath repaints the overlay. */
    void MappingChanged(const TZoomMapping& previous) override;

    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

    /** Draws one grip's square with XOR at its placed centre. */
    void DrawGrip(QPainter& painter, const TGrip& grip) const;
    /** Draws a line with XOR between the pixels of list points (x1, y1) and (x2, y2). */
    void DrawGripLine(QPainter& painter, float x1, float y1, float x2, float y2) const;
    /** Draws every active grip, then every active grip line. */
    void DrawGrips(QPainter& painter);

private:
    friend class TGLCEditCommand;
    friend class TGLCNotifyObject;

    /** Places every active grip at its screen position (for hit tests and drawing). */
    void PlaceGrips();
    /** Places the grips and returns the pixels their squares and lines cover. */
    QRegion GripRegion();
    /** Repaints what the grips covered before (`before`) and cover now. */
    void RepaintGrips(const QRegion& before);
    /** Writes item EditItem back, repaints, notifies and records the change for undo. */
    void WriteBack(bool mergeable);
    /** Raises OnChange and ItemChanged, then the item's cbChange. */
    void NotifyChange(int index);
    /** Puts `item` into list index `index` again (undo, redo) and notifies. */
    void RestoreItem(int index, const GraphicsItemStruct& item);
    /** cbDelete on every registered object, in index order; the table is released. */
    void DropNotifyObjects();
    /** Remembers `object` as one that may point here (see ~TGLCNotifyObject). */
    void Know(TGLCNotifyObject* object);
    /** `object` is going: no entry and no memory of it stays. */
    void Forget(TGLCNotifyObject* object);
    /** Marks every command still holding this control obsolete. */
    void OrphanCommands();
    /** Stores the selected item and notifies when it differs; true when it did. */
    bool StoreSelectedItem(int index);
    /** The screen step of one list unit along an axis: ±1, or 0 for a scale of 0. */
    static float ScreenSign(float scale);

    bool allocList_ = false;
    int allocSize_ = 64;
    bool transparent_ = false;
    int displayStart_ = 0;
    int displayCount_ = 0;
    TColor color_ = clWhite;
    bool notifyTable_ = false;                        ///< the notification table exists
    std::vector<TGLCNotifyObject*> notifyObjects_;    ///< the table, entries per item index
    std::unordered_set<TGLCNotifyObject*> followers_; ///< every object that may point here
    bool strayEntries_ = false; ///< an object was entered at an index other than its Index
    bool editing_ = false;
    int editType_ = 0;
    int editItem_ = -1;
    int activeGrip_ = -1;
    int selectedItem_ = -1;
    int pressX_ = 0, pressY_ = 0;
    float gripX_ = 0, gripY_ = 0;
    /** What the list picture shows: it is drawn again when any of it changes. */
    struct ListPictureKey
    {
        TZoomMapping mapping;
        QSize size;
        qreal ratio = 1;
        const GraphicsListStruct* list = nullptr;
        const GraphicsItemStruct* items = nullptr;
        int32_t count = 0;
        uint32_t color = 0;
        int start = 0, shown = 0;
        bool operator==(const ListPictureKey&) const = default;
    };
    QImage listPicture_; ///< the list as drawn, while grips are shown
    ListPictureKey listPictureKey_;
    bool listPictureValid_ = false;
    QPointer<QUndoStack> undoStack_;
    std::vector<TGLCEditCommand*> commands_; ///< live commands that refer to the list
};
