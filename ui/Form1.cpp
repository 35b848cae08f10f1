#include "Form1.h"

#include "Application.h"
#include "BackgroundTask.h"
#include "ClassicPass.h"
#include "CommandLine.h"
#include "Framework.h"
#include "OrthoWindow.h"
#include "MessageText.h"
#include "SliceImages.h"
#include "Spectrum.h"
#include "VectorControl.h"
#include "VolumeOps.h"
#include "VolumeReader.h"

#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>

namespace {

/** v + by without overflowing int: sizes of huge volumes saturate. */
int Grown(int v, int by)
{
    return v > INT_MAX - by ? INT_MAX : v + by;
}

BitmapView ViewOf(TImage* image)
{
    QImage& picture = image->Picture();
    if (picture.isNull()) return {};
    return {picture.bits(), picture.width(), picture.height(), picture.bytesPerLine()};
}

/** Shows `draw`'s slice in `image`, or black where there is no slice to draw. */
template <class Draw> void ShowSlice(TImage* image, Draw&& draw)
{
    const BitmapView view = ViewOf(image);
    if (!view.Bits) return;
    if (!draw(view)) image->Picture().fill(Qt::black);
    image->update();
}

template <class Control>
Control* Place(Control* control, int left, int top, int width, int height,
               TAnchors anchors = akLeft | akTop)
{
    control->setGeometry(left, top, width, height);
    SetAnchors(control, anchors);
    return control;
}

QSlider* NewTrackBar(QWidget* parent, Qt::Orientation orientation)
{
    auto* bar = new QSlider(orientation, parent);
    bar->setRange(0, 10);
    bar->setValue(0);
    bar->setTickPosition(QSlider::TicksBelow);
    bar->setTickInterval(1);
    bar->setPageStep(1);
    return bar;
}

TShape* NewMarker(QWidget* parent)
{
    auto* shape = new TShape(parent);
    shape->SetPenColor(clRed);
    shape->SetPenWidth(2);
    return shape;
}

std::string LocalName(const QString& fileName)
{
    return QFile::encodeName(fileName).toStdString();
}

/** A file name or reason as the window shows it: control bytes made visible. */
QString Shown(const std::string& bytes)
{
    return QString::fromUtf8(QuoteBytes(bytes).c_str());
}

/** Shows the wait cursor while it lives. */
class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace

TForm1::TForm1(std::vector<std::string> arguments, QWidget* parent)
    : QWidget(parent), arguments_(std::move(arguments)), slices_(&MainVolume)
{
    setWindowTitle(QStringLiteral("volinspect"));
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ColorToQColor(clBtnFace));
    setPalette(palette);
    setAutoFillBackground(true);
    move(246, 158);
    resize(792, 573);
    setMinimumSize(792, 573);
    setAcceptDrops(true);

    BuildCutOutPage();
    BuildPanel();
    KeepCoveredPageOutOfKeyboard();
    // Focus starts on a control the user can see: the file name of the viewer.
    LoadFilename2->setFocus();
    auto* inspect = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_I), this);
    connect(inspect, &QShortcut::activated, this,
            [this] { RunGuarded([this] { OpenOrthoWindow(); }); });
    FormCreate();
}

void TForm1::KeepCoveredPageOutOfKeyboard()
{
    // Panel1 covers the page control for the window's whole life: its controls can be
    // neither seen nor clicked, so they must not be reachable by Tab either, where a
    // Space would press a button nobody sees.
    PageControl1->setFocusPolicy(Qt::NoFocus);
    for (QWidget* child : PageControl1->findChildren<QWidget*>())
        child->setFocusPolicy(Qt::NoFocus);
}

TForm1::~TForm1()
{
    delete orthoWindow_;
}

TOrthoWindow* TForm1::OpenOrthoWindow()
{
    if (!orthoWindow_) {
        orthoWindow_ = new TOrthoWindow;
        orthoWindow_->setAttribute(Qt::WA_DeleteOnClose);
    }
    if (!mainFile_.isEmpty()) {
        orthoWindow_->OpenFile(mainFile_);
    } else {
        ByteVolume copy;
        try {
            copy.Allocate(MainVolume.SizeX, MainVolume.SizeY, MainVolume.SizeZ);
        } catch (const std::bad_alloc&) {
            QMessageBox::warning(this, tr("Inspector"),
                                 tr("Not enough memory for a copy of the volume."));
            return orthoWindow_;
        }
        if (copy.Data && MainVolume.Data)
            for (int32_t z = 0; z < copy.SizeZ; ++z)
                for (int32_t y = 0; y < copy.SizeY; ++y)
                    std::copy_n(MainVolume.VoxelPtr(0, y, z), copy.SizeX, copy.VoxelPtr(0, y, z));
        const QString name = VolumeName();
        orthoWindow_->ShowVolume(std::move(copy),
                                 name.isEmpty() ? tr("volume of the viewer") : name);
    }
    orthoWindow_->show();
    orthoWindow_->raise();
    orthoWindow_->activateWindow();
    return orthoWindow_;
}

void TForm1::BuildCutOutPage()
{
    PageControl1 = Place(new QTabWidget(this), 16, 24, 761, 505, akAll);
    TabSelect = new QWidget;
    TabCmp = new QWidget;
    PageControl1->addTab(TabSelect, QStringLiteral("TabSelect"));
    PageControl1->addTab(TabCmp, QStringLiteral("TabCmp"));
    PageControl1->setCurrentWidget(TabSelect);
    // The page's controls are placed against its client area as designed; the page
    // control lays the page out when it is shown, and the anchors follow.
    TabSelect->resize(753, 477);

    ScrollBox1 = Place(new TScrollBox(TabSelect), 8, 72, 737, 401, akAll);
    CutPreview = new TImage(ScrollBox1->Content());
    CutPreview->SetAutoSize(true);
    CutPreview->setGeometry(0, 0, 105, 105);
    Vyrez = NewMarker(ScrollBox1->Content());
    Vyrez->setGeometry(0, 0, 256, 256);

    LoadFilename = Place(new QLineEdit(QStringLiteral("LoadFilename"), TabSelect), 16, 8, 185, 21);
    LoadBtn = Place(new QPushButton(QStringLiteral("Load"), TabSelect), 208, 8, 75, 25);
    SaveFilename = Place(new QLineEdit(QStringLiteral("SaveFilename"), TabSelect), 16, 40, 185, 21);
    SaveBtn = Place(new QPushButton(QStringLiteral("Save"), TabSelect), 208, 40, 75, 25);
    FreeMemBut = Place(new QPushButton(QStringLiteral("FreeMem"), TabSelect), 288, 8, 75, 25);
    VyrezVelikost = Place(new TCSpinEdit(TabSelect), 400, 8, 81, 22);
    VyrezVelikost->SetValue(256);

    connect(LoadBtn, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { LoadBtnClick(); }); });
    connect(LoadFilename, &QLineEdit::returnPressed, this,
            [this] { RunGuarded([this] { LoadBtnClick(); }); });
    connect(SaveBtn, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { SaveBtnClick(); }); });
    connect(FreeMemBut, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { FreeMemButClick(); }); });
    connect(VyrezVelikost, &TCSpinEdit::Change, this,
            [this] { RunGuarded([this] { VyrezVelikostChange(); }); });
    connect(CutPreview, &TImage::MouseDown, this, [this](Qt::MouseButton b, int x, int y) {
        RunGuarded([&] { CutPreviewMouseDown(b, x, y); });
    });
    connect(Vyrez, &TShape::MouseDown, this, [this](Qt::MouseButton b, int x, int y) {
        RunGuarded([&] { VyrezMouseDown(b, x, y); });
    });
}

void TForm1::BuildPanel()
{
    auto* panel = new TPanel(this);
    panel->SetColor(clBlack);
    Panel1 = Place<QFrame>(panel, 0, 0, 793, 573, akAll);

    ShapeDepth = Place(NewMarker(Panel1), 216, 16, 97, 49);
    ShapeDepth2 = Place(NewMarker(Panel1), 32, 192, 49, 97);
    ShapeFront = Place(NewMarker(Panel1), 216, 200, 121, 65);
    ShapeSide = Place(NewMarker(Panel1), 224, 192, 65, 121);

    TopView = new TImage(Panel1);
    TopView->SetAutoSize(true);
    Place(TopView, 224, 200, 105, 105);
    SideView = Place(new TImage(Panel1), 32, 200, 81, 81);
    FrontView = new TImage(Panel1);
    FrontView->SetAutoSize(true);
    Place(FrontView, 224, 16, 81, 81);

    Label1 = Place(new QLabel(QStringLiteral("0"), Panel1), 536, 244, 6, 13, akRight | akBottom);
    Label1->hide();

    FFT1 = new TVectorControl(Panel1);
    FFT1->SetAllocSize(1);
    FFT1->SetTransparent(true);
    FFT1->SetVectorColor(clLime);
    FFT1->SetMax(0.2f);
    FFT1->SetMin(0.0f);
    Place(FFT1, 8, 318, 779, 247, akLeft | akRight | akBottom);
    Histogram = new TVectorControl(Panel1);
    Histogram->SetAllocSize(256);
    Histogram->SetVectorColor(clLime);
    Histogram->SetAutoMin(true);
    Histogram->SetAutoMax(true);
    Histogram->SetMax(255.0f);
    Place(Histogram, 520, -12, 257, 201, akRight | akBottom);
    Histogram->hide();

    FrontDepth = Place(NewTrackBar(Panel1, Qt::Vertical), 168, 192, 45, 153);
    FrontDepth->setInvertedAppearance(true); // minimum at the top
    FrontDepth->setInvertedControls(true);
    SideDepth = Place(NewTrackBar(Panel1, Qt::Horizontal), 216, 144, 150, 45);
    Depth = Place(NewTrackBar(Panel1, Qt::Horizontal), 24, 144, 97, 45);

    LoadFilename2 = Place(new QLineEdit(QStringLiteral("plane8.ics"), Panel1), 522, 16, 167, 21,
                          akTop | akRight);
    LoadBtn2 =
        Place(new QPushButton(QStringLiteral("Load"), Panel1), 702, 16, 75, 25, akTop | akRight);
    Button1 = Place(new QPushButton(QStringLiteral("SynteticImg"), Panel1), 702, 48, 75, 25,
                    akTop | akRight);
    Button1->hide();
    Button2 = Place(new QPushButton(QStringLiteral("Threshold down"), Panel1), 520, 236, 121, 25,
                    akRight | akBottom);
    Button2->hide();
    TrackBar1 = Place(NewTrackBar(Panel1, Qt::Horizontal), 512, 188, 273, 45, akRight | akBottom);
    TrackBar1->setMaximum(255);
    TrackBar1->setTickInterval(16);
    TrackBar1->hide();
    CheckBox1 = Place(new QCheckBox(QStringLiteral("FullPlaneSpectrum"), Panel1), 672, 460, 121, 17,
                      akRight | akBottom);
    CheckBox1->hide();
    Button3 = Place(new QPushButton(QStringLiteral("Full volume spect."), Panel1), 656, 252, 129,
                    25, akRight | akBottom);
    Button4 = Place(new QPushButton(QStringLiteral("Full plane spect."), Panel1), 656, 221, 129, 25,
                    akRight | akBottom);
    Edit1 = Place(new QLineEdit(Panel1), 656, 288, 129, 21, akRight | akBottom);
    Edit1->setEnabled(false);
    // Volumes of wide samples are reduced to 8 bits on loading, and so is the figure.
    Edit1->setToolTip(tr("Computed from the volume's 8-bit voxels"));

    connect(LoadBtn2, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { LoadBtn2Click(); }); });
    // Enter in the file name loads as the button does.
    connect(LoadFilename2, &QLineEdit::returnPressed, this,
            [this] { RunGuarded([this] { LoadBtn2Click(); }); });
    connect(Depth, &QSlider::valueChanged, this, [this] { RunGuarded([this] { DepthChange(); }); });
    connect(FrontDepth, &QSlider::valueChanged, this,
            [this] { RunGuarded([this] { FrontDepthChange(); }); });
    connect(SideDepth, &QSlider::valueChanged, this,
            [this] { RunGuarded([this] { SideDepthChange(); }); });
    connect(Button1, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { Button2Click(); }); });
    connect(TrackBar1, &QSlider::valueChanged, this,
            [this] { RunGuarded([this] { TrackBar1Change(); }); });
    connect(Button3, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { Button3Click(); }); });
    connect(Button4, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { Button4Click(); }); });
    connect(CheckBox1, &QCheckBox::toggled, this,
            [this] { RunGuarded([this] { CheckBox1Click(); }); });
}

void TForm1::FormCreate()
{
    CutX = 0;
    CutY = 0;
    ClassicPass::AllocateStartingVolume(MainVolume);
    MainVolumeChanged();
    volumeName_ = tr("blank");
    RunCommandLine();
}

// --- command line ------------------------------------------------------------------

void TForm1::RunCommandLine()
{
    // A run that will end at "-exit" never shows the window: loads skip the views and
    // the line spectrum, which nobody would see (on a wide volume the spectrum of one
    // line alone can take minutes), and "-echohighpeak" computes the figure alone.
    batch_ = CommandLine::Walk(arguments_, {});
    ClassicPass::Hooks hooks;
    hooks.WhileLoading = [](const std::function<void()>& load) {
        const BusyCursor busy;
        load();
    };
    hooks.Loaded = [this](const std::string& fileName, const std::string& warning) {
        MainVolumeChanged();
        if (batch_) return;
        const QString name = QFile::decodeName(QByteArray::fromStdString(fileName));
        ShowLoadedVolume(name, warning);
        LoadFilename2->setText(name); // so that Load reads the same file again
    };
    if (!batch_) {
        // The window that opens after the options says so too, with the name in the
        // field as if typed there.
        hooks.LoadFailed = [this](const std::string& fileName, const std::string& reason) {
            const QString name = QFile::decodeName(QByteArray::fromStdString(fileName));
            ReportFileProblem(tr("Cannot load"), name, reason);
            LoadFilename2->setText(name);
        };
        hooks.Spectrum = [this] {
            ComputeSpectrum(SpectrumVolume);
            return ClassicPass::Figure{figure_, spectrumCancelled_};
        };
    }
    ClassicPass pass(MainVolume, arguments_, std::move(hooks));
    exitRequested_ = pass.Run();
    exitCode_ = pass.ExitCode();
}

// --- spectrum and tools --------------------------------------------------------------

SpectrumMode TForm1::SpectrumModeOfCheckBox() const
{
    return CheckBox1->isChecked() ? SpectrumPlane : SpectrumLine;
}

void TForm1::ComputeSpectrum(SpectrumMode mode)
{
    const BusyCursor busy;
    const SpectrumResult result =
        batch_ || PredictedSpectrumSeconds(MainVolume, mode) <= SpectrumProgressSeconds
            ? ComputeLagSpectrum(MainVolume, mode, Depth->value(), FrontDepth->value())
            : SpectrumWithProgress(mode);
    spectrumCancelled_ = result.Cancelled;
    FFT1->SetAllocSize(int(result.Curve.size()));
    if (FFT1->Vector && FFT1->Vector->Length >= int(result.Curve.size()))
        std::copy(result.Curve.begin(), result.Curve.end(), FFT1->Vector->Values);
    FFT1->Invalidate();
    figure_ = result.Figure;
    char text[64];
    std::snprintf(text, sizeof text, "Hi freq peak: %2.3f", double(figure_));
    Edit1->setText(QString::fromLatin1(text));
}

SpectrumResult TForm1::SpectrumWithProgress(SpectrumMode mode)
{
    // The computation runs on a thread of its own while this one shows its progress
    // and keeps the window painted; Esc (or Cancel) stops it within milliseconds.
    const int64_t total = SpectrumDifferences(MainVolume, mode);
    const int z = Depth->value(), y = FrontDepth->value();
    SpectrumResult result;
    std::exception_ptr failure;
    TBackgroundTask task;
    task.Start(
        [this, mode, z, y, total](TBackgroundTask::Token& token) {
            return ComputeLagSpectrum(MainVolume, mode, z, y, &token.Spectrum(total));
        },
        [&result](SpectrumResult& computed) { result = std::move(computed); },
        [&failure](std::exception_ptr error) { failure = error; });

    const QString what = mode == SpectrumLine    ? tr("one line")
                         : mode == SpectrumPlane ? tr("one plane")
                                                 : tr("the whole volume");
    QProgressDialog dialog(tr("Computing the spectrum of %1 of %2 voxels wide (Esc cancels)...")
                               .arg(what)
                               .arg(MainVolume.SizeX),
                           tr("Cancel"), 0, 1000, this);
    dialog.setWindowTitle(QApplication::applicationName());
    spectrumProgress_ = &dialog;
    task.Wait(dialog);
    spectrumProgress_ = nullptr;
    if (failure) std::rethrow_exception(failure);
    return result;
}

void TForm1::Button3Click()
{
    ComputeSpectrum(SpectrumVolume);
}

void TForm1::Button4Click()
{
    ComputeSpectrum(SpectrumPlane);
}

void TForm1::CheckBox1Click()
{
    ComputeSpectrum(SpectrumModeOfCheckBox());
}

void TForm1::Button1Click()
{
    FillSyntheticEdge(MainVolume);
    MainVolumeChanged();
    ShowVolumeInTitle(QStringLiteral("synthetic"));
    SetupViews();
    volumeName_ = QStringLiteral("synthetic"); // after SetupViews, a change of the voxels
}

void TForm1::Button2Click()
{
    // Thresholds one after the other clear what the highest of them alone clears.
    const QString name = volumeName_;
    const int threshold = std::max(threshold_, TrackBar1->value());
    ThresholdColumns(MainVolume, TrackBar1->value());
    MainVolumeChanged();
    SetupViews();
    volumeName_ = name;
    threshold_ = threshold;
}

QString TForm1::VolumeName() const
{
    if (volumeName_.isEmpty() || threshold_ <= 0) return volumeName_;
    return tr("%1, thresholded at %2").arg(volumeName_).arg(threshold_);
}

void TForm1::TrackBar1Change()
{
    Label1->setText(QString::number(TrackBar1->value()));
    Label1->adjustSize(); // the label sizes to its caption
}

// --- viewer ----------------------------------------------------------------------

void TForm1::LoadBtn2Click()
{
    LoadMainVolume(LoadFilename2->text());
}

bool TForm1::LoadMainVolume(const QString& fileName)
{
    const BusyCursor busy;
    const VolumeReadResult read = ReadVolume(LocalName(fileName), MainVolume);
    if (!read.Loaded()) {
        // The volume is as it was, and so are the views, sliders, figure and title.
        ReportFileProblem(tr("Cannot load"), fileName, read.Message);
        return false;
    }
    MainVolumeChanged();
    ShowLoadedVolume(fileName, read.Message);
    return true;
}

void TForm1::ShowLoadedVolume(const QString& fileName, const std::string& warning)
{
    if (!warning.empty()) ReportFileProblem(tr("Loaded with a problem"), fileName, warning);
    const QFileInfo file(QFile::decodeName(LocalName(fileName).c_str()));
    ShowVolumeInTitle(file.fileName());
    SetupViews();
    // Set after SetupViews, which counts as a change of the voxels.
    mainFile_ = file.absoluteFilePath();
    volumeName_ = file.fileName();
}

void TForm1::ShowVolumeInTitle(const QString& name)
{
    setWindowTitle(QStringLiteral("volinspect \u2014 %1 \u2014 %2 \u00d7 %3 \u00d7 %4")
                       .arg(Shown(LocalName(name)))
                       .arg(MainVolume.SizeX)
                       .arg(MainVolume.SizeY)
                       .arg(MainVolume.SizeZ));
}

void TForm1::SetupViews()
{
    const int x = MainVolume.SizeX, y = MainVolume.SizeY, z = MainVolume.SizeZ;
    MainVolumeChanged(); // whatever was written into MainVolume before this call

    FrontView->SetPictureSize(x, z);
    FrontView->resize(x, z);
    SideView->SetPictureSize(z, y);
    SideView->resize(z, y);
    TopView->SetPictureSize(x, y);
    TopView->resize(x, y);

    ShapeDepth->resize(Grown(x, 16), ShapeDepth->height());
    ShapeDepth2->resize(ShapeDepth2->width(), Grown(y, 16));
    Depth->resize(Grown(z, 20), Depth->height());
    ShapeFront->resize(Grown(x, 16), ShapeFront->height());
    FrontDepth->resize(FrontDepth->width(), Grown(y, 20));
    ShapeSide->resize(ShapeSide->width(), Grown(y, 16));
    SideDepth->resize(Grown(x, 20), SideDepth->height());

    // The sliders' change handlers stay idle while all three get their new ranges;
    // the views are drawn once afterwards, whether or not a position changed.
    settingUp_ = true;
    Depth->setRange(0, std::max(z - 1, 0));
    Depth->setValue(z / 2);
    FrontDepth->setRange(0, std::max(y - 1, 0));
    FrontDepth->setValue(y / 2);
    SideDepth->setRange(0, std::max(x - 1, 0));
    SideDepth->setValue(x / 2);
    settingUp_ = false;

    ShapeDepth->resize(ShapeDepth->width(), Depth->value());
    ShapeDepth2->resize(Depth->value(), ShapeDepth2->height());
    ShapeFront->resize(ShapeFront->width(), FrontDepth->value());
    ShapeSide->resize(SideDepth->value(), ShapeSide->height());
    viewsSetUp_ = true;
    DrawFrontView();
    DrawSideView();
    DrawTopView();
    ComputeSpectrum(SpectrumModeOfCheckBox());
}

void TForm1::DrawTopView()
{
    // The grey values of the slice are counted with every drawing and shown in the
    // histogram plot, compressed by the power 0.35.
    std::array<int64_t, 256> counts{};
    ShowPlane(TopView, SlicePlane::Top, Depth->value());
    // Counted from the volume, so that a slice too wide for a bitmap has its
    // histogram all the same.
    CountSliceValues(MainVolume, Depth->value(), counts.data());
    if (Histogram->Vector && Histogram->Vector->Length >= 256)
        for (int i = 0; i < 256; ++i)
            Histogram->Vector->Values[i] = float(std::pow(double(counts[i]), 0.35));
    Histogram->Invalidate();
}

void TForm1::DrawFrontView()
{
    ShowPlane(FrontView, SlicePlane::Front, FrontDepth->value());
}

void TForm1::DrawSideView()
{
    ShowPlane(SideView, SlicePlane::Side, SideDepth->value());
}

TForm1::VolumeLayout TForm1::LayoutOf(const ByteVolume& volume)
{
    return {volume.Data,    volume.SizeX,   volume.SizeY,  volume.SizeZ,
            volume.StrideX, volume.StrideY, volume.StrideZ};
}

void TForm1::MainVolumeChanged()
{
    mainFile_.clear();
    volumeName_.clear();
    threshold_ = 0;
    slices_.VolumeChanged();
    slicedLayout_ = LayoutOf(MainVolume);
}

void TForm1::ShowPlane(TImage* image, SlicePlane plane, int position)
{
    // MainVolume is public: a buffer put there from outside (Allocate, a move) is
    // noticed here, so that no slice refers to memory that has been freed.
    if (LayoutOf(MainVolume) != slicedLayout_) MainVolumeChanged();
    ShowSlice(image, [&](const BitmapView& view) {
        return DrawModelSlice(slices_, plane, position, view);
    });
}

void TForm1::DepthChange()
{
    if (settingUp_) return;
    ShapeDepth->resize(ShapeDepth->width(), Depth->value());
    ShapeDepth2->resize(Depth->value(), ShapeDepth2->height());
    // Before the first set-up there is nothing to show: no voxel is read.
    if (!viewsSetUp_) return;
    DrawTopView();
    ComputeSpectrum(SpectrumModeOfCheckBox());
}

void TForm1::FrontDepthChange()
{
    if (settingUp_) return;
    ShapeFront->resize(ShapeFront->width(), FrontDepth->value());
    if (!viewsSetUp_) return;
    DrawFrontView();
    if (!CheckBox1->isChecked()) ComputeSpectrum(SpectrumLine);
}

void TForm1::SideDepthChange()
{
    if (settingUp_) return;
    ShapeSide->resize(SideDepth->value(), ShapeSide->height());
    if (!viewsSetUp_) return;
    DrawSideView();
}

// --- cut-out page ----------------------------------------------------------------

void TForm1::LoadBtnClick()
{
    const BusyCursor busy;
    const VolumeReadResult read = ReadVolume(LocalName(LoadFilename->text()), CutVolume);
    if (!read.Loaded()) {
        ReportFileProblem(tr("Cannot load"), LoadFilename->text(), read.Message);
        return;
    }

    CutPreview->SetPictureSize(CutVolume.SizeX, CutVolume.SizeY);
    CutPreview->resize(std::max(CutVolume.SizeX, 0), std::max(CutVolume.SizeY, 0));
    ShowSlice(CutPreview,
              [this](const BitmapView& view) { return DrawMaxProjection(CutVolume, view); });
}

void TForm1::CutPreviewMouseDown(Qt::MouseButton, int x, int y)
{
    // Controls of the scroll box sit at content coordinates, so the square's corner
    // lands on the pressed pixel whatever the scroll positions are.
    CutX = x;
    CutY = y;
    Vyrez->move(x, y);
}

void TForm1::VyrezMouseDown(Qt::MouseButton, int x, int y)
{
    CutX += x;
    CutY += y;
    Vyrez->move(Vyrez->x() + x, Vyrez->y() + y);
}

void TForm1::VyrezVelikostChange()
{
    const int size = std::max(VyrezVelikost->Value(), 0);
    Vyrez->resize(size, size);
}

void TForm1::SaveBtnClick()
{
    const int32_t size = VyrezVelikost->Value();
    const ByteVolume block = CutBlock(CutVolume, CutX, CutY, size);
    std::string message;
    if (block.SaveRaw(LocalName(SaveFilename->text()), &message) != 0)
        ReportFileProblem(tr("Cannot save"), SaveFilename->text(), message);
}

void TForm1::FreeMemButClick()
{
    CutVolume.Release();
}

// --- messages and drops ------------------------------------------------------------

void TForm1::ReportFileProblem(const QString& title, const QString& fileName,
                               const std::string& reason)
{
    if (!loadMessage_) {
        loadMessage_ = new QMessageBox(QMessageBox::Warning, QApplication::applicationName(),
                                       QString(), QMessageBox::Ok, this);
        loadMessage_->setWindowModality(Qt::NonModal);
    }
    loadMessage_->setText(
        QStringLiteral("%1 '%2': %3.").arg(title, Shown(LocalName(fileName)), Shown(reason)));
    // Before the window shows (a failed "-load" of the command line) the message
    // waits for it, so that it appears over the window.
    if (isVisible())
        loadMessage_->show();
    else
        messagePending_ = true;
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (messagePending_ && loadMessage_) {
        messagePending_ = false;
        QTimer::singleShot(0, loadMessage_, &QWidget::show);
    }
}

void TForm1::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); }))
        event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile()) continue;
        event->acceptProposedAction();
        LoadFilename2->setText(url.toLocalFile());
        RunGuarded([this] { LoadBtn2Click(); });
        return;
    }
}
