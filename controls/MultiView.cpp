#include "MultiView.h"

#include <QButtonGroup>
#include <QFontMetrics>
#include <QFrame>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QStyleOptionToolButton>
#include <QStylePainter>
#include <QToolButton>

#include <algorithm>
#include <utility>

namespace {

/** The background of a glyph bitmap; its bottom-left pixel makes this colour transparent. */
constexpr TColor GlyphTransparentColor = 8;

/** Raises `event` through a copy, so that a handler may reassign the event it runs from. */
template <typename Event, typename... Args> void Raise(const Event& event, Args&&... args)
{
    if (!event) return;
    const Event handler = event;
    handler(std::forward<Args>(args)...);
}

/**
 * A caption button: checkable, drawn with one image of its glyph per state instead of
 * text. Images are taken from the icon by mode and state: disabled → Disabled, held
 * down by the mouse → Selected, otherwise Normal; checked → On. As on a speed button,
 * the image of a pressed or checked button is drawn one pixel right and down.
 */
class TCaptionButton : public QToolButton
{
public:
    explicit TCaptionButton(QWidget* parent) : QToolButton(parent)
    {
        setCheckable(true);
        setAutoRaise(false);
        setFocusPolicy(Qt::NoFocus);
        setToolButtonStyle(Qt::ToolButtonIconOnly);
    }

    /**
     * Splits `bitmap` into `numGlyphs` images side by side, for up, disabled, clicked and
     * down; a state without its own image shows the up image. Pixels of the colour of
     * the bitmap's bottom-left pixel become transparent. The button keeps copies.
     */
    void SetGlyph(const QImage& bitmap, int numGlyphs)
    {
        QIcon icon;
        const int w = numGlyphs > 0 ? bitmap.width() / numGlyphs : 0;
        const int h = bitmap.height();
        if (w > 0 && h > 0) {
            QImage argb = bitmap.convertToFormat(QImage::Format_ARGB32);
            const QRgb transparent = argb.pixel(0, h - 1) & RGB_MASK;
            for (int y = 0; y < h; ++y) {
                auto* line = reinterpret_cast<QRgb*>(argb.scanLine(y));
                for (int x = 0; x < argb.width(); ++x)
                    if ((line[x] & RGB_MASK) == transparent) line[x] = 0;
            }
            const auto image = [&](int index) {
                return QPixmap::fromImage(argb.copy((index < numGlyphs ? index : 0) * w, 0, w, h));
            };
            const QPixmap up = image(0), disabled = image(1), clicked = image(2), down = image(3);
            icon.addPixmap(up, QIcon::Normal, QIcon::Off);
            icon.addPixmap(up, QIcon::Active, QIcon::Off);
            icon.addPixmap(disabled, QIcon::Disabled, QIcon::Off);
            icon.addPixmap(disabled, QIcon::Disabled, QIcon::On);
            icon.addPixmap(clicked, QIcon::Selected, QIcon::Off);
            icon.addPixmap(clicked, QIcon::Selected, QIcon::On);
            icon.addPixmap(down, QIcon::Normal, QIcon::On);
            icon.addPixmap(down, QIcon::Active, QIcon::On);
        }
        setIconSize(QSize(std::max(w, 0), std::max(h, 0)));
        setIcon(icon);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionToolButton option;
        initStyleOption(&option);
        option.icon = QIcon();
        option.text.clear();
        painter.drawComplexControl(QStyle::CC_ToolButton, option);

        const QIcon::Mode mode = !isEnabled() ? QIcon::Disabled
                                 : isDown()   ? QIcon::Selected
                                              : QIcon::Normal;
        const QIcon::State state = isChecked() ? QIcon::On : QIcon::Off;
        const QPixmap glyph = icon().pixmap(iconSize(), devicePixelRatioF(), mode, state);
        if (glyph.isNull()) return;
        // Glyph on the right of an empty caption: centred, rounding towards the right.
        const int margin = (width() - iconSize().width() + 1) / 2;
        const int shift = isDown() || isChecked() ? 1 : 0;
        painter.drawPixmap(width() - margin - iconSize().width() + shift,
                           (height() - iconSize().height() + 1) / 2 + shift, glyph);
    }
};

} // namespace

// ---------------------------------------------------------------------------------------
// TMultiView::ClientData

TMultiView::ClientData::ClientData(TMultiView* view) : view_(view)
{
    OnChange = TNotifyEvent(view, &TMultiView::ClientChange);
    auto* button = new TCaptionButton(view);
    button_ = button;
    button->resize(button->width(), 17);
    view->group_->addButton(button);
    connect(button, &QToolButton::clicked, view, [view, button] { view->ButtonClick(button); });
    button->SetGlyph(glyphBitmap_, 3);
    frame_ = new QFrame(view);
    frame_->setFrameStyle(QFrame::Box | QFrame::Sunken);
    SetRatio(-1.0f);
}

TMultiView::ClientData::~ClientData() = default;

void TMultiView::ClientData::SetCaption(const QString& value)
{
    if (value == caption_) return;
    caption_ = value;
    button_->setAccessibleName(caption_);
    UpdateGlyph();
    Raise(OnChange, this);
    emit Changed();
}

void TMultiView::ClientData::SetControl(QWidget* value)
{
    control_ = value;
    PlaceControl();
    Raise(OnChange, this);
    emit Changed();
}

void TMultiView::ClientData::SetRatio(float value)
{
    ratio_ = value;
    PlaceControl();
    Raise(OnChange, this);
    emit Changed();
}

void TMultiView::ClientData::SetResize(bool value)
{
    resize_ = value;
    PlaceControl();
}

void TMultiView::ClientData::SetVisible(bool value)
{
    if (value == visible_) return;
    visible_ = value;
    if (visible_)
        view_->ResizeFunc(view_);
    else
        ShowCell(false);
}

void TMultiView::ClientData::SetColorPushed(TColor value)
{
    if (value == colorPushed_) return;
    colorPushed_ = value;
    UpdateGlyph();
}

void TMultiView::ClientData::SetColorReleased(TColor value)
{
    if (value == colorReleased_) return;
    colorReleased_ = value;
    UpdateGlyph();
}

void TMultiView::ClientData::SetColorPushedText(TColor value)
{
    if (value == colorPushedText_) return;
    colorPushedText_ = value;
    UpdateGlyph();
}

void TMultiView::ClientData::SetColorReleasedText(TColor value)
{
    if (value == colorReleasedText_) return;
    colorReleasedText_ = value;
    UpdateGlyph();
}

void TMultiView::ClientData::SetButtonHeight(int value)
{
    if (value == buttonHeight_) return;
    buttonHeight_ = value;
    // The cell keeps its rectangle, which is still measured with the old button height.
    LayoutCell(button_->x(), button_->y(), frameRect_.width(),
               frameRect_.height() + button_->height() + 1);
}

void TMultiView::ClientData::UpdateGlyph()
{
    const int W = button_->width() > 0 ? 4 * button_->width() - 12 : 1;
    const int H = button_->height() - 1;
    auto* button = static_cast<TCaptionButton*>(button_);
    if (W <= 0 || H <= 0) {
        glyphBitmap_ = QImage();
        button->SetGlyph(glyphBitmap_, 4);
        return;
    }
    glyphBitmap_ = QImage(W, H, QImage::Format_RGB32);

    QPainter painter(&glyphBitmap_);
    QFont font = button_->font();
    font.setStyleStrategy(QFont::NoAntialias);
    painter.setFont(font);
    painter.setPen(Qt::NoPen);
    // A rectangle (x1, y1, x2, y2) drawn without a pen fills columns x1 … x2 − 2 and
    // rows y1 … y2 − 2.
    const auto rectangle = [&](int x1, int y1, int x2, int y2, TColor color) {
        if (x2 - 2 < x1 || y2 - 2 < y1) return;
        painter.fillRect(QRect(QPoint(x1, y1), QPoint(x2 - 2, y2 - 2)), ColorToQColor(color));
    };
    const auto textOut = [&](int x, int y, TColor color) {
        painter.setPen(ColorToQColor(color));
        painter.drawText(x, y + painter.fontMetrics().ascent(), caption_);
    };

    const int quarter = W / 4, half = 2 * W / 4, threeQuarters = 3 * W / 4;
    rectangle(0, 0, W + 1, H + 1, GlyphTransparentColor);
    const QFontMetrics metrics = painter.fontMetrics();
    const int tx = (quarter - metrics.horizontalAdvance(caption_)) / 2;
    const int ty = (H - metrics.height()) / 2 - 1;

    rectangle(0, 0, quarter, H - 1, colorReleased_);
    rectangle(quarter, -1, half, H - 2, colorReleased_);
    rectangle(half, -1, threeQuarters, H - 2, colorPushed_);
    rectangle(threeQuarters, -1, W, H - 2, colorPushed_);

    textOut(tx, ty, colorReleasedText_);
    textOut(quarter + tx - 1, ty - 1, colorReleasedText_);
    textOut(half + tx - 1, ty - 1, colorPushedText_);
    textOut(threeQuarters + tx - 1, ty - 1, colorPushedText_);
    painter.end();

    button->SetGlyph(glyphBitmap_, 4);
}

void TMultiView::ClientData::LayoutCell(int left, int top, int width, int height)
{
    button_->move(left, top);
    button_->resize(width > 0 ? width : button_->width(),
                    buttonHeight_ > 0 ? buttonHeight_ : button_->height());
    UpdateGlyph();
    frameRect_ =
        QRect(left, button_->y() + button_->height(), width, height - button_->height() - 1);
    frame_->setGeometry(frameRect_.left(), frameRect_.top(), std::max(frameRect_.width(), 0),
                        std::max(frameRect_.height(), 0));
    PlaceControl();
}

void TMultiView::ClientData::PlaceControl()
{
    int left = frameRect_.left() + 1, top = frameRect_.top() + 1;
    int width = frameRect_.width() - 2, height = frameRect_.height() - 2;
    if (ratio_ > 0) {
        if (float(height) > float(width) / ratio_) {
            const int newHeight = int(float(width) / ratio_);
            top += (height - newHeight) / 2;
            height = newHeight;
        } else {
            const int newWidth = int(float(height) * ratio_);
            left += (width - newWidth) / 2;
            width = newWidth;
        }
    }
    inner_ = QRect(left, top, width, height);

    if (!resize_ || !control_) return;
    control_->move(view_->x() + left, view_->y() + top);
    // Two widths, so that the control always receives a size change.
    control_->resize(width - 1, height);
    control_->resize(width, height);
    // The control is laid over the view: a sibling stacked beneath it would stay covered.
    if (QWidget* parent = view_->parentWidget(); parent && control_->parentWidget() == parent) {
        const QObjectList& siblings = parent->children();
        if (siblings.indexOf(control_.data()) < siblings.indexOf(view_)) control_->raise();
    }
}

void TMultiView::ClientData::ShowCell(bool visible)
{
    button_->setVisible(visible);
    frame_->setVisible(visible);
    if (!resize_ || !control_) return;
    control_->setVisible(visible);
    if (!visible) control_->move(2000, control_->y());
}

// ---------------------------------------------------------------------------------------
// TMultiView

TMultiView::TMultiView(QWidget* parent) : QWidget(parent), group_(new QButtonGroup(this))
{
    group_->setExclusive(true);
    for (auto& record : records_)
        record = std::make_unique<ClientData>(this);
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 3; ++c)
            clients_[r][c] = records_[(r - 1) * 3 + (c - 1)].get();
    records_[0]->button_->setChecked(true);

    // Both counts start at 0, so both setters run in full.
    SetColCount(3);
    SetRowCount(3);
    resizeClients_ = false;
    prevActive_ = 11;
    SetActiveClient(11);
    buttonHeight_ = 0;
}

TMultiView::~TMultiView()
{
    // Records first, in cell order; buttons and frames go with the view's children.
    for (auto& record : records_)
        record.reset();
}

TMultiView::ClientData* TMultiView::Client(int code) const
{
    const int r = code / 10, c = code % 10;
    if (r < 1 || r > 3 || c < 1 || c > 3) return nullptr;
    return clients_[r][c];
}

int TMultiView::GetActiveClient() const
{
    for (const auto& record : records_) {
        if (record && record->button_->isChecked()) {
            const int index = int(&record - records_.data());
            return (index / 3 + 1) * 10 + index % 3 + 1;
        }
    }
    Q_ASSERT_X(false, "MultiView", "no caption button is down");
    return 0;
}

void TMultiView::SetActiveClient(int code)
{
    const int r = std::min(code / 10, rowCount_);
    const int c = std::min(code % 10, colCount_);
    if (ClientData* record = Client(r * 10 + c)) record->button_->setChecked(true);
    if (zoomed_) {
        ResizeFunc(this);
        Invalidate();
    }
    prevActive_ = GetActiveClient();
    NotifyActiveClient();
    Raise(OnChangeActive, this);
    emit ActiveClientSet();
}

void TMultiView::NotifyActiveClient()
{
    const int active = GetActiveClient();
    if (active == notifiedActive_) return;
    notifiedActive_ = active;
    emit ActiveClientChanged(active);
}

void TMultiView::SetResizeClients(bool value)
{
    resizeClients_ = value;
    for (auto& record : records_)
        record->SetResize(value);
}

void TMultiView::KeepActiveInGrid()
{
    // The active cell keeps its row and column where they still exist; SetActiveClient
    // clamps the others to the last row or column.
    SetActiveClient(GetActiveClient());
}

void TMultiView::SetColCount(int value)
{
    value = std::clamp(value, 1, 3);
    if (value == colCount_) return;
    colCount_ = value;
    KeepActiveInGrid();
    ResizeFunc(this);
    Invalidate();
}

void TMultiView::SetRowCount(int value)
{
    value = std::clamp(value, 1, 3);
    if (value == rowCount_) return;
    rowCount_ = value;
    KeepActiveInGrid();
    ResizeFunc(this);
    Invalidate();
}

void TMultiView::SetZoomed(bool value)
{
    if (value == zoomed_) return;
    zoomed_ = value;
    ResizeFunc(this);
    Invalidate();
}

void TMultiView::SetColorPushed(TColor value)
{
    if (value == colorPushed_) return;
    colorPushed_ = value;
    for (auto& record : records_)
        record->SetColorPushed(value);
}

void TMultiView::SetColorReleased(TColor value)
{
    if (value == colorReleased_) return;
    colorReleased_ = value;
    for (auto& record : records_)
        record->SetColorReleased(value);
}

void TMultiView::SetColorPushedText(TColor value)
{
    if (value == colorPushedText_) return;
    colorPushedText_ = value;
    for (auto& record : records_)
        record->SetColorPushedText(value);
}

void TMultiView::SetColorReleasedText(TColor value)
{
    if (value == colorReleasedText_) return;
    colorReleasedText_ = value;
    for (auto& record : records_)
        record->SetColorReleasedText(value);
}

void TMultiView::SetButtonHeight(int value)
{
    if (value == buttonHeight_) return;
    buttonHeight_ = value;
    for (auto& record : records_)
        record->SetButtonHeight(value);
}

void TMultiView::ResizeFunc(QObject*)
{
    // Only while the constructor sets up the grid is one of the counts still 0.
    if (colCount_ < 1 || rowCount_ < 1) return;
    laidOutGeometry_ = geometry();
    const int cellWidth = width() / colCount_;
    const int cellHeight = height() / rowCount_;
    const int active = GetActiveClient();

    if (zoomed_) {
        for (int r = 1; r <= 3; ++r) {
            for (int c = 1; c <= 3; ++c) {
                ClientData* record = clients_[r][c];
                if (r * 10 + c == active) {
                    record->LayoutCell(0, 0, width(), height());
                    record->ShowCell(record->visible_);
                } else {
                    record->ShowCell(false);
                }
            }
        }
    } else {
        for (int r = 1; r <= 3; ++r)
            for (int c = 1; c <= 3; ++c)
                clients_[r][c]->ShowCell(r <= rowCount_ && c <= colCount_ &&
                                         clients_[r][c]->visible_);
        for (int r = 1; r <= 3; ++r)
            for (int c = 1; c <= 3; ++c)
                clients_[r][c]->LayoutCell((c - 1) * cellWidth, (r - 1) * cellHeight, cellWidth,
                                           cellHeight);
    }
    Raise(OnChangeSize, this);
    emit LaidOut();
}

void TMultiView::LayOutIfStale()
{
    // Qt holds a hidden widget's resize and move events back until it is shown.
    if (geometry() != laidOutGeometry_) ResizeFunc(this);
}

void TMultiView::ButtonClick(QObject*)
{
    bool allow = true;
    const int next = GetActiveClient();
    // The old cell goes back down while the change is asked for.
    SetActiveClient(prevActive_);
    if (OnChangingActive) {
        const TChangingActiveEvent handler = OnChangingActive;
        handler(this, next, allow);
    }
    emit ActiveClientChanging(next, &allow);
    if (allow) {
        SetActiveClient(next);
        Raise(OnChangeActive, this);
        emit ActiveClientSet();
    }
}

void TMultiView::ClientChange(QObject*) {}

void TMultiView::Invalidate()
{
    update();
    for (auto& record : records_) {
        QWidget* control = record->control_;
        if (control && !control->isHidden()) control->update();
    }
}

void TMultiView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    ResizeFunc(this);
}

void TMultiView::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    // The client controls live in the parent's coordinates and follow the view.
    ResizeFunc(this);
}

void TMultiView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    LayOutIfStale();
}
