#include "ImagePage.h"

#include "ImageControl.h"
#include "ZoomPanel.h"

#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QMetaEnum>
#include <QSlider>

#include <cmath>
#include <complex>

namespace {

constexpr int Size = 256;
constexpr int SliderSteps = 1000;

template <class T> T* Row(ImageStruct* image, int y)
{
    return reinterpret_cast<T*>(image->Data + std::ptrdiff_t(y) * image->LineStep);
}

/** A Gaussian spot off the centre with a fainter ring around it, values 0 … 1. */
void FillGaussian(ImageStruct* image)
{
    for (int y = 0; y < Size; ++y)
        for (int x = 0; x < Size; ++x) {
            const double dx = x - 110.0, dy = y - 140.0, r = std::hypot(dx, dy);
            Row<float>(image, y)[x] = float(std::exp(-(dx * dx + dy * dy) / (2 * 30.0 * 30.0)) +
                                            0.25 * std::exp(-std::pow((r - 90) / 6, 2)));
        }
}

/**
 * A synthetic spectrum with its origin at (0, 0), as a discrete Fourier transform
 * stores it: frequencies wrap around, so the bright centre sits in the four corners
 * until the display swaps the quadrants. A strong peak at the origin (1000), a ring of
 * one spatial frequency and two off-centre peaks, over a faint floor that only the
 * logarithmic modes bring out, with a phase that turns across it.
 */
void FillSpectrum(ImageStruct* image)
{
    const auto peak = [](double u, double v, double width) {
        return std::exp(-(u * u + v * v) / width);
    };
    for (int y = 0; y < Size; ++y)
        for (int x = 0; x < Size; ++x) {
            const double u = x < Size / 2 ? x : x - Size, v = y < Size / 2 ? y : y - Size;
            const double r = std::hypot(u, v);
            const double magnitude = 1000 * peak(u, v, 18) +
                                     60 * std::exp(-std::pow(r - 40, 2) / 4) +
                                     250 * peak(u - 20, v + 30, 8) + 250 * peak(u + 20, v - 30, 8) +
                                     3 / (1 + 0.02 * r * r);
            const std::complex<double> c = std::polar(magnitude, 0.15 * u - 0.1 * v);
            Row<float>(image, y)[2 * x] = float(c.real());
            Row<float>(image, y)[2 * x + 1] = float(c.imag());
        }
}

} // namespace

TImagePage::TImagePage(const QString& pictures, QWidget* parent)
    : QWidget(parent), pictures_(pictures)
{
    auto* layout = new QGridLayout(this);
    panel_ = new TZoomPanel(this);
    panel_->SetColor(0x202020);
    panel_->SetMaxScale(32.0f);
    image_ = new TImageControl(panel_);
    image_->SetBorderColor(0x202020);
    panel_->SetAutoMouse(true);
    layout->addWidget(panel_, 0, 0, 1, 4);
    layout->setRowStretch(0, 1);

    picture_ = new QComboBox(this);
    picture_->addItems({QStringLiteral("cameraman.tif (8-bit, AutoLoad)"),
                        QStringLiteral("DIP.tif (RGB, AutoLoad)"),
                        QStringLiteral("Gaussian (float)"),
                        QStringLiteral("spectrum, origin at (0, 0) (complex)")});
    display_ = new QComboBox(this);
    const QMetaEnum modes = QMetaEnum::fromType<TImageControl::DisplayType>();
    for (int i = 0; i < modes.keyCount(); ++i)
        display_->addItem(QString::fromLatin1(modes.key(i)));
    layout->addWidget(new QLabel(QStringLiteral("Picture"), this), 1, 0);
    layout->addWidget(picture_, 1, 1);
    layout->addWidget(new QLabel(QStringLiteral("Display"), this), 1, 2);
    layout->addWidget(display_, 1, 3);

    min_ = new QSlider(Qt::Horizontal, this);
    max_ = new QSlider(Qt::Horizontal, this);
    for (QSlider* slider : {min_, max_})
        slider->setRange(0, SliderSteps);
    window_ = new QLabel(this);
    layout->addWidget(new QLabel(QStringLiteral("Min"), this), 2, 0);
    layout->addWidget(min_, 2, 1);
    layout->addWidget(new QLabel(QStringLiteral("Max"), this), 2, 2);
    layout->addWidget(max_, 2, 3);
    layout->addWidget(window_, 3, 0, 1, 4);

    connect(picture_, &QComboBox::currentIndexChanged, this, &TImagePage::ShowPicture);
    connect(display_, &QComboBox::currentIndexChanged, this, &TImagePage::ShowDisplay);
    connect(min_, &QSlider::valueChanged, this, &TImagePage::WindowChanged);
    connect(max_, &QSlider::valueChanged, this, &TImagePage::WindowChanged);
    ShowPicture(0);
}

void TImagePage::ShowPicture(int index)
{
    if (picture_->currentIndex() != index) {
        picture_->setCurrentIndex(index); // comes back here
        return;
    }
    image_->SetMin(0);
    image_->SetMax(255);
    if (index <= 1) {
        // The picture decides the image's size: AutoSize while it loads.
        image_->SetAllocImage(index == 0 ? TImageControl::AllocImage8
                                         : TImageControl::AllocImageRGB);
        image_->SetAutoSize(true);
        image_->SetAutoLoad(QDir(pictures_).filePath(index == 0 ? QStringLiteral("cameraman.tif")
                                                                : QStringLiteral("DIP.tif")));
        image_->SetAutoSize(false);
        low_ = 0;
        high_ = 255;
    } else {
        image_->SetXSize(Size);
        image_->SetYSize(Size);
        image_->SetAllocImage(index == 2 ? TImageControl::AllocImageFloat
                                         : TImageControl::AllocImageComplex);
        if (index == 2)
            FillGaussian(image_->Image());
        else
            FillSpectrum(image_->Image());
        image_->Invalidate();
        low_ = index == 2 ? -0.25 : -1250;
        high_ = index == 2 ? 1.25 : 1250;
    }
    // The zoom area takes the picture's shape; the panel then maps it afresh.
    panel_->SetClientRatio(float(image_->XSize()) / float(std::max(image_->YSize(), 1)));
    panel_->Reset();
    min_->setValue(int(std::lround((0 - low_) / (high_ - low_) * SliderSteps)));
    const double top = index <= 1 ? 255 : index == 2 ? 1 : 1000;
    max_->setValue(int(std::lround((top - low_) / (high_ - low_) * SliderSteps)));
    WindowChanged();
}

void TImagePage::ShowDisplay(int mode)
{
    if (display_->currentIndex() != mode) {
        display_->setCurrentIndex(mode);
        return;
    }
    image_->SetDisplay(TImageControl::DisplayType(mode));
    ShowWindow();
}

void TImagePage::WindowChanged()
{
    const auto value = [this](const QSlider* slider) {
        return float(low_ + (high_ - low_) * slider->value() / SliderSteps);
    };
    image_->SetMin(value(min_));
    image_->SetMax(value(max_));
    ShowWindow();
}

void TImagePage::ShowWindow()
{
    window_->setText(QStringLiteral("%1 × %2 elements; window %3 … %4; %5")
                         .arg(image_->XSize())
                         .arg(image_->YSize())
                         .arg(double(image_->Min()), 0, 'g', 4)
                         .arg(double(image_->Max()), 0, 'g', 4)
                         .arg(display_->currentText()));
}
