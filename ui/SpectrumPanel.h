#pragma once

#include <QWidget>

#include <vector>

class QLabel;
class QPushButton;
class TVectorControl;

/**
 * The inspector's spectrum cell: the lag-difference curve with an automatic range and
 * labelled axes, the figure with what it was computed over, and buttons for the line
 * through the crosshair, the plane and the volume.
 */
class TSpectrumPanel : public QWidget
{
    Q_OBJECT

public:
    explicit TSpectrumPanel(QWidget* parent = nullptr);

    /** Shows a result: the curve and "SUBJECT: FIGURE". */
    void ShowResult(const std::vector<float>& curve, float figure, const QString& subject);
    /** The text of the figure shown ("line y 70, z 8: 1.022"). */
    QString ResultText() const;
    /** The label of the figure; its tooltip says what the figure is computed from. */
    QLabel* ResultLabel() const { return result_; }
    /** The curve shown. */
    const std::vector<float>& Curve() const { return curve_; }

    QPushButton* LineButton() const { return line_; }
    QPushButton* PlaneButton() const { return plane_; }
    QPushButton* VolumeButton() const { return volume_; }

    /** The figure as the panel writes it: three decimals, "nan" for no number. */
    static QString FigureText(float figure);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    /** The rectangle the curve is plotted in, inside the axes' margins. */
    QRect PlotRect() const;

    QLabel* result_;
    TVectorControl* plot_;
    QPushButton* line_;
    QPushButton* plane_;
    QPushButton* volume_;
    std::vector<float> curve_;
};
