#pragma once

#include "ByteVolume.h"
#include "SliceModel.h"
#include "Spectrum.h"

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressDialog;
class QPushButton;
class QSlider;
class QTabWidget;
class TCSpinEdit;
class TImage;
class TOrthoWindow;
class TScrollBox;
class TShape;
class TVectorControl;

/**
 * The classic viewer window (the program's other window is the inspector,
 * TOrthoWindow): three orthogonal slices of MainVolume with their sliders and red
 * markers, the lag-difference spectrum and its figure on Panel1, which covers the whole
 * client area; beneath it the page control with the cut-out page.
 *
 * Creating the window walks `arguments` (the command line without the program name
 * and Qt's options, see CommandLine.h), printing figures and texts to standard output
 * and warnings to standard error. After "-exit" the window is not to be shown:
 * ExitRequested() tells, and ExitCode() gives the status. In a run that shows the
 * window, each load of the command line puts its file's name in LoadFilename2, as a
 * drop does, and its warning or failure shows in the window once it opens.
 *
 * The covered cut-out page takes no keyboard focus, so no key reaches a control the
 * user cannot see. A load that fails leaves the window as it was and says why; the
 * title names the volume and its size. Loads and spectra show a wait cursor, and
 * spectra predicted to take long run beside a progress dialog that Esc cancels.
 */
class TForm1 : public QWidget
{
    Q_OBJECT
public:
    explicit TForm1(std::vector<std::string> arguments = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    /**
     * Opens the inspector (Ctrl+I) on the viewer's volume: it loads the volume's file
     * again when the volume is as loaded from one, so that 16-bit and wider samples come
     * too, and takes a copy otherwise. One inspector serves the window; it is returned.
     */
    TOrthoWindow* OpenOrthoWindow();
    /** The file MainVolume holds as loaded, empty when there is none or it changed since. */
    const QString& MainFile() const { return mainFile_; }
    /**
     * What MainVolume is, as the inspector's title names it: the file's name, "synthetic",
     * either of them "thresholded at N", "blank" for the starting volume; empty for
     * voxels put there from outside.
     */
    QString VolumeName() const;

    // Controls, owned by the window.
    QTabWidget* PageControl1;
    QWidget* TabSelect;
    QWidget* TabCmp;
    TScrollBox* ScrollBox1;
    TImage* CutPreview;
    QLineEdit* LoadFilename;
    QPushButton* LoadBtn;
    QLineEdit* SaveFilename;
    QPushButton* SaveBtn;
    TShape* Vyrez;
    QPushButton* FreeMemBut;
    TCSpinEdit* VyrezVelikost;
    QFrame* Panel1;
    TShape* ShapeDepth;
    TShape* ShapeDepth2;
    TShape* ShapeFront;
    TShape* ShapeSide;
    TImage* TopView;
    TImage* SideView;
    TImage* FrontView;
    QLabel* Label1;
    TVectorControl* FFT1;
    TVectorControl* Histogram;
    QSlider* FrontDepth;
    QSlider* SideDepth;
    QSlider* Depth;
    QLineEdit* LoadFilename2;
    QPushButton* LoadBtn2;
    QPushButton* Button1;
    QPushButton* Button2;
    QSlider* TrackBar1;
    QCheckBox* CheckBox1;
    QPushButton* Button3;
    QPushButton* Button4;
    QLineEdit* Edit1;

    ByteVolume CutVolume;  ///< the volume of the cut-out page
    ByteVolume MainVolume; ///< the volume of the viewer
    int32_t CutX = 0;      ///< voxel column of the cut-out square's corner
    int32_t CutY = 0;      ///< voxel row of the cut-out square's corner

    /**
     * Prepares views, markers and sliders for the present MainVolume and draws. Voxels
     * written into MainVolume from outside the window show from here on.
     */
    void SetupViews();
    void DrawTopView();
    void DrawFrontView();
    void DrawSideView();

    /**
     * Computes the lag-difference spectrum of MainVolume in `mode` (1 line, 2 plane,
     * 3 volume) at the sliders' slice and row, shows the curve in FFT1 and the figure
     * in Edit1.
     */
    void ComputeSpectrum(SpectrumMode mode);

    /** The figure of the last spectrum (NaN when there was none to compute). */
    float HighFrequencyFigure() const { return figure_; }

    /**
     * Loads `fileName` into MainVolume as the Load button does. A load that fails
     * leaves the window as it was and says why; returns whether it loaded.
     */
    bool LoadMainVolume(const QString& fileName);

    bool ExitRequested() const { return exitRequested_; }
    /** 1 when a load of the command line failed or a figure it printed was no number. */
    int ExitCode() const { return exitCode_; }

    /** The window's message about the last failed load (hidden when there is none). */
    QMessageBox* LoadMessage() const { return loadMessage_; }

    /**
     * Spectra predicted to take longer than this (seconds, see
     * PredictedSpectrumSeconds) run beside a progress dialog that Esc cancels.
     */
    double SpectrumProgressSeconds = 1.0;
    /** The progress dialog of the running spectrum, or null. */
    QProgressDialog* SpectrumProgress() const { return spectrumProgress_; }

public slots:
    void FormCreate();
    void LoadBtn2Click();
    void DepthChange();
    void FrontDepthChange();
    void SideDepthChange();
    void Button1Click();
    void Button2Click();
    void TrackBar1Change();
    void Button3Click();
    void Button4Click();
    void CheckBox1Click();

    void LoadBtnClick();
    void SaveBtnClick();
    void CutPreviewMouseDown(Qt::MouseButton button, int x, int y);
    void VyrezMouseDown(Qt::MouseButton button, int x, int y);
    void FreeMemButClick();
    void VyrezVelikostChange();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildCutOutPage();
    void BuildPanel();
    void KeepCoveredPageOutOfKeyboard();
    /** Carries out the options of the command line (ClassicPass), shown in the window. */
    void RunCommandLine();
    SpectrumMode SpectrumModeOfCheckBox() const;
    SpectrumResult SpectrumWithProgress(SpectrumMode mode);
    void ShowVolumeInTitle(const QString& name);
    /**
     * Shows the volume just loaded from `fileName` (a load that succeeded, perhaps with
     * `warning`): the warning, the title and the views; the volume is the file's.
     */
    void ShowLoadedVolume(const QString& fileName, const std::string& warning);
    void ReportFileProblem(const QString& title, const QString& fileName,
                           const std::string& reason);
    /** MainVolume has a new buffer or new voxels: its slices are to be taken afresh. */
    void MainVolumeChanged();

    QString mainFile_;
    QString volumeName_; ///< see VolumeName(), without the threshold
    int threshold_ = 0;  ///< the highest threshold applied since the volume came
    QPointer<TOrthoWindow> orthoWindow_;
    /** Shows the slice of `plane` at `position` in `image`, black where there is none. */
    void ShowPlane(TImage* image, SlicePlane plane, int position);

    /** Where MainVolume's voxels lay when the slice model was last told of them. */
    struct VolumeLayout
    {
        const uint8_t* Data = nullptr;
        int32_t SizeX = 0, SizeY = 0, SizeZ = 0;
        int64_t StrideX = 0, StrideY = 0, StrideZ = 0;
        bool operator==(const VolumeLayout&) const = default;
    };
    static VolumeLayout LayoutOf(const ByteVolume& volume);

    std::vector<std::string> arguments_;
    SliceModel slices_; ///< the three views' slices of MainVolume
    VolumeLayout slicedLayout_;
    QMessageBox* loadMessage_ = nullptr;
    bool messagePending_ = false; ///< the message waits for the window to show
    QProgressDialog* spectrumProgress_ = nullptr;
    bool settingUp_ = false;  ///< set while SetupViews moves the sliders
    bool viewsSetUp_ = false; ///< SetupViews has run at least once
    float figure_ = 0.0f;
    bool spectrumCancelled_ = false; ///< the last spectrum was stopped by the user
    bool exitRequested_ = false;
    int exitCode_ = 0;   ///< see ExitCode()
    bool batch_ = false; ///< the command line ends at "-exit"
};
