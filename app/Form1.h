#pragma once

#include "ByteVolume.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QSlider;
class QTabWidget;
class TCSpinEdit;
class TImage;
class TScrollBox;
class TShape;
class TVectorControl;

/**
 * The volume inspector's window: three orthogonal slices of MainVolume with their
 * sliders and red markers, the lag-difference spectrum and its figure on Panel1,
 * which covers the whole client area; beneath it the page control with the cut-out
 * page.
 *
 * Creating the window walks `arguments` (the command line without the program
 * name): "-load FILE", "-echohighpeak", "-echo TEXT", "-echonewline" and "-exit",
 * printing to standard output. After "-exit" the window is not to be shown:
 * ExitRequested() tells, and ExitCode() gives the status (1 when a load failed).
 */
class TForm1 : public QWidget
{
    Q_OBJECT
public:
    explicit TForm1(std::vector<std::string> arguments = {}, QWidget* parent = nullptr);
    ~TForm1() override;

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

    /** Prepares views, markers and sliders for the present MainVolume and draws. */
    void SetupViews();
    void DrawTopView();
    void DrawFrontView();
    void DrawSideView();

    /**
     * Computes the lag-difference spectrum of MainVolume in `mode` (1 line, 2 plane,
     * 3 volume) at the sliders' slice and row, shows the curve in FFT1 and the figure
     * in Edit1.
     */
    void ComputeSpectrum(int mode);

    /** The figure of the last spectrum (NaN when there was none to compute). */
    float HighFrequencyFigure() const { return figure_; }

    /** Loads `fileName` into MainVolume as the Load button does. */
    void LoadMainVolume(const QString& fileName);

    /** What a walk of the command line does with each option; empty ones do nothing. */
    struct CommandLineActions
    {
        std::function<void(const std::string&)> Load;
        std::function<void()> EchoHighPeak;
        std::function<void(const std::string&)> Echo;
        std::function<void()> EchoNewLine;
    };
    /**
     * Walks `args` as the window's creation does, calling `actions`; returns true when
     * the walk ends at "-exit" (and the window is not to be shown).
     */
    static bool WalkCommandLine(const std::vector<std::string>& args,
                                const CommandLineActions& actions);

    bool ExitRequested() const { return exitRequested_; }
    int ExitCode() const { return anyLoadFailed_ ? 1 : 0; }

    /** The window's message about the last failed load (hidden when there is none). */
    QMessageBox* LoadMessage() const { return loadMessage_; }

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

private:
    void BuildCutOutPage();
    void BuildPanel();
    void RunCommandLine();
    void LoadFromCommandLine(const std::string& fileName);
    int SpectrumModeOfCheckBox() const;
    void ReportFileProblem(const QString& title, const QString& fileName,
                           const std::string& reason);

    std::vector<std::string> arguments_;
    QMessageBox* loadMessage_ = nullptr;
    bool settingUp_ = false;     ///< set while SetupViews moves the sliders
    bool viewsSetUp_ = false;    ///< SetupViews has run at least once
    float figure_ = 0.0f;
    bool exitRequested_ = false;
    bool batch_ = false;          ///< the command line ends at "-exit"
    bool lastLoadFailed_ = false; ///< the last "-load" failed: figures print as nan
    bool anyLoadFailed_ = false;
};
