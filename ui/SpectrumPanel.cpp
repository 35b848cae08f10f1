#include "SpectrumPanel.h"

#include "VectorControl.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace {
constexpr int LeftMargin = 54, RightMargin = 8, TopMargin = 30, BottomMargin = 64;
} // namespace

TSpectrumPanel::TSpectrumPanel(QWidget* parent) : QWidget(parent)
{
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    setPalette(palette);

    result_ = new QLabel(tr("No spectrum yet"), this);
    QFont bold = result_->font();
    bold.setBold(true);
    result_->setFont(bold);
    result_->setGeometry(8, 6, 400, 20);
    // Wide samples are reduced to 8-bit voxels first, as the viewer and the batch mode
    // read them: the figure is theirs, not the samples'.
    result_->setToolTip(tr("Computed from the volume's 8-bit voxels, as the viewer and the "
                           "batch mode compute it"));

    plot_ = new TVectorControl(this);
    plot_->SetAllocVector(true);
    plot_->SetAllocSize(1);
    plot_->Vector->Values[0] = 0;
    plot_->SetAutoMin(true);
    plot_->SetAutoMax(true);
    plot_->SetVectorColor(0xC04000); // blue
    plot_->SetColor(0xFFFFFF);

    line_ = new QPushButton(tr("Line"), this);
    line_->setToolTip(tr("Spectrum of the line through the crosshair, along x"));
    plane_ = new QPushButton(tr("Plane"), this);
    plane_->setToolTip(tr("Spectrum of every line of the top view's slice"));
    volume_ = new QPushButton(tr("Volume"), this);
    volume_->setToolTip(tr("Spectrum of every line of the volume"));
    for (QPushButton* button : {line_, plane_, volume_})
        button->setFocusPolicy(Qt::NoFocus);
}

QString TSpectrumPanel::FigureText(float figure)
{
    return std::isnan(figure) ? QStringLiteral("nan") : QString::number(double(figure), 'f', 3);
}

void TSpectrumPanel::ShowResult(const std::vector<float>& curve, float figure,
                                const QString& subject)
{
    curve_ = curve;
    result_->setText(subject + QStringLiteral(": ") + FigureText(figure));
    plot_->SetAllocSize(std::max<int>(int(curve.size()), 1));
    for (int i = 0; i < plot_->Vector->Length; ++i)
        plot_->Vector->Values[i] = i < int(curve.size()) ? curve[size_t(i)] : 0.0f;
    plot_->setVisible(!curve.empty());
    plot_->Invalidate();
    update();
}

QString TSpectrumPanel::ResultText() const
{
    return result_->text();
}

QRect TSpectrumPanel::PlotRect() const
{
    return QRect(LeftMargin, TopMargin, std::max(width() - LeftMargin - RightMargin, 1),
                 std::max(height() - TopMargin - BottomMargin, 1));
}

void TSpectrumPanel::resizeEvent(QResizeEvent*)
{
    result_->setGeometry(8, 6, width() - 16, 20);
    plot_->setGeometry(PlotRect());
    const int y = height() - 30;
    line_->setGeometry(8, y, 64, 24);
    plane_->setGeometry(76, y, 64, 24);
    volume_->setGeometry(144, y, 64, 24);
}

void TSpectrumPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect plot = PlotRect();
    painter.setPen(QColor(90, 90, 90));
    painter.drawRect(plot.adjusted(-1, -1, 0, 0));
    if (curve_.empty()) return;
    const TVectorControl::DrawArguments arguments = plot_->PaintArguments();
    // The value axis: the range the plot resolved, at its top and bottom.
    const auto value = [](float v) { return QString::number(double(v), 'g', 3); };
    painter.drawText(QRect(0, plot.top() - 8, LeftMargin - 4, 16),
                     Qt::AlignRight | Qt::AlignVCenter, value(arguments.Max));
    painter.drawText(QRect(0, plot.bottom() - 8, LeftMargin - 4, 16),
                     Qt::AlignRight | Qt::AlignVCenter, value(arguments.Min));
    // The lag axis: entry p belongs to lag N − p, so the curve runs from the longest lag
    // on the left to lag 2 on the right.
    const int n = int(curve_.size()) + 1;
    const int below = plot.bottom() + 4;
    painter.drawText(QRect(plot.left() - 20, below, 40, 16), Qt::AlignCenter, QString::number(n));
    painter.drawText(QRect(plot.right() - 20, below, 40, 16), Qt::AlignCenter, QStringLiteral("2"));
    painter.drawText(QRect(plot.left(), below + 14, plot.width(), 16), Qt::AlignCenter,
                     tr("lag (voxels along x)"));
    painter.save();
    painter.translate(12, plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRect(-plot.height() / 2, -8, plot.height(), 16), Qt::AlignCenter,
                     tr("difference gain"));
    painter.restore();
}
