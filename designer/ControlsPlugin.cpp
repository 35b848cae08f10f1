#include "ControlsPlugin.h"

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "MultiView.h"
#include "VectorControl.h"
#include "ZoomPanel.h"

#include <QIcon>

namespace {

/** A factory for Description::Create that makes a `Control` in the given parent. */
template <typename Control> QWidget* Make(QWidget* parent)
{
    return new Control(parent);
}

} // namespace

TControlWidgetPlugin::TControlWidgetPlugin(Description description, QObject* parent)
    : QObject(parent), d_(std::move(description))
{
}

QString TControlWidgetPlugin::group() const
{
    return QStringLiteral("volinspect controls");
}

QIcon TControlWidgetPlugin::icon() const
{
    return QIcon(d_.Icon);
}

QString TControlWidgetPlugin::domXml() const
{
    // The object name is the class name without its T, first letter lower case.
    QString object = d_.Name.mid(1);
    object[0] = object[0].toLower();
    return QStringLiteral("<ui language=\"c++\">\n"
                          " <widget class=\"%1\" name=\"%2\">\n"
                          "  <property name=\"geometry\">\n"
                          "   <rect><x>0</x><y>0</y><width>%3</width><height>%4</height></rect>\n"
                          "  </property>\n"
                          " </widget>\n"
                          "</ui>\n")
        .arg(d_.Name, object)
        .arg(d_.Width)
        .arg(d_.Height);
}

TControlsPlugin::TControlsPlugin(QObject* parent) : QObject(parent)
{
    const QString icons = QStringLiteral(":/volinspect-designer/icons/");
    const TControlWidgetPlugin::Description descriptions[] = {
        {"TImageControl", icons + "imagecontrol.png",
         "An image of any element kind, scaled, shifted and windowed",
         "Shows one 8-bit, 16-bit, 32-bit, float, RGB or complex image through a grey "
         "window Min … Max, scaled and shifted per axis. It owns its image while "
         "AllocImage names a kind; AutoLoad loads a picture file into it. Put it in a "
         "TZoomPanel to pan and zoom it.",
         "ImageControl.h", false, 256, 256, Make<TImageControl>},
        {"TGraphicsListControl", icons + "graphicslistcontrol.png",
         "An overlay of points, lines, rectangles and arcs with editing grips",
         "Draws a list of graphic items over what lies beneath it (stack it over a "
         "TImageControl in a TZoomPanel); items are selected, moved and reshaped with "
         "the mouse and the arrow keys.",
         "GraphicsListControl.h", false, 256, 256, Make<TGraphicsListControl>},
        {"TVectorControl", icons + "vectorcontrol.png", "A plot of one vector of floats",
         "Plots one vector of floats across the control, horizontally or vertically, "
         "between Min and Max or an automatic range. It owns its vector while "
         "AllocVector is on.",
         "VectorControl.h", false, 300, 120, Make<TVectorControl>},
        {"TZoomPanel", icons + "zoompanel.png",
         "A pan-and-zoom panel for an image control and its overlays",
         "Holds an image control and its overlays stacked on one rectangle with one zoom "
         "state: a left drag pans, a right drag or the wheel zooms. Drop the controls "
         "into it; with ResizeChildren it lays them over its zoom area.",
         "ZoomPanel.h", true, 320, 240, Make<TZoomPanel>},
        {"TMultiView", icons + "multiview.png",
         "A grid of up to 3 × 3 captioned cells holding client controls",
         "Lays out up to nine client controls (its siblings, assigned in code) in a grid "
         "of cells, each with a caption button; the pressed button marks the active cell, "
         "which Zoomed shows alone.",
         "MultiView.h", false, 320, 240, Make<TMultiView>},
    };
    for (const auto& description : descriptions)
        widgets_.append(new TControlWidgetPlugin(description, this));
}
