#include "Framework.h"

#include <QApplication>
#include <QEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPointer>

#include <climits>

QColor ColorToQColor(TColor color)
{
    if (color & 0x80000000u) {
        const QPalette palette = QApplication::palette();
        switch (color & 0xFF) {
        case 0x05:
            return palette.color(QPalette::Base);
        case 0x08:
            return palette.color(QPalette::Text);
        case 0x0F:
            return palette.color(QPalette::Button);
        default:
            return palette.color(QPalette::Window);
        }
    }
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

TColor QColorToColor(const QColor& color)
{
    return TColor(color.red()) | TColor(color.green()) << 8 | TColor(color.blue()) << 16;
}

TColor PlainColor(TColor color)
{
    return color & 0x80000000u ? QColorToColor(ColorToQColor(color)) : color;
}

TColor PropertyColor(TColor stored, const QColor& value)
{
    return ColorToQColor(stored).rgb() == value.rgb() ? stored : QColorToColor(value);
}

void InvalidateOthers(QWidget* control)
{
    if (!control->isVisible()) return;
    QWidget* parent = control->parentWidget();
    if (!parent) return;
    const QRect area = control->geometry();
    parent->update(area);
    for (QObject* child : parent->children()) {
        auto* sibling = qobject_cast<QWidget*>(child);
        if (!sibling || sibling == control || sibling->isHidden()) continue;
        const QRect overlap = area & sibling->geometry();
        if (!overlap.isEmpty()) sibling->update(overlap.translated(-sibling->pos()));
    }
}

void SetPaintsBackground(QWidget* control, bool transparent)
{
    // Without a background of its own the control must not claim to cover its area,
    // or Qt would skip painting what lies beneath it.
    control->setAutoFillBackground(false);
    control->setAttribute(Qt::WA_OpaquePaintEvent, !transparent);
}

void RepaintMovedControl(QWidget* control, bool transparent)
{
    if (!transparent) return;
    InvalidateOthers(control);
    control->update();
}

namespace {

/**
 * Watches one anchored control and its parent. Distances to the parent's edges are
 * taken whenever the control is moved or resized by anyone but the anchoring itself.
 */
class AnchorKeeper : public QObject
{
public:
    AnchorKeeper(QWidget* control, TAnchors anchors)
        : QObject(control), anchors_(anchors), control_(control)
    {
        control->installEventFilter(this);
        if (QWidget* parent = control->parentWidget()) {
            parent_ = parent;
            parent->installEventFilter(this);
        }
        TakeDistances();
    }

    TAnchors anchors_;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (applying_) return false;
        if (watched == parent_ && event->type() == QEvent::Resize) {
            Apply();
        } else if (watched == control_ &&
                   (event->type() == QEvent::Move || event->type() == QEvent::Resize) &&
                   control_->geometry() != known_) {
            // Move and resize events of hidden controls arrive late, when they are
            // shown: only a real change of the geometry takes new distances.
            TakeDistances();
        }
        return false;
    }

private:
    void TakeDistances()
    {
        if (!parent_) return;
        const QRect r = control_->geometry();
        known_ = r;
        right_ = parent_->width() - (r.x() + r.width());
        bottom_ = parent_->height() - (r.y() + r.height());
    }

    void Apply()
    {
        const QRect r = control_->geometry();
        int x = r.x(), y = r.y(), w = r.width(), h = r.height();
        const int pw = parent_->width(), ph = parent_->height();
        if (anchors_ & akRight) {
            if (anchors_ & akLeft)
                w = std::max(0, pw - right_ - x);
            else
                x = pw - right_ - w;
        }
        if (anchors_ & akBottom) {
            if (anchors_ & akTop)
                h = std::max(0, ph - bottom_ - y);
            else
                y = ph - bottom_ - h;
        }
        applying_ = true;
        control_->setGeometry(x, y, w, h);
        known_ = control_->geometry();
        applying_ = false;
    }

    QWidget* control_;
    QPointer<QWidget> parent_;
    QRect known_;
    int right_ = 0;
    int bottom_ = 0;
    bool applying_ = false;
};

AnchorKeeper* KeeperOf(const QWidget* control)
{
    for (QObject* child : control->children())
        if (auto* keeper = dynamic_cast<AnchorKeeper*>(child)) return keeper;
    return nullptr;
}

} // namespace

void SetAnchors(QWidget* control, TAnchors anchors)
{
    delete KeeperOf(control);
    if (anchors != (akLeft | akTop)) new AnchorKeeper(control, anchors);
}

TAnchors Anchors(const QWidget* control)
{
    const AnchorKeeper* keeper = KeeperOf(control);
    return keeper ? keeper->anchors_ : TAnchors(akLeft | akTop);
}

// ---------------------------------------------------------------------------------

TImage::TImage(QWidget* parent) : QWidget(parent) {}

void TImage::SetPictureSize(int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (picture_.width() != width || picture_.height() != height) {
        // No screen shows a picture of more than 1 GiB; a hostile volume header must
        // not make the views claim that much memory.
        constexpr qint64 MaxPictureBytes = qint64(1) << 30;
        if (width == 0 || height == 0 || qint64(width) * height * 3 > MaxPictureBytes) {
            picture_ = QImage();
        } else {
            picture_ = QImage(width, height, QImage::Format_BGR888);
            if (!picture_.isNull()) picture_.fill(Qt::black);
        }
    }
    if (autoSize_) resize(width, height);
    update();
}

void TImage::SetAutoSize(bool value)
{
    if (autoSize_ == value) return;
    autoSize_ = value;
    if (autoSize_ && !picture_.isNull()) resize(picture_.size());
}

void TImage::paintEvent(QPaintEvent*)
{
    if (picture_.isNull()) return;
    QPainter painter(this);
    painter.drawImage(0, 0, picture_);
}

void TImage::mousePressEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    emit MouseDown(event->button(), p.x(), p.y());
}

// ---------------------------------------------------------------------------------

TShape::TShape(QWidget* parent) : QWidget(parent) {}

void TShape::SetPenColor(TColor color)
{
    if (penColor_ == color) return;
    penColor_ = color;
    update();
}

void TShape::SetPenWidth(int width)
{
    if (penWidth_ == width) return;
    penWidth_ = width;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    if (width() <= 0 || height() <= 0 || penWidth_ <= 0) return;
    QPainter painter(this);
    painter.setPen(
        QPen(ColorToQColor(penColor_), penWidth_, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    // The pen is centred on the path: inset by half its width so the whole outline
    // lies inside the control.
    const qreal half = penWidth_ / 2.0;
    painter.drawRect(QRectF(half, half, width() - penWidth_, height() - penWidth_));
}

void TShape::mousePressEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    emit MouseDown(event->button(), p.x(), p.y());
}

// ---------------------------------------------------------------------------------

TPanel::TPanel(QWidget* parent) : QFrame(parent) {}

void TPanel::SetColor(TColor color)
{
    if (color_ == color) return;
    color_ = color;
    update();
}

void TPanel::paintEvent(QPaintEvent* event)
{
    {
        QPainter painter(this);
        painter.fillRect(rect(), ColorToQColor(color_));
    }
    QFrame::paintEvent(event);
}

// ---------------------------------------------------------------------------------

TScrollBox::TScrollBox(QWidget* parent) : QScrollArea(parent), content_(new QWidget)
{
    setWidgetResizable(false);
    content_->resize(0, 0);
    content_->installEventFilter(this);
    setWidget(content_);
}

bool TScrollBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == content_) {
        if (event->type() == QEvent::ChildAdded) {
            auto* child = static_cast<QChildEvent*>(event)->child();
            if (child->isWidgetType()) child->installEventFilter(this);
            FitContent();
        } else if (event->type() == QEvent::ChildRemoved) {
            FitContent();
        }
    } else if (watched->parent() == content_ &&
               (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
        FitContent();
    }
    return QScrollArea::eventFilter(watched, event);
}

void TScrollBox::FitContent()
{
    QRect bounds(0, 0, 0, 0);
    for (QObject* object : content_->children()) {
        auto* child = qobject_cast<QWidget*>(object);
        // Controls count unless they were hidden on purpose; before the box is first
        // shown every control still reports itself hidden.
        if (child && !(child->isHidden() && child->testAttribute(Qt::WA_WState_ExplicitShowHide)))
            bounds = bounds.united(child->geometry());
    }
    const QSize size(std::max(0, bounds.right() + 1), std::max(0, bounds.bottom() + 1));
    if (content_->size() != size) content_->resize(size);
}

// ---------------------------------------------------------------------------------

TCSpinEdit::TCSpinEdit(QWidget* parent) : QSpinBox(parent)
{
    setRange(INT_MIN, INT_MAX);
    setSingleStep(1);
    setKeyboardTracking(true);
    // Unreadable text stays as typed until the value is asked for.
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    // Typing reaches the line edit's signal, also for text that is not a number yet;
    // the arrow buttons update the text silently and reach only the spin box's.
    connect(lineEdit(), &QLineEdit::textChanged, this, &TCSpinEdit::TextMayHaveChanged);
    connect(this, &QSpinBox::textChanged, this, &TCSpinEdit::TextMayHaveChanged);
    shownText_ = lineEdit()->text();
}

int TCSpinEdit::Value()
{
    bool ok = false;
    const int value = lineEdit()->text().trimmed().toInt(&ok);
    if (ok) return value;
    lineEdit()->setText(QStringLiteral("0"));
    return 0;
}

void TCSpinEdit::SetValue(int value)
{
    setValue(value);
    lineEdit()->setText(QString::number(value));
}

void TCSpinEdit::TextMayHaveChanged()
{
    const QString text = lineEdit()->text();
    if (text == shownText_) return;
    shownText_ = text;
    emit Change();
}

QString TCSpinEdit::Text() const
{
    return lineEdit()->text();
}

void TCSpinEdit::SetText(const QString& text)
{
    lineEdit()->setText(text);
}

QValidator::State TCSpinEdit::validate(QString& text, int&) const
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t == QLatin1String("-") || t == QLatin1String("+"))
        return QValidator::Intermediate;
    bool ok = false;
    t.toInt(&ok);
    return ok ? QValidator::Acceptable : QValidator::Invalid;
}

void TCSpinEdit::fixup(QString& text) const
{
    bool ok = false;
    text.trimmed().toInt(&ok);
    if (!ok) text = QStringLiteral("0");
}
