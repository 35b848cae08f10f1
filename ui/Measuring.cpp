#include "Measuring.h"

#include "LinkedZoom.h"
#include "Measure.h"
#include "MeasurementTable.h"
#include "OrthoWindow.h"
#include "ProfilePlot.h"
#include "ShapesFile.h"
#include "SliceView.h"

#include <QAction>
#include <QActionGroup>
#include <QDockWidget>
#include <QToolBar>
#include <QUndoCommand>
#include <QUndoStack>

#include <algorithm>
#include <cmath>

namespace {

/** The largest box (voxels) read from a file for statistics through a stack. */
constexpr int64_t MaxStackBoxVoxels = int64_t(1) << 27;

/** A number as labels write it: four significant digits, whole numbers in full. */
QString Short(double value)
{
    if (std::isnan(value)) return QStringLiteral("–");
    if (value == std::round(value) && std::abs(value) < 1e9) return QString::number(value, 'f', 0);
    return QString::number(value, 'g', 4);
}

} // namespace

/** A change of the shapes: the entries and the selection before and after it. */
class TMeasuring::Command : public QUndoCommand
{
public:
    Command(TMeasuring& owner, const QString& text, std::vector<Entry> before, int selectedBefore,
            std::vector<Entry> after, int selectedAfter)
        : QUndoCommand(text), owner_(owner), before_(std::move(before)), after_(std::move(after)),
          selectedBefore_(selectedBefore), selectedAfter_(selectedAfter)
    {
    }
    void undo() override { owner_.Restore(before_, selectedBefore_); }
    void redo() override { owner_.Restore(after_, selectedAfter_); }

private:
    TMeasuring& owner_;
    std::vector<Entry> before_, after_;
    int selectedBefore_, selectedAfter_;
};

TMeasuring::TMeasuring(TOrthoWindow& window) : QObject(&window), window_(window)
{
    undo_ = new QUndoStack(this);

    toolBar_ = new QToolBar(tr("Measure"), &window);
    toolBar_->setObjectName(QStringLiteral("measureToolBar"));
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    tools_ = new QActionGroup(this);
    const struct
    {
        Tool Which;
        QString Text, Tip;
        QKeySequence Key;
    } tools[] = {
        {Navigate, tr("Navigate"), tr("Pan, zoom and move the planes (Esc)"), Qt::Key_Escape},
        {DrawLine, tr("Line"), tr("Draw a line: its length and profile (L)"), Qt::Key_L},
        {DrawRect, tr("Rectangle"), tr("Draw a rectangle: statistics of the voxels inside (R)"),
         Qt::Key_R},
        {DrawPoint, tr("Point"), tr("Place a point: its samples (P)"), Qt::Key_P},
    };
    for (const auto& tool : tools) {
        QAction* action = toolBar_->addAction(tool.Text);
        action->setCheckable(true);
        action->setChecked(tool.Which == Navigate);
        action->setToolTip(tool.Tip);
        action->setShortcut(tool.Key);
        action->setShortcutContext(Qt::WindowShortcut);
        action->setData(int(tool.Which));
        action->setActionGroup(tools_);
        window.addAction(action);
        connect(action, &QAction::triggered, this, [this, which = tool.Which] { SetTool(which); });
    }
    toolBar_->addSeparator();
    delete_ = toolBar_->addAction(tr("Delete"), this, &TMeasuring::DeleteSelected);
    delete_->setShortcut(QKeySequence::Delete);
    delete_->setShortcutContext(Qt::WindowShortcut);
    delete_->setToolTip(tr("Delete the shape selected (Delete)"));
    window.addAction(delete_);
    stack_ = toolBar_->addAction(tr("Stack statistics"));
    stack_->setCheckable(true);
    stack_->setToolTip(tr("Statistics of rectangles also through every slice of their view"));
    connect(stack_, &QAction::toggled, this, &TMeasuring::SetStackStatistics);

    table_ = new TMeasurementTable(&window);
    tableDock_ = new QDockWidget(tr("Measurements"), &window);
    tableDock_->setObjectName(QStringLiteral("measurementsDock"));
    tableDock_->setWidget(table_);
    profile_ = new TProfilePlot(&window);
    profileDock_ = new QDockWidget(tr("Profile"), &window);
    profileDock_->setObjectName(QStringLiteral("profileDock"));
    profileDock_->setWidget(profile_);
    toolBar_->addSeparator();
    toolBar_->addAction(tableDock_->toggleViewAction());
    toolBar_->addAction(profileDock_->toggleViewAction());
    connect(table_, &TMeasurementTable::RowActivated, this, [this](int row) {
        const std::vector<MeasureRow>& rows = table_->Rows();
        if (size_t(row) >= rows.size()) return;
        const std::vector<MeasureShape> shapes = Shapes();
        const auto at = std::find(shapes.begin(), shapes.end(), rows[size_t(row)].Shape);
        if (at != shapes.end()) Select(int(at - shapes.begin()));
    });

    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
        TSliceView* view = window.View(plane);
        connect(view, &TSliceView::ShapeDrawn, this,
                [this, plane](int kind, double x0, double y0, double x1, double y1, bool done) {
                    ShapeDrawn(plane, kind, x0, y0, x1, y1, done);
                });
        connect(view, &TSliceView::ShapeEdited, this,
                [this, plane](int id, double x0, double y0, double x1, double y1, bool done) {
                    ShapeEdited(plane, id, x0, y0, x1, y1, done);
                });
        connect(view, &TSliceView::ShapePressed, this, [this](int id) {
            selected_ = id;
            ShowShapes();
            UpdateProfile();
        });
    }
}

TMeasuring::~TMeasuring()
{
    // The commands refer back here: they go first.
    undo_->clear();
}

QAction* TMeasuring::ToolAction(Tool tool) const
{
    for (QAction* action : tools_->actions())
        if (action->data().toInt() == int(tool)) return action;
    return nullptr;
}

void TMeasuring::SetTool(Tool tool)
{
    tool_ = tool;
    if (QAction* action = ToolAction(tool); action && !action->isChecked())
        action->setChecked(true);
    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side})
        window_.View(plane)->SetTool(int(tool));
    if (tool == Navigate && selected_ >= 0) Select(-1);
}

std::vector<MeasureShape> TMeasuring::Shapes() const
{
    std::vector<MeasureShape> shapes;
    shapes.reserve(entries_.size());
    for (const Entry& entry : entries_)
        shapes.push_back(entry.Shape);
    return shapes;
}

int TMeasuring::IndexOf(int id) const
{
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].Id == id) return int(i);
    return -1;
}

int TMeasuring::Selected() const
{
    return IndexOf(selected_);
}

void TMeasuring::Select(int index)
{
    selected_ = size_t(index) < entries_.size() ? entries_[size_t(index)].Id : -1;
    if (selected_ >= 0) {
        // A shape on another slice: the views go there.
        const MeasureShape& shape = entries_[size_t(index)].Shape;
        if (window_.Position(shape.View) != shape.Slice)
            window_.SetPosition(shape.View, shape.Slice);
    }
    ShowShapes();
    UpdateProfile();
}

void TMeasuring::Change(const QString& text, std::vector<Entry> after, int selected)
{
    undo_->push(new Command(*this, text, entries_, selected_, std::move(after), selected));
}

void TMeasuring::AddShape(const MeasureShape& shape)
{
    std::vector<Entry> after = entries_;
    after.push_back({nextId_++, shape});
    Change(tr("Draw %1").arg(QString::fromLatin1(MeasureKindName(shape.Shape))), std::move(after),
           after.back().Id);
}

void TMeasuring::DeleteSelected()
{
    const int index = Selected();
    if (index < 0) return;
    std::vector<Entry> after = entries_;
    after.erase(after.begin() + index);
    Change(tr("Delete %1")
               .arg(QString::fromLatin1(MeasureKindName(entries_[size_t(index)].Shape.Shape))),
           std::move(after), -1);
}

void TMeasuring::DeleteAll()
{
    if (!entries_.empty()) Change(tr("Delete every shape"), {}, -1);
}

void TMeasuring::SetStackStatistics(bool on)
{
    if (stackStatistics_ == on) return;
    stackStatistics_ = on;
    if (stack_->isChecked() != on) stack_->setChecked(on);
    UpdateTable();
}

void TMeasuring::Restore(const std::vector<Entry>& entries, int selected)
{
    entries_ = entries;
    selected_ = IndexOf(selected) >= 0 ? selected : -1;
    editing_ = false;
    for (const Entry& entry : entries_)
        nextId_ = std::max(nextId_, entry.Id + 1);
    ShowDocks();
    Save();
    Refresh();
    emit ShapesChanged();
}

bool TMeasuring::VolumeChanged(const QString& fileName, QString& error)
{
    undo_->clear();
    entries_.clear();
    selected_ = -1;
    editing_ = false;
    fileName_ = fileName;
    saveError_.clear();
    std::vector<MeasureShape> shapes;
    writable_ = fileName.isEmpty() || LoadShapes(fileName, shapes, error);
    for (const MeasureShape& shape : shapes)
        entries_.push_back({nextId_++, shape});
    ShowDocks();
    emit ShapesChanged();
    return writable_;
}

void TMeasuring::ShowDocks()
{
    // With the first shapes (not while one is drawn: the views would move under it).
    if (entries_.empty()) return;
    const bool first = !tableDock_->isVisible() && !profileDock_->isVisible();
    tableDock_->show();
    for (const Entry& entry : entries_)
        if (entry.Shape.Shape == MeasureShape::Line) profileDock_->show();
    // Room enough for a few rows and a plot, the views keeping the most.
    if (first) {
        window_.resizeDocks({tableDock_}, {150}, Qt::Vertical);
        window_.resizeDocks({profileDock_}, {320}, Qt::Horizontal);
    }
}

void TMeasuring::Save()
{
    if (fileName_.isEmpty() || !writable_) return;
    QString error;
    if (SaveShapes(fileName_, Shapes(), error)) {
        saveError_.clear();
        return;
    }
    // Said once per reason, not at every change.
    if (error != saveError_) emit SaveFailed(error);
    saveError_ = error;
}

void TMeasuring::Refresh()
{
    ShowShapes();
    Remeasure();
}

void TMeasuring::Remeasure()
{
    UpdateTable();
    UpdateProfile();
}

// --- measuring -----------------------------------------------------------------------------

std::array<double, 2> TMeasuring::SliceSpacing(SlicePlane plane) const
{
    const VoxelSpacing& spacing = window_.Spacing();
    const auto size = [&](int axis) {
        const double s = spacing.Size[size_t(axis)];
        return spacing.Known && s > 0 && std::isfinite(s) ? s : 1.0;
    };
    return {size(LinkedZoom::AcrossAxis(plane)), size(LinkedZoom::DownAxis(plane))};
}

double TMeasuring::Length(const MeasureShape& shape) const
{
    const std::array<double, 2> size = SliceSpacing(shape.View);
    return std::hypot((shape.X1 - shape.X0) * size[0], (shape.Y1 - shape.Y0) * size[1]);
}

QString TMeasuring::LengthUnit() const
{
    const VoxelSpacing& spacing = window_.Spacing();
    const QString unit = QString::fromStdString(spacing.Units[0]);
    return spacing.Known && !unit.isEmpty() ? unit : tr("voxels");
}

namespace {

/** Samples of one slice around a shape, read from memory or from the file. */
struct ShapeSamples
{
    std::vector<uint8_t> Buffer;
    SampleBlock Block;
    SampleSlice Slice;
    double U0 = 0, V0 = 0; ///< the slice's origin in slice coordinates of the whole volume
};

/**
 * The samples of channel `c` at time point `t` that `shape` covers: its slice of a volume
 * in memory, else the box around it read from the file (through every slice with
 * `stack`). False when they cannot be had.
 */
bool SamplesOf(const TOrthoWindow& window, const MeasureShape& shape, int c, bool stack,
               ShapeSamples& out)
{
    const int t = window.TimePoint();
    PlaneSource* source = window.LargeSource();
    if (!source) {
        out.Block = StackBlock(window.Stack(), c, t);
        out.Slice = SliceOf(out.Block, shape.View, shape.Slice);
        return !out.Block.Empty();
    }
    const std::array<int, 3> sizes = window.VolumeSizes();
    const int across = LinkedZoom::AcrossAxis(shape.View), down = LinkedZoom::DownAxis(shape.View);
    const int normal = 3 - across - down;
    std::array<int64_t, 3> lo{}, hi{};
    const auto span = [&](int axis, double a, double b) {
        lo[size_t(axis)] = std::max<int64_t>(int64_t(std::floor(std::min(a, b))) - 1, 0);
        hi[size_t(axis)] =
            std::min<int64_t>(int64_t(std::ceil(std::max(a, b))) + 2, sizes[size_t(axis)]);
    };
    span(across, shape.X0, shape.X1);
    span(down, shape.Y0, shape.Y1);
    lo[size_t(normal)] = stack ? 0 : shape.Slice;
    hi[size_t(normal)] = stack ? sizes[size_t(normal)] : shape.Slice + 1;
    if ((hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]) > MaxStackBoxVoxels) return false;
    std::string error;
    if (!ReadBlock(*source, c, t, lo, hi, out.Buffer, out.Block, error)) return false;
    out.Slice = SliceOf(out.Block, shape.View, shape.Slice);
    const std::array<int64_t, 2> origin = SliceOrigin(out.Block, shape.View);
    out.U0 = double(origin[0]), out.V0 = double(origin[1]);
    return !out.Block.Empty();
}

} // namespace

MeasureRow TMeasuring::Measure(const MeasureShape& shape, int c, bool stack) const
{
    MeasureRow row;
    row.Shape = shape;
    row.Channel = c + 1;
    row.Frame = window_.TimePoint() + 1;
    row.Stack = stack;
    const std::array<double, 2> size = SliceSpacing(shape.View);
    const double du = (shape.X1 - shape.X0) * size[0], dv = (shape.Y1 - shape.Y0) * size[1];
    if (shape.Shape == MeasureShape::Line) row.Length = Length(shape);
    if (shape.Shape == MeasureShape::Rect) row.Area = std::abs(du * dv);
    ShapeSamples samples;
    if (!SamplesOf(window_, shape, c, stack, samples)) return row;
    const double u0 = shape.X0 - samples.U0, v0 = shape.Y0 - samples.V0;
    const double u1 = shape.X1 - samples.U0, v1 = shape.Y1 - samples.V0;
    RegionStats stats;
    if (shape.Shape == MeasureShape::Line) {
        // The statistics of the profile's samples.
        const std::vector<double> profile = LineProfile(samples.Slice, u0, v0, u1, v1);
        for (const double value : profile) {
            if (std::isnan(value)) continue;
            stats.Min = stats.Count == 0 ? value : std::min(stats.Min, value);
            stats.Max = stats.Count == 0 ? value : std::max(stats.Max, value);
            stats.Sum += value, ++stats.Count;
        }
        if (stats.Count > 0) stats.Mean = stats.Sum / double(stats.Count);
        double squares = 0;
        for (const double value : profile)
            if (!std::isnan(value)) squares += (value - stats.Mean) * (value - stats.Mean);
        if (stats.Count > 1) stats.Sd = std::sqrt(squares / double(stats.Count - 1));
    } else if (shape.Shape == MeasureShape::Point) {
        const double value = PointSample(samples.Slice, u0, v0);
        if (std::isnan(value)) return row;
        stats.Count = 1, stats.Sum = stats.Mean = stats.Min = stats.Max = value;
    } else {
        stats = stack ? StackRectStats(samples.Block, shape.View, u0, v0, u1, v1)
                      : RectStats(samples.Slice, u0, v0, u1, v1);
    }
    row.Count = stats.Count;
    row.Mean = stats.Mean, row.Sd = stats.Sd, row.Min = stats.Min, row.Max = stats.Max;
    row.Sum = stats.Count > 0 ? stats.Sum : MeasureRow::NaN;
    return row;
}

bool TMeasuring::LineSamples(const MeasureShape& shape, int c, std::vector<double>& distance,
                             std::vector<double>& samples) const
{
    ShapeSamples read;
    if (!SamplesOf(window_, shape, c, false, read)) return false;
    samples = LineProfile(read.Slice, shape.X0 - read.U0, shape.Y0 - read.V0, shape.X1 - read.U0,
                          shape.Y1 - read.V0);
    // Unit steps in voxels along the line; distances in the file's units.
    const double voxels = LineLength(shape.X0, shape.Y0, shape.X1, shape.Y1);
    const double length = Length(shape);
    distance.resize(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        distance[i] = voxels > 0 ? std::min(double(i), voxels) / voxels * length : 0.0;
    return true;
}

QString TMeasuring::Label(const MeasureShape& shape) const
{
    const int c = window_.ActiveChannel();
    if (shape.Shape == MeasureShape::Line)
        return Short(Length(shape)) + QLatin1Char(' ') + LengthUnit();
    if (shape.Shape == MeasureShape::Rect) {
        const MeasureRow row = Measure(shape, c, false);
        return tr("n %1  mean %2  sd %3").arg(row.Count).arg(Short(row.Mean), Short(row.Sd));
    }
    // A point: every channel's sample.
    if (window_.Channels() == 1) return Short(Measure(shape, 0, false).Mean);
    QStringList values;
    for (int channel = 0; channel < window_.Channels(); ++channel)
        values << QStringLiteral("C%1 %2")
                      .arg(channel + 1)
                      .arg(Short(Measure(shape, channel, false).Mean));
    return values.join(QStringLiteral(" · "));
}

// --- showing -------------------------------------------------------------------------------

void TMeasuring::ShowShapes()
{
    for (SlicePlane plane : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
        std::vector<TSliceView::Shape> shown;
        const int position = window_.Position(plane);
        for (const Entry& stored : entries_) {
            const Entry& entry = editing_ && stored.Id == edited_.Id ? edited_ : stored;
            const MeasureShape& shape = entry.Shape;
            if (shape.View != plane || shape.Slice != position) continue;
            shown.push_back({entry.Id, TSliceView::ShapeKind(shape.Shape), shape.X0, shape.Y0,
                             shape.X1, shape.Y1, Label(shape)});
        }
        window_.View(plane)->SetShapes(shown, selected_);
    }
    delete_->setEnabled(selected_ >= 0);
}

void TMeasuring::UpdateTable()
{
    std::vector<MeasureRow> rows;
    for (const Entry& entry : entries_)
        for (int c = 0; c < window_.Channels(); ++c) {
            rows.push_back(Measure(entry.Shape, c, false));
            if (stackStatistics_ && entry.Shape.Shape == MeasureShape::Rect)
                rows.push_back(Measure(entry.Shape, c, true));
        }
    const VoxelSpacing& spacing = window_.Spacing();
    table_->SetUnits(spacing.Known ? QString::fromStdString(spacing.Units[0]) : QString());
    table_->SetRows(std::move(rows));
}

void TMeasuring::UpdateProfile(const MeasureShape* line)
{
    // The line selected, else the last one drawn.
    int index = Selected();
    if (index < 0 || entries_[size_t(index)].Shape.Shape != MeasureShape::Line)
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].Shape.Shape == MeasureShape::Line) index = int(i);
    if (!line && index >= 0 && entries_[size_t(index)].Shape.Shape == MeasureShape::Line)
        line = &(editing_ && edited_.Id == entries_[size_t(index)].Id ? edited_
                                                                      : entries_[size_t(index)])
                    .Shape;
    if (!line) {
        profile_->Clear();
        return;
    }
    std::vector<double> distance;
    std::vector<std::vector<double>> samples;
    std::vector<uint32_t> colours;
    QStringList names;
    for (int c = 0; c < window_.Channels(); ++c) {
        std::vector<double> values;
        if (!LineSamples(*line, c, distance, values)) continue;
        samples.push_back(std::move(values));
        // A channel alone in the shapes' yellow, several in their colours.
        colours.push_back(window_.Channels() == 1 ? 0xFFD700 : window_.ChannelColour(c));
        names << window_.ChannelName(c);
    }
    if (samples.empty()) {
        profile_->Clear();
        return;
    }
    profile_->SetProfile(std::move(distance), std::move(samples), std::move(colours), names,
                         LengthUnit());
}

// --- the views' events ---------------------------------------------------------------------

void TMeasuring::ShapeDrawn(SlicePlane plane, int kind, double x0, double y0, double x1, double y1,
                            bool finished)
{
    MeasureShape shape;
    shape.Shape = MeasureShape::Kind(kind);
    shape.View = plane;
    shape.Slice = window_.Position(plane);
    shape.X0 = x0, shape.Y0 = y0, shape.X1 = x1, shape.Y1 = y1;
    if (!finished) {
        if (shape.Shape == MeasureShape::Line) UpdateProfile(&shape);
        return;
    }
    // A line or rectangle needs some extent: a click alone draws nothing.
    const bool empty = shape.Shape == MeasureShape::Line
                           ? LineLength(x0, y0, x1, y1) < 0.5
                           : shape.Shape == MeasureShape::Rect &&
                                 (std::abs(x1 - x0) < 0.5 || std::abs(y1 - y0) < 0.5);
    if (empty) {
        UpdateProfile();
        return;
    }
    AddShape(shape);
}

void TMeasuring::ShapeEdited(SlicePlane, int id, double x0, double y0, double x1, double y1,
                             bool finished)
{
    const int index = IndexOf(id);
    if (index < 0) return;
    Entry entry = entries_[size_t(index)];
    entry.Shape.X0 = x0, entry.Shape.Y0 = y0, entry.Shape.X1 = x1, entry.Shape.Y1 = y1;
    if (!finished) {
        editing_ = true;
        edited_ = entry;
        ShowShapes();
        UpdateProfile();
        return;
    }
    editing_ = false;
    if (entry == entries_[size_t(index)]) {
        Refresh();
        return;
    }
    std::vector<Entry> after = entries_;
    after[size_t(index)] = entry;
    Change(tr("Move %1").arg(QString::fromLatin1(MeasureKindName(entry.Shape.Shape))),
           std::move(after), id);
}
