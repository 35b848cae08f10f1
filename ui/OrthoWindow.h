#pragma once

#include "BackgroundTask.h"
#include "ByteVolume.h"
#include "SampleStats.h"
#include "SliceModel.h"
#include "VolumeSamples.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class TContrastStrip;
class TMultiView;
class TSliceView;
class TSpectrumPanel;

/**
 * The inspector: a volume's three orthogonal slices and its spectrum in a grid of four
 * cells, each slice a zoomable image with a crosshair, sharing one contrast window.
 *
 * A click in a view moves the other two planes to the voxel clicked; Page Up/Down and
 * the arrow keys step the slice of the view under the pointer (else the active one),
 * Shift by ten. Volumes of 16-bit, 32-bit and float samples are shown from their own
 * samples. Loads and long spectra run on a worker thread at a lower priority, with a
 * progress bar and a Cancel button; one such task runs at a time.
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
    /** Shows `volume` (taken over), named `name`, with no file behind it. */
    void ShowVolume(ByteVolume&& volume, const QString& name);
    /** True while a load or a spectrum runs on the worker thread. */
    bool Busy() const { return task_ != nullptr; }
    /** Cancels the running task, if any; its result is dropped. */
    void CancelTask();

    // --- the state shown ---------------------------------------------------------------
    const ByteVolume& Volume() const { return volume_; }
    const VolumeSamples& Samples() const { return samples_; }
    const VoxelSpacing& Spacing() const { return spacing_; }
    const SampleHistogram& Histogram() const { return histogram_; }
    const QString& FileName() const { return fileName_; }
    SliceModel& Model() { return model_; }
    TSliceView* View(SlicePlane plane) const { return views_[size_t(plane)]; }
    TMultiView* Views() const { return multiView_; }
    TSpectrumPanel* Spectrum() const { return spectrum_; }
    TContrastStrip* Contrast() const { return contrast_; }
    /**
     * The status bar's voxel text: the voxel's position, its value (the sample as
     * stored, for 16-bit, 32-bit and float data followed by the 8-bit voxel), and its
     * place in the spacing's units when they are known.
     */
    QString StatusText() const;
    /** The status bar's label of the warning, elided to fit; hidden when there is none. */
    QLabel* WarningLabel() const { return warningLabel_; }
    /** The running task's text as the status bar shows it, elided to fit. */
    QLabel* TaskLabel() const { return taskLabel_; }
    QMenu* RecentMenu() const { return recentMenu_; }
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
    /** Moves `plane` to `position` (clamped) and updates every view. */
    void SetPosition(SlicePlane plane, int position);
    /** Steps `plane` by `delta` slices. */
    void StepSlice(SlicePlane plane, int delta);
    /** The plane the slice keys step: the view under the pointer, else the active one. */
    SlicePlane KeyPlane() const;
    /**
     * Sets the display window of the three views (sample values); for data of whole
     * numbers the bounds are rounded to whole numbers.
     */
    void SetWindow(double min, double max);
    double WindowMin() const { return min_; }
    double WindowMax() const { return max_; }
    /**
     * The window from the 0.1 and 99.9 percentiles of the values, widened to whole
     * numbers for data of whole numbers.
     */
    void AutoWindow();
    /** The window over every value the data holds (0 … 255 for 8-bit voxels). */
    void FullWindow();
    /** Green instead of grey. */
    void SetGreen(bool green);
    /** Voxels drawn square (true) or at their spacing (false). */
    void SetSquareVoxels(bool square);
    /** Sets the voxel spacing (sizes along x, y and z, and their unit). */
    void SetSpacing(double x, double y, double z, const QString& unit);
    /** Computes the spectrum of `subject` (on the worker thread when it takes long). */
    void ComputeSpectrum(SpectrumSubject subject);
    /**
     * Writes the slice of `plane` at its own resolution with the display window and
     * colour applied, as PNG. Returns false with the reason in `message`.
     */
    bool ExportView(SlicePlane plane, const QString& fileName, QString& message) const;

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
    /** Shows the model's state in every view, caption, crosshair and the title. */
    void ShowAll();
    void ShowView(SlicePlane plane);
    void ShowCrosshairs();
    void ShowCaptions();
    void ShowTitle();
    /** Width / height of `plane`'s slice on screen, by the spacing. */
    float Ratio(SlicePlane plane) const;
    void ViewClicked(SlicePlane plane, int u, int v);
    void PointerAt(SlicePlane plane, bool inside, int u, int v);
    void CrosshairDragged(SlicePlane plane, int axis, int value);
    void PositionsChanged(bool topOrFront);
    void ApplyWindow();
    /** Shows `warning` of the load of `name` in the status bar until the next volume. */
    void ShowLoadWarning(const QString& name, const QString& warning);
    void AddRecentFile(const QString& fileName);
    void UpdateRecentMenu();
    void ToggleZoom(int cell);
    void AskSpacing();
    void AskExport();

    ByteVolume volume_;
    VolumeSamples samples_;
    VoxelSpacing spacing_;
    SampleHistogram histogram_;
    SliceModel model_;
    QString fileName_;
    QString volumeName_; ///< what the title names: the file's name, or the volume's
    double min_ = 0, max_ = 255;
    bool integers_ = true; ///< every value is a whole number
    bool green_ = false;
    bool square_ = false;
    SpectrumSubject subject_ = SubjectLine;
    QString statusText_;

    QWidget* viewArea_ = nullptr;
    TMultiView* multiView_ = nullptr;
    std::array<TSliceView*, 3> views_{};
    TSpectrumPanel* spectrum_ = nullptr;
    TContrastStrip* contrast_ = nullptr;
    QLabel* windowLabel_ = nullptr;
    QComboBox* colour_ = nullptr;
    QLabel* voxelLabel_ = nullptr;
    QWidget* warningBox_ = nullptr;
    QLabel* warningLabel_ = nullptr;
    QLabel* taskLabel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    class QAction* squareAction_ = nullptr;
    int lastView_ = 0; ///< the plane of the view last clicked
    /** Where the pointer was last seen over a slice: plane, u, v; plane −1 for nowhere. */
    std::array<int, 3> pointer_{-1, 0, 0};

    std::unique_ptr<Task> task_; ///< what the worker runs, while it runs
    /** Last, so that it is cancelled and joined before anything its work reads goes. */
    TBackgroundTask worker_;
};
