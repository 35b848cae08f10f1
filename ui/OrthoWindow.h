#pragma once

#include "BackgroundTask.h"
#include "ByteVolume.h"
#include "ColourMap.h"
#include "LazySlices.h"
#include "LinkedZoom.h"
#include "SampleStats.h"
#include "SliceModel.h"
#include "Slab.h"
#include "StackVoxels.h"
#include "VolumeSamples.h"
#include "VolumeStack.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;
class QToolButton;
class TContrastStrip;
class TMeasuring;
class TMultiView;
class TSliceView;
class TSpectrumPanel;

/** What a figure exported from the inspector shows besides the slice. */
struct FigureOptions
{
    bool ScaleBar = false;
    double ScaleBarLength = 0; ///< in the spacing's unit (voxels without); 0: a round length
    bool Crosshair = false;
    bool Shapes = false;
};

/**
 * The inspector: a volume's three orthogonal slices and its spectrum in a grid of four
 * cells, each slice a zoomable image with a crosshair, sharing one contrast window.
 *
 * A click in a view moves the other two planes to the voxel clicked; Page Up/Down and
 * the arrow keys step the slice of the view under the pointer (else the active one),
 * Shift by ten. Volumes of 16-bit, 32-bit and float samples are shown from their own
 * samples. Loads and long spectra run on a worker thread at a lower priority, with a
 * progress bar and a Cancel button; one such task runs at a time.
 *
 * The window keeps every channel and time point of a file (a VolumeStack) and, beside
 * it, only the 8-bit voxels of the active channel at the time point shown (for the
 * spectrum) and images of single slices. Several channels are shown together as an
 * additive composite: each channel's slice through its own contrast window, times its
 * colour (the file's, else StandardChannelColour), summed. A row of channels shows and
 * hides each one (keys 1–9 too) and picks the active one, whose window and histogram the
 * contrast strip shows. Several time points get a slider, with play and pause at a frame
 * rate; a new time point keeps the positions and every channel's window. Histograms of
 * other time points are counted when first shown, on a thread of their own for large
 * volumes.
 *
 * The three views share one zoom (LinkedZoom), so that they line up; each may show a
 * slab of slices (SetSlab). Measuring shapes drawn on them, their table and profile,
 * are TMeasuring's.
 *
 * A file whose samples (with the 8-bit volume beside them) do not fit in memory
 * (FitsInMemory) is not loaded but read plane by plane through its PlaneSource
 * (LargeVolume): the window opens on its header, and LazySlices reads the slices shown
 * and the histograms on threads of their own, the front and side slices coarse to fine,
 * while the window looks for what arrived a few times a second. The top slice's plane
 * gives the line and plane spectra, StreamHighFrequencyFigure the volume's figure. A
 * read that fails (the file was truncated) is said, and the file is no longer read.
 */
class TOrthoWindow : public QMainWindow
{
    Q_OBJECT

public:
    /** What the spectrum cell follows. */
    enum SpectrumSubject
    {
        SubjectLine,  ///< the row through the crosshair of the top view
        SubjectPlane, ///< the top view's slice
        SubjectVolume ///< the whole volume
    };

    explicit TOrthoWindow(QWidget* parent = nullptr);
    ~TOrthoWindow() override;

    /** Loads `fileName`, on the worker thread; the present volume stays until it is read. */
    void OpenFile(const QString& fileName);
    /**
     * Shows `volume` (taken over, copied into a stack of one channel of bytes), named
     * `name`, with no file behind it.
     */
    void ShowVolume(ByteVolume&& volume, const QString& name);
    /** Shows `stack` (taken over), named `name`, with no file behind it. */
    void ShowStack(VolumeStack&& stack, const QString& name);
    /** True while a load or a spectrum runs on the worker thread. */
    bool Busy() const { return task_ != nullptr; }
    /** True while the volume shown is read from its file plane by plane (see the class). */
    bool LargeVolume() const { return lazy_ != nullptr; }
    /** The source of a volume read plane by plane; null for one in memory. */
    PlaneSource* LargeSource() const { return lazy_ ? &lazy_->Source() : nullptr; }
    /** The sizes of the volume shown, x, y, z. */
    std::array<int, 3> VolumeSizes() const
    {
        return {Positions(SlicePlane::Side), Positions(SlicePlane::Front),
                Positions(SlicePlane::Top)};
    }
    /** The measuring tools, shapes and table. */
    TMeasuring* Measuring() const { return measuring_; }
    /** The slices of a volume read plane by plane; null for one in memory. */
    const LazySlices* Lazy() const { return lazy_.get(); }
    /**
     * True while slices shown or histograms of a volume read plane by plane are being
     * read, or what was read is still to be shown.
     */
    bool Refining() const
    {
        return lazy_ && readFailure_.isEmpty() &&
               (lazy_->Busy() || lazy_->Changes() != largeChanges_);
    }
    /** Why the file of a volume read plane by plane is no longer read; empty while it is. */
    const QString& ReadFailure() const { return readFailure_; }
    /** The position of `plane`, for volumes in memory and read plane by plane alike. */
    int Position(SlicePlane plane) const;
    /**
     * The setting of how much memory (MiB) slices of volumes read plane by plane may keep:
     * inspector/cacheMiB, 512 unless set.
     */
    static int CacheMiB();
    /** Cancels the running task, if any; its result is dropped. */
    void CancelTask();

    // --- the state shown ---------------------------------------------------------------
    /** Every channel and time point shown. */
    const VolumeStack& Stack() const { return stack_; }
    /** The 8-bit voxels of the active channel at the time point shown. */
    const ByteVolume& Volume() const { return voxels_.Volume(); }
    /**
     * The active channel's samples at the time point shown, as the views show them, when
     * they are a view of the stack (16-bit unsigned, 32-bit signed, 32-bit float data);
     * else none (one-byte samples are the voxels; others are converted slice by slice).
     */
    const VolumeSamples& Samples() const;
    const VoxelSpacing& Spacing() const { return spacing_; }
    /**
     * The histogram of the active channel at the time point shown; empty until counted
     * (see the class).
     */
    const SampleHistogram& Histogram() const;
    const QString& FileName() const { return fileName_; }
    SliceModel& Model() { return model_; }
    TSliceView* View(SlicePlane plane) const { return views_[size_t(plane)]; }
    TMultiView* Views() const { return multiView_; }
    TSpectrumPanel* Spectrum() const { return spectrum_; }
    TContrastStrip* Contrast() const { return contrast_; }
    /**
     * The status bar's voxel text: the voxel's position, its value (the sample as
     * stored, for 16-bit, 32-bit and float data followed by the 8-bit voxel), and its
     * place in the spacing's units when they are known. With several channels every
     * channel's sample follows the position instead ("C1 1203 · C2 88").
     */
    QString StatusText() const;

    // --- channels and time points ------------------------------------------------------
    int Channels() const { return int(channels_.size()); }
    int TimePoints() const;
    /** The channel whose contrast window the strip shows and whose voxels the spectrum takes. */
    int ActiveChannel() const { return channel_; }
    /** The time point shown, from 0. */
    int TimePoint() const { return time_; }
    bool ChannelVisible(int c) const;
    /** The colour channel `c` is shown in, 0xRRGGBB. */
    uint32_t ChannelColour(int c) const;
    /** The name channel `c` is shown by: the file's, else "Channel n" (n from 1). */
    QString ChannelName(int c) const;
    /** The check box that shows and hides channel `c`; null for a single channel. */
    QCheckBox* ChannelBox(int c) const;
    QSlider* TimeSlider() const { return timeSlider_; }
    QToolButton* PlayButton() const { return playButton_; }
    /** The frame rate of playing, in time points a second. */
    QSpinBox* FrameRateBox() const { return frameRate_; }
    bool Playing() const;
    /** The status bar's label of the warning, elided to fit; hidden when there is none. */
    QLabel* WarningLabel() const { return warningLabel_; }
    /** The running task's text as the status bar shows it, elided to fit. */
    QLabel* TaskLabel() const { return taskLabel_; }
    QMenu* RecentMenu() const { return recentMenu_; }
    /** The label that says what a sampled histogram was counted from; hidden otherwise. */
    QLabel* StatsLabel() const { return statsLabel_; }
    /** The View menu's box of the memory slices of large volumes keep (CacheMiB). */
    QSpinBox* CacheBox() const { return cacheBox_; }
    /** The boxes of the display window's lowest (0) and highest (1) value. */
    class QLineEdit* WindowEdit(int bound) const { return windowEdits_[size_t(bound & 1)]; }
    /** The display window's bounds as the window writes them ("window 3 … 3995"). */
    QString WindowText() const;
    /**
     * The cells of the view grid, by the grid's codes (row and column, from 1): the top
     * view above the front view, the side view right of the top view, the spectrum
     * right of the front view.
     */
    enum Cell : int
    {
        TopCell = 11,
        SideCell = 12,
        FrontCell = 21,
        SpectrumCell = 22
    };
    /** The cell of the view of `plane`. */
    static Cell CellOf(SlicePlane plane);

    // --- actions -----------------------------------------------------------------------
    /** Makes `c` the active channel (see ActiveChannel). */
    void SetActiveChannel(int c);
    /** Shows or hides channel `c` in the composite. */
    void SetChannelVisible(int c, bool visible);
    /** Shows time point `t` (clamped), keeping the positions and every channel's window. */
    void SetTimePoint(int t);
    /** Steps through the time points at the frame rate, from the last back to the first. */
    void SetPlaying(bool playing);
    /** Moves `plane` to `position` (clamped) and updates every view. */
    void SetPosition(SlicePlane plane, int position);
    /** Steps `plane` by `delta` slices. */
    void StepSlice(SlicePlane plane, int delta);
    /** The plane the slice keys step: the view under the pointer, else the active one. */
    SlicePlane KeyPlane() const;
    /**
     * Sets the display window of the active channel (sample values); for data of whole
     * numbers the bounds are rounded to whole numbers.
     */
    void SetWindow(double min, double max);
    double WindowMin() const;
    double WindowMax() const;
    /**
     * The window from the 0.1 and 99.9 percentiles of the values, widened to whole
     * numbers for data of whole numbers.
     */
    void AutoWindow();
    /** The window over every value the data holds (0 … 255 for 8-bit voxels). */
    void FullWindow();
    /** Green instead of grey. */
    void SetGreen(bool green);
    /**
     * Shows a channel shown alone in colour map `map` (Channel: the ramp to
     * `channelColour`, 0xRRGGBB); a composite keeps its channels' colours.
     */
    void SetColourMap(ColourMap map, uint32_t channelColour = 0xFFFFFF);
    ColourMap CurrentColourMap() const { return colourMap_; }
    /** The box of colour maps. */
    QComboBox* ColourBox() const { return colour_; }
    /**
     * Shows `plane`'s view as `mode` of `count` slices around its position (1 …
     * MaxSlabSlices; volumes in memory only).
     */
    void SetSlab(SlicePlane plane, SlabMode mode, int count);
    SlabMode Slab(SlicePlane plane) const { return slabMode_[size_t(plane)]; }
    int SlabCount(SlicePlane plane) const { return slabCount_[size_t(plane)]; }
    static constexpr int MaxSlabSlices = 255;
    /**
     * The menu of `plane`'s view (its caption's context menu): single slice or slab, the
     * slab's slices, Fit and 1:1. Deleted when closed.
     */
    QMenu* ViewMenu(SlicePlane plane);
    /** Fits the whole volume into the views, centred; the zoom then follows their sizes. */
    void FitViews();
    /** Zooms every view to `level` screen pixels per voxel of the smallest spacing (1: 1:1). */
    void SetZoomLevel(double level);
    /** The shared zoom of the three views. */
    const LinkedZoom& Zoom() const { return zoom_; }
    /** The zoom level as the captions write it ("100%"). */
    QString ZoomText() const;
    /** Voxels drawn square (true) or at their spacing (false). */
    void SetSquareVoxels(bool square);
    /** Sets the voxel spacing (sizes along x, y and z, and their unit). */
    void SetSpacing(double x, double y, double z, const QString& unit);
    /** Computes the spectrum of `subject` (on the worker thread when it takes long). */
    void ComputeSpectrum(SpectrumSubject subject);
    /**
     * Writes the figure of `plane`'s view (Figure) as PNG, whole or not at all. Returns
     * false with the reason in `message`.
     */
    bool ExportView(SlicePlane plane, const QString& fileName, QString& message,
                    const FigureOptions& options = {}) const;
    /**
     * The figure of `plane`'s view as ExportView writes it: the slice shown (its samples,
     * slab or composite) at the voxels' proportions, through the window and colour map,
     * with what `options` add. Null with the reason in `message`.
     */
    QImage Figure(SlicePlane plane, const FigureOptions& options, QString& message) const;

    /** Most recently used files, newest first. */
    QStringList RecentFiles() const;

    /** How long (ms) a task runs before its progress shows; 0 shows it at once. */
    int ProgressDelayMs = 100;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Task;
    struct LoadResult;
    /** What is counted of one channel at one time point. */
    struct VolumeStats
    {
        SampleHistogram Histogram;
        bool Integers = true; ///< every value is a whole number
        bool Ready = false;   ///< counted
        /** Planes counted, every RowStep-th row of them, of a volume read plane by plane. */
        int Planes = 0;
        int RowStep = 1;
    };
    /** A channel as the window shows it. */
    struct Channel
    {
        QString Name;
        uint32_t Colour = 0xFFFFFF; ///< 0xRRGGBB
        bool Visible = true;
        double Min = 0, Max = 255;         ///< the display window
        std::vector<VolumeStats> Stats;    ///< per time point
        std::unique_ptr<SliceModel> Model; ///< its slices, for a composite
        /** The window follows the percentiles of a histogram still being refined. */
        bool AutoWindow = true;
        /** A large volume's slices shown, by plane: kept until newer ones are read. */
        std::array<std::shared_ptr<const ImageStruct>, 3> Shown;
        QCheckBox* Box = nullptr;
        QToolButton* Button = nullptr;
    };

    /** True when several channels are shown as a composite. */
    bool Composite() const { return channels_.size() > 1; }
    /** What is counted of the active channel at the time point shown. */
    const VolumeStats& ActiveStats() const;
    void BuildChannelRow(QWidget* parent, class QBoxLayout* layout);
    void BuildTimeRow(QWidget* parent, class QBoxLayout* layout);
    /** The channel row's boxes and buttons for the channels of the stack. */
    void FillChannelRow();
    /** Measures what is missing of the time point shown, on a thread of its own when large. */
    void RequestStats();
    /** Takes over what was measured of channels `which` at time point `t`. */
    void TakeStats(int t, const std::vector<int>& which, std::vector<VolumeStats>& stats);
    /** Sets channel `c`'s window, rounded for whole numbers; nothing is shown anew. */
    void SetChannelWindow(int c, double min, double max);
    /** The percentile window of channel `c` at the time point shown; false without counts. */
    bool AutoWindowOf(int c, double& min, double& max) const;
    /** The active channel's voxels and model at the time point shown, anew. */
    void ShowActiveVolume();
    /** Ends a spectrum under way without a word: the voxels it reads are about to change. */
    void DropSpectrum();
    /** Shows the active channel's histogram in the contrast strip. */
    void ShowHistogram();
    /** Shows the time point in the slider and its label. */
    void ShowTimePoint();
    /**
     * Channel `c` of `count` as the file describes it: its name and colour (the file's,
     * else the standard ones), and room for a histogram a time point.
     */
    void NameChannel(Channel& channel, const StackLayout& layout, int c, int count);
    /**
     * After a new volume: the channel row and the time slider built afresh, the first
     * time point shown, the readout and the spectrum's subject back to their start.
     */
    void ShowFirstTimePoint();
    /** The sample of channel `c` at voxel (x, y, z) at the time point shown, as stored. */
    double SampleValue(int c, int x, int y, int z) const;
    /** Whether values of the samples are written as floats (ValueText). */
    bool FloatSamples() const;

    void BuildMenus();
    void BuildContrastRow(QWidget* parent, class QBoxLayout* layout);
    /** Starts `work` on the worker thread; `apply` runs on this thread when it ends. */
    void StartTask(const QString& what, bool isLoad,
                   std::function<std::function<void()>(TBackgroundTask::Token&)> work);
    /** Hides the running task's progress and hands the task back. */
    std::unique_ptr<Task> EndTask();
    /** Shows the running task's progress once it has run ProgressDelayMs. */
    void ShowProgress(double fraction);
    /** Takes over a loaded volume, read from `fileName` (or none) and named `name`. */
    void Adopt(LoadResult& result, const QString& fileName, const QString& name);
    /** The measuring shapes of the volume of `fileName` (none: a volume without a file). */
    void TakeShapes(const QString& fileName);
    /** Takes over the source of a volume to be read plane by plane from `fileName`. */
    void AdoptLarge(LoadResult& result, const QString& fileName);
    /** Stops everything that reads the volume shown and lets it go, before another. */
    void LeaveVolume();
    /** Drops a volume read plane by plane, and stops reading its file. */
    void DropLarge();

    // What is shown, for volumes in memory (the model) and read plane by plane alike.
    const StackLayout& ShownLayout() const;
    int Positions(SlicePlane plane) const;
    int SliceWidth(SlicePlane plane) const;
    int SliceHeight(SlicePlane plane) const;
    std::array<int, 3> VoxelAt(SlicePlane plane, int u, int v) const;
    /** Moves `plane` to `position`, clamped; returns the position taken. */
    int MoveTo(SlicePlane plane, int position);

    /** The channels a large volume's slices are read for: the active one, then the visible. */
    std::vector<int> ReadChannels() const;
    /** Tells the large volume's slices what is shown now. */
    void ShowLarge();
    /** Takes what the large volume's readers brought since the last look. */
    void PollLarge();
    /** The large volume's histograms counted so far, into the channels' stats. */
    void TakeLargeStats();
    void ShowStatsLabel();
    /** The spectrum of a large volume: from the top slice's plane, or the figure streamed. */
    void ComputeLargeSpectrum(SpectrumSubject subject);
    /** Says that the large volume's file cannot be read any longer, and why. */
    void LargeFailed(const QString& reason);
    /** Shows the model's state in every view, caption, crosshair and the title. */
    void ShowAll();
    void ShowView(SlicePlane plane);
    void ShowCrosshairs();
    void ShowCaptions();
    void ShowTitle();
    /** The voxel sizes the views are drawn at: the spacing, or 1 for square voxels. */
    std::array<double, 3> ShownSpacing() const;
    /** The zoom areas of the views shown, by plane; empty for a hidden one. */
    std::array<QSize, 3> ZoomAreas() const;
    /** The slab `model` shows of `plane` at its position, or null for a single slice. */
    ImagePtr SlabOf(SliceModel& model, SlicePlane plane) const;
    /** The caption's words on the slab of `plane` ("   max of 5"), or none. */
    QString SlabText(SlicePlane plane) const;
    /** Gives every view's panel the shared zoom (guarded against the panels' echo). */
    void ApplyZoom();
    /** A view's panel was panned or zoomed by the user: the others follow. */
    void ViewZoomed(SlicePlane plane);
    /** Fits the zoom anew when the volume's sizes changed. */
    void FollowVolumeSizes();
    /** The spacing shown changed (a new spacing, square voxels on or off). */
    void SpacingShownChanged();
    void ViewClicked(SlicePlane plane, int u, int v);
    void PointerAt(SlicePlane plane, bool inside, int u, int v);
    void CrosshairDragged(SlicePlane plane, int axis, int value);
    void PositionsChanged(bool topOrFront);
    void ApplyWindow();
    /** A middle-button drag over a view: horizontally the window's width, vertically its level. */
    void WindowLevelDragged(bool started, QPoint delta);
    /** The window's lowest (0) or highest (1) value was typed. */
    void WindowTyped(int bound);
    /** The colour box's item `index` was chosen. */
    void ColourChosen(int index);
    /** Shows `warning` of the load of `name` in the status bar until the next volume. */
    void ShowLoadWarning(const QString& name, const QString& warning);
    void AddRecentFile(const QString& fileName);
    void UpdateRecentMenu();
    void ToggleZoom(int cell);
    void AskSpacing();
    void AskExport();

    VolumeStack stack_;
    StackVoxels voxels_; ///< the active channel's at the time point shown
    VoxelSpacing spacing_;
    SliceModel model_; ///< the active channel's at the time point shown; the positions
    std::vector<Channel> channels_;
    std::array<ImagePtr, 3> composites_; ///< the composite slices shown, by plane
    int channel_ = 0;                    ///< the active channel
    int time_ = 0;                       ///< the time point shown
    /** Time points with counts, the most recently shown last (a bounded number is kept). */
    std::vector<int> statsOrder_;
    int statsTime_ = -1; ///< the time point being measured on the stats thread
    QString fileName_;
    QString volumeName_; ///< what the title names: the file's name, or the volume's
    ColourMap colourMap_ = ColourMap::Grey;
    uint32_t mapColour_ = 0xFFFFFF;     ///< a channel map's colour, 0xRRGGBB
    std::vector<uint32_t> colourTable_; ///< the views' colour table; empty for grey
    bool square_ = false;
    TMeasuring* measuring_ = nullptr;
    LinkedZoom zoom_;
    std::array<SlabMode, 3> slabMode_{SlabMode::Single, SlabMode::Single, SlabMode::Single};
    std::array<int, 3> slabCount_{5, 5, 5};
    std::array<ImagePtr, 3> slabs_;            ///< the slabs shown of the active channel, by plane
    std::array<double, 2> dragWindow_{};       ///< the window when a width-and-level drag started
    std::array<int, 3> zoomSizes_{-1, -1, -1}; ///< the volume sizes the zoom was fitted to
    bool linking_ = false;                     ///< the panels are being given the zoom
    SpectrumSubject subject_ = SubjectLine;
    QString statusText_;

    QWidget* viewArea_ = nullptr;
    TMultiView* multiView_ = nullptr;
    std::array<TSliceView*, 3> views_{};
    TSpectrumPanel* spectrum_ = nullptr;
    TContrastStrip* contrast_ = nullptr;
    std::array<class QLineEdit*, 2> windowEdits_{}; ///< the window's lowest and highest value
    QComboBox* colour_ = nullptr;
    QWidget* channelRow_ = nullptr;
    class QHBoxLayout* channelLayout_ = nullptr;
    QWidget* timeRow_ = nullptr;
    QSlider* timeSlider_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    QToolButton* playButton_ = nullptr;
    QSpinBox* frameRate_ = nullptr;
    QTimer* playTimer_ = nullptr;
    QLabel* voxelLabel_ = nullptr;
    QWidget* warningBox_ = nullptr;
    QLabel* warningLabel_ = nullptr;
    QLabel* taskLabel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    class QAction* squareAction_ = nullptr;
    QLabel* statsLabel_ = nullptr;
    QSpinBox* cacheBox_ = nullptr;
    int lastView_ = 0; ///< the plane of the view last clicked
    /** Where the pointer was last seen over a slice: plane, u, v; plane −1 for nowhere. */
    std::array<int, 3> pointer_{-1, 0, 0};

    /** The slices of a volume read plane by plane, and where they are. */
    std::unique_ptr<LazySlices> lazy_;
    std::array<int, 3> largePosition_{};  ///< by plane
    uint64_t largeChanges_ = 0;           ///< LazySlices::Changes at the last look
    int64_t fileBytes_ = 0;               ///< the file's size
    bool spectrumWaits_ = false;          ///< a spectrum waits for the top slice's plane
    std::atomic<bool> pollQueued_{false}; ///< a look at the readers' news is queued
    QString readFailure_;
    QTimer* pollTimer_ = nullptr;

    std::unique_ptr<Task> task_; ///< what the worker runs, while it runs
    /** Counts histograms of the stack; after it, so that it is joined before the stack goes. */
    TBackgroundTask statsWorker_;
    /** Last, so that it is cancelled and joined before anything its work reads goes. */
    TBackgroundTask worker_;
};
