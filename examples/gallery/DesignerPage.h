#pragma once

#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class DesignerPage;
}

/**
 * A page laid out in Qt Widgets Designer (DesignerPage.ui, compiled by uic): a grid of
 * two plots and cameraman in a pan-and-zoom panel. The form sets the controls'
 * properties; the code adds what a form cannot hold: the curves, the grid's client
 * controls and the picture file.
 */
class TDesignerPage : public QWidget
{
    Q_OBJECT
public:
    /** `pictures` is the folder holding cameraman.tif. */
    explicit TDesignerPage(const QString& pictures, QWidget* parent = nullptr);
    ~TDesignerPage() override;

    /** The widgets uic made from the form. */
    const Ui::DesignerPage& Form() const { return *ui_; }

private:
    std::unique_ptr<Ui::DesignerPage> ui_;
};
