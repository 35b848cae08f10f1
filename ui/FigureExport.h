#pragma once

#include "ColourMap.h"
#include "imgkernel.h"

#include <QImage>
#include <QPoint>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace CommandLine {
struct ExportOptions;
}

/**
 * Figures of a slice: the pictures the inspector's export and `volinspect --export` write.
 * Qt Gui only (QImage, QPainter), no widgets; the scale bar's label needs a
 * QGuiApplication for its font (the offscreen platform will do).
 */

/**
 * A shape drawn over the figure, in voxel-centre slice coordinates: slice pixel (u, v)'s
 * centre lies at (u, v). A line runs from (X0, Y0) to (X1, Y1); a rectangle has those
 * corners (its outline is drawn); a point is a small cross at (X0, Y0). Colour 0xRRGGBB.
 * Drawn as the overlay control draws graphics lists (a 1-pixel pen, the pixels the
 * coordinates fall in).
 */
struct FigureShape
{
    enum Kind
    {
        Line,
        Rect,
        Point
    } Shape = Line;
    double X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
    uint32_t Colour = 0xFFFF00;
};

/** What RenderFigure draws. */
struct FigureRequest
{
    /**
     * The slice in a display kind: ImageKind8, 16, 32 or Float (SliceModel::SampleSlice),
     * or colours (ImageKindRGB, a composite of channels) drawn as they are.
     */
    const ImageStruct* Slice = nullptr;
    /** The spacing along the slice's u and v (any unit); 0 or NaN: unknown. */
    double PixelWidth = 1, PixelHeight = 1;
    /** The spacing's unit ("µm", "nm", "mm", ""…), which the scale bar's label names. */
    QString Unit;
    /** The display window in sample values, as the image control's Min and Max. */
    double Min = 0, Max = 255;
    ColourMap Map = ColourMap::Grey;
    uint32_t ChannelColour = 0xFFFFFF; ///< 0xRRGGBB, for ColourMap::Channel
    /** The scale bar's length in Unit; 0 for none. */
    double ScaleBar = 0;
    /** ScaleBar counts voxels of the smallest spacing (figure pixels), labelled "px". */
    bool ScaleBarInVoxels = false;
    /** The slice pixel the crosshair goes through, if asked for. */
    std::optional<QPoint> Crosshair;
    /** The crosshair's colours (0xRRGGBB): its vertical line (column u), its horizontal one. */
    uint32_t CrosshairUColour = 0xFF0000, CrosshairVColour = 0xFFFF00;
    std::vector<FigureShape> Shapes;
};

/**
 * The figure: the slice resampled by nearest neighbour to its physical aspect, the
 * smallest of the two spacings as the pixel size (1:1 when they are equal or unknown).
 * With s that smallest spacing, the figure is round(W·PixelWidth/s) × round(H·PixelHeight/s)
 * pixels for a slice of W × H, and figure pixel (i, j) shows slice pixel
 * (⌊(i + ½)·W/width⌋, ⌊(j + ½)·H/height⌋), through the window (the imaging library's
 * conversions, as the image control makes them: Min gives exactly 0, Max exactly 255)
 * and the colour map. Then the crosshair (a line a pixel wide through the column and
 * row of figure pixels that show it), the shapes, and the scale bar: a bar of ScaleBar
 * units (of round(ScaleBar / s) pixels; ScaleBar pixels for voxels) in pure white with a
 * black outline, its label ("10 µm", "25 px") above it, in the lower right corner. The
 * label is left out when the figure is too small to hold it.
 *
 * Returns a Format_RGB32 image, or a null one with the reason in `error`: no slice or a
 * slice of another kind, a figure too large to make (over 2^28 pixels), a scale bar in
 * units without a known spacing, or one shorter than a pixel or longer than the figure.
 */
QImage RenderFigure(const FigureRequest& request, QString& error);

/**
 * Writes `figure` as a PNG file (a grey figure as a grey picture) under a temporary name
 * beside `fileName`, renamed over it only when complete. False with the reason.
 */
bool WriteFigure(QImage figure, const std::string& fileName, std::string& message);

/** The scale bar's label: its length and unit ("10 µm", "25 px"; "3" without a unit). */
QString ScaleBarLabel(const FigureRequest& request);

/**
 * A round scale-bar length (1, 2 or 5 × 10^k in the unit) near a fifth of `width` units,
 * the nearest on a logarithmic scale (the larger of two as near); 0 when `width` is not a
 * positive finite number.
 */
double RoundScaleBar(double width);

/**
 * The mode `volinspect --export FILE OUT.png [OPTION...]` with its options parsed (see
 * CommandLine::ParseExport and the usage text): loads FILE, takes the slice and writes
 * its figure. Messages go to `err`. Returns the exit status: 0 written (a load's warning
 * said), 1 the file failed to load or to be read, 2 an option that does not fit the file
 * (a position, channel or frame beyond it, a physical scale bar for a file without
 * units), 3 the picture could not be written. Needs a QGuiApplication.
 */
int RunExport(const CommandLine::ExportOptions& options, std::FILE* err = stderr);
