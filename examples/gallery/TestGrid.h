#pragma once

#include "ZoomPanel.h"

/**
 * A zoomable control that paints a test picture of `SampleWidth` × `SampleHeight`
 * samples through the zoom mapping it is given: a grid line every 10 samples, a
 * heavier one every 50, the picture's outline and a diagonal, so that panning and
 * zooming can be followed by eye. It offers its picture size to the panel, which
 * therefore takes it as the reference picture.
 */
class TTestGrid : public TZoomableControl
{
    Q_OBJECT
public:
    explicit TTestGrid(QWidget* parent = nullptr, int sampleWidth = 400, int sampleHeight = 300);

    void SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset) override;
    bool PictureSize(int& XSize, int& YSize, bool& HasImage) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int sampleWidth_;
    int sampleHeight_;
};
