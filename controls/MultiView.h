#pragma once

#include "controls_export.h"

#include "Events.h"
#include "Framework.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <array>
#include <memory>

class QButtonGroup;
class QFrame;
class QMoveEvent;
class QResizeEvent;
class QShowEvent;
class QToolButton;

/**
 * The accessors of cell `code`'s flattened properties (Caption11, Ratio11, Resize11,
 * Visible11, ...): Qt-style getters and setters over the cell's record.
 */
#define VOLINSPECT_CELL_PROPERTIES(code)                                                           \
    QString caption##code() const                                                                  \
    {                                                                                              \
        return CellCaption(code);                                                                  \
    }                                                                                              \
    void setCaption##code(const QString& value)                                                    \
    {                                                                                              \
        SetCellCaption(code, value);                                                               \
    }                                                                                              \
    float ratio##code() const                                                                      \
    {                                                                                              \
        return CellRatio(code);                                                                    \
    }                                                                                              \
    void setRatio##code(float value)                                                               \
    {                                                                                              \
        SetCellRatio(code, value);                                                                 \
    }                                                                                              \
    bool resize##code() const                                                                      \
    {                                                                                              \
        return CellResize(code);                                                                   \
    }                                                                                              \
    void setResize##code(bool value)                                                               \
    {                                                                                              \
        SetCellResize(code, value);                                                                \
    }                                                                                              \
    bool visible##code() const                                                                     \
    {                                                                                              \
        return CellVisible(code);                                                                  \
    }                                                                                              \
    void setVisible##code(bool value)                                                              \
    {                                                                                              \
        SetCellVisible(code, value);                                                               \
    }

/**
 * A grid of up to 3 × 3 cells, each a caption button across its top and a sunken frame
 * below it, inside which the cell's client control is placed (optionally at a fixed
 * width/height ratio). The caption buttons form one exclusive group: exactly one cell,
 * the active client, is pressed at all times. When Zoomed, only the active cell is shown
 * and it fills the whole view.
 *
 * A cell is named by its code r·10 + c, row r and column c both 1 to 3; every loop over
 * the cells runs in the order 11, 12, 13, 21, 22, 23, 31, 32, 33.
 *
 * The client controls are not children of the view: they are its siblings (children of
 * the view's parent), and the view moves them over its own area, in the parent's
 * coordinates. The view owns its nine cell records and their buttons and frames; it never
 * owns or deletes a client control.
 *
 * Published properties are Q_PROPERTYs (Qt Designer, setProperty): each Set… setter
 * has a Qt-style alias (setColCount), colours are QColors there. The nine cell records
 * are flattened into per-cell properties Caption11, Ratio11, Resize11, Visible11, …
 * Caption33 … Visible33, so a form can name and shape its cells; a cell's Control is
 * left out, because it is a sibling widget that a form's property editor cannot pick
 * and that the program assigns in code. The properties come in an order that a form
 * may apply them in: the counts before ActiveClient (which is clamped to the grid) and
 * ResizeClients (which overwrites every cell's Resize) before the cells.
 *
 * Signals: ActiveClientSet, ActiveClientChanging and LaidOut follow OnChangeActive,
 * OnChangingActive and OnChangeSize, a record's Changed its OnChange; ActiveClient is
 * notified by ActiveClientChanged, once per real change (a refused click gives none).
 */
class VOLINSPECT_CONTROLS_EXPORT TMultiView : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int ColCount READ ColCount WRITE setColCount)
    Q_PROPERTY(int RowCount READ RowCount WRITE setRowCount)
    Q_PROPERTY(int ActiveClient READ ActiveClient WRITE setActiveClient NOTIFY ActiveClientChanged)
    Q_PROPERTY(bool ResizeClients READ ResizeClients WRITE setResizeClients)
    Q_PROPERTY(bool Zoomed READ Zoomed WRITE setZoomed)
    Q_PROPERTY(QColor ColorPushed READ colorPushed WRITE setColorPushed)
    Q_PROPERTY(QColor ColorReleased READ colorReleased WRITE setColorReleased)
    Q_PROPERTY(QColor ColorPushedText READ colorPushedText WRITE setColorPushedText)
    Q_PROPERTY(QColor ColorReleasedText READ colorReleasedText WRITE setColorReleasedText)
    Q_PROPERTY(int ButtonHeight READ ButtonHeight WRITE setButtonHeight)
    Q_PROPERTY(QString Caption11 READ caption11 WRITE setCaption11)
    Q_PROPERTY(float Ratio11 READ ratio11 WRITE setRatio11)
    Q_PROPERTY(bool Resize11 READ resize11 WRITE setResize11)
    Q_PROPERTY(bool Visible11 READ visible11 WRITE setVisible11)
    Q_PROPERTY(QString Caption12 READ caption12 WRITE setCaption12)
    Q_PROPERTY(float Ratio12 READ ratio12 WRITE setRatio12)
    Q_PROPERTY(bool Resize12 READ resize12 WRITE setResize12)
    Q_PROPERTY(bool Visible12 READ visible12 WRITE setVisible12)
    Q_PROPERTY(QString Caption13 READ caption13 WRITE setCaption13)
    Q_PROPERTY(float Ratio13 READ ratio13 WRITE setRatio13)
    Q_PROPERTY(bool Resize13 READ resize13 WRITE setResize13)
    Q_PROPERTY(bool Visible13 READ visible13 WRITE setVisible13)
    Q_PROPERTY(QString Caption21 READ caption21 WRITE setCaption21)
    Q_PROPERTY(float Ratio21 READ ratio21 WRITE setRatio21)
    Q_PROPERTY(bool Resize21 READ resize21 WRITE setResize21)
    Q_PROPERTY(bool Visible21 READ visible21 WRITE setVisible21)
    Q_PROPERTY(QString Caption22 READ caption22 WRITE setCaption22)
    Q_PROPERTY(float Ratio22 READ ratio22 WRITE setRatio22)
    Q_PROPERTY(bool Resize22 READ resize22 WRITE setResize22)
    Q_PROPERTY(bool Visible22 READ visible22 WRITE setVisible22)
    Q_PROPERTY(QString Caption23 READ caption23 WRITE setCaption23)
    Q_PROPERTY(float Ratio23 READ ratio23 WRITE setRatio23)
    Q_PROPERTY(bool Resize23 READ resize23 WRITE setResize23)
    Q_PROPERTY(bool Visible23 READ visible23 WRITE setVisible23)
    Q_PROPERTY(QString Caption31 READ caption31 WRITE setCaption31)
    Q_PROPERTY(float Ratio31 READ ratio31 WRITE setRatio31)
    Q_PROPERTY(bool Resize31 READ resize31 WRITE setResize31)
    Q_PROPERTY(bool Visible31 READ visible31 WRITE setVisible31)
    Q_PROPERTY(QString Caption32 READ caption32 WRITE setCaption32)
    Q_PROPERTY(float Ratio32 READ ratio32 WRITE setRatio32)
    Q_PROPERTY(bool Resize32 READ resize32 WRITE setResize32)
    Q_PROPERTY(bool Visible32 READ visible32 WRITE setVisible32)
    Q_PROPERTY(QString Caption33 READ caption33 WRITE setCaption33)
    Q_PROPERTY(float Ratio33 READ ratio33 WRITE setRatio33)
    Q_PROPERTY(bool Resize33 READ resize33 WRITE setResize33)
    Q_PROPERTY(bool Visible33 READ visible33 WRITE setVisible33)

public:
    class ClientData;

    /** An event with only its sender. */
    using TNotifyEvent = TEvent<QObject*>;
    /** Asked before a caption click changes the active client; clearing Allow refuses it. */
    using TChangingActiveEvent = TEvent<QObject*, int, bool&>;

    explicit TMultiView(QWidget* parent = nullptr);
    ~TMultiView() override;

    /**
     * Raised at the end of every SetActiveClient (a caption click raises it 1 or 3
     * times); signal ActiveClientSet.
     */
    TNotifyEvent OnChangeActive;
    /**
     * Asked by a caption click, with the old cell active again, before the new one is
     * set; signal ActiveClientChanging.
     */
    TChangingActiveEvent OnChangingActive;
    /** Raised after every layout (ResizeFunc); signal LaidOut. */
    TNotifyEvent OnChangeSize;

    /** The code of the cell whose caption button is down. */
    int ActiveClient() const { return GetActiveClient(); }
    int GetActiveClient() const;
    /**
     * Presses the caption button of cell `code`. A row or column beyond the grid is
     * clamped to the last one; a code that then names no cell (row or column 0 or less)
     * presses nothing, but the rest still runs: layout when zoomed, PrevActive,
     * ActiveClientChanged when the active cell differs from the one last notified, and
     * OnChangeActive with ActiveClientSet, which come on every call.
     */
    void SetActiveClient(int code);
    /** The active cell as recorded at the end of the last SetActiveClient. */
    int PrevActive() const { return prevActive_; }

    /** Copied to every record's Resize: whether the view places the client controls. */
    bool ResizeClients() const { return resizeClients_; }
    void SetResizeClients(bool value);

    /** The record of cell `code` (11 … 33), or null for any other code. */
    ClientData* Client(int code) const;
    ClientData* Client11() const { return records_[0].get(); }
    ClientData* Client12() const { return records_[1].get(); }
    ClientData* Client13() const { return records_[2].get(); }
    ClientData* Client21() const { return records_[3].get(); }
    ClientData* Client22() const { return records_[4].get(); }
    ClientData* Client23() const { return records_[5].get(); }
    ClientData* Client31() const { return records_[6].get(); }
    ClientData* Client32() const { return records_[7].get(); }
    ClientData* Client33() const { return records_[8].get(); }

    /** Number of grid columns, 1 to 3; other values are clamped. */
    int ColCount() const { return colCount_; }
    void SetColCount(int value);
    /** Number of grid rows, 1 to 3; other values are clamped. */
    int RowCount() const { return rowCount_; }
    void SetRowCount(int value);
    /** Only the active cell is shown, over the whole view. */
    bool Zoomed() const { return zoomed_; }
    void SetZoomed(bool value);

    /** Background of a pressed caption button. */
    TColor ColorPushed() const { return colorPushed_; }
    void SetColorPushed(TColor value);
    /** Background of a released caption button. */
    TColor ColorReleased() const { return colorReleased_; }
    void SetColorReleased(TColor value);
    /** Caption colour of a pressed caption button. */
    TColor ColorPushedText() const { return colorPushedText_; }
    void SetColorPushedText(TColor value);
    /** Caption colour of a released caption button. */
    TColor ColorReleasedText() const { return colorReleasedText_; }
    void SetColorReleasedText(TColor value);
    /**
     * Height of every caption button in pixels; 0 keeps the buttons' current height
     * (17 pixels at creation). A change re-lays each cell in its present rectangle.
     */
    int ButtonHeight() const { return buttonHeight_; }
    void SetButtonHeight(int value);

    // Qt-style names of the setters, as Qt Designer's generated code and setProperty
    // call them; colours as QColor; the cells' properties through their records.
    VOLINSPECT_QT_SETTER(ActiveClient, int)
    VOLINSPECT_QT_SETTER(ResizeClients, bool)
    VOLINSPECT_QT_SETTER(ColCount, int)
    VOLINSPECT_QT_SETTER(RowCount, int)
    VOLINSPECT_QT_SETTER(Zoomed, bool)
    QColor colorPushed() const { return ColorToQColor(colorPushed_); }
    void setColorPushed(const QColor& value) { SetColorPushed(PropertyColor(colorPushed_, value)); }
    QColor colorReleased() const { return ColorToQColor(colorReleased_); }
    void setColorReleased(const QColor& value)
    {
        SetColorReleased(PropertyColor(colorReleased_, value));
    }
    QColor colorPushedText() const { return ColorToQColor(colorPushedText_); }
    void setColorPushedText(const QColor& value)
    {
        SetColorPushedText(PropertyColor(colorPushedText_, value));
    }
    QColor colorReleasedText() const { return ColorToQColor(colorReleasedText_); }
    void setColorReleasedText(const QColor& value)
    {
        SetColorReleasedText(PropertyColor(colorReleasedText_, value));
    }
    VOLINSPECT_QT_SETTER(ButtonHeight, int)
    // The accessors of each cell's flattened properties.
    VOLINSPECT_CELL_PROPERTIES(11)
    VOLINSPECT_CELL_PROPERTIES(12)
    VOLINSPECT_CELL_PROPERTIES(13)
    VOLINSPECT_CELL_PROPERTIES(21)
    VOLINSPECT_CELL_PROPERTIES(22)
    VOLINSPECT_CELL_PROPERTIES(23)
    VOLINSPECT_CELL_PROPERTIES(31)
    VOLINSPECT_CELL_PROPERTIES(32)
    VOLINSPECT_CELL_PROPERTIES(33)

    /**
     * The layout: cells of Width/ColCount × Height/RowCount pixels (truncated), or the
     * active cell over the whole view when Zoomed; then OnChangeSize. Runs on every
     * resize and move of the view, and when a record is read or the view is shown after
     * a resize or move while hidden. Sender is not used.
     */
    void ResizeFunc(QObject* Sender);
    /** The click handler of every caption button; the clicked button is already down. */
    void ButtonClick(QObject* Sender);
    /** Does nothing; the initial handler of every record's OnChange. */
    void ClientChange(QObject* Sender);
    /** Repaints the view, then each assigned and visible client control, in cell order. */
    void Invalidate();

signals:
    /** The active cell changed: its code. The NOTIFY signal of ActiveClient. */
    void ActiveClientChanged(int code);
    /** Emitted after OnChangeActive, every time it is raised. */
    void ActiveClientSet();
    /**
     * Emitted after OnChangingActive (with the value the hook left in `*allow`): a
     * caption click asks to make cell `code` active. A slot connected directly may
     * clear `*allow` to refuse it.
     */
    void ActiveClientChanging(int code, bool* allow);
    /** Emitted after OnChangeSize, at the end of every layout. */
    void LaidOut();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    /** The cell properties' access to the record of cell `code` (defined below ClientData). */
    QString CellCaption(int code) const;
    void SetCellCaption(int code, const QString& value);
    float CellRatio(int code) const;
    void SetCellRatio(int code, float value);
    bool CellResize(int code) const;
    void SetCellResize(int code, bool value);
    bool CellVisible(int code) const;
    void SetCellVisible(int code, bool value);
    /** Moves the active client into the grid after a change of ColCount or RowCount. */
    void KeepActiveInGrid();
    /** Runs the layout when the view's geometry differs from the last layout's. */
    void LayOutIfStale();
    /** Emits ActiveClientChanged when the active cell differs from the one last notified. */
    void NotifyActiveClient();

    bool resizeClients_ = false;
    std::array<std::unique_ptr<ClientData>, 9> records_; ///< in cell order
    int colCount_ = 0;
    int rowCount_ = 0;
    bool zoomed_ = false;
    int prevActive_ = 11;
    int notifiedActive_ = 11; ///< the active cell of the last ActiveClientChanged
    TColor colorPushed_ = 0;
    TColor colorReleased_ = 0;
    TColor colorPushedText_ = 0;
    TColor colorReleasedText_ = 0;
    int buttonHeight_ = 0;
    QRect laidOutGeometry_; ///< the view's geometry at the last layout
    /** [row][column], rows and columns 1 to 3 in use; row 0 and column 0 stay null. */
    ClientData* clients_[4][4] = {};
    QButtonGroup* group_;
};

#undef VOLINSPECT_CELL_PROPERTIES

/**
 * One cell of a TMultiView: its caption button and frame, the client control placed in
 * the frame, and the cell's own copies of the view's colours and button height.
 *
 * The caption is not drawn as button text but rendered into GlyphBitmap, four images
 * side by side for the button's states up, disabled, clicked (mouse held) and down, which
 * becomes the button's icon: up is (Normal, Off) and (Active, Off), disabled is
 * (Disabled, Off/On), clicked is (Selected, Off/On), down is (Normal, On) and (Active, On).
 * Pixels of the bitmap's bottom-left colour are transparent in the icon.
 */
class VOLINSPECT_CONTROLS_EXPORT TMultiView::ClientData : public QObject
{
    Q_OBJECT
public:
    explicit ClientData(TMultiView* view);
    ~ClientData() override;

    /** Raised by SetCaption, SetControl and SetRatio; Sender is this record. Signal Changed. */
    TNotifyEvent OnChange;

    /** The caption shown on the cell's button. */
    const QString& Caption() const { return caption_; }
    void SetCaption(const QString& value);
    /** The client control, a sibling of the view; never owned. */
    QWidget* Control() const
    {
        view_->LayOutIfStale();
        return control_;
    }
    void SetControl(QWidget* value);
    /** Width/height ratio of the client area; 0 or less fills the frame's inside. */
    float Ratio() const { return ratio_; }
    void SetRatio(float value);
    /** Whether the view positions, sizes, shows and hides the client control at all. */
    bool Resize() const { return resize_; }
    void SetResize(bool value);
    /** False hides this cell; true lays out the whole grid again. */
    bool Visible() const { return visible_; }
    void SetVisible(bool value);

    /** The caption button (a child of the view). */
    QToolButton* Button() const
    {
        view_->LayOutIfStale();
        return button_;
    }
    /** The frame below the button (a child of the view). */
    QFrame* Frame() const
    {
        view_->LayOutIfStale();
        return frame_;
    }
    /**
     * The frame's rectangle as laid out, in view pixels; unlike Frame()->geometry() it
     * keeps a negative height when the cell is shorter than its button.
     */
    QRect FrameRect() const
    {
        view_->LayOutIfStale();
        return frameRect_;
    }
    /** The client area inside the frame, after the ratio rule, in view pixels. */
    QRect Inner() const
    {
        view_->LayOutIfStale();
        return inner_;
    }
    /** The four state images of the caption, side by side (colour 8 = transparent). */
    const QImage& GlyphBitmap() const { return glyphBitmap_; }
    TMultiView* View() const { return view_; }

    /** The record's copies of the view's colours and button height. */
    TColor ColorPushed() const { return colorPushed_; }
    TColor ColorReleased() const { return colorReleased_; }
    TColor ColorPushedText() const { return colorPushedText_; }
    TColor ColorReleasedText() const { return colorReleasedText_; }
    int ButtonHeight() const { return buttonHeight_; }

signals:
    /** Emitted after OnChange, every time it is raised. */
    void Changed();

private:
    friend class TMultiView;

    /** Renders the caption into GlyphBitmap and hands it to the button. */
    void UpdateGlyph();
    /** Lays the cell over (left, top, width, height) in view pixels. */
    void LayoutCell(int left, int top, int width, int height);
    /** Computes Inner and, with Resize, moves the client control over it. */
    void PlaceControl();
    /** Shows or hides button, frame and (with Resize) the client control. */
    void ShowCell(bool visible);

    void SetColorPushed(TColor value);
    void SetColorReleased(TColor value);
    void SetColorPushedText(TColor value);
    void SetColorReleasedText(TColor value);
    void SetButtonHeight(int value);

    QToolButton* button_;
    QFrame* frame_;
    QRect frameRect_;
    QRect inner_;
    QImage glyphBitmap_;
    TMultiView* view_;
    QPointer<QWidget> control_;
    float ratio_ = -1.0f;
    bool resize_ = false;
    QString caption_;
    TColor colorPushed_ = 0;
    TColor colorReleased_ = 0;
    TColor colorPushedText_ = 0;
    TColor colorReleasedText_ = 0;
    int buttonHeight_ = 0;
    bool visible_ = true;
};

// The cell properties' accessors, defined once ClientData is complete.
inline QString TMultiView::CellCaption(int code) const
{
    return Client(code)->Caption();
}
inline void TMultiView::SetCellCaption(int code, const QString& value)
{
    Client(code)->SetCaption(value);
}
inline float TMultiView::CellRatio(int code) const
{
    return Client(code)->Ratio();
}
inline void TMultiView::SetCellRatio(int code, float value)
{
    Client(code)->SetRatio(value);
}
inline bool TMultiView::CellResize(int code) const
{
    return Client(code)->Resize();
}
inline void TMultiView::SetCellResize(int code, bool value)
{
    Client(code)->SetResize(value);
}
inline bool TMultiView::CellVisible(int code) const
{
    return Client(code)->Visible();
}
inline void TMultiView::SetCellVisible(int code, bool value)
{
    Client(code)->SetVisible(value);
}
