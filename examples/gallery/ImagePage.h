#pragma once

#include <QString>
#include <QWidget>

class QComboBox;
class QLabel;
class QSlider;
class TImageControl;
class TZoomPanel;

/**
 * The image control in use: an image in a pan-and-zoom panel, with a choice of
 * pictures (two picture files loaded through AutoLoad, a computed float Gaussian and a
 * computed complex spectrum whose origin lies at (0, 0)), a selector for the sixteen
 * display modes and two sliders for the grey window's Min and Max.
 */
class TImagePage : public QWidget
{
    Q_OBJECT
public:
    /** `pictures` is the folder holding cameraman.tif and DIP.tif. */
    explicit TImagePage(const QString& pictures, QWidget* parent = nullptr);

    /** Shows picture `index` (0 cameraman, 1 DIP, 2 Gaussian, 3 spectrum). */
    void ShowPicture(int index);
    /** Chooses display mode `mode` (0 … 15). */
    void ShowDisplay(int mode);

    TImageControl* Image() const { return image_; }

private:
    void WindowChanged();
    void ShowWindow();

    QString pictures_;
    TZoomPanel* panel_;
    TImageControl* image_;
    QComboBox* picture_;
    QComboBox* display_;
    QSlider* min_;
    QSlider* max_;
    QLabel* window_;
    double low_ = 0, high_ = 255; ///< the range the sliders span
};
