#pragma once

#include "controls_export.h"

#include "Framework.h"
#include "imgkernel.h"

#include <QWidget>

/**
 * A plot of one vector of floats filling the control. The control keeps the display
 * parameters and, on every paint, hands the vector and them to the imaging library's
 * DrawVectorHorizontal or DrawVectorVertical; it draws nothing itself.
 *
 * While AllocVector is on the control owns Vector, a record of AllocSize samples;
 * a new vector holds a triangle test pattern (0, 16, …, 256, …, 16, period 32).
 * Clients set AllocSize, write Vector->Values directly and call Invalidate().
 *
 * Published properties are Q_PROPERTYs (Qt Designer, setProperty): each Set… setter
 * has a Qt-style alias (setAllocSize), colours are QColors there.
 */
class VOLINSPECT_CONTROLS_EXPORT TVectorControl : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool AllocVector READ AllocVector WRITE setAllocVector)
    Q_PROPERTY(int AllocSize READ AllocSize WRITE setAllocSize)
    Q_PROPERTY(bool Vertical READ Vertical WRITE setVertical)
    Q_PROPERTY(bool Transparent READ Transparent WRITE setTransparent)
    Q_PROPERTY(QColor VectorColor READ vectorColor WRITE setVectorColor)
    Q_PROPERTY(float Min READ Min WRITE setMin)
    Q_PROPERTY(bool AutoMin READ AutoMin WRITE setAutoMin)
    Q_PROPERTY(float Max READ Max WRITE setMax)
    Q_PROPERTY(bool AutoMax READ AutoMax WRITE setAutoMax)
    Q_PROPERTY(bool TopDown READ TopDown WRITE setTopDown)
    Q_PROPERTY(bool Reversed READ Reversed WRITE setReversed)
    Q_PROPERTY(QColor Color READ color WRITE setColor)

public:
    explicit TVectorControl(QWidget* parent = nullptr);
    ~TVectorControl() override;

    /** The plotted record: owned while AllocVector is on, else the client's or null. */
    VectorStruct* Vector = nullptr;

    bool AllocVector() const { return allocVector_; }
    void SetAllocVector(bool value);
    int AllocSize() const { return allocSize_; }
    void SetAllocSize(int value);
    bool Vertical() const { return vertical_; }
    void SetVertical(bool value);
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    TColor VectorColor() const { return vectorColor_; }
    void SetVectorColor(TColor value);
    float Min() const { return min_; }
    void SetMin(float value);
    bool AutoMin() const { return autoMin_; }
    void SetAutoMin(bool value);
    float Max() const { return max_; }
    void SetMax(float value);
    bool AutoMax() const { return autoMax_; }
    void SetAutoMax(bool value);
    bool TopDown() const { return topDown_; }
    void SetTopDown(bool value);
    bool Reversed() const { return reversed_; }
    void SetReversed(bool value);
    /** The background colour, painted unless Transparent is on. */
    TColor Color() const { return color_; }
    void SetColor(TColor value);

    // Qt-style names of the setters, as Qt Designer's generated code and setProperty
    // call them; colours as QColor.
    VOLINSPECT_QT_SETTER(AllocVector, bool)
    VOLINSPECT_QT_SETTER(AllocSize, int)
    VOLINSPECT_QT_SETTER(Vertical, bool)
    VOLINSPECT_QT_SETTER(Transparent, bool)
    QColor vectorColor() const { return ColorToQColor(vectorColor_); }
    void setVectorColor(const QColor& value) { SetVectorColor(PropertyColor(vectorColor_, value)); }
    VOLINSPECT_QT_SETTER(Min, float)
    VOLINSPECT_QT_SETTER(AutoMin, bool)
    VOLINSPECT_QT_SETTER(Max, float)
    VOLINSPECT_QT_SETTER(AutoMax, bool)
    VOLINSPECT_QT_SETTER(TopDown, bool)
    VOLINSPECT_QT_SETTER(Reversed, bool)
    QColor color() const { return ColorToQColor(color_); }
    void setColor(const QColor& value) { SetColor(PropertyColor(color_, value)); }

    /** Repaints what lies beneath the control, then the control itself. */
    virtual void Invalidate();
    /** Repaints the parent's area under the control and every overlapping visible sibling. */
    void InvalidateOthers();

    /** What one paint hands to the drawing operation. */
    struct DrawArguments
    {
        bool Vertical = false; ///< DrawVectorVertical instead of DrawVectorHorizontal
        float OriginX = 0, OriginY = 0, DirectionX = 1, DirectionY = 1;
        float Width = 0, Height = 0, Min = 0, Max = 0;
        TColor Color = 0;
    };
    /** The arguments of the next paint, with the automatic range resolved now. */
    DrawArguments PaintArguments() const;

    /** Paints the vector on `painter` through the imaging library. */
    void PaintWindow(QPainter& painter);

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void ReleaseVector();

    bool allocVector_ = false;
    int allocSize_ = 256;
    bool vertical_ = false;
    bool transparent_ = false;
    TColor vectorColor_ = 0;
    float min_ = 0.0f;
    bool autoMin_ = false;
    float max_ = 255.0f;
    bool autoMax_ = false;
    bool topDown_ = false;
    bool reversed_ = false;
    TColor color_ = clWindow;
};
