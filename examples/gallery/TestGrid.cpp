#include "TestGrid.h"

#include <QPainter>

TTestGrid::TTestGrid(QWidget* parent, int sampleWidth, int sampleHeight)
    : TZoomableControl(parent), sampleWidth_(sampleWidth), sampleHeight_(sampleHeight)
{
}

void TTestGrid::SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset)
{
    SetMapping({XScale, XOffset, YScale, YOffset});
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
    const QRectF picture = Mapping().ToPixel(QRectF(0, 0, sampleWidth_, sampleHeight_));
    painter.fillRect(picture, QColor(40, 44, 60));

    for (int u = 0; u <= sampleWidth_; u += 10) {
        painter.setPen(u % 50 == 0 ? QColor(120, 200, 255) : QColor(70, 90, 120));
        const double x = Mapping().ToPixelX(u);
        painter.drawLine(QPointF(x, picture.top()), QPointF(x, picture.bottom()));
    }
    for (int v = 0; v <= sampleHeight_; v += 10) {
        painter.setPen(v % 50 == 0 ? QColor(120, 200, 255) : QColor(70, 90, 120));
        const double y = Mapping().ToPixelY(v);
        painter.drawLine(QPointF(picture.left(), y), QPointF(picture.right(), y));
    }
    painter.setPen(QPen(QColor(255, 80, 80), 2));
    painter.drawRect(picture);
    painter.drawLine(picture.topLeft(), picture.bottomRight());
    painter.setPen(Qt::white);
    for (int u = 0; u < sampleWidth_; u += 50)
        for (int v = 0; v < sampleHeight_; v += 50)
            painter.drawText(Mapping().ToPixel(QPointF(u + 2, v + 12)),
                             QStringLiteral("%1,%2").arg(u).arg(v));
}
