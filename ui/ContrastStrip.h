#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

class TVectorControl;

/**
 * The contrast strip under the inspector's views: the histogram of the volume's values
 * (counts on a logarithmic scale, plotted by a vector control) over the value range
 * Low … High, and two handles at the display window's Min and Max that can be dragged.
 */
class TContrastStrip : public QWidget
{
    Q_OBJECT

public:
    explicit TContrastStrip(QWidget* parent = nullptr);

    /** Shows `counts`, bins spanning `low` … `high` evenly. */
    void SetHistogram(const std::vector<uint64_t>& counts, double low, double high);
    /** Places the handles (no signal). */
    void SetWindow(double min, double max);
    double WindowMin() const { return min_; }
    double WindowMax() const { return max_; }
    double Low() const { return low_; }
    double High() const { return high_; }

    /** The value at strip pixel x, and back. */
    double ValueAt(int x) const;
    int PixelOf(double value) const;

signals:
    /** A handle was dragged: the new window. */
    void WindowDragged(double min, double max);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TVectorControl* plot_;
    QWidget* handles_;
    double low_ = 0, high_ = 255;
    double min_ = 0, max_ = 255;
    int dragging_ = -1; ///< 0 the Min handle, 1 the Max handle, −1 none

    friend class TContrastHandles;
};
