#include "ContrastStrip.h"

#include "VectorControl.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

/** The handles, drawn over the histogram plot; the strip takes their mouse events. */
class TContrastHandles : public QWidget
{
public:
    explicit TContrastHandles(TContrastStrip* strip) : QWidget(strip), strip_(strip)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const int h = height();
        const int xs[2] = {strip_->PixelOf(strip_->WindowMin()),
                           strip_->PixelOf(strip_->WindowMax())};
        // The part of the range outside the window is shaded.
        painter.fillRect(QRect(0, 0, std::max(xs[0], 0), h), QColor(0, 0, 0, 60));
        painter.fillRect(QRect(xs[1], 0, std::max(width() - xs[1], 0), h), QColor(0, 0, 0, 60));
        for (int i = 0; i < 2; ++i) {
            const QColor color = i == 0 ? QColor(30, 30, 30) : QColor(230, 230, 230);
            painter.setPen(QPen(QColor(200, 40, 40), 1));
            painter.drawLine(QPointF(xs[i] + 0.5, 0), QPointF(xs[i] + 0.5, h));
            const QPointF tip(xs[i] + 0.5, h - 8);
            const QPointF triangle[3] = {tip, tip + QPointF(-6, 8), tip + QPointF(6, 8)};
            painter.setBrush(color);
            painter.setPen(QPen(QColor(200, 40, 40), 1));
            painter.drawPolygon(triangle, 3);
        }
    }

private:
    TContrastStrip* strip_;
};

TContrastStrip::TContrastStrip(QWidget* parent) : QWidget(parent)
{
    setMinimumHeight(40);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(48);
    plot_ = new TVectorControl(this);
    plot_->setAttribute(Qt::WA_TransparentForMouseEvents);
    plot_->SetAllocVector(true);
    plot_->SetAllocSize(1);
    plot_->Vector->Values[0] = 0;
    plot_->SetAutoMin(true);
    plot_->SetAutoMax(true);
    plot_->SetVectorColor(0x606060);
    plot_->SetColor(0xF0F0F0);
    handles_ = new TContrastHandles(this);
    setToolTip(tr("Drag the handles to set the display window"));
}

void TContrastStrip::SetHistogram(const std::vector<uint64_t>& counts, double low, double high)
{
    low_ = low, high_ = high > low ? high : low + 1;
    plot_->SetAllocSize(std::max<int>(int(counts.size()), 1));
    for (int i = 0; i < plot_->Vector->Length; ++i)
        plot_->Vector->Values[i] =
            i < int(counts.size()) ? float(std::log1p(double(counts[size_t(i)]))) : 0.0f;
    plot_->Invalidate();
    handles_->update();
}

void TContrastStrip::SetWindow(double min, double max)
{
    min_ = min, max_ = max;
    handles_->update();
}

double TContrastStrip::ValueAt(int x) const
{
    const int w = std::max(width() - 1, 1);
    return low_ + (high_ - low_) * std::clamp(x, 0, w) / w;
}

int TContrastStrip::PixelOf(double value) const
{
    const int w = std::max(width() - 1, 1);
    const double at = (value - low_) / (high_ - low_) * w;
    return int(std::lround(std::clamp(at, -1.0, double(w + 1))));
}

void TContrastStrip::paintEvent(QPaintEvent*) {}

void TContrastStrip::resizeEvent(QResizeEvent*)
{
    plot_->setGeometry(rect());
    handles_->setGeometry(rect());
}

void TContrastStrip::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return;
    const int x = event->position().toPoint().x();
    // The nearer handle is taken; on a tie, the one the pointer lies beyond.
    const int d0 = std::abs(x - PixelOf(min_)), d1 = std::abs(x - PixelOf(max_));
    dragging_ = d0 < d1 || (d0 == d1 && x < PixelOf(min_)) ? 0 : 1;
    mouseMoveEvent(event);
}

void TContrastStrip::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging_ < 0) return;
    const double value = ValueAt(event->position().toPoint().x());
    if (dragging_ == 0)
        min_ = std::min(value, max_);
    else
        max_ = std::max(value, min_);
    handles_->update();
    emit WindowDragged(min_, max_);
}

void TContrastStrip::mouseReleaseEvent(QMouseEvent*)
{
    dragging_ = -1;
}
