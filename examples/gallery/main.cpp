// A window that shows the display controls in use. The first page: a multi-view grid
// whose cells hold vector plots, and a pan-and-zoom panel with a zoomable test grid.
// The second: the image control in a pan-and-zoom panel, with pictures, display modes
// and a grey window. The third: shapes over cameraman to select, reshape, nudge, undo
// and redo. The fourth: a form laid out in Qt Widgets Designer and compiled by uic,
// with plots in a grid and cameraman in a panel. Drag with the left button to pan, with
// the right button (up and down) to zoom, or use the wheel.
//
//   volinspect-gallery [--images] [--picture N] [--mode N] [--overlay] [--form]
//                      [PICTURE-FOLDER]
//
// opens the image page on picture N (0 cameraman, 1 DIP, 2 Gaussian, 3 spectrum) in
// display mode N, the overlay page or the Designer form; the folder holds cameraman.tif
// and DIP.tif.

#include "DesignerPage.h"
#include "Framework.h"
#include "ImagePage.h"
#include "OverlayPage.h"
#include "MultiView.h"
#include "TestGrid.h"
#include "VectorControl.h"
#include "ZoomPanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QTabWidget>

#include <cmath>

namespace {

/** Fills `plot` with one of a few recognisable curves. */
void FillCurve(TVectorControl* plot, int kind)
{
    plot->SetAllocSize(200);
    for (int i = 0; i < 200; ++i) {
        const double t = i / 199.0;
        double v = 0;
        switch (kind % 4) {
        case 0:
            v = std::sin(t * 6.283 * (kind / 4 + 1));
            break;
        case 1:
            v = std::exp(-20 * (t - 0.5) * (t - 0.5));
            break;
        case 2:
            v = t * t;
            break;
        default:
            v = std::fmod(t * 5, 1.0);
            break;
        }
        plot->Vector->Values[i] = float(v);
    }
    plot->SetAutoMin(true);
    plot->SetAutoMax(true);
    plot->Invalidate();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    bool images = false, overlay = false, form = false;
    int picture = 0, display = 0;
    QString pictures = QStringLiteral(VOLINSPECT_PICTURES);
    const QStringList arguments = QApplication::arguments().mid(1);
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--images")
            images = true;
        else if (arguments[i] == "--overlay")
            overlay = true;
        else if (arguments[i] == "--form")
            form = true;
        else if (arguments[i] == "--picture" && i + 1 < arguments.size())
            picture = arguments[++i].toInt(), images = true;
        else if (arguments[i] == "--mode" && i + 1 < arguments.size())
            display = arguments[++i].toInt(), images = true;
        else
            pictures = arguments[i];
    }

    QTabWidget tabs;
    tabs.setWindowTitle(QStringLiteral("volinspect controls"));
    tabs.resize(980, 600);
    auto* imagePage = new TImagePage(pictures);
    imagePage->ShowPicture(picture);
    imagePage->ShowDisplay(display);

    QWidget& window = *new QWidget;
    tabs.addTab(&window, QStringLiteral("Plots and zoom"));
    tabs.addTab(imagePage, QStringLiteral("Images"));
    auto* overlayPage = new TOverlayPage(pictures);
    tabs.addTab(overlayPage, QStringLiteral("Overlay"));
    auto* formPage = new TDesignerPage(pictures);
    tabs.addTab(formPage, QStringLiteral("Designer form"));
    if (images) tabs.setCurrentWidget(imagePage);
    if (overlay) tabs.setCurrentWidget(overlayPage);
    if (form) tabs.setCurrentWidget(formPage);
    window.resize(980, 560);

    // The grid: its client controls are siblings of the view, in the same parent.
    auto* grid = new TMultiView(&window);
    grid->setGeometry(10, 10, 480, 500);
    SetAnchors(grid, akLeft | akTop | akBottom);
    const QColor colours[] = {Qt::green, Qt::yellow, Qt::cyan, Qt::magenta};
    int kind = 0;
    for (int code : {11, 12, 21, 22}) {
        auto* plot = new TVectorControl(&window);
        const QColor c = colours[kind % 4];
        plot->SetVectorColor(TColor(c.red() | c.green() << 8 | c.blue() << 16));
        plot->SetColor(clBlack);
        FillCurve(plot, kind++);
        TMultiView::ClientData* cell = grid->Client(code);
        cell->SetCaption(QStringLiteral("Plot %1").arg(code));
        cell->SetControl(plot);
    }
    grid->SetColCount(2);
    grid->SetRowCount(2);
    grid->SetResizeClients(true); // the grid places and shows the plots
    grid->SetColorReleased(0xC8C8C8);
    grid->SetColorReleasedText(clBlack);
    grid->SetColorPushed(0xC08040);
    grid->SetColorPushedText(clWhite);
    grid->SetButtonHeight(21);

    // The pan-and-zoom panel with a test picture of 400 × 300 samples.
    auto* panel = new TZoomPanel(&window);
    panel->SetColor(clBlack);
    panel->setGeometry(500, 10, 470, 470);
    SetAnchors(panel, akAll);
    panel->SetClientRatio(400.0f / 300.0f);
    panel->SetMaxScale(20.0f);
    new TTestGrid(panel);
    panel->SetAutoMouse(true);

    auto* state = new QLabel(&window);
    state->setGeometry(500, 486, 470, 24);
    SetAnchors(state, akLeft | akRight | akBottom);
    panel->SetOnZoom(TZoomEvent([state](QObject*, const TZoom& zoom) {
        state->setText(QStringLiteral("zoom %1 × %2, origin %3, %4")
                           .arg(zoom.XFactor, 0, 'f', 2)
                           .arg(zoom.YFactor, 0, 'f', 2)
                           .arg(zoom.XOrigin, 0, 'f', 3)
                           .arg(zoom.YOrigin, 0, 'f', 3));
    }));

    // The caption buttons choose the active plot; this shows it alone.
    auto* zoomed = new QCheckBox(QStringLiteral("Only the active plot"), &window);
    zoomed->setGeometry(10, 520, 480, 24);
    SetAnchors(zoomed, akLeft | akBottom);
    QObject::connect(zoomed, &QCheckBox::toggled, grid, &TMultiView::SetZoomed);

    tabs.show();
    return app.exec();
}
