#include "DesignerPage.h"

#include "ui_DesignerPage.h"

#include <QDir>

#include <cmath>

TDesignerPage::TDesignerPage(const QString& pictures, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::DesignerPage>())
{
    ui_->setupUi(this);

    // The curves: two periods of a sine and a Gaussian bell, 200 samples each.
    constexpr int samples = 200;
    ui_->sinePlot->SetAllocSize(samples);
    ui_->gaussPlot->SetAllocSize(samples);
    for (int i = 0; i < samples; ++i) {
        const double t = i / double(samples - 1);
        ui_->sinePlot->Vector->Values[i] = float(std::sin(t * 4 * M_PI));
        ui_->gaussPlot->Vector->Values[i] = float(std::exp(-20 * (t - 0.5) * (t - 0.5)));
    }
    ui_->sinePlot->Invalidate();
    ui_->gaussPlot->Invalidate();

    // A cell's control is a sibling widget, which a form cannot assign.
    ui_->grid->Client(11)->SetControl(ui_->sinePlot);
    ui_->grid->Client(21)->SetControl(ui_->gaussPlot);

    // AutoLoad needs the folder known only at run time.
    ui_->image->SetAutoLoad(QDir(pictures).filePath(QStringLiteral("cameraman.tif")));

    SetAnchors(ui_->grid, akLeft | akTop | akBottom);
    SetAnchors(ui_->panel, akAll);
    SetAnchors(ui_->note, akLeft | akRight | akBottom);
}

TDesignerPage::~TDesignerPage() = default;
