#include "OrthoWindow.h"

#include "Composite.h"
#include "ContrastStrip.h"
#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "Measuring.h"
#include "MessageText.h"
#include "MultiView.h"
#include "SliceView.h"
#include "Spectrum.h"
#include "SpectrumPanel.h"
#include "StreamFigure.h"
#include "VolumeReader.h"
#include "ZoomPanel.h"
#include "imgdraw.h"
#include "ColourMap.h"
#include "FigureExport.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QActionGroup>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QWidgetAction>

#include <charconv>
#include <cmath>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr SlicePlane Planes[3] = {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side};
/** Crosshair colours (0x00BBGGRR) of the planes at a fixed x, y and z. */
constexpr uint32_t ColorX = 0x3C3CFF; // red
constexpr uint32_t ColorY = 0x00D7FF; // yellow
constexpr uint32_t ColorZ = 0xFFB43C; // light blue
/** Tasks shorter than this run on the interface thread. */
constexpr double WorkerThreshold = 0.1;
constexpr int MaxRecentFiles = 8;
/** The widest the status bar writes a task's text and a load's warning (pixels). */
constexpr int MaxTaskTextWidth = 300;
constexpr int MaxWarningWidth = 380;
/** The widest a recent file's folder is written in the menu (pixels). */
constexpr int MaxRecentFolderWidth = 420;
/** Volumes of at most this many samples are measured on the interface thread. */
constexpr int64_t QuickStatsSamples = int64_t(1) << 22;
/** The most time points whose histograms are kept. */
constexpr size_t MaxStatsTimePoints = 32;
/** The frame rate playing starts with, in time points a second. */
constexpr int DefaultFrameRate = 5;
/** How often (ms) the window looks for what the readers of a large volume brought, besides being
 * told. */
constexpr int PollMs = 40;
/** The memory slices of large volumes may keep (MiB): default and bounds of the setting. */
constexpr int DefaultCacheMiB = 512;
constexpr int MinCacheMiB = 64;
constexpr int MaxCacheMiB = 1536;

const char* PlaneName(SlicePlane plane)
{
    switch (plane) {
    case SlicePlane::Top:
        return "XY";
    case SlicePlane::Front:
        return "XZ";
    default:
        return "ZY";
    }
}

/** The axis letter of the position of `plane`. */
char PlaneAxis(SlicePlane plane)
{
    return plane == SlicePlane::Top ? 'z' : plane == SlicePlane::Front ? 'y' : 'x';
}

QString Number(double value)
{
    return QString::number(value, 'g', 6);
}

/**
 * `value` as the inspector writes a value of the volume: whole numbers in full without
 * exponent (30437217, 3000000000); others of float samples (`floatSamples`) as the
 * shortest text that reads back as the same float, else as the same double.
 */
/** A row of `menu` holding a label and a spin box of `minimum` … `maximum`; the box. */
QSpinBox* AddSpinBoxRow(QMenu* menu, const QString& label, int minimum, int maximum)
{
    auto* action = new QWidgetAction(menu);
    auto* row = new QWidget(menu);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 2, 8, 2);
    layout->addWidget(new QLabel(label, row));
    auto* box = new QSpinBox(row);
    box->setRange(minimum, maximum);
    layout->addWidget(box);
    action->setDefaultWidget(row);
    menu->addAction(action);
    return box;
}

QString ValueText(double value, bool floatSamples)
{
    if (std::isnan(value)) return QStringLiteral("nan");
    if (floatSamples) value = double(float(value)); // what the samples can hold
    if (std::isinf(value)) return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    // Whole numbers in full: 32-bit counts and unsigned counts kept as floats alike.
    if (value == std::trunc(value) && std::abs(value) < 1e20)
        return QString::number(value + 0.0, 'f', 0); // + 0.0: no "-0"
    char text[64];
    const std::to_chars_result end = floatSamples
                                         ? std::to_chars(text, text + sizeof text, float(value))
                                         : std::to_chars(text, text + sizeof text, value);
    return QString::fromLatin1(text, int(end.ptr - text));
}

/** A square of `colour` (0xRRGGBB) with a dark edge, for a channel's button. */
QIcon Swatch(uint32_t colour)
{
    QPixmap pixmap(12, 12);
    pixmap.fill(QColor(0x40, 0x40, 0x40));
    QPainter painter(&pixmap);
    painter.fillRect(1, 1, 10, 10, QColor::fromRgb(QRgb(colour)));
    return QIcon(pixmap);
}

/** The worker thread yields to the interface: a nice value of 10 for this thread only. */
void LowerThisThreadsPriority()
{
    setpriority(PRIO_PROCESS, pid_t(gettid()), 10);
}

} // namespace

/** One load or spectrum on the worker thread. */
struct TOrthoWindow::Task
{
    QString What;
    bool IsLoad = false;
    QElapsedTimer Started;
    /** What the spectrum cell followed before this spectrum; restored on a cancel. */
    TOrthoWindow::SpectrumSubject Previous = TOrthoWindow::SubjectLine;
};

/** What a load brings back from the worker thread. */
struct TOrthoWindow::LoadResult
{
    VolumeStack Stack;
    /** The source of a volume that does not fit in memory, instead of Stack. */
    std::unique_ptr<PlaneSource> Source;
    StackVoxels Voxels;             ///< of channel 1 at time point 1
    std::vector<VolumeStats> Stats; ///< of every channel at time point 1
    bool Loaded = false;            ///< the stack was read (perhaps with a warning)
    std::string Message;

    /**
     * Makes the voxels of the first volume and measures every channel at the first time
     * point, reporting progress from `from` on. A first volume that holds no finite
     * sample fails the load when it is the only one, else gives voxels of 0 and a
     * warning. False when cancelled.
     */
    bool Prepare(TBackgroundTask::Token& task, double from)
    {
        const StackLayout& layout = Stack.Layout();
        std::string reduced;
        try {
            if (!Voxels.Make(Stack, 0, 0, reduced)) {
                if (layout.VolumeCount() == 1) {
                    Loaded = false;
                    Message = std::move(reduced);
                    return true;
                }
                ByteVolume blank;
                blank.Allocate(layout.SizeX, layout.SizeY, layout.SizeZ);
                Voxels.Adopt(std::move(blank));
                reduced = "channel 1 at time point 1: " + reduced;
            }
        } catch (const std::bad_alloc&) {
            Loaded = false;
            Message = "not enough memory for the 8-bit voxels";
            return true;
        }
        // The reduction's warning first, then the reader's own.
        if (!reduced.empty()) Message = Message.empty() ? reduced : reduced + "; " + Message;
        const int channels = layout.Channels;
        for (int c = 0; c < channels; ++c) {
            VolumeStats stats;
            stats.Histogram = ComputeHistogram(Stack, c, 0, [&](double fraction) {
                task.Report(from + (1 - from) * (c + fraction) / channels);
                return !task.Cancelled();
            });
            if (task.Cancelled()) return false;
            stats.Integers = WholeValues(Stack, c, 0);
            stats.Ready = true;
            Stats.push_back(std::move(stats));
        }
        return true;
    }
};

TOrthoWindow::TOrthoWindow(QWidget* parent) : QMainWindow(parent)
{
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAcceptDrops(true);
    resize(1100, 860);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    viewArea_ = new QWidget(central);
    viewArea_->installEventFilter(this);
    layout->addWidget(viewArea_, 1);

    // The cells' controls are the grid's siblings, which it places over its cells.
    multiView_ = new TMultiView(viewArea_);
    multiView_->SetColCount(2);
    multiView_->SetRowCount(2);
    multiView_->SetColorPushed(0x7A4A1F);       // dark blue
    multiView_->SetColorPushedText(0xFFFFFF);   // white
    multiView_->SetColorReleased(0xE0E0E0);     // light grey
    multiView_->SetColorReleasedText(0x202020); // near black
    multiView_->SetButtonHeight(20);
    for (SlicePlane plane : Planes) {
        auto* view = new TSliceView(plane, viewArea_);
        views_[size_t(plane)] = view;
        multiView_->Client(CellOf(plane))->SetControl(view->Panel());
        connect(view, &TSliceView::Clicked, this,
                [this, plane](int u, int v) { ViewClicked(plane, u, v); });
        connect(view, &TSliceView::PointerAt, this,
                [this, plane](bool inside, int u, int v) { PointerAt(plane, inside, u, v); });
        connect(view, &TSliceView::CrosshairDragged, this,
                [this, plane](int axis, int value) { CrosshairDragged(plane, axis, value); });
        connect(view, &TSliceView::WindowLevelDragged, this, &TOrthoWindow::WindowLevelDragged);
        connect(view->Panel(), &TZoomPanel::ZoomChanged, this,
                [this, plane] { ViewZoomed(plane); });
        view->Panel()->installEventFilter(this);
    }
    spectrum_ = new TSpectrumPanel(viewArea_);
    multiView_->Client(SpectrumCell)->SetControl(spectrum_);
    multiView_->Client(SpectrumCell)->SetCaption(tr("Spectrum"));
    multiView_->SetResizeClients(true);
    for (int cell : {TopCell, SideCell, FrontCell, SpectrumCell})
        multiView_->Client(cell)->Button()->installEventFilter(this);
    connect(spectrum_->LineButton(), &QPushButton::clicked, this,
            [this] { ComputeSpectrum(SubjectLine); });
    connect(spectrum_->PlaneButton(), &QPushButton::clicked, this,
            [this] { ComputeSpectrum(SubjectPlane); });
    connect(spectrum_->VolumeButton(), &QPushButton::clicked, this,
            [this] { ComputeSpectrum(SubjectVolume); });

    BuildChannelRow(central, layout);
    BuildTimeRow(central, layout);
    auto* row = new QHBoxLayout;
    BuildContrastRow(central, row);
    layout->addLayout(row);
    setCentralWidget(central);

    voxelLabel_ = new QLabel(this);
    // The voxel text takes the room left and never widens the window.
    voxelLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(voxelLabel_, 1);
    // A load's warning stays beside the voxel text until the next volume comes.
    warningBox_ = new QWidget(this);
    auto* warningRow = new QHBoxLayout(warningBox_);
    warningRow->setContentsMargins(0, 0, 0, 0);
    warningRow->setSpacing(4);
    auto* warningIcon = new QLabel(warningBox_);
    const int iconSize = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    warningIcon->setPixmap(
        style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(iconSize));
    warningLabel_ = new QLabel(warningBox_);
    warningRow->addWidget(warningIcon);
    warningRow->addWidget(warningLabel_);
    statusBar()->addPermanentWidget(warningBox_);
    warningBox_->hide();
    // The task's text has a label of its own: a progress bar's text neither elides
    // nor stays on one line.
    taskLabel_ = new QLabel(this);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 1000);
    progress_->setFormat(QStringLiteral("%p%"));
    progress_->setFixedWidth(140);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setFocusPolicy(Qt::NoFocus);
    statusBar()->addPermanentWidget(taskLabel_);
    statusBar()->addPermanentWidget(progress_);
    statusBar()->addPermanentWidget(cancel_);
    taskLabel_->hide();
    progress_->hide();
    cancel_->hide();
    connect(cancel_, &QPushButton::clicked, this, &TOrthoWindow::CancelTask);
    connect(&worker_, &TBackgroundTask::Progress, this, &TOrthoWindow::ShowProgress);

    pollTimer_ = new QTimer(this);
    pollTimer_->setInterval(PollMs);
    connect(pollTimer_, &QTimer::timeout, this, &TOrthoWindow::PollLarge);

    measuring_ = new TMeasuring(*this);
    addToolBar(measuring_->ToolBar());
    addDockWidget(Qt::RightDockWidgetArea, measuring_->ProfileDock());
    addDockWidget(Qt::BottomDockWidgetArea, measuring_->TableDock());
    measuring_->ProfileDock()->hide();
    measuring_->TableDock()->hide();
    connect(measuring_, &TMeasuring::SaveFailed, this, [this](const QString& reason) {
        statusBar()->showMessage(tr("Cannot write the shapes beside the file: %1").arg(reason),
                                 10000);
    });

    BuildMenus();
    ShowAll();

    QSettings settings;
    restoreGeometry(settings.value(QStringLiteral("inspector/geometry")).toByteArray());
    restoreState(settings.value(QStringLiteral("inspector/state")).toByteArray());
}

TOrthoWindow::~TOrthoWindow()
{
    // A box losing the focus as the window goes would set the window of a window gone.
    for (QLineEdit* edit : windowEdits_)
        disconnect(edit, nullptr, this, nullptr);
    // The workers go first (members destroyed last to first): they cancel and join.
}

TOrthoWindow::Cell TOrthoWindow::CellOf(SlicePlane plane)
{
    switch (plane) {
    case SlicePlane::Top:
        return TopCell;
    case SlicePlane::Side:
        return SideCell;
    default:
        return FrontCell;
    }
}

// --- building ----------------------------------------------------------------------------

void TOrthoWindow::BuildContrastRow(QWidget* parent, QBoxLayout* row)
{
    contrast_ = new TContrastStrip(parent);
    connect(contrast_, &TContrastStrip::WindowDragged, this,
            [this](double min, double max) { SetWindow(min, max); });
    auto* autoButton = new QPushButton(tr("Auto"), parent);
    autoButton->setToolTip(tr("Window from the 0.1 and 99.9 percentiles of the values"));
    auto* fullButton = new QPushButton(tr("Full range"), parent);
    fullButton->setToolTip(tr("Window over every value the volume holds"));
    colour_ = new QComboBox(parent);
    // The maps of a channel shown alone: the standard ones, then channel colours.
    for (const QString& name :
         {tr("Grey"), tr("Inverted grey"), tr("Viridis"), tr("Magma"), tr("Fire"), tr("HiLo"),
          tr("Green"), tr("Red"), tr("Blue"), tr("Cyan"), tr("Magenta"), tr("Yellow")})
        colour_->addItem(name);
    colour_->setToolTip(tr("Colour map of a channel shown alone; HiLo shows the values the "
                           "window clips in blue (lowest) and red (highest)"));
    // The window's bounds typed, beside the handles they move.
    for (int i = 0; i < 2; ++i) {
        auto* edit = new QLineEdit(parent);
        edit->setFixedWidth(90);
        edit->setFocusPolicy(Qt::ClickFocus);
        edit->setAlignment(i == 0 ? Qt::AlignRight : Qt::AlignLeft);
        edit->setToolTip(i == 0 ? tr("Lowest value of the display window: shown black")
                                : tr("Highest value of the display window: shown at full colour"));
        connect(edit, &QLineEdit::editingFinished, this, [this, i] { WindowTyped(i); });
        windowEdits_[size_t(i)] = edit;
    }
    statsLabel_ = new QLabel(parent);
    statsLabel_->hide();
    for (QWidget* w : {static_cast<QWidget*>(autoButton), static_cast<QWidget*>(fullButton),
                       static_cast<QWidget*>(colour_)})
        w->setFocusPolicy(Qt::NoFocus);
    connect(autoButton, &QPushButton::clicked, this, &TOrthoWindow::AutoWindow);
    connect(fullButton, &QPushButton::clicked, this, &TOrthoWindow::FullWindow);
    connect(colour_, &QComboBox::currentIndexChanged, this,
            [this](int index) { ColourChosen(index); });
    row->addWidget(windowEdits_[0]);
    row->addWidget(contrast_, 1);
    row->addWidget(windowEdits_[1]);
    row->addWidget(statsLabel_);
    row->addWidget(autoButton);
    row->addWidget(fullButton);
    row->addWidget(colour_);
}

void TOrthoWindow::BuildChannelRow(QWidget* parent, QBoxLayout* layout)
{
    channelRow_ = new QWidget(parent);
    channelLayout_ = new QHBoxLayout(channelRow_);
    channelLayout_->setContentsMargins(0, 0, 0, 0);
    channelLayout_->setSpacing(2);
    channelRow_->hide();
    layout->addWidget(channelRow_);
}

void TOrthoWindow::FillChannelRow()
{
    while (QLayoutItem* item = channelLayout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (!Composite()) {
        channelRow_->hide();
        return;
    }
    auto* label = new QLabel(tr("Channels"), channelRow_);
    channelLayout_->addWidget(label);
    channelLayout_->addSpacing(6);
    for (int c = 0; c < Channels(); ++c) {
        Channel& channel = channels_[size_t(c)];
        channel.Box = new QCheckBox(channelRow_);
        channel.Box->setChecked(channel.Visible);
        channel.Box->setFocusPolicy(Qt::NoFocus);
        channel.Box->setToolTip(tr("Show channel %1 (key %1)").arg(c + 1));
        connect(channel.Box, &QCheckBox::toggled, this,
                [this, c](bool on) { SetChannelVisible(c, on); });
        channel.Button = new QToolButton(channelRow_);
        channel.Button->setText(
            QString(channel.Name).replace(QLatin1Char('&'), QStringLiteral("&&")));
        channel.Button->setIcon(Swatch(channel.Colour));
        channel.Button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        channel.Button->setCheckable(true);
        channel.Button->setAutoRaise(true);
        channel.Button->setChecked(c == channel_);
        channel.Button->setFocusPolicy(Qt::NoFocus);
        channel.Button->setToolTip(tr("Contrast window and spectrum of %1").arg(channel.Name));
        connect(channel.Button, &QToolButton::clicked, this, [this, c] { SetActiveChannel(c); });
        channelLayout_->addWidget(channel.Box);
        channelLayout_->addWidget(channel.Button);
        channelLayout_->addSpacing(8);
    }
    channelLayout_->addStretch(1);
    channelRow_->show();
}

void TOrthoWindow::BuildTimeRow(QWidget* parent, QBoxLayout* layout)
{
    timeRow_ = new QWidget(parent);
    auto* row = new QHBoxLayout(timeRow_);
    row->setContentsMargins(0, 0, 0, 0);
    playButton_ = new QToolButton(timeRow_);
    playButton_->setCheckable(true);
    playButton_->setAutoRaise(true);
    playButton_->setFocusPolicy(Qt::NoFocus);
    playButton_->setIcon(style()->standardIcon(QStyle::SP_MediaPlay, nullptr, this));
    playButton_->setToolTip(tr("Play the time points"));
    connect(playButton_, &QToolButton::toggled, this, &TOrthoWindow::SetPlaying);
    timeSlider_ = new QSlider(Qt::Horizontal, timeRow_);
    timeSlider_->setFocusPolicy(Qt::NoFocus);
    timeSlider_->setPageStep(1);
    connect(timeSlider_, &QSlider::valueChanged, this, &TOrthoWindow::SetTimePoint);
    timeLabel_ = new QLabel(timeRow_);
    timeLabel_->setMinimumWidth(70);
    frameRate_ = new QSpinBox(timeRow_);
    frameRate_->setRange(1, 60);
    frameRate_->setValue(DefaultFrameRate);
    frameRate_->setSuffix(tr(" fps"));
    frameRate_->setFocusPolicy(Qt::ClickFocus);
    frameRate_->setToolTip(tr("Time points a second while playing"));
    playTimer_ = new QTimer(this);
    playTimer_->setInterval(1000 / DefaultFrameRate);
    connect(frameRate_, &QSpinBox::valueChanged, this,
            [this](int fps) { playTimer_->setInterval(1000 / std::max(fps, 1)); });
    connect(playTimer_, &QTimer::timeout, this,
            [this] { SetTimePoint(time_ + 1 < TimePoints() ? time_ + 1 : 0); });
    row->addWidget(playButton_);
    row->addWidget(timeSlider_, 1);
    row->addWidget(timeLabel_);
    row->addWidget(frameRate_);
    timeRow_->hide();
    layout->addWidget(timeRow_);
}

void TOrthoWindow::BuildMenus()
{
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* open = file->addAction(tr("&Open…"), this, [this] {
        const QString name = QFileDialog::getOpenFileName(
            this, tr("Open volume"), QFileInfo(fileName_).absolutePath(),
            tr("Volumes (*.tif *.tiff *.btf *.tf8 *.ics *.ids *.vol *.raw);;TIFF stacks (*.tif "
               "*.tiff *.btf *.tf8);;ICS images (*.ics);;Raw volumes (*.vol *.raw);;All files "
               "(*)"));
        if (!name.isEmpty()) OpenFile(name);
    });
    open->setShortcut(QKeySequence::Open);
    recentMenu_ = file->addMenu(tr("Open &Recent"));
    recentMenu_->setToolTipsVisible(true);
    file->addAction(tr("&Export view…"), this, &TOrthoWindow::AskExport)
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    file->addSeparator();
    file->addAction(tr("&Close"), this, &QWidget::close)->setShortcut(QKeySequence::Close);
    UpdateRecentMenu();

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    QAction* undo = measuring_->UndoStack()->createUndoAction(edit, tr("&Undo"));
    undo->setShortcut(QKeySequence::Undo);
    QAction* redo = measuring_->UndoStack()->createRedoAction(edit, tr("&Redo"));
    // Ctrl+Shift+Z as well as the platform's key (Ctrl+Y on some).
    QList<QKeySequence> redoKeys = QKeySequence::keyBindings(QKeySequence::Redo);
    const QKeySequence shiftZ(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);
    if (!redoKeys.contains(shiftZ)) redoKeys.append(shiftZ);
    redo->setShortcuts(redoKeys);
    edit->addAction(undo);
    edit->addAction(redo);
    edit->addSeparator();
    edit->addAction(measuring_->DeleteAction());
    edit->addAction(tr("Delete every shape"), measuring_, &TMeasuring::DeleteAll);
    QMenu* tools = edit->addMenu(tr("&Tool"));
    for (TMeasuring::Tool tool :
         {TMeasuring::Navigate, TMeasuring::DrawLine, TMeasuring::DrawRect, TMeasuring::DrawPoint})
        tools->addAction(measuring_->ToolAction(tool));
    edit->addAction(measuring_->StackAction());

    QMenu* view = menuBar()->addMenu(tr("&View"));
    squareAction_ = view->addAction(tr("&Square voxels"));
    squareAction_->setCheckable(true);
    connect(squareAction_, &QAction::toggled, this, &TOrthoWindow::SetSquareVoxels);
    view->addAction(tr("Voxel si&ze…"), this, &TOrthoWindow::AskSpacing);
    QAction* zoom = view->addAction(tr("Show the view &alone"), this, [this] {
        const SlicePlane plane = KeyPlane();
        ToggleZoom(multiView_->Zoomed() ? multiView_->ActiveClient() : CellOf(plane));
    });
    zoom->setShortcut(QKeySequence(Qt::Key_F11));
    view->addAction(tr("&Fit"), this, &TOrthoWindow::FitViews)
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    view->addAction(tr("&1:1"), this, [this] { SetZoomLevel(1); })
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    // The memory kept of volumes read plane by plane: a setting of its own.
    view->addSeparator();
    cacheBox_ = AddSpinBoxRow(view, tr("Cache for large volumes"), MinCacheMiB, MaxCacheMiB);
    cacheBox_->setSingleStep(64);
    cacheBox_->setSuffix(tr(" MiB"));
    cacheBox_->setValue(CacheMiB());
    cacheBox_->setToolTip(tr("Memory that slices read from files larger than memory may keep"));
    connect(cacheBox_, &QSpinBox::valueChanged, this, [this](int mib) {
        QSettings().setValue(QStringLiteral("inspector/cacheMiB"), mib);
        if (lazy_) lazy_->SetCacheBytes(int64_t(mib) << 20);
    });

    // The slice keys act on the whole window, whichever control has the focus.
    struct Step
    {
        QKeyCombination key;
        int delta;
    };
    const Step steps[] = {{Qt::Key_PageUp, 1}, {Qt::Key_PageDown, -1}, {Qt::Key_Up, 1},
                          {Qt::Key_Right, 1},  {Qt::Key_Down, -1},     {Qt::Key_Left, -1}};
    for (const Step& step : steps)
        for (const bool shift : {false, true}) {
            auto* action = new QAction(this);
            const int delta = step.delta * (shift ? 10 : 1);
            action->setShortcut(shift ? QKeySequence(Qt::SHIFT | step.key.key())
                                      : QKeySequence(step.key));
            action->setShortcutContext(Qt::WindowShortcut);
            connect(action, &QAction::triggered, this,
                    [this, delta] { StepSlice(KeyPlane(), delta); });
            addAction(action);
        }
    // Keys 1 to 9 show and hide channels 1 to 9 of a composite.
    for (int c = 0; c < 9; ++c) {
        auto* action = new QAction(this);
        action->setShortcut(QKeySequence(Qt::Key(Qt::Key_1 + c)));
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, [this, c] {
            if (Composite() && c < Channels()) SetChannelVisible(c, !ChannelVisible(c));
        });
        addAction(action);
    }
}

// --- files ---------------------------------------------------------------------------------

void TOrthoWindow::OpenFile(const QString& fileName)
{
    const std::string name = QFile::encodeName(fileName).toStdString();
    StartTask(tr("Loading %1").arg(QFileInfo(fileName).fileName()), true,
              [this, name, fileName](TBackgroundTask::Token& task) -> std::function<void()> {
                  auto result = std::make_shared<LoadResult>();
                  // The header decides: a stack that does not fit in memory, with the 8-bit
                  // volume beside it, is read plane by plane from its file instead.
                  bool refused = false;
                  if (VolumeReadResult opened = OpenStackSource(name, result->Source);
                      opened.Loaded() && result->Source) {
                      const StackLayout& layout = result->Source->Layout();
                      int64_t samples = 0, bytes = 0;
                      const bool fits =
                          !__builtin_mul_overflow(layout.VolumeBytes(), layout.VolumeCount(),
                                                  &samples) &&
                          !__builtin_add_overflow(samples, layout.VoxelCount(), &bytes) &&
                          FitsInMemory(bytes);
                      if (!fits && result->Source->RandomAccess()) {
                          result->Loaded = true;
                          result->Message = std::move(opened.Message);
                          if (task.Cancelled()) return {};
                          return [this, result, fileName] { AdoptLarge(*result, fileName); };
                      }
                      if (!fits) {
                          // Compressed data are read from their start, never a plane alone.
                          refused = true;
                          result->Message =
                              QStringLiteral("its samples take more memory than this machine "
                                             "gives (%1 of %2), and its compressed data can "
                                             "only be read from the start, not plane by plane")
                                  .arg(QLocale::c().formattedDataSize(samples),
                                       QLocale::c().formattedDataSize(MemoryBudget()))
                                  .toStdString();
                      }
                  }
                  // A file that can only be read whole has been read already.
                  bool readWhole = false;
                  if (auto* whole = dynamic_cast<StackPlaneSource*>(result->Source.get());
                      !refused && whole && whole->TakeStack(result->Stack)) {
                      result->Loaded = readWhole = true;
                      result->Message = whole->Warning();
                      if (task.Cancelled() || !result->Prepare(task, 0.8)) return {};
                  }
                  result->Source.reset();
                  if (!refused && !readWhole) {
                      StackReadOptions options;
                      options.Progress = [&task](double fraction) {
                          task.Report(fraction * 0.8);
                          return !task.Cancelled();
                      };
                      VolumeReadResult read = ReadStack(name, result->Stack, &options);
                      result->Message = std::move(read.Message);
                      result->Loaded = read.Loaded();
                      if (result->Loaded && !task.Cancelled() && !result->Prepare(task, 0.8))
                          return {};
                  }
                  if (task.Cancelled()) return {};
                  return [this, result, fileName] {
                      if (!result->Loaded) {
                          const QString text =
                              tr("Cannot load '%1': %2")
                                  .arg(fileName, QString::fromStdString(result->Message));
                          statusBar()->showMessage(text, 10000);
                          auto* box = new QMessageBox(QMessageBox::Warning, tr("Cannot load"), text,
                                                      QMessageBox::Ok, this);
                          box->setAttribute(Qt::WA_DeleteOnClose);
                          box->open();
                          return;
                      }
                      Adopt(*result, fileName, QFileInfo(fileName).fileName());
                  };
              });
}

void TOrthoWindow::ShowVolume(ByteVolume&& volume, const QString& name)
{
    auto given = std::make_shared<ByteVolume>(std::move(volume));
    auto result = std::make_shared<LoadResult>();
    result->Loaded = true;
    StartTask(tr("Measuring %1").arg(name), true,
              [this, given, result, name](TBackgroundTask::Token& task) -> std::function<void()> {
                  StackLayout layout;
                  layout.SizeX = given->SizeX;
                  layout.SizeY = given->SizeY;
                  layout.SizeZ = given->SizeZ;
                  result->Stack.Allocate(layout);
                  for (int z = 0; z < layout.SizeZ; ++z)
                      for (int y = 0; y < layout.SizeY; ++y) {
                          uint8_t* row = result->Stack.Row(0, 0, z, y);
                          if (given->StrideX == 1)
                              std::memcpy(row, given->VoxelPtr(0, y, z), size_t(layout.SizeX));
                          else
                              for (int x = 0; x < layout.SizeX; ++x)
                                  row[x] = given->Voxel(x, y, z);
                      }
                  given->Release();
                  if (!result->Prepare(task, 0) || task.Cancelled()) return {};
                  return [this, result, name] { Adopt(*result, QString(), name); };
              });
}

void TOrthoWindow::ShowStack(VolumeStack&& stack, const QString& name)
{
    auto result = std::make_shared<LoadResult>();
    result->Stack = std::move(stack);
    result->Loaded = true;
    StartTask(
        tr("Measuring %1").arg(name), true,
        [this, result, name](TBackgroundTask::Token& task) -> std::function<void()> {
            if (!result->Prepare(task, 0) || task.Cancelled()) return {};
            return [this, result, name] {
                if (result->Loaded)
                    Adopt(*result, QString(), name);
                else
                    statusBar()->showMessage(
                        tr("Cannot show %1: %2").arg(name, QString::fromStdString(result->Message)),
                        10000);
            };
        });
}

void TOrthoWindow::Adopt(LoadResult& result, const QString& fileName, const QString& name)
{
    LeaveVolume();
    stack_ = std::move(result.Stack);
    voxels_ = std::move(result.Voxels);
    const StackLayout& layout = stack_.Layout();
    spacing_ = layout.Spacing;
    channel_ = 0;
    time_ = 0;
    statsOrder_.assign(1, 0);
    fileName_ = fileName;
    volumeName_ = name;
    model_.SetStackVolume(&stack_, 0, 0);
    const int count = stack_.Empty() ? 1 : layout.Channels;
    channels_.resize(size_t(count));
    for (int c = 0; c < count; ++c) {
        Channel& channel = channels_[size_t(c)];
        NameChannel(channel, layout, c, count);
        if (size_t(c) < result.Stats.size()) channel.Stats[0] = std::move(result.Stats[size_t(c)]);
        if (count > 1) {
            channel.Model = std::make_unique<SliceModel>();
            channel.Model->SetStackVolume(&stack_, c, 0);
        }
        double min = 0, max = 255;
        if (AutoWindowOf(c, min, max)) SetChannelWindow(c, min, max);
    }
    ShowFirstTimePoint();
    ShowHistogram();
    ShowLoadWarning(name, QString::fromUtf8(QuoteBytes(result.Message).c_str()));
    if (!fileName.isEmpty()) AddRecentFile(fileName);
    TakeShapes(fileName);
    ShowAll();
    ComputeSpectrum(SubjectLine);
}

void TOrthoWindow::TakeShapes(const QString& fileName)
{
    QString error;
    if (!measuring_->VolumeChanged(fileName, error))
        statusBar()->showMessage(tr("The shapes beside the file were not read: %1").arg(error),
                                 10000);
}

void TOrthoWindow::LeaveVolume()
{
    // Nothing may read the present stack while it goes.
    statsWorker_.Cancel();
    statsTime_ = -1;
    SetPlaying(false);
    DropLarge();
    model_.SetVolume(nullptr);
    channels_.clear();
    voxels_.Clear();
}

void TOrthoWindow::DropLarge()
{
    if (!lazy_) return;
    pollTimer_->stop();
    for (Channel& channel : channels_)
        channel.Shown = {};
    for (TSliceView* view : views_)
        view->ShowSlice(nullptr);
    lazy_.reset();
    readFailure_.clear();
    spectrumWaits_ = false;
    statsLabel_->hide();
}

void TOrthoWindow::AdoptLarge(LoadResult& result, const QString& fileName)
{
    LeaveVolume();
    stack_.Clear();
    LazySlices::Options options;
    options.CacheBytes = int64_t(CacheMiB()) << 20;
    // What the readers bring is taken in at once, one look queued at a time; the timer
    // looks a few times a second besides.
    options.Published = [this] {
        if (!pollQueued_.exchange(true))
            QMetaObject::invokeMethod(this, &TOrthoWindow::PollLarge, Qt::QueuedConnection);
    };
    lazy_ = std::make_unique<LazySlices>(std::move(result.Source), options);
    const StackLayout& layout = lazy_->Layout();
    spacing_ = layout.Spacing;
    channel_ = 0;
    time_ = 0;
    statsOrder_.assign(1, 0);
    fileName_ = fileName;
    volumeName_ = QFileInfo(fileName).fileName();
    fileBytes_ = QFileInfo(fileName).size();
    largeChanges_ = 0;
    largePosition_[size_t(SlicePlane::Top)] = std::max(layout.SizeZ - 1, 0) / 2;
    largePosition_[size_t(SlicePlane::Front)] = std::max(layout.SizeY - 1, 0) / 2;
    largePosition_[size_t(SlicePlane::Side)] = std::max(layout.SizeX - 1, 0) / 2;
    const int count = std::max(layout.Channels, 1);
    channels_.resize(size_t(count));
    for (int c = 0; c < count; ++c) {
        Channel& channel = channels_[size_t(c)];
        NameChannel(channel, layout, c, count);
        // Until a histogram is counted: the whole range of bytes, else nothing yet.
        channel.Min = 0, channel.Max = 255;
    }
    ShowFirstTimePoint();
    ShowLarge();
    RequestStats();
    ShowHistogram();
    ShowStatsLabel();
    ShowLoadWarning(volumeName_, QString::fromUtf8(QuoteBytes(result.Message).c_str()));
    AddRecentFile(fileName);
    TakeShapes(fileName);
    ShowAll();
    pollTimer_->start();
    ComputeSpectrum(SubjectLine);
}

int TOrthoWindow::CacheMiB()
{
    const int mib =
        QSettings().value(QStringLiteral("inspector/cacheMiB"), DefaultCacheMiB).toInt();
    return std::clamp(mib, MinCacheMiB, MaxCacheMiB);
}

// --- what is shown ---------------------------------------------------------------------------

const StackLayout& TOrthoWindow::ShownLayout() const
{
    return lazy_ ? lazy_->Layout() : stack_.Layout();
}

int TOrthoWindow::TimePoints() const
{
    if (lazy_) return std::max(lazy_->Layout().Frames, 1);
    return stack_.Empty() ? 1 : stack_.Layout().Frames;
}

int TOrthoWindow::Positions(SlicePlane plane) const
{
    if (!lazy_) return model_.Positions(plane);
    const StackLayout& layout = lazy_->Layout();
    return plane == SlicePlane::Top     ? layout.SizeZ
           : plane == SlicePlane::Front ? layout.SizeY
                                        : layout.SizeX;
}

int TOrthoWindow::Position(SlicePlane plane) const
{
    return lazy_ ? largePosition_[size_t(plane)] : model_.Position(plane);
}

int TOrthoWindow::SliceWidth(SlicePlane plane) const
{
    if (!lazy_) return model_.SliceWidth(plane);
    return plane == SlicePlane::Side ? lazy_->Layout().SizeZ : lazy_->Layout().SizeX;
}

int TOrthoWindow::SliceHeight(SlicePlane plane) const
{
    if (!lazy_) return model_.SliceHeight(plane);
    return plane == SlicePlane::Front ? lazy_->Layout().SizeZ : lazy_->Layout().SizeY;
}

std::array<int, 3> TOrthoWindow::VoxelAt(SlicePlane plane, int u, int v) const
{
    if (!lazy_) return model_.VoxelAt(plane, u, v);
    return SliceVoxel(plane, Position(plane), u, v);
}

int TOrthoWindow::MoveTo(SlicePlane plane, int position)
{
    if (!lazy_) return model_.SetPosition(plane, position);
    int& at = largePosition_[size_t(plane)];
    at = std::clamp(position, 0, std::max(Positions(plane) - 1, 0));
    return at;
}

// --- volumes read plane by plane -----------------------------------------------------------

std::vector<int> TOrthoWindow::ReadChannels() const
{
    std::vector<int> channels{channel_};
    for (int c = 0; c < Channels(); ++c)
        if (c != channel_ && ChannelVisible(c)) channels.push_back(c);
    return channels;
}

void TOrthoWindow::ShowLarge()
{
    if (!lazy_) return;
    lazy_->Show(time_, ReadChannels(), Position(SlicePlane::Side), Position(SlicePlane::Front),
                Position(SlicePlane::Top));
}

void TOrthoWindow::PollLarge()
{
    pollQueued_ = false;
    if (!lazy_) return;
    const uint64_t changes = lazy_->Changes();
    if (changes == largeChanges_) return;
    largeChanges_ = changes;
    for (SlicePlane plane : Planes) {
        bool newer = false;
        for (int c = 0; c < Channels(); ++c)
            if (c == channel_ || ChannelVisible(c)) {
                const LazySlices::SliceImage slice = lazy_->Slice(plane, c, time_, Position(plane));
                newer = newer ||
                        (slice.Image && slice.Image != channels_[size_t(c)].Shown[size_t(plane)]);
            }
        if (newer) ShowView(plane);
    }
    ShowCaptions();
    TakeLargeStats();
    if (spectrumWaits_) ComputeSpectrum(subject_);
    if (const std::string failure = lazy_->Failure(); !failure.empty() && readFailure_.isEmpty())
        LargeFailed(QString::fromStdString(failure));
}

void TOrthoWindow::TakeLargeStats()
{
    bool shown = false;
    for (int c = 0; c < Channels(); ++c) {
        const LazySlices::Stats counted = lazy_->StatsOf(c, time_);
        Channel& channel = channels_[size_t(c)];
        VolumeStats& stats = channel.Stats[size_t(time_)];
        if (counted.Planes == 0 ||
            (stats.Ready && stats.Planes == counted.Planes && stats.RowStep == counted.RowStep))
            continue;
        stats.Histogram = counted.Histogram;
        stats.Integers = counted.Integers;
        stats.Ready = true;
        stats.Planes = counted.Planes;
        stats.RowStep = counted.RowStep;
        double min = 0, max = 0;
        if (channel.AutoWindow && AutoWindowOf(c, min, max)) SetChannelWindow(c, min, max);
        shown = shown || c == channel_ || Composite();
    }
    if (!shown) return;
    ShowHistogram();
    ShowStatsLabel();
    ApplyWindow();
}

void TOrthoWindow::ShowStatsLabel()
{
    if (!lazy_) {
        statsLabel_->hide();
        return;
    }
    const int planes = lazy_->Layout().SizeZ;
    const VolumeStats& stats = ActiveStats();
    QString text, tip;
    if (!stats.Ready) {
        text = tr("histogram: reading");
    } else if (stats.Planes >= planes && stats.RowStep == 1) {
        text = tr("histogram of all %1 planes").arg(planes);
    } else {
        text = tr("histogram from %1 of %2 planes").arg(stats.Planes).arg(planes);
        tip = tr("Counted from %1 planes spread evenly through the volume").arg(stats.Planes);
        if (stats.RowStep > 1) tip += tr(", every %1th row of each").arg(stats.RowStep);
        tip += tr("; the file is larger than memory");
    }
    statsLabel_->setText(text);
    statsLabel_->setToolTip(tip);
    statsLabel_->show();
}

void TOrthoWindow::ComputeLargeSpectrum(SpectrumSubject subject)
{
    const int z = Position(SlicePlane::Top), y = Position(SlicePlane::Front);
    if (subject == SubjectVolume) {
        // The figure alone, streamed through every plane on the worker thread.
        spectrumWaits_ = false;
        if (task_ && task_->IsLoad) return;
        const SpectrumSubject previous = task_ ? task_->Previous : subject_;
        const int c = channel_, t = time_;
        const int64_t planes = int64_t(lazy_->Layout().SizeZ);
        StartTask(tr("Figure of the volume"), false,
                  [this, c, t, planes](TBackgroundTask::Token& task) -> std::function<void()> {
                      // Every read asks whether to go on, and counts as progress (floating-
                      // point volumes are read twice: their bar fills twice).
                      std::atomic<int64_t> reads{0};
                      CancellableSource source(lazy_->Source(), [&task, &reads, planes] {
                          const int64_t read = reads.fetch_add(1) % std::max<int64_t>(planes, 1);
                          task.Report(double(read) / double(std::max<int64_t>(planes, 1)));
                          return task.Cancelled();
                      });
                      const StreamedFigure figure = StreamHighFrequencyFigure(source, c, t, 2);
                      if (task.Cancelled() || source.Stopped()) return {};
                      return [this, figure] {
                          if (figure.ReadFailed)
                              return LargeFailed(QString::fromStdString(figure.Failure));
                          spectrum_->ShowResult({}, figure.Figure, tr("volume (figure only)"));
                      };
                  });
        task_->Previous = previous;
        subject_ = subject;
        return;
    }
    const std::shared_ptr<const ByteVolume> voxels = lazy_->PlaneVoxels(channel_, time_, z);
    subject_ = subject;
    spectrumWaits_ = !voxels;
    if (!voxels) return; // it comes when the plane is read
    const int mode = subject == SubjectLine ? SpectrumLine : SpectrumPlane;
    const QString label =
        subject == SubjectLine ? tr("line y %1, z %2").arg(y).arg(z) : tr("plane z %1").arg(z);
    if (PredictedSpectrumSeconds(*voxels, mode) < WorkerThreshold) {
        if (task_ && !task_->IsLoad) CancelTask();
        subject_ = subject;
        const SpectrumResult result = ComputeLagSpectrum(*voxels, mode, 0, y);
        spectrum_->ShowResult(result.Curve, result.Figure, label);
        return;
    }
    if (task_ && task_->IsLoad) return;
    const SpectrumSubject previous = task_ ? task_->Previous : subject_;
    StartTask(
        tr("Spectrum of the %1").arg(label), false,
        [this, voxels, mode, y, label](TBackgroundTask::Token& task) -> std::function<void()> {
            SpectrumResult result = ComputeLagSpectrum(
                *voxels, mode, 0, y, &task.Spectrum(SpectrumDifferences(*voxels, mode)));
            if (result.Cancelled || task.Cancelled()) return {};
            return [this, result = std::move(result), label] {
                spectrum_->ShowResult(result.Curve, result.Figure, label);
            };
        });
    task_->Previous = previous;
    subject_ = subject;
}

void TOrthoWindow::LargeFailed(const QString& reason)
{
    if (!readFailure_.isEmpty()) return;
    readFailure_ = reason;
    pollTimer_->stop();
    const QString text = tr("Cannot read '%1' any longer: %2").arg(fileName_, reason);
    ShowLoadWarning(volumeName_, tr("no longer read: %1").arg(reason));
    statusBar()->showMessage(text);
    auto* box =
        new QMessageBox(QMessageBox::Warning, tr("Cannot read"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// --- channels and time points --------------------------------------------------------------

const VolumeSamples& TOrthoWindow::Samples() const
{
    static const VolumeSamples none;
    return model_.Samples() ? *model_.Samples() : none;
}

const TOrthoWindow::VolumeStats& TOrthoWindow::ActiveStats() const
{
    static const VolumeStats none;
    if (size_t(channel_) >= channels_.size()) return none;
    const std::vector<VolumeStats>& stats = channels_[size_t(channel_)].Stats;
    return size_t(time_) < stats.size() ? stats[size_t(time_)] : none;
}

const SampleHistogram& TOrthoWindow::Histogram() const
{
    return ActiveStats().Histogram;
}

bool TOrthoWindow::ChannelVisible(int c) const
{
    return c >= 0 && c < Channels() && channels_[size_t(c)].Visible;
}

uint32_t TOrthoWindow::ChannelColour(int c) const
{
    return c >= 0 && c < Channels() ? channels_[size_t(c)].Colour : 0;
}

QString TOrthoWindow::ChannelName(int c) const
{
    return c >= 0 && c < Channels() ? channels_[size_t(c)].Name : QString();
}

QCheckBox* TOrthoWindow::ChannelBox(int c) const
{
    return c >= 0 && c < Channels() ? channels_[size_t(c)].Box : nullptr;
}

bool TOrthoWindow::Playing() const
{
    return playTimer_->isActive();
}

void TOrthoWindow::SetChannelVisible(int c, bool visible)
{
    if (c < 0 || c >= Channels() || channels_[size_t(c)].Visible == visible) return;
    Channel& channel = channels_[size_t(c)];
    channel.Visible = visible;
    if (channel.Box && channel.Box->isChecked() != visible) channel.Box->setChecked(visible);
    ShowLarge();
    ApplyWindow();
}

void TOrthoWindow::DropSpectrum()
{
    if (!task_ || task_->IsLoad) return;
    worker_.Cancel();
    subject_ = EndTask()->Previous;
}

void TOrthoWindow::ShowActiveVolume()
{
    DropSpectrum();
    if (lazy_) return ShowLarge();
    std::string message;
    try {
        if (!voxels_.Make(stack_, channel_, time_, message)) {
            // No finite sample: the spectrum sees a volume of 0.
            const StackLayout& layout = stack_.Layout();
            ByteVolume blank;
            blank.Allocate(layout.SizeX, layout.SizeY, layout.SizeZ);
            voxels_.Adopt(std::move(blank));
        }
    } catch (const std::bad_alloc&) {
        voxels_.Clear();
        statusBar()->showMessage(tr("Not enough memory for the 8-bit voxels"), 10000);
    }
    model_.SetStackVolume(&stack_, channel_, time_);
}

void TOrthoWindow::SetActiveChannel(int c)
{
    if (c < 0 || c >= Channels()) return;
    for (int other = 0; other < Channels(); ++other)
        if (QToolButton* button = channels_[size_t(other)].Button) button->setChecked(other == c);
    if (c == channel_) return;
    channel_ = c;
    ShowActiveVolume();
    ShowHistogram();
    ShowStatsLabel();
    ApplyWindow();
    ShowCaptions();
    if (pointer_[0] >= 0) PointerAt(SlicePlane(pointer_[0]), true, pointer_[1], pointer_[2]);
    ComputeSpectrum(subject_);
}

void TOrthoWindow::SetTimePoint(int t)
{
    t = std::clamp(t, 0, TimePoints() - 1);
    if (t == time_ || (stack_.Empty() && !lazy_)) {
        ShowTimePoint();
        return;
    }
    time_ = t;
    ShowActiveVolume();
    for (int c = 0; c < Channels(); ++c)
        if (SliceModel* model = channels_[size_t(c)].Model.get())
            model->SetStackVolume(&stack_, c, t);
    // The most recently shown time points keep their counts.
    statsOrder_.erase(std::remove(statsOrder_.begin(), statsOrder_.end(), t), statsOrder_.end());
    statsOrder_.push_back(t);
    while (statsOrder_.size() > MaxStatsTimePoints) {
        for (Channel& channel : channels_)
            channel.Stats[size_t(statsOrder_.front())] = VolumeStats();
        statsOrder_.erase(statsOrder_.begin());
    }
    ShowTimePoint();
    RequestStats();
    ShowHistogram();
    ShowStatsLabel();
    ShowAll();
    if (pointer_[0] >= 0) PointerAt(SlicePlane(pointer_[0]), true, pointer_[1], pointer_[2]);
    ComputeSpectrum(subject_);
}

void TOrthoWindow::SetPlaying(bool playing)
{
    playing = playing && TimePoints() > 1;
    if (playing)
        playTimer_->start();
    else
        playTimer_->stop();
    if (playButton_->isChecked() != playing) playButton_->setChecked(playing);
    playButton_->setIcon(style()->standardIcon(
        playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay, nullptr, this));
    playButton_->setToolTip(playing ? tr("Pause") : tr("Play the time points"));
}

void TOrthoWindow::NameChannel(Channel& channel, const StackLayout& layout, int c, int count)
{
    const ChannelInfo info =
        size_t(c) < layout.ChannelInfos.size() ? layout.ChannelInfos[size_t(c)] : ChannelInfo();
    channel.Name = info.Name.empty() ? tr("Channel %1").arg(c + 1)
                                     : QString::fromUtf8(QuoteBytes(info.Name).c_str());
    channel.Colour = info.HasColour ? info.Colour : StandardChannelColour(c, count);
    channel.Stats.resize(size_t(std::max(TimePoints(), 1)));
}

void TOrthoWindow::ShowFirstTimePoint()
{
    for (ImagePtr& composite : composites_)
        composite.reset();
    FillChannelRow();
    colour_->setVisible(!Composite());
    timeSlider_->blockSignals(true);
    timeSlider_->setRange(0, TimePoints() - 1);
    timeSlider_->setValue(0);
    timeSlider_->blockSignals(false);
    timeRow_->setVisible(TimePoints() > 1);
    ShowTimePoint();
    PointerAt(SlicePlane::Top, false, 0, 0);
    subject_ = SubjectLine;
}

void TOrthoWindow::ShowTimePoint()
{
    if (timeSlider_->value() != time_) {
        timeSlider_->blockSignals(true);
        timeSlider_->setValue(time_);
        timeSlider_->blockSignals(false);
    }
    timeLabel_->setText(tr("t %1/%2").arg(time_ + 1).arg(TimePoints()));
}

void TOrthoWindow::RequestStats()
{
    if (lazy_) {
        for (int c = 0; c < Channels(); ++c)
            lazy_->RequestStats(c, time_);
        return TakeLargeStats();
    }
    std::vector<int> missing;
    for (int c = 0; c < Channels(); ++c)
        if (!channels_[size_t(c)].Stats[size_t(time_)].Ready) missing.push_back(c);
    if (missing.empty() || (statsWorker_.Running() && statsTime_ == time_)) return;
    statsWorker_.Cancel();
    const int t = time_;
    const auto measure = [this, t, missing](const TBackgroundTask::Token* task) {
        std::vector<VolumeStats> measured;
        for (int c : missing) {
            VolumeStats stats;
            stats.Histogram = ComputeHistogram(
                stack_, c, t, [task](double) { return !task || !task->Cancelled(); });
            if (task && task->Cancelled()) return std::vector<VolumeStats>();
            stats.Integers = WholeValues(stack_, c, t);
            stats.Ready = true;
            measured.push_back(std::move(stats));
        }
        return measured;
    };
    if (stack_.Layout().VoxelCount() * int64_t(missing.size()) <= QuickStatsSamples) {
        std::vector<VolumeStats> measured = measure(nullptr);
        TakeStats(t, missing, measured);
        return;
    }
    statsTime_ = t;
    statsWorker_.Start(
        [measure](TBackgroundTask::Token& task) {
            LowerThisThreadsPriority();
            return measure(&task);
        },
        [this, t, missing](std::vector<VolumeStats>& measured) {
            statsTime_ = -1;
            TakeStats(t, missing, measured);
        },
        [this](std::exception_ptr) { statsTime_ = -1; });
}

void TOrthoWindow::TakeStats(int t, const std::vector<int>& which, std::vector<VolumeStats>& stats)
{
    if (stats.size() != which.size()) return;
    for (size_t i = 0; i < which.size(); ++i)
        channels_[size_t(which[i])].Stats[size_t(t)] = std::move(stats[i]);
    if (t == time_) ShowHistogram();
}

void TOrthoWindow::ShowHistogram()
{
    const SampleHistogram& histogram = ActiveStats().Histogram;
    contrast_->SetHistogram(histogram.Counts, histogram.Low, histogram.High);
    contrast_->SetWindow(WindowMin(), WindowMax());
}

double TOrthoWindow::SampleValue(int c, int x, int y, int z) const
{
    if (lazy_) {
        double value = std::nan("");
        lazy_->Sample(c, time_, x, y, z, value);
        return value;
    }
    // Samples of one byte are shown as the voxels they are.
    if (SampleKindBytes(stack_.Layout().Kind) == 1)
        return stack_.Samples(
            c, time_)[(int64_t(z) * stack_.Layout().SizeY + y) * stack_.Layout().SizeX + x];
    return stack_.Value(c, time_, x, y, z);
}

bool TOrthoWindow::FloatSamples() const
{
    return (lazy_ || !stack_.Empty()) && ShownLayout().Kind == SampleKind::Float32;
}

QStringList TOrthoWindow::RecentFiles() const
{
    return QSettings().value(QStringLiteral("inspector/recentFiles")).toStringList();
}

void TOrthoWindow::AddRecentFile(const QString& fileName)
{
    QStringList files = RecentFiles();
    const QString path = QFileInfo(fileName).absoluteFilePath();
    files.removeAll(path);
    files.prepend(path);
    while (files.size() > MaxRecentFiles)
        files.removeLast();
    QSettings().setValue(QStringLiteral("inspector/recentFiles"), files);
    UpdateRecentMenu();
}

void TOrthoWindow::UpdateRecentMenu()
{
    recentMenu_->clear();
    const QStringList files = RecentFiles();
    const QFontMetrics metrics(recentMenu_->font());
    for (const QString& file : files) {
        // The folder tells apart files of one name; the tooltip gives the whole path.
        const QFileInfo info(file);
        const QString folder = metrics.elidedText(QDir::toNativeSeparators(info.absolutePath()),
                                                  Qt::ElideMiddle, MaxRecentFolderWidth);
        QString text = tr("%1 — %2").arg(info.fileName(), folder);
        text.replace(QLatin1Char('&'), QStringLiteral("&&")); // no mnemonics from names
        recentMenu_->addAction(text, this, [this, file] { OpenFile(file); })
            ->setToolTip(QDir::toNativeSeparators(file));
    }
    recentMenu_->setEnabled(!files.isEmpty());
}

void TOrthoWindow::dragEnterEvent(QDragEnterEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) return event->acceptProposedAction();
}

void TOrthoWindow::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            OpenFile(url.toLocalFile());
            return;
        }
}

void TOrthoWindow::closeEvent(QCloseEvent* event)
{
    CancelTask();
    SetPlaying(false);
    statsWorker_.Cancel();
    QSettings settings;
    settings.setValue(QStringLiteral("inspector/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("inspector/state"), saveState());
    QMainWindow::closeEvent(event);
}

// --- the worker thread ---------------------------------------------------------------------

void TOrthoWindow::StartTask(const QString& what, bool isLoad,
                             std::function<std::function<void()>(TBackgroundTask::Token&)> work)
{
    CancelTask();
    task_ = std::make_unique<Task>();
    task_->What = what;
    task_->IsLoad = isLoad;
    task_->Started.start();
    worker_.Start(
        [work = std::move(work)](TBackgroundTask::Token& token) {
            LowerThisThreadsPriority();
            return work(token);
        },
        [this](std::function<void()>& apply) {
            EndTask();
            if (apply) apply();
        },
        [this](std::exception_ptr failure) {
            EndTask();
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& error) {
                statusBar()->showMessage(QString::fromUtf8(error.what()), 10000);
            }
        });
    if (ProgressDelayMs <= 0) ShowProgress(0);
}

std::unique_ptr<TOrthoWindow::Task> TOrthoWindow::EndTask()
{
    std::unique_ptr<Task> task = std::move(task_);
    taskLabel_->hide();
    progress_->hide();
    cancel_->hide();
    return task;
}

void TOrthoWindow::CancelTask()
{
    if (!task_) return;
    worker_.Cancel(); // its result is dropped
    const std::unique_ptr<Task> task = EndTask();
    if (!task->IsLoad) subject_ = task->Previous;
    statusBar()->showMessage(tr("%1: cancelled").arg(task->What), 5000);
}

void TOrthoWindow::ShowProgress(double fraction)
{
    if (!task_ || task_->Started.elapsed() < ProgressDelayMs) return;
    if (taskLabel_->toolTip() != task_->What) {
        taskLabel_->setText(
            taskLabel_->fontMetrics().elidedText(task_->What, Qt::ElideMiddle, MaxTaskTextWidth));
        taskLabel_->setToolTip(task_->What);
    }
    progress_->setValue(std::clamp(int(fraction * 1000), 0, 1000));
    taskLabel_->show();
    progress_->show();
    cancel_->show();
}

// --- showing -------------------------------------------------------------------------------

std::array<double, 3> TOrthoWindow::ShownSpacing() const
{
    if (square_) return {1, 1, 1};
    return {spacing_.Size[0], spacing_.Size[1], spacing_.Size[2]};
}

std::array<QSize, 3> TOrthoWindow::ZoomAreas() const
{
    std::array<QSize, 3> areas;
    for (SlicePlane plane : Planes) {
        const TZoomPanel* panel = View(plane)->Panel();
        if (panel->isVisible()) areas[size_t(plane)] = panel->ZoomArea().size();
    }
    return areas;
}

void TOrthoWindow::FitViews()
{
    zoom_.Fit(ZoomAreas());
    ApplyZoom();
}

void TOrthoWindow::SetZoomLevel(double level)
{
    zoom_.SetLevel(level);
    ApplyZoom();
}

void TOrthoWindow::ApplyZoom()
{
    if (linking_) return;
    linking_ = true;
    for (SlicePlane plane : Planes) {
        TZoomPanel* panel = View(plane)->Panel();
        panel->SetZoom(zoom_.ZoomOf(plane, panel->ZoomArea().size()));
    }
    linking_ = false;
    ShowCaptions();
}

void TOrthoWindow::ViewZoomed(SlicePlane plane)
{
    if (linking_) return;
    const TZoomPanel* panel = View(plane)->Panel();
    zoom_.SetFrom(plane, panel->Zoom(), panel->ZoomArea().size());
    ApplyZoom();
}

void TOrthoWindow::FollowVolumeSizes()
{
    const std::array<int, 3> sizes = VolumeSizes();
    if (sizes == zoomSizes_) return;
    zoomSizes_ = sizes;
    zoom_.SetVolume(sizes, ShownSpacing());
    FitViews();
}

void TOrthoWindow::SpacingShownChanged()
{
    zoom_.SetSpacing(ShownSpacing());
    FitViews();
    ShowCrosshairs();
}

void TOrthoWindow::ShowView(SlicePlane plane)
{
    TSliceView* view = View(plane);
    if (lazy_) {
        // What was read of each channel's slice; the last one read until a newer comes.
        for (int c = 0; c < Channels(); ++c) {
            Channel& channel = channels_[size_t(c)];
            if (c != channel_ && !channel.Visible) continue;
            LazySlices::SliceImage slice = lazy_->Slice(plane, c, time_, Position(plane));
            if (slice.Image) channel.Shown[size_t(plane)] = std::move(slice.Image);
        }
        if (!Composite()) {
            view->ShowSlice(channels_[size_t(channel_)].Shown[size_t(plane)].get());
            return;
        }
    } else if (!Composite()) {
        ImagePtr& slab = slabs_[size_t(plane)];
        slab = SlabOf(model_, plane);
        view->ShowSlice(slab ? slab.get() : model_.SampleSlice(plane));
        return;
    }
    // Every visible channel's slice at the plane's position, through its window.
    const int width = SliceWidth(plane), height = SliceHeight(plane);
    ImagePtr& composite = composites_[size_t(plane)];
    if (!composite || composite->XSize != width || composite->YSize != height)
        composite.reset(width > 0 && height > 0 ? NewImageRGB(width, height) : nullptr);
    std::vector<ChannelLayer> layers;
    std::vector<ImagePtr> slabs; // the channels' slabs, while they are composed
    for (Channel& channel : channels_) {
        if (lazy_) {
            if (channel.Visible && channel.Shown[size_t(plane)])
                layers.push_back(
                    {channel.Shown[size_t(plane)].get(), channel.Min, channel.Max, channel.Colour});
            continue;
        }
        if (!channel.Visible || !channel.Model) continue;
        channel.Model->SetPosition(plane, model_.Position(plane));
        slabs.push_back(SlabOf(*channel.Model, plane));
        layers.push_back({slabs.back() ? slabs.back().get() : channel.Model->SampleSlice(plane),
                          channel.Min, channel.Max, channel.Colour});
    }
    if (composite && !ComposeChannels(layers, *composite)) composite.reset();
    view->ShowSlice(composite.get());
}

void TOrthoWindow::ShowAll()
{
    // A composite is drawn by the window's application.
    if (!Composite())
        for (SlicePlane plane : Planes)
            ShowView(plane);
    ApplyWindow();
    FollowVolumeSizes();
    if (measuring_) measuring_->Remeasure();
    ShowCrosshairs();
    ShowCaptions();
    ShowTitle();
}

void TOrthoWindow::ShowCrosshairs()
{
    if (measuring_) measuring_->ShowShapes();
    const int x = Position(SlicePlane::Side), y = Position(SlicePlane::Front),
              z = Position(SlicePlane::Top);
    View(SlicePlane::Top)->SetCrosshair(x, ColorX, y, ColorY);
    View(SlicePlane::Front)->SetCrosshair(x, ColorX, z, ColorZ);
    View(SlicePlane::Side)->SetCrosshair(z, ColorZ, y, ColorY);
}

void TOrthoWindow::ShowCaptions()
{
    const QString time =
        TimePoints() > 1 ? tr("   t %1/%2").arg(time_ + 1).arg(TimePoints()) : QString();
    for (SlicePlane plane : Planes) {
        const int n = Positions(plane);
        QString caption = n > 0 ? QStringLiteral("%1  %2 %3 / %4   %5")
                                          .arg(QLatin1String(PlaneName(plane)))
                                          .arg(QLatin1Char(PlaneAxis(plane)))
                                          .arg(Position(plane))
                                          .arg(n - 1)
                                          .arg(ZoomText()) +
                                      SlabText(plane) + time
                                : QLatin1String(PlaneName(plane));
        if (lazy_ && n > 0) {
            // How much of the slice shown has been read.
            const LazySlices::SliceImage slice =
                lazy_->Slice(plane, channel_, time_, Position(plane));
            if (slice.LinesShown == 0)
                caption += tr("   reading…");
            else if (slice.LinesShown < slice.Lines)
                caption += tr("   %1 of %2 planes").arg(slice.LinesShown).arg(slice.Lines);
        }
        multiView_->Client(CellOf(plane))->SetCaption(caption);
    }
    multiView_->Client(SpectrumCell)
        ->SetCaption(Composite() ? tr("Spectrum   %1").arg(ChannelName(channel_)) + time
                                 : tr("Spectrum") + time);
}

ImagePtr TOrthoWindow::SlabOf(SliceModel& model, SlicePlane plane) const
{
    const size_t i = size_t(plane);
    if (slabMode_[i] == SlabMode::Single || lazy_) return nullptr;
    return MakeSlab(model, plane, model_.Position(plane), slabCount_[i], slabMode_[i]);
}

QString TOrthoWindow::SlabText(SlicePlane plane) const
{
    const size_t i = size_t(plane);
    if (slabMode_[i] == SlabMode::Single || lazy_) return {};
    return (slabMode_[i] == SlabMode::Maximum ? tr("   max of %1") : tr("   mean of %1"))
        .arg(slabCount_[i]);
}

void TOrthoWindow::SetSlab(SlicePlane plane, SlabMode mode, int count)
{
    const size_t i = size_t(plane);
    count = std::clamp(count, 1, MaxSlabSlices);
    if (slabMode_[i] == mode && slabCount_[i] == count) return;
    slabMode_[i] = mode, slabCount_[i] = count;
    ShowView(plane);
    ShowCaptions();
}

QMenu* TOrthoWindow::ViewMenu(SlicePlane plane)
{
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const size_t i = size_t(plane);
    const struct
    {
        QString Text;
        SlabMode Mode;
    } modes[] = {{tr("Single slice"), SlabMode::Single},
                 {tr("Maximum of slices"), SlabMode::Maximum},
                 {tr("Mean of slices"), SlabMode::Mean}};
    auto* group = new QActionGroup(menu);
    for (const auto& mode : modes) {
        QAction* action = menu->addAction(mode.Text, this, [this, plane, mode = mode.Mode] {
            SetSlab(plane, mode, slabCount_[size_t(plane)]);
        });
        action->setCheckable(true);
        action->setChecked(slabMode_[i] == mode.Mode);
        action->setActionGroup(group);
        // Slabs fold slices of volumes in memory; a volume read plane by plane has none.
        action->setEnabled(!lazy_ || mode.Mode == SlabMode::Single);
    }
    QSpinBox* count = AddSpinBoxRow(menu, tr("Slices in the slab"), 1, MaxSlabSlices);
    count->setValue(slabCount_[i]);
    count->setObjectName(QStringLiteral("slabCount"));
    connect(count, &QSpinBox::valueChanged, this,
            [this, plane](int n) { SetSlab(plane, slabMode_[size_t(plane)], n); });
    menu->addSeparator();
    menu->addAction(tr("Fit"), this, &TOrthoWindow::FitViews);
    menu->addAction(tr("1:1"), this, [this] { SetZoomLevel(1); });
    return menu;
}

QString TOrthoWindow::ZoomText() const
{
    const double percent = zoom_.Level() * 100;
    return QString::number(percent, 'f', percent < 10 ? 1 : 0) + QLatin1Char('%');
}

void TOrthoWindow::ShowTitle()
{
    if (volumeName_.isEmpty()) {
        setWindowTitle(tr("volinspect inspector"));
        return;
    }
    const StackLayout& layout = ShownLayout();
    QString extent = tr("%1 × %2 × %3").arg(layout.SizeX).arg(layout.SizeY).arg(layout.SizeZ);
    if (lazy_)
        extent +=
            tr(" — %1, read from the file").arg(QLocale::system().formattedDataSize(fileBytes_, 1));
    if (Composite()) extent += tr(" — %1 channels").arg(Channels());
    if (TimePoints() > 1) extent += tr(" — t %1/%2").arg(time_ + 1).arg(TimePoints());
    setWindowTitle(tr("%1 — %2 — volinspect inspector").arg(volumeName_, extent));
}

void TOrthoWindow::SetPosition(SlicePlane plane, int position)
{
    if (Positions(plane) == 0) return;
    const int before = Position(plane);
    if (MoveTo(plane, position) == before) return;
    ShowLarge();
    ShowView(plane);
    ShowCrosshairs();
    ShowCaptions();
    PositionsChanged(plane != SlicePlane::Side);
}

void TOrthoWindow::StepSlice(SlicePlane plane, int delta)
{
    SetPosition(plane, Position(plane) + delta);
}

SlicePlane TOrthoWindow::KeyPlane() const
{
    for (SlicePlane plane : Planes)
        if (View(plane)->Hovered()) return plane;
    const int active = multiView_->ActiveClient();
    for (SlicePlane plane : Planes)
        if (CellOf(plane) == active) return plane;
    return SlicePlane(lastView_);
}

void TOrthoWindow::PositionsChanged(bool topOrFront)
{
    // The voxel under a pointer that stayed where it was has changed.
    if (pointer_[0] >= 0) PointerAt(SlicePlane(pointer_[0]), true, pointer_[1], pointer_[2]);
    if (topOrFront && subject_ != SubjectVolume) ComputeSpectrum(subject_);
}

void TOrthoWindow::ViewClicked(SlicePlane plane, int u, int v)
{
    const auto [x, y, z] = VoxelAt(plane, u, v);
    lastView_ = int(plane);
    if (!multiView_->Zoomed()) multiView_->SetActiveClient(CellOf(plane));
    const bool topOrFront = Position(SlicePlane::Top) != z || Position(SlicePlane::Front) != y;
    MoveTo(SlicePlane::Side, x);
    MoveTo(SlicePlane::Front, y);
    MoveTo(SlicePlane::Top, z);
    ShowLarge();
    for (SlicePlane other : Planes)
        if (other != plane) ShowView(other);
    ShowCrosshairs();
    ShowCaptions();
    pointer_ = {int(plane), u, v};
    PositionsChanged(topOrFront);
}

void TOrthoWindow::CrosshairDragged(SlicePlane plane, int axis, int value)
{
    // The vertical line of a view shows the plane along its columns, the horizontal
    // line the plane along its rows.
    static constexpr SlicePlane Moves[3][2] = {
        {SlicePlane::Side, SlicePlane::Front}, // top view: x columns, y rows
        {SlicePlane::Side, SlicePlane::Top},   // front view: x columns, z rows
        {SlicePlane::Top, SlicePlane::Front},  // side view: z columns, y rows
    };
    SetPosition(Moves[int(plane)][axis], value);
}

void TOrthoWindow::PointerAt(SlicePlane plane, bool inside, int u, int v)
{
    inside = inside && u >= 0 && v >= 0 && u < SliceWidth(plane) && v < SliceHeight(plane);
    pointer_ = {inside ? int(plane) : -1, u, v};
    if (!inside) {
        voxelLabel_->clear();
        statusText_.clear();
        return;
    }
    const auto [x, y, z] = VoxelAt(plane, u, v);
    QString text = QStringLiteral("x %1  y %2  z %3").arg(x).arg(y).arg(z);
    // A large volume's sample not read yet shows as an ellipsis.
    const auto valueText = [this](double value) {
        return lazy_ && std::isnan(value) ? QStringLiteral("…") : ValueText(value, FloatSamples());
    };
    if (Composite()) {
        // Every channel's sample as stored, in the order of the channel row.
        for (int c = 0; c < Channels(); ++c)
            text += QStringLiteral("%1C%2 %3")
                        .arg(c == 0 ? QStringLiteral("   ") : QStringLiteral(" · "))
                        .arg(c + 1)
                        .arg(valueText(SampleValue(c, x, y, z)));
    } else {
        // The value is the sample as stored; the 8-bit voxel the figure is computed from
        // follows it for data wider than eight bits.
        const bool wide = SampleKindBytes(ShownLayout().Kind) > 1;
        if (lazy_) {
            // The 8-bit voxel is known where the top slice's plane is, for integer samples
            // (those of floating point map a range known only of the whole volume).
            text += QStringLiteral("   value %1").arg(valueText(SampleValue(channel_, x, y, z)));
            const std::shared_ptr<const ByteVolume> voxels = lazy_->PlaneVoxels(channel_, time_, z);
            if (wide && voxels && !IsFloatKind(ShownLayout().Kind))
                text += tr("   8-bit voxel %1").arg(voxels->Voxel(x, y, 0));
        } else {
            const ByteVolume& voxels = voxels_.Volume();
            const int byte = voxels.Data ? voxels.Voxel(x, y, z) : 0;
            text += QStringLiteral("   value %1")
                        .arg(wide ? ValueText(SampleValue(channel_, x, y, z), FloatSamples())
                                  : QString::number(byte));
            if (wide) text += tr("   8-bit voxel %1").arg(byte);
        }
    }
    if (spacing_.Known) {
        const QString unit = QString::fromStdString(spacing_.Units[0]);
        const bool oneUnit =
            spacing_.Units[0] == spacing_.Units[1] && spacing_.Units[1] == spacing_.Units[2];
        const auto at = [&](int axis, int voxel) {
            QString s = Number(voxel * spacing_.Size[axis]);
            if (!oneUnit && !spacing_.Units[axis].empty())
                s += QLatin1Char(' ') + QString::fromStdString(spacing_.Units[axis]);
            return s;
        };
        text += QStringLiteral("   (%1, %2, %3%4)")
                    .arg(at(0, x), at(1, y), at(2, z),
                         oneUnit && !unit.isEmpty() ? QLatin1Char(' ') + unit : QString());
    }
    statusText_ = text;
    voxelLabel_->setText(text);
}

QString TOrthoWindow::StatusText() const
{
    return statusText_;
}

QString TOrthoWindow::WindowText() const
{
    const bool floats = (lazy_ ? lazy_->DisplayKind() : model_.DisplayKind()) == ImageKindFloat;
    return tr("window %1 … %2").arg(ValueText(WindowMin(), floats), ValueText(WindowMax(), floats));
}

void TOrthoWindow::ShowLoadWarning(const QString& name, const QString& warning)
{
    const QString text = warning.isEmpty() ? QString() : tr("%1: %2").arg(name, warning);
    warningLabel_->setText(
        warningLabel_->fontMetrics().elidedText(text, Qt::ElideRight, MaxWarningWidth));
    warningBox_->setToolTip(text);
    warningBox_->setVisible(!text.isEmpty());
}

// --- contrast ------------------------------------------------------------------------------

double TOrthoWindow::WindowMin() const
{
    return size_t(channel_) < channels_.size() ? channels_[size_t(channel_)].Min : 0;
}

double TOrthoWindow::WindowMax() const
{
    return size_t(channel_) < channels_.size() ? channels_[size_t(channel_)].Max : 255;
}

void TOrthoWindow::SetChannelWindow(int c, double min, double max)
{
    if (c < 0 || c >= Channels()) return;
    Channel& channel = channels_[size_t(c)];
    if (!(min <= max)) std::swap(min, max);
    // Until counted, the values of integer samples are whole numbers.
    const VolumeStats& stats = channel.Stats[size_t(time_)];
    const bool integers = stats.Ready ? stats.Integers : !IsFloatKind(ShownLayout().Kind);
    if (integers) min = std::round(min), max = std::round(max);
    channel.Min = min, channel.Max = max;
}

void TOrthoWindow::SetWindow(double min, double max)
{
    if (size_t(channel_) < channels_.size()) channels_[size_t(channel_)].AutoWindow = false;
    SetChannelWindow(channel_, min, max);
    ApplyWindow();
}

void TOrthoWindow::ApplyWindow()
{
    // A composite is windowed as it is made: its views show its colours as they are.
    for (SlicePlane plane : Planes) {
        TImageControl* image = View(plane)->Image();
        image->SetMin(Composite() ? 0.0f : float(WindowMin()));
        image->SetMax(Composite() ? 255.0f : float(WindowMax()));
        image->SetDisplayColor(0xFFFFFF);
        image->SetColourTable(Composite() ? std::vector<uint32_t>() : colourTable_);
    }
    if (Composite())
        for (SlicePlane plane : Planes)
            ShowView(plane);
    contrast_->SetWindow(WindowMin(), WindowMax());
    const bool floats = (lazy_ ? lazy_->DisplayKind() : model_.DisplayKind()) == ImageKindFloat;
    windowEdits_[0]->setText(ValueText(WindowMin(), floats));
    windowEdits_[1]->setText(ValueText(WindowMax(), floats));
}

void TOrthoWindow::WindowTyped(int bound)
{
    // The box also finishes when it loses the focus, typed into or not.
    if (!windowEdits_[size_t(bound)]->isModified()) return;
    const QString text = windowEdits_[size_t(bound)]->text().trimmed();
    bool ok = false;
    double value = QLocale::c().toDouble(text, &ok);
    if (!ok) value = QLocale().toDouble(text, &ok);
    if (!ok || !std::isfinite(value)) {
        ApplyWindow(); // back to the window as it is
        return;
    }
    // A bound typed past the other one moves both: the window keeps the bound typed.
    double min = WindowMin(), max = WindowMax();
    (bound == 0 ? min : max) = value;
    if (min > max) (bound == 0 ? max : min) = value;
    SetWindow(min, max);
}

bool TOrthoWindow::AutoWindowOf(int c, double& min, double& max) const
{
    const VolumeStats& stats = channels_[size_t(c)].Stats[size_t(time_)];
    return stats.Ready && ::AutoWindow(stats.Histogram, stats.Integers, min, max);
}

void TOrthoWindow::AutoWindow()
{
    double min = 0, max = 0;
    if (channels_.empty() || !AutoWindowOf(channel_, min, max)) return FullWindow();
    SetWindow(min, max);
    channels_[size_t(channel_)].AutoWindow = true; // and follows a histogram being refined
}

void TOrthoWindow::FullWindow()
{
    const SampleHistogram& histogram = ActiveStats().Histogram;
    if (SampleKindBytes(ShownLayout().Kind) == 1 || !ActiveStats().Ready || histogram.Total == 0)
        SetWindow(0, 255);
    else
        SetWindow(histogram.Low,
                  histogram.High > histogram.Low ? histogram.High : histogram.Low + 1);
}

void TOrthoWindow::WindowLevelDragged(bool started, QPoint delta)
{
    if (started) {
        dragWindow_ = {WindowMin(), WindowMax()};
        return;
    }
    // Over the range the strip shows: 500 pixels of drag move the level (down: higher,
    // darker) or widen the window (right: wider, less contrast) by the whole range.
    const double range = std::max(contrast_->High() - contrast_->Low(), 1e-9);
    const double perPixel = range / 500;
    const double width = std::max(dragWindow_[1] - dragWindow_[0] + delta.x() * perPixel,
                                  FloatSamples() ? range * 1e-6 : 1.0);
    const double level = (dragWindow_[0] + dragWindow_[1]) / 2 + delta.y() * perPixel;
    SetWindow(level - width / 2, level + width / 2);
}

void TOrthoWindow::SetGreen(bool green)
{
    SetColourMap(green ? ColourMap::Channel : ColourMap::Grey, 0x00FF00);
}

void TOrthoWindow::ColourChosen(int index)
{
    ColourMap map = ColourMap::Grey;
    uint32_t colour = 0xFFFFFF;
    if (ParseColourMap(colour_->itemText(index).toStdString(), map, colour))
        SetColourMap(map, colour);
}

void TOrthoWindow::SetColourMap(ColourMap map, uint32_t channelColour)
{
    colourMap_ = map;
    mapColour_ = map == ColourMap::Channel ? channelColour : 0xFFFFFF;
    // Grey is the control's own drawing; the others go through a table.
    colourTable_.clear();
    if (map != ColourMap::Grey) {
        const std::array<uint32_t, 256> table = ColourTable(map, mapColour_);
        colourTable_.assign(table.begin(), table.end());
    }
    for (int i = 0; i < colour_->count(); ++i) {
        ColourMap named = ColourMap::Grey;
        uint32_t colour = 0xFFFFFF;
        if (ParseColourMap(colour_->itemText(i).toStdString(), named, colour) && named == map &&
            (map != ColourMap::Channel || colour == mapColour_)) {
            const QSignalBlocker blocker(colour_);
            colour_->setCurrentIndex(i);
        }
    }
    ApplyWindow();
}

// --- voxel size ----------------------------------------------------------------------------

void TOrthoWindow::SetSquareVoxels(bool square)
{
    square_ = square;
    if (squareAction_->isChecked() != square) squareAction_->setChecked(square);
    SpacingShownChanged();
}

void TOrthoWindow::SetSpacing(double x, double y, double z, const QString& unit)
{
    if (!(x > 0 && y > 0 && z > 0 && std::isfinite(x) && std::isfinite(y) && std::isfinite(z)))
        return;
    spacing_.Size[0] = x, spacing_.Size[1] = y, spacing_.Size[2] = z;
    for (std::string& u : spacing_.Units)
        u = unit.toStdString();
    spacing_.Known = true;
    SpacingShownChanged();
}

void TOrthoWindow::AskSpacing()
{
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Voxel size"));
    auto* form = new QFormLayout(&dialog);
    QDoubleSpinBox* boxes[3];
    const char* names[3] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
        boxes[i] = new QDoubleSpinBox(&dialog);
        boxes[i]->setDecimals(6);
        boxes[i]->setRange(1e-6, 1e6);
        boxes[i]->setValue(spacing_.Size[i]);
        form->addRow(tr("Spacing along %1").arg(QLatin1String(names[i])), boxes[i]);
    }
    auto* unit = new QLineEdit(QString::fromStdString(spacing_.Units[0]), &dialog);
    form->addRow(tr("Unit"), unit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted) return;
    SetSpacing(boxes[0]->value(), boxes[1]->value(), boxes[2]->value(), unit->text());
    SetSquareVoxels(false);
}

// --- spectrum ------------------------------------------------------------------------------

void TOrthoWindow::ComputeSpectrum(SpectrumSubject subject)
{
    if (lazy_) return ComputeLargeSpectrum(subject);
    const ByteVolume& volume = voxels_.Volume();
    if (volume.VoxelCount() == 0 || !volume.Data) return;
    const int z = Position(SlicePlane::Top), y = Position(SlicePlane::Front);
    const int mode = subject == SubjectLine    ? SpectrumLine
                     : subject == SubjectPlane ? SpectrumPlane
                                               : SpectrumVolume;
    const QString label = subject == SubjectLine    ? tr("line y %1, z %2").arg(y).arg(z)
                          : subject == SubjectPlane ? tr("plane z %1").arg(z)
                                                    : tr("volume");
    if (PredictedSpectrumSeconds(volume, mode) < WorkerThreshold) {
        // A load under way keeps running; a spectrum under way is superseded.
        if (task_ && !task_->IsLoad) CancelTask();
        subject_ = subject;
        const SpectrumResult result = ComputeLagSpectrum(volume, mode, z, y);
        spectrum_->ShowResult(result.Curve, result.Figure, label);
        return;
    }
    if (task_ && task_->IsLoad) return; // the volume is about to change
    const SpectrumSubject previous = task_ ? task_->Previous : subject_;
    StartTask(tr("Spectrum of the %1").arg(label), false,
              [this, mode, z, y, label](TBackgroundTask::Token& task) -> std::function<void()> {
                  const ByteVolume& voxels = voxels_.Volume();
                  SpectrumResult result = ComputeLagSpectrum(
                      voxels, mode, z, y, &task.Spectrum(SpectrumDifferences(voxels, mode)));
                  if (result.Cancelled || task.Cancelled()) return {};
                  return [this, result = std::move(result), label] {
                      spectrum_->ShowResult(result.Curve, result.Figure, label);
                  };
              });
    // Moves while it runs do not start another spectrum of a different subject.
    task_->Previous = previous;
    subject_ = subject;
}

// --- export --------------------------------------------------------------------------------

QImage TOrthoWindow::Figure(SlicePlane plane, const FigureOptions& options, QString& message) const
{
    // The slice as the view shows it (its samples, a slab or a composite), through the
    // window and colour map, at the voxels' proportions.
    const ImageStruct* slice = View(plane)->Image()->Image();
    if (!slice) {
        message = tr("there is no slice to export");
        return {};
    }
    FigureRequest request;
    request.Slice = slice;
    const std::array<double, 3> spacing = ShownSpacing();
    request.PixelWidth = spacing[size_t(LinkedZoom::AcrossAxis(plane))];
    request.PixelHeight = spacing[size_t(LinkedZoom::DownAxis(plane))];
    request.Unit =
        square_ || !spacing_.Known ? QString() : QString::fromStdString(spacing_.Units[0]);
    request.Min = Composite() ? 0 : WindowMin();
    request.Max = Composite() ? 255 : WindowMax();
    request.Map = colourMap_;
    request.ChannelColour = mapColour_;
    if (options.ScaleBar) {
        const double smallest = std::min(request.PixelWidth, request.PixelHeight);
        request.ScaleBarInVoxels = request.Unit.isEmpty();
        request.ScaleBar = options.ScaleBarLength > 0
                               ? options.ScaleBarLength
                               : RoundScaleBar(slice->XSize * request.PixelWidth /
                                               (request.ScaleBarInVoxels ? smallest : 1));
    }
    if (options.Crosshair) {
        const int x = Position(SlicePlane::Side), y = Position(SlicePlane::Front),
                  z = Position(SlicePlane::Top);
        request.Crosshair = plane == SlicePlane::Top     ? QPoint(x, y)
                            : plane == SlicePlane::Front ? QPoint(x, z)
                                                         : QPoint(z, y);
        const auto rgb = [](TColor colour) {
            return uint32_t(ColorToQColor(colour).rgb() & 0xFFFFFF);
        };
        const uint32_t colours[3] = {rgb(ColorX), rgb(ColorY), rgb(ColorZ)};
        const int across = LinkedZoom::AcrossAxis(plane), down = LinkedZoom::DownAxis(plane);
        request.CrosshairUColour = colours[across], request.CrosshairVColour = colours[down];
    }
    if (options.Shapes)
        for (const TSliceView::Shape& shape : View(plane)->Shapes())
            request.Shapes.push_back(
                {FigureShape::Kind(shape.Kind), shape.X0, shape.Y0, shape.X1, shape.Y1, 0xFFFF00});
    return RenderFigure(request, message);
}

bool TOrthoWindow::ExportView(SlicePlane plane, const QString& fileName, QString& message,
                              const FigureOptions& options) const
{
    const QImage picture = Figure(plane, options, message);
    if (picture.isNull()) return false;
    std::string reason;
    if (WriteFigure(picture, QFile::encodeName(fileName).toStdString(), reason)) return true;
    message = QString::fromStdString(reason);
    return false;
}

void TOrthoWindow::AskExport()
{
    const SlicePlane plane = KeyPlane();
    QString suggested = QFileInfo(fileName_).completeBaseName();
    if (suggested.isEmpty()) suggested = QStringLiteral("volume");
    suggested += QStringLiteral("-%1-%2.png")
                     .arg(QString::fromLatin1(PlaneName(plane)).toLower())
                     .arg(Position(plane));
    // What goes on the figure besides the slice, remembered from the last export.
    QSettings settings;
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Export view"));
    auto* form = new QFormLayout(&dialog);
    auto* scaleBar = new QCheckBox(tr("Scale bar"), &dialog);
    scaleBar->setChecked(settings.value(QStringLiteral("export/scaleBar"), true).toBool());
    auto* crosshair = new QCheckBox(tr("Crosshair"), &dialog);
    crosshair->setChecked(settings.value(QStringLiteral("export/crosshair"), false).toBool());
    auto* shapes = new QCheckBox(tr("Shapes"), &dialog);
    shapes->setChecked(settings.value(QStringLiteral("export/shapes"), true).toBool());
    form->addRow(scaleBar);
    form->addRow(crosshair);
    form->addRow(shapes);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted) return;
    settings.setValue(QStringLiteral("export/scaleBar"), scaleBar->isChecked());
    settings.setValue(QStringLiteral("export/crosshair"), crosshair->isChecked());
    settings.setValue(QStringLiteral("export/shapes"), shapes->isChecked());
    const QString name = QFileDialog::getSaveFileName(
        this, tr("Export view"), QFileInfo(fileName_).absoluteDir().filePath(suggested),
        tr("PNG pictures (*.png)"));
    if (name.isEmpty()) return;
    FigureOptions options;
    options.ScaleBar = scaleBar->isChecked();
    options.Crosshair = crosshair->isChecked();
    options.Shapes = shapes->isChecked();
    QString message;
    if (!ExportView(plane, name, message, options))
        QMessageBox::warning(this, tr("Export view"),
                             tr("Cannot write '%1': %2").arg(name, message));
    else
        statusBar()->showMessage(tr("Wrote %1").arg(name), 5000);
}

// --- zoom and layout -----------------------------------------------------------------------

void TOrthoWindow::ToggleZoom(int cell)
{
    if (!multiView_->Zoomed()) multiView_->SetActiveClient(cell);
    multiView_->SetZoomed(!multiView_->Zoomed());
}

bool TOrthoWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == viewArea_ && event->type() == QEvent::Resize) {
        multiView_->setGeometry(viewArea_->rect());
    } else if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
        // A view's panel takes another size (the window, the grid or a view alone): the
        // fitted zoom fits again, a zoom of the user's keeps its level and centre.
        for (SlicePlane plane : Planes)
            if (watched == View(plane)->Panel()) {
                if (zoom_.Fitted()) zoom_.Fit(ZoomAreas());
                ApplyZoom();
            }
    } else if (event->type() == QEvent::ContextMenu) {
        for (SlicePlane plane : Planes)
            if (watched == multiView_->Client(CellOf(plane))->Button()) {
                ViewMenu(plane)->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
                return true;
            }
    } else if (event->type() == QEvent::MouseButtonDblClick) {
        for (int cell : {TopCell, SideCell, FrontCell, SpectrumCell})
            if (watched == multiView_->Client(cell)->Button()) {
                ToggleZoom(cell);
                return true;
            }
    }
    return QMainWindow::eventFilter(watched, event);
}
