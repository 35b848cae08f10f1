#include "TestGrid.h"

#include <QPainter>

TTestGrid::TTestGrid(QWidget* parent, int sampleWidth, int sampleHeight)
    : TZoomableControl(parent), sampleWidth_(sampleWidth), sampleHeight_(sampleHeight)
{
}

void TTestGrid::SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset)
{
    const TZoomMapping mapping{XScale, XOffset, YScale, YOffset};
    if (mapping == mapping_) return;
    mapping_ = mapping;
    update();
}

bool TTestGrid::PictureSize(int& XSize, int& YSize, bool& HasImage) const
{
    XSize = sampleWidth_;
    YSize = sampleHeight_;
    HasImage = true;
    return true;
}

void TTestGrid::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(24, 24, 32));
    const QRectF picture = mapping_.ToPixel(QRectF(0, 0, sampleWidth_, sampleHeight_));
    painter.fillRect(picture, QColor(40, 44, 60));

    for (int u = 0; u <= sampleWidth_; u += 10) {
        painter.setPen(u % 50 == 0 ? QColor(120, 200, 255) : QColor(70, 90, 120));
        const double x = mapping_.ToPixelX(u);
        painter.drawLine(QPointF(x, picture.top()), QPointF(x, picture.bottom()));
    }
    for (int v = 0; v <= sampleHeight_; v += 10) {
        painter.setPen(v % 50 == 0 ? QColor(120, 200, 255) : QColor(70, 90, 120));
        const double y = mapping_.ToPixelY(v);
        painter.drawLine(QPointF(picture.left(), y), QPointF(picture.right(), y));
    }
    painter.setPen(QPen(QColor(255, 80, 80), 2));
    painter.drawRect(picture);
    painter.drawLine(picture.topLeft(), picture.bottomRight());
    painter.setPen(Qt::white);
    for (int u = 0; u < sampleWidth_; u += 50)
        for (int v = 0; v < sampleHeight_; v += 50)
            painter.drawText(mapping_.ToPixel(QPointF(u + 2, v + 12)),
                             QStringLiteral("%1,%2").arg(u).arg(v));
}
