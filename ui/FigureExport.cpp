#include "FigureExport.h"

#include "CommandLine.h"
#include "FileIo.h"
#include "LazySlices.h"
#include "MappedFile.h"
#include "MessageText.h"
#include "SampleStats.h"
#include "SliceModel.h"
#include "VolumeReader.h"
#include "imgdraw.h"

#include <QBuffer>
#include <QFont>
#include <QImageWriter>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string_view>

namespace {

/** The most pixels a figure may have (1 GiB of RGB32). */
constexpr int64_t MaxFigurePixels = int64_t(1) << 28;

/** 0xRRGGBB as the graphics lists' 0x00BBGGRR. */
uint32_t ListColour(uint32_t rgb)
{
    return (rgb & 0xFF) << 16 | (rgb & 0xFF00) | (rgb >> 16 & 0xFF);
}

/** A spacing that is known: positive and finite. */
bool KnownSpacing(double spacing)
{
    return spacing > 0 && std::isfinite(spacing);
}

/** How a request maps onto the figure: its size and the scale bar's length. */
struct FigureGeometry
{
    int Width = 0, Height = 0; ///< the figure's pixels
    double Pixel = 1;          ///< the length of a figure pixel in the unit (1 unknown)
    int Bar = 0;               ///< the scale bar's pixels, 0 for none
};

/** The figure's size; false with the reason when it cannot be made. */
bool FigureSize(const FigureRequest& request, FigureGeometry& geometry, QString& error)
{
    const ImageStruct* slice = request.Slice;
    const int16_t kind = ImageKind(slice);
    if (!slice || !slice->Data || slice->XSize <= 0 || slice->YSize <= 0 ||
        (kind != ImageKind8 && kind != ImageKind16 && kind != ImageKind32 &&
         kind != ImageKindFloat && kind != ImageKindRGB)) {
        error = QStringLiteral("there is no slice of samples to draw");
        return false;
    }
    double across = 1, down = 1; // figure pixels a slice pixel spans
    if (KnownSpacing(request.PixelWidth) && KnownSpacing(request.PixelHeight)) {
        geometry.Pixel = std::min(request.PixelWidth, request.PixelHeight);
        across = request.PixelWidth / geometry.Pixel;
        down = request.PixelHeight / geometry.Pixel;
    }
    const double width = std::max(1.0, std::round(slice->XSize * across));
    const double height = std::max(1.0, std::round(slice->YSize * down));
    if (width * height > double(MaxFigurePixels)) {
        error = QStringLiteral("the figure would be %1 x %2 pixels, more than can be made")
                    .arg(width, 0, 'f', 0)
                    .arg(height, 0, 'f', 0);
        return false;
    }
    geometry.Width = int(width);
    geometry.Height = int(height);
    return true;
}

/** The scale bar's margin to the figure's edges and its thickness, by the figure's size. */
int BarMargin(const FigureGeometry& geometry)
{
    return std::max(3, std::min(geometry.Width, geometry.Height) / 32);
}

int BarThickness(const FigureGeometry& geometry)
{
    return std::max(2, std::min(geometry.Width, geometry.Height) / 100);
}

/** The scale bar's pixels; false with the reason when it cannot be drawn. */
bool BarLength(const FigureRequest& request, FigureGeometry& geometry, QString& error)
{
    if (!(request.ScaleBar > 0)) return true; // none
    double pixels = request.ScaleBar;
    if (!request.ScaleBarInVoxels) {
        if (!KnownSpacing(request.PixelWidth) || !KnownSpacing(request.PixelHeight)) {
            error = QStringLiteral("a scale bar in units needs the voxel size");
            return false;
        }
        pixels = request.ScaleBar / geometry.Pixel;
    }
    pixels = std::round(pixels);
    const int room = geometry.Width - 2 * BarMargin(geometry);
    if (!(pixels >= 1) || pixels > room) {
        error = QStringLiteral("a scale bar of %1 would be %2 pixels long, and the figure has "
                               "room for 1 to %3")
                    .arg(ScaleBarLabel(request), QString::number(pixels, 'g', 6))
                    .arg(std::max(room, 0));
        return false;
    }
    geometry.Bar = int(pixels);
    return true;
}

/** The slice through the window, as TImageControl::Convert makes its display image. */
bool WindowLevels(ImageStruct* levels, const ImageStruct* slice, float min, float max)
{
    switch (ImageKind(slice)) {
    case ImageKind8:
        return min == 0 && max == 255 ? ImageTransfer(levels, slice)
                                      : Image8ToImage8(levels, slice, min, max);
    case ImageKind16:
        return Image16ToImage8(levels, slice, min, max);
    case ImageKind32:
        return Image32ToImage8(levels, slice, min, max);
    case ImageKindFloat:
        return ImageFloatToImage8(levels, slice, min, max);
    default:
        return false;
    }
}

/**
 * The scale bar in the lower right corner: pure white with a black outline a pixel wide,
 * its label centred above it, white with a black outline, when the figure holds it.
 */
void DrawScaleBar(QPainter& painter, const FigureGeometry& geometry, const QString& label)
{
    const int margin = BarMargin(geometry), thickness = BarThickness(geometry);
    const QRect bar(geometry.Width - margin - geometry.Bar, geometry.Height - margin - thickness,
                    geometry.Bar, thickness);
    painter.fillRect(bar.adjusted(-1, -1, 1, 1), Qt::black);
    painter.fillRect(bar, Qt::white);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(std::max(11, std::min(geometry.Width, geometry.Height) / 18));
    QPainterPath text;
    text.addText(0, 0, font, label);
    const QRectF box = text.boundingRect();
    const double outline = std::max(1.0, font.pixelSize() / 8.0);
    // Centred over the bar, but kept within the margin on the right.
    double x = bar.left() + bar.width() / 2.0 - box.center().x();
    x = std::min(x, geometry.Width - margin - box.right());
    const double y = bar.top() - 1 - outline - std::max(2.0, outline) - box.bottom();
    const QRectF placed = box.translated(x, y).adjusted(-outline, -outline, outline, outline);
    if (!QRectF(0, 0, geometry.Width, geometry.Height).contains(placed)) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(x, y);
    painter.strokePath(text,
                       QPen(Qt::black, 2 * outline, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.fillPath(text, Qt::white);
    painter.restore();
}

} // namespace

QString ScaleBarLabel(const FigureRequest& request)
{
    const QString number = QString::number(request.ScaleBar, 'g', 6);
    const QString unit = request.ScaleBarInVoxels ? QStringLiteral("px") : request.Unit;
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

bool WriteFigure(QImage figure, const std::string& fileName, std::string& message)
{
    // A grey figure is written as a grey picture: a third of the bytes, the same values.
    if (figure.allGray()) figure = figure.convertToFormat(QImage::Format_Grayscale8);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(figure)) {
        message = writer.errorString().toStdString();
        return false;
    }
    FileIo::AtomicWriter out;
    return out.Begin(fileName, message) &&
           out.Write(png.constData(), size_t(png.size()), message) && out.Commit(message);
}

QImage RenderFigure(const FigureRequest& request, QString& error)
{
    FigureGeometry geometry;
    if (!FigureSize(request, geometry, error) || !BarLength(request, geometry, error))
        return QImage();
    const ImageStruct* slice = request.Slice;
    const int W = slice->XSize, H = slice->YSize, width = geometry.Width, height = geometry.Height;

    // Colours (a composite of channels) are drawn as they are; samples through the window.
    const bool colours = ImageKind(slice) == ImageKindRGB;
    const ImagePtr levels{colours ? nullptr : NewImage8(W, H)};
    QImage figure(width, height, QImage::Format_RGB32);
    if ((!colours && !levels) || figure.isNull()) {
        error = QStringLiteral("not enough memory for the figure");
        return QImage();
    }
    if (!colours) WindowLevels(levels.get(), slice, float(request.Min), float(request.Max));

    // Nearest neighbour: figure pixel (i, j) shows slice pixel (⌊(i + ½)·W/width⌋, …),
    // in whole numbers as ⌊(2i + 1)·W / (2·width)⌋.
    std::vector<int32_t> column(size_t(width), 0);
    for (int i = 0; i < width; ++i)
        column[size_t(i)] = int32_t((2 * int64_t(i) + 1) * W / (2 * int64_t(width)));
    std::array<uint32_t, 256> table = ColourTable(request.Map, request.ChannelColour);
    for (uint32_t& colour : table)
        colour |= 0xFF000000;
    for (int j = 0; j < height; ++j) {
        const int64_t row = (2 * int64_t(j) + 1) * H / (2 * int64_t(height));
        auto* out = reinterpret_cast<uint32_t*>(figure.scanLine(j));
        if (colours) {
            const auto* in = reinterpret_cast<const uint32_t*>(slice->Data + row * slice->LineStep);
            for (int i = 0; i < width; ++i)
                out[i] = 0xFF000000 | in[column[size_t(i)]];
            continue;
        }
        const uint8_t* in = levels->Data + row * levels->LineStep;
        for (int i = 0; i < width; ++i)
            out[i] = table[in[column[size_t(i)]]];
    }

    QPainter painter(&figure);
    painter.setRenderHint(QPainter::Antialiasing, false);
    // Slice coordinate u (a pixel's centre) falls in figure pixel ⌊(u + ½)·width/W⌋: the
    // pixel that shows it.
    const double xscale = double(width) / W, yscale = double(height) / H;
    if (request.Crosshair && request.Crosshair->x() >= 0 && request.Crosshair->x() < W &&
        request.Crosshair->y() >= 0 && request.Crosshair->y() < H) {
        const int x = int((2 * int64_t(request.Crosshair->x()) + 1) * width / (2 * int64_t(W)));
        const int y = int((2 * int64_t(request.Crosshair->y()) + 1) * height / (2 * int64_t(H)));
        painter.fillRect(x, 0, 1, height, QColor::fromRgb(request.CrosshairUColour));
        painter.fillRect(0, y, width, 1, QColor::fromRgb(request.CrosshairVColour));
    }
    if (!request.Shapes.empty()) {
        GraphicsListStruct list;
        InitListSize(&list, int32_t(request.Shapes.size()));
        for (const FigureShape& shape : request.Shapes) {
            GraphicsItemStruct item;
            item.Color = ListColour(shape.Colour);
            float* c = item.Coords;
            switch (shape.Shape) {
            case FigureShape::Point:
                item.Kind = GraphicsPoint;
                c[2] = float(shape.X0), c[3] = float(shape.Y0);
                break;
            case FigureShape::Rect:
                item.Kind = GraphicsRectangle;
                c[0] = float(shape.X0), c[1] = float(shape.Y0);
                c[2] = float(shape.X1), c[3] = float(shape.Y1);
                break;
            default:
                item.Kind = GraphicsLine;
                c[0] = float(shape.X0), c[1] = float(shape.Y0);
                c[2] = float(shape.X1), c[3] = float(shape.Y1);
                break;
            }
            AppendToList(&list, item);
        }
        DrawList(painter, &list, float(xscale / 2), float(yscale / 2), float(xscale), float(yscale),
                 0, 0);
        DestroyList(&list);
    }
    if (geometry.Bar > 0) DrawScaleBar(painter, geometry, ScaleBarLabel(request));
    painter.end();
    return figure;
}

double RoundScaleBar(double width)
{
    if (!(width > 0) || !std::isfinite(width)) return 0;
    const double target = width / 5;
    const double decade = std::pow(10.0, std::floor(std::log10(target)));
    double best = 0, distance = INFINITY;
    for (const double step : {1.0, 2.0, 5.0, 10.0}) {
        const double length = step * decade;
        const double d = std::abs(std::log(length / target));
        if (d <= distance) best = length, distance = d;
    }
    return best;
}

// --- the --export mode ---------------------------------------------------------------------

namespace {

/** A length unit a file may give its voxel size in. */
struct LengthUnit
{
    const char* Label; ///< as the figure writes it
    double Metres;
};

/**
 * The length unit `name` (as a file's header or description gives it) stands for: pm,
 * Å, nm, µm, mm, cm or m, by symbol or name, singular or plural; null for any other.
 */
const LengthUnit* FindLengthUnit(std::string_view name)
{
    static constexpr LengthUnit Picometre{"pm", 1e-12}, Angstrom{"\xC3\x85", 1e-10},
        Nanometre{"nm", 1e-9}, Micrometre{"\xC2\xB5m", 1e-6}, Millimetre{"mm", 1e-3},
        Centimetre{"cm", 1e-2}, Metre{"m", 1};
    static constexpr std::pair<std::string_view, const LengthUnit*> Names[] = {
        {"pm", &Picometre},          {"picometer", &Picometre},
        {"picometre", &Picometre},   {"\xC3\x85", &Angstrom},
        {"\xE2\x84\xAB", &Angstrom}, {"angstrom", &Angstrom},
        {"nm", &Nanometre},          {"nanometer", &Nanometre},
        {"nanometre", &Nanometre},   {"um", &Micrometre},
        {"\xC2\xB5m", &Micrometre},  {"\xCE\xBCm", &Micrometre},
        {"micrometer", &Micrometre}, {"micrometre", &Micrometre},
        {"micron", &Micrometre},     {"mm", &Millimetre},
        {"millimeter", &Millimetre}, {"millimetre", &Millimetre},
        {"cm", &Centimetre},         {"centimeter", &Centimetre},
        {"centimetre", &Centimetre}, {"m", &Metre},
        {"meter", &Metre},           {"metre", &Metre},
    };
    for (int plural = 0; plural < 2; ++plural) {
        for (const auto& [known, unit] : Names)
            if (name == known) return unit;
        if (name.size() < 4 || name.back() != 's') break;
        name.remove_suffix(1);
    }
    return nullptr;
}

/** The scale bar's units of the command line (ExportOptions::ScaleBarUnit) in metres. */
double BarUnitMetres(const std::string& unit)
{
    return unit == "nm" ? 1e-9 : unit == "mm" ? 1e-3 : 1e-6;
}

/** The slice's axes: the volume axis (0 x, 1 y, 2 z) along u and along v. */
int AxisU(SlicePlane plane)
{
    return plane == SlicePlane::Side ? 2 : 0;
}

int AxisV(SlicePlane plane)
{
    return plane == SlicePlane::Front ? 2 : 1;
}

const char* const AxisNames[3] = {"x", "y", "z"};

/**
 * Why the slice's voxel size gives no length ("gives no voxel size", …, to follow the
 * file's name); empty when it does.
 */
std::string NoPhysicalSize(const VoxelSpacing& spacing, SlicePlane plane)
{
    if (!spacing.Known) return "gives no voxel size";
    const std::string& u = spacing.Units[AxisU(plane)];
    const std::string& v = spacing.Units[AxisV(plane)];
    if (u.empty() || v.empty()) return "gives its voxel size without a unit";
    for (const std::string* unit : {&u, &v})
        if (!FindLengthUnit(*unit)) return "gives its voxel size in " + InQuotes(*unit);
    return {};
}

/**
 * The slice's spacing along u and v and its unit: in the file's unit of the u axis (that
 * of v converted when it differs and both are lengths); 0 (unknown, drawn 1:1) when the
 * file gives none or units that cannot be compared.
 */
void SliceSpacing(const VoxelSpacing& spacing, SlicePlane plane, FigureRequest& request)
{
    request.PixelWidth = request.PixelHeight = 0;
    request.Unit.clear();
    if (!spacing.Known) return;
    const int u = AxisU(plane), v = AxisV(plane);
    const LengthUnit* unitU = FindLengthUnit(spacing.Units[u]);
    const LengthUnit* unitV = FindLengthUnit(spacing.Units[v]);
    if (spacing.Units[u] == spacing.Units[v]) {
        request.PixelWidth = spacing.Size[u];
        request.PixelHeight = spacing.Size[v];
    } else if (unitU && unitV) {
        request.PixelWidth = spacing.Size[u];
        request.PixelHeight = spacing.Size[v] * unitV->Metres / unitU->Metres;
    } else {
        return;
    }
    request.Unit = unitU ? QString::fromUtf8(unitU->Label)
                         : QString::fromStdString(QuoteBytes(spacing.Units[u]));
}

/** The sizes of a slice of `plane`: width, height. */
std::pair<int32_t, int32_t> SliceSize(const StackLayout& layout, SlicePlane plane)
{
    const int32_t sizes[3] = {layout.SizeX, layout.SizeY, layout.SizeZ};
    return {sizes[AxisU(plane)], sizes[AxisV(plane)]};
}

/**
 * Reads the slice of `plane` of volume (c, t) through voxel `at` from `source`, in its
 * display kind (LazyDisplayKind): one plane for the top slice, a row of every plane for
 * the front one, a column of every plane for the side one. Null with the reason in
 * `error` when a read fails; throws std::bad_alloc when memory runs out.
 */
ImageStruct* ReadSlice(PlaneSource& source, int c, int t, SlicePlane plane, const int32_t (&at)[3],
                       std::string& error)
{
    const StackLayout& layout = source.Layout();
    const auto [width, height] = SliceSize(layout, plane);
    ImagePtr image{NewSliceImage(LazyDisplayKind(layout.Kind), width, height)};
    if (!image) throw std::bad_alloc();
    const int element = ImageElementBytes(image.get());
    const auto row = [&](int64_t v) { return image->Data + v * image->LineStep; };
    std::vector<uint8_t> buffer;
    if (plane == SlicePlane::Top) {
        buffer.resize(size_t(source.PlaneBytes()));
        if (!source.ReadPlane(c, t, at[2], buffer.data(), error)) return nullptr;
        for (int64_t y = 0; y < height; ++y)
            ConvertToDisplay(buffer.data() + y * source.RowBytes(), layout.Kind,
                             size_t(layout.SizeX), row(y), element);
    } else {
        const int64_t samples = plane == SlicePlane::Front ? layout.SizeX : layout.SizeY;
        buffer.resize(size_t(samples * SampleKindBytes(layout.Kind)));
        source.WillRead(c, t, 0, layout.SizeZ, MappedFile::Access::Sequential);
        for (int64_t z = 0; z < layout.SizeZ; ++z) {
            const bool read = plane == SlicePlane::Front
                                  ? source.ReadRows(c, t, z, at[1], at[1] + 1, buffer.data(), error)
                                  : source.ReadColumn(c, t, z, at[0], buffer.data(), error);
            if (!read) return nullptr;
            if (plane == SlicePlane::Front)
                ConvertToDisplay(buffer.data(), layout.Kind, size_t(samples), row(z), element);
            else
                ConvertToDisplay(buffer.data(), layout.Kind, size_t(samples),
                                 image->Data + z * element, image->LineStep);
            source.DoneWith(c, t, z, z + 1);
        }
    }
    TouchImage(image.get());
    return image.release();
}

/**
 * The automatic window of volume (c, t) of a file read plane by plane: from the histogram
 * of a sample of its planes, counted as the inspector counts it for such a file. False
 * with the reason when a read fails.
 */
bool SampledWindow(std::unique_ptr<PlaneSource>& source, int c, int t, double& min, double& max,
                   std::string& error)
{
    std::mutex mutex;
    std::condition_variable published;
    LazySlices::Options options;
    options.LowPriority = false;
    options.Published = [&] {
        const std::lock_guard lock(mutex);
        published.notify_all();
    };
    LazySlices lazy(std::move(source), options);
    lazy.RequestStats(c, t);
    for (;;) {
        const uint64_t seen = lazy.Changes();
        if (!lazy.Busy()) break;
        std::unique_lock lock(mutex);
        published.wait_for(lock, std::chrono::milliseconds(50),
                           [&] { return lazy.Changes() != seen; });
    }
    error = lazy.Failure();
    const LazySlices::Stats stats = lazy.StatsOf(c, t);
    if (error.empty() && !AutoWindow(stats.Histogram, stats.Integers, min, max)) min = 0, max = 255;
    return error.empty();
}

} // namespace

int RunExport(const CommandLine::ExportOptions& options, std::FILE* err)
{
    const std::string& file = options.File;
    const auto say = [&](const std::string& text) {
        std::fprintf(err, "volinspect: %s\n", text.c_str());
    };
    const auto usage = [&](const std::string& reason) {
        say("--export: " + reason + " (see --help)");
        return 2;
    };
    const auto cannotLoad = [&](const std::string& reason) {
        say("cannot load " + InQuotes(file) + ": " + QuoteBytes(reason));
        return 1;
    };

    std::unique_ptr<PlaneSource> source;
    const VolumeReadResult opened = OpenStackSource(file, source);
    if (!opened.Loaded() || !source) return cannotLoad(opened.Message);
    const StackLayout layout = source->Layout();
    std::string warning = opened.Message;

    // What the options ask of the file.
    const std::string named = InQuotes(file);
    if (options.Channel > layout.Channels)
        return usage("--channel " + std::to_string(options.Channel) + ": " + named + " has " +
                     std::to_string(layout.Channels) +
                     (layout.Channels == 1 ? " channel" : " channels"));
    if (options.Frame > layout.Frames)
        return usage("--frame " + std::to_string(options.Frame) + ": " + named + " has " +
                     std::to_string(layout.Frames) +
                     (layout.Frames == 1 ? " time point" : " time points"));
    const int32_t sizes[3] = {layout.SizeX, layout.SizeY, layout.SizeZ};
    int32_t at[3];
    for (int d = 0; d < 3; ++d) {
        at[d] = options.HasPosition ? options.Position[d] : sizes[d] / 2;
        if (at[d] >= sizes[d])
            return usage("--at: " + std::string(AxisNames[d]) + " " + std::to_string(at[d]) +
                         " lies beyond " + named + ", whose " + AxisNames[d] + " runs from 0 to " +
                         std::to_string(sizes[d] - 1));
    }
    const SlicePlane plane = options.View;
    FigureRequest request;
    SliceSpacing(layout.Spacing, plane, request);
    request.Map = options.Map;
    request.ChannelColour = options.ChannelColour;
    if (options.ScaleBar > 0) {
        request.ScaleBar = options.ScaleBar;
        if (options.ScaleBarUnit == "px") {
            request.ScaleBarInVoxels = true;
        } else {
            // The spacing in the bar's unit, so that the label reads as it was asked for.
            request.Unit = QString::fromStdString(options.ScaleBarUnit);
            const std::string why = NoPhysicalSize(layout.Spacing, plane);
            if (!why.empty())
                return usage("a scale bar of " + ScaleBarLabel(request).toStdString() +
                             " needs a voxel size in nm, um or mm, and " + named + " " + why +
                             " (a length in px counts voxels)");
            const double metres = FindLengthUnit(layout.Spacing.Units[AxisU(plane)])->Metres;
            const double factor = metres / BarUnitMetres(options.ScaleBarUnit);
            request.PixelWidth *= factor;
            request.PixelHeight *= factor;
        }
    }

    // The samples: the whole file when it fits in memory, else only the slice.
    const int c = options.Channel - 1, t = options.Frame - 1;
    const bool bytes = SampleKindBytes(layout.Kind) == 1;
    const bool autoWindow = !options.HasWindow && !bytes;
    request.Min = options.HasWindow ? options.WindowMin : 0;
    request.Max = options.HasWindow ? options.WindowMax : 255;
    int64_t samples = 0;
    const bool fits =
        !__builtin_mul_overflow(layout.VolumeBytes(), layout.VolumeCount(), &samples) &&
        FitsInMemory(samples);
    VolumeStack stack;
    SliceModel model; // refers to the stack: made after it, gone before it
    ImagePtr read;
    if (fits) {
        auto* whole = dynamic_cast<StackPlaneSource*>(source.get());
        if (!whole || !whole->TakeStack(stack)) {
            source.reset();
            const VolumeReadResult loaded = ReadStack(file, stack);
            if (!loaded.Loaded()) return cannotLoad(loaded.Message);
            warning = loaded.Message;
        }
        source.reset();
        const StackLayout& got = stack.Layout();
        if (got.SizeX != layout.SizeX || got.SizeY != layout.SizeY || got.SizeZ != layout.SizeZ ||
            got.Channels <= c || got.Frames <= t || stack.Empty())
            return cannotLoad("the file changed while it was read");
        model.SetStackVolume(&stack, c, t);
        model.SetPosition(SlicePlane::Top, at[2]);
        model.SetPosition(SlicePlane::Front, at[1]);
        model.SetPosition(SlicePlane::Side, at[0]);
        request.Slice = model.SampleSlice(plane);
        if (autoWindow && !AutoWindow(ComputeHistogram(stack, c, t), WholeValues(stack, c, t),
                                      request.Min, request.Max))
            request.Min = 0, request.Max = 255;
    } else if (!source->RandomAccess()) {
        const QString memory = QStringLiteral("%1 of %2")
                                   .arg(QLocale::c().formattedDataSize(samples),
                                        QLocale::c().formattedDataSize(MemoryBudget()));
        return cannotLoad("its samples take more memory than this machine gives (" +
                          memory.toStdString() +
                          "), and its compressed data can only be read from the start, not plane "
                          "by plane");
    } else {
        std::string error;
        read.reset(ReadSlice(*source, c, t, plane, at, error));
        if (!read) return cannotLoad(error);
        if (autoWindow && !SampledWindow(source, c, t, request.Min, request.Max, error))
            return cannotLoad(error);
        request.Slice = read.get();
    }
    if (!warning.empty()) say("warning: " + named + ": " + QuoteBytes(warning));

    // The picture.
    FigureGeometry geometry;
    QString problem;
    if (!FigureSize(request, geometry, problem)) {
        say("cannot make the figure of " + named + ": " + problem.toStdString());
        return 1;
    }
    if (!BarLength(request, geometry, problem)) return usage(problem.toStdString());
    QImage figure = RenderFigure(request, problem);
    if (figure.isNull()) {
        say("cannot make the figure of " + named + ": " + problem.toStdString());
        return 1;
    }
    std::string message;
    if (WriteFigure(figure, options.Output, message)) return 0;
    say("cannot write " + InQuotes(options.Output) + ": " + QuoteBytes(message));
    return OutputFailedStatus;
}
