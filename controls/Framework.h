#pragma once

#include "controls_export.h"

#include <QColor>
#include <QFrame>
#include <QImage>
#include <QScrollArea>
#include <QSpinBox>
#include <QWidget>

#include <cstdint>

/**
 * The small set of desktop-framework pieces the windows are built from: colours as
 * 0x00BBGGRR values, edge anchoring, a bitmap image, a rectangle outline, a scroll
 * box whose scroll range covers its children, and a spin edit.
 */

/**
 * The Qt-style name of a published setter: declares `set<Name>(Type value)` calling
 * `Set<Name>(value)`, the name Qt Designer's generated code and setProperty call. Used
 * in a class body, one line a setter; a setter that converts its value (a colour as
 * QColor, an enum of the property's own type) or stores differently is written out.
 */
#define VOLINSPECT_QT_SETTER(Name, Type)                                                           \
    void set##Name(Type value)                                                                     \
    {                                                                                              \
        Set##Name(value);                                                                          \
    }

/** A colour as 0x00BBGGRR, or a system colour (0x80000000 | index). */
using TColor = uint32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clBtnFace = 0x8000000F;
constexpr TColor clWindow = 0x80000005;
constexpr TColor clWindowText = 0x80000008;

/** The QColor of `color`; system colours come from the application's palette. */
VOLINSPECT_CONTROLS_EXPORT QColor ColorToQColor(TColor color);

/** `color` as a TColor (0x00BBGGRR); alpha is dropped. */
VOLINSPECT_CONTROLS_EXPORT TColor QColorToColor(const QColor& color);

/** The plain 0x00BBGGRR value of `color`, a system colour resolved through the palette. */
VOLINSPECT_CONTROLS_EXPORT TColor PlainColor(TColor color);

/**
 * The TColor a colour property's setter stores for `value`: `stored` itself when
 * `value` is the colour it shows already, so that setting a colour property to its own
 * value changes nothing (a system colour stays one); else `value` as 0x00BBGGRR.
 */
VOLINSPECT_CONTROLS_EXPORT TColor PropertyColor(TColor stored, const QColor& value);

/**
 * Stacked controls. Display controls may lie on top of each other in one parent (an
 * image, an overlay, a plot); a transparent one paints no background, so what lies
 * beneath shows through, and when it changes, what it covers must repaint too.
 */

/**
 * Repaints everything `control` covers: the parent's area under it and the overlapping
 * part of every visible sibling. Does nothing while the control is hidden or has no
 * parent.
 */
VOLINSPECT_CONTROLS_EXPORT void InvalidateOthers(QWidget* control);

/**
 * Makes `control` paint no background of its own when `transparent` (Qt then paints
 * the parent and the lower siblings first, so they show through), or declares it
 * opaque, covering its whole area, when not.
 */
VOLINSPECT_CONTROLS_EXPORT void SetPaintsBackground(QWidget* control, bool transparent);

/** What a transparent control does on a move: repaint what it covered and itself. */
VOLINSPECT_CONTROLS_EXPORT void RepaintMovedControl(QWidget* control, bool transparent);

/** Which edges of its parent a control keeps its distance to. */
enum TAnchor : unsigned
{
    akLeft = 1,
    akTop = 2,
    akRight = 4,
    akBottom = 8,
    akAll = akLeft | akTop | akRight | akBottom
};
using TAnchors = unsigned;

/**
 * Keeps `control` at its present distances to the anchored edges of its parent when
 * the parent is resized: anchored to both edges of an axis it stretches, to the far
 * edge only it moves, to neither it keeps its place. A program move or resize of the
 * control takes new distances, as the user would expect.
 */
VOLINSPECT_CONTROLS_EXPORT void SetAnchors(QWidget* control, TAnchors anchors);

/** The anchors given to `control`, akLeft | akTop if none were. */
VOLINSPECT_CONTROLS_EXPORT TAnchors Anchors(const QWidget* control);

/**
 * An image control showing a 24-bit bitmap (bytes blue, green, red; row 0 at the top)
 * at its top-left corner, unscaled. Where there is no picture, what lies beneath
 * shows through. With AutoSize the control takes the picture's size.
 */
class VOLINSPECT_CONTROLS_EXPORT TImage : public QWidget
{
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);

    /**
     * Gives the bitmap `width` × `height` pixels, all black when the size changes;
     * sizes of 0, or a bitmap of more than 1 GiB, leave no picture. With AutoSize the
     * control follows.
     */
    void SetPictureSize(int width, int height);

    /** The bitmap, for writing rows in place; call update() afterwards. */
    QImage& Picture() { return picture_; }
    const QImage& Picture() const { return picture_; }

    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);

signals:
    /** A mouse button went down at (x, y) in control pixels. */
    void MouseDown(Qt::MouseButton button, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QImage picture_;
    bool autoSize_ = false;
};

/** A rectangle outline filling the control: clear brush, pen of the given colour and width. */
class VOLINSPECT_CONTROLS_EXPORT TShape : public QWidget
{
    Q_OBJECT
public:
    explicit TShape(QWidget* parent = nullptr);

    TColor PenColor() const { return penColor_; }
    void SetPenColor(TColor color);
    int PenWidth() const { return penWidth_; }
    void SetPenWidth(int width);

signals:
    /** A mouse button went down at (x, y) relative to the shape's corner. */
    void MouseDown(Qt::MouseButton button, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    TColor penColor_ = clBlack;
    int penWidth_ = 1;
};

/** A panel: a frame whose background is painted in its Color. */
class VOLINSPECT_CONTROLS_EXPORT TPanel : public QFrame
{
    Q_OBJECT
public:
    explicit TPanel(QWidget* parent = nullptr);

    TColor Color() const { return color_; }
    void SetColor(TColor color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TColor color_ = clBtnFace;
};

/**
 * A scroll box: controls are placed on Content() at content coordinates, and the
 * scroll range always covers the bounding rectangle of their places.
 */
class VOLINSPECT_CONTROLS_EXPORT TScrollBox : public QScrollArea
{
    Q_OBJECT
public:
    explicit TScrollBox(QWidget* parent = nullptr);

    QWidget* Content() const { return content_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FitContent();

    QWidget* content_;
};

/**
 * A spin edit without limits whose value is its text read as a whole number. Text
 * that does not read as one is replaced by 0, and 0 is used. Change() is emitted on
 * every change of the text, typed or from the arrow buttons.
 */
class VOLINSPECT_CONTROLS_EXPORT TCSpinEdit : public QSpinBox
{
    Q_OBJECT
public:
    explicit TCSpinEdit(QWidget* parent = nullptr);

    /** The value of the text; unreadable text becomes "0" first. */
    int Value();
    void SetValue(int value);

    /** The text as shown; SetText changes it as typing would. */
    QString Text() const;
    void SetText(const QString& text);

signals:
    void Change();

protected:
    QValidator::State validate(QString& text, int& pos) const override;
    void fixup(QString& text) const override;

private:
    void TextMayHaveChanged();

    QString shownText_; ///< the text of the last Change
};
