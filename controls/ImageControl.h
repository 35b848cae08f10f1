#pragma once

#include "controls_export.h"

#include "Events.h"
#include "Framework.h"
#include "ZoomPanel.h"
#include "imgdraw.h"
#include "imgkernel.h"

#include <QColor>
#include <QFlags>
#include <QString>

#include <cstdint>
#include <vector>

/**
 * Shows one image of any element kind (8-bit, 16-bit, 32-bit, float, RGB, complex),
 * scaled and shifted by a scale and an offset per axis (sample u at client pixel
 * XOffset + u·XScale), through a grey window Min … Max and, for float and complex
 * images, a display mode (real or imaginary part, power, their logarithms, and the
 * quadrant swap that puts a Fourier image's origin in the centre).
 *
 * The control owns its image while AllocImage names a kind (it allocates one of
 * XSize × YSize elements), or shows an image the program owns (SetImage). Images that
 * are 8-bit or RGB in a directly drawable layout, shown with the window 0 … 255, are
 * drawn as they are; all others are converted into a cached display image, which
 * panning and zooming reuse: only the changes that set Rebuild convert again. Changes
 * the program makes to the image's pixels show after Invalidate().
 *
 * A transparent control paints only its image (value-0 elements not even that), so
 * that what lies beneath shows through; it keeps the window 0 … 255, and a white
 * DisplayColor for RGB images. Setting AutoLoad loads a picture file into the image.
 *
 * Published properties are Q_PROPERTYs (Qt Designer, setProperty): each Set… setter
 * has a Qt-style alias (setXScale), colours are QColors there, DrawingMethod is a
 * bit flag set. The grey window (Min, Max) and the mapping (XScale … YOffset, which a
 * panel's zoom sets) have NOTIFY signals; Resized follows OnResize.
 */
class VOLINSPECT_CONTROLS_EXPORT TImageControl : public TZoomableControl
{
    Q_OBJECT
    Q_PROPERTY(AllocImageType AllocImage READ AllocImage WRITE setAllocImage)
    Q_PROPERTY(QColor BorderColor READ borderColor WRITE setBorderColor)
    Q_PROPERTY(DisplayType Display READ Display WRITE setDisplay)
    Q_PROPERTY(float Min READ Min WRITE setMin NOTIFY MinChanged)
    Q_PROPERTY(float Max READ Max WRITE setMax NOTIFY MaxChanged)
    Q_PROPERTY(int XSize READ XSize WRITE setXSize)
    Q_PROPERTY(int YSize READ YSize WRITE setYSize)
    Q_PROPERTY(float XScale READ XScale WRITE setXScale NOTIFY XScaleChanged)
    Q_PROPERTY(float YScale READ YScale WRITE setYScale NOTIFY YScaleChanged)
    Q_PROPERTY(float XOffset READ XOffset WRITE setXOffset NOTIFY XOffsetChanged)
    Q_PROPERTY(float YOffset READ YOffset WRITE setYOffset NOTIFY YOffsetChanged)
    Q_PROPERTY(bool AutoSize READ AutoSize WRITE setAutoSize)
    Q_PROPERTY(bool AutoScale READ AutoScale WRITE setAutoScale)
    Q_PROPERTY(bool Transparent READ Transparent WRITE setTransparent)
    Q_PROPERTY(QString AutoLoad READ AutoLoad WRITE setAutoLoad)
    Q_PROPERTY(DrawingMethodSet DrawingMethod READ DrawingMethod WRITE setDrawingMethod)
    Q_PROPERTY(QColor DisplayColor READ displayColor WRITE setDisplayColor)

public:
    /** The element kind of the owned image; AllocNoImage when the control owns none. */
    enum AllocImageType : int
    {
        AllocNoImage,
        AllocImage8,
        AllocImage16,
        AllocImage32,
        AllocImageFloat,
        AllocImageRGB,
        AllocImageComplex
    };
    Q_ENUM(AllocImageType)

    /** What a float or complex image shows (integer and RGB images ignore it). */
    enum DisplayType : int
    {
        DisplayNormal,
        DisplayLog,
        DisplayPartIm,
        DisplayPartImLog,
        DisplayPartRe,
        DisplayPartReLog,
        DisplayPower,
        DisplayPowerLog,
        DisplaySwapNormal,
        DisplaySwapLog,
        DisplaySwapPartIm,
        DisplaySwapPartImLog,
        DisplaySwapPartRe,
        DisplaySwapPartReLog,
        DisplaySwapPower,
        DisplaySwapPowerLog
    };
    Q_ENUM(DisplayType)

    /** The drawing options, by position (bit n of the DrawingMethod set). */
    enum TDrawingMethods
    {
        DriverHandlesVerticalMirror,
        SetDIBitsForNonScaledImages,
        DontPerformSmoothScaling,
        DontPerformSmoothScalingWhenEnlarging,
        DontPerformSmoothScalingWhenVerticallyCompressing,
        HandlesNonWordAlignedImageYOffset
    };
    Q_ENUM(TDrawingMethods)

    /** The drawing options as bits, for the DrawingMethod set. */
    enum class DrawingMethodFlag
    {
        DriverHandlesVerticalMirror = 1 << 0,
        SetDIBitsForNonScaledImages = 1 << 1,
        DontPerformSmoothScaling = 1 << 2,
        DontPerformSmoothScalingWhenEnlarging = 1 << 3,
        DontPerformSmoothScalingWhenVerticallyCompressing = 1 << 4,
        HandlesNonWordAlignedImageYOffset = 1 << 5
    };
    Q_DECLARE_FLAGS(DrawingMethodSet, DrawingMethodFlag)
    Q_FLAG(DrawingMethodSet)

    /** The bit of option `method` in a DrawingMethod set. */
    static DrawingMethodFlag FlagOf(TDrawingMethods method)
    {
        return DrawingMethodFlag(1 << int(method));
    }

    explicit TImageControl(QWidget* parent = nullptr);
    ~TImageControl() override;

    /**
     * The image shown: owned while AllocImage is not AllocNoImage, else the program's.
     * Null when there is none (or an allocation failed).
     */
    ImageStruct* Image() const { return image_; }
    /**
     * Shows the program's `image` (not owned), releasing an owned one; see the class.
     * The image shown already changes nothing.
     */
    void SetImage(ImageStruct* image);

    /** The cached display image (8-bit or RGB), or null; owned, in the pixel cache. */
    ImageStruct* DisplayImage() const { return displayImage_.get(); }
    /** The display image must be rebuilt before the next paint. */
    bool Rebuild() const { return rebuild_; }

    AllocImageType AllocImage() const { return allocImage_; }
    /**
     * Owns a new blank image of `value`'s kind and XSize × YSize (none for
     * AllocNoImage, as for a value out of range), releasing an owned one and dropping a
     * program's. The kind held already changes nothing: the image stays.
     */
    void SetAllocImage(AllocImageType value);
    TColor BorderColor() const { return borderColor_; }
    void SetBorderColor(TColor value);
    DisplayType Display() const { return display_; }
    void SetDisplay(DisplayType value);
    /** The grey window; a transparent control keeps 0 … 255. NOTIFY MinChanged, MaxChanged. */
    float Min() const { return min_; }
    void SetMin(float value);
    float Max() const { return max_; }
    void SetMax(float value);
    /** Image size in elements. */
    int XSize() const { return xSize_; }
    void SetXSize(int value);
    int YSize() const { return ySize_; }
    void SetYSize(int value);
    /** Client pixels per image element. */
    float XScale() const { return Mapping().XScale; }
    void SetXScale(float value);
    float YScale() const { return Mapping().YScale; }
    void SetYScale(float value);
    /** Client pixel of the image's coordinate 0. */
    float XOffset() const { return Mapping().XOffset; }
    void SetXOffset(float value);
    float YOffset() const { return Mapping().YOffset; }
    void SetYOffset(float value);
    /** The control's size follows the image's size times the scale. */
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    /** The scale follows the control's size: the image fills the client area. */
    bool AutoScale() const { return autoScale_; }
    void SetAutoScale(bool value);
    /** The picture file loaded into the image; setting it (again) loads the file. */
    const QString& AutoLoad() const { return autoLoad_; }
    void SetAutoLoad(const QString& value);
    DrawingMethodSet DrawingMethod() const { return drawingMethod_; }
    void SetDrawingMethod(DrawingMethodSet value);
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    TColor DisplayColor() const { return displayColor_; }
    void SetDisplayColor(TColor value);
    /**
     * The colours 8-bit display values are drawn in: 256 entries 0xRRGGBB, value v in
     * table[v], in place of the DisplayColor ramp; empty for none (the ramp). A table of
     * another length counts as none. RGB images are drawn as they are either way. Setting
     * the table held already changes nothing; another one repaints, without converting
     * the image again.
     */
    const std::vector<uint32_t>& ColourTable() const { return colourTable_; }
    void SetColourTable(const std::vector<uint32_t>& table);

    // Qt-style names of the setters, as Qt Designer's generated code and setProperty
    // call them; colours as QColor.
    VOLINSPECT_QT_SETTER(AllocImage, AllocImageType)
    QColor borderColor() const { return ColorToQColor(borderColor_); }
    void setBorderColor(const QColor& value) { SetBorderColor(PropertyColor(borderColor_, value)); }
    VOLINSPECT_QT_SETTER(Display, DisplayType)
    VOLINSPECT_QT_SETTER(Min, float)
    VOLINSPECT_QT_SETTER(Max, float)
    VOLINSPECT_QT_SETTER(XSize, int)
    VOLINSPECT_QT_SETTER(YSize, int)
    VOLINSPECT_QT_SETTER(XScale, float)
    VOLINSPECT_QT_SETTER(YScale, float)
    VOLINSPECT_QT_SETTER(XOffset, float)
    VOLINSPECT_QT_SETTER(YOffset, float)
    VOLINSPECT_QT_SETTER(AutoSize, bool)
    VOLINSPECT_QT_SETTER(AutoScale, bool)
    VOLINSPECT_QT_SETTER(Transparent, bool)
    VOLINSPECT_QT_SETTER(AutoLoad, const QString&)
    VOLINSPECT_QT_SETTER(DrawingMethod, DrawingMethodSet)
    QColor displayColor() const { return ColorToQColor(displayColor_); }
    void setDisplayColor(const QColor& value)
    {
        SetDisplayColor(PropertyColor(displayColor_, value));
    }

    /** Sets XScale, XOffset, YScale and YOffset, in this order. */
    void SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset) override;
    bool PictureSize(int& XSize, int& YSize, bool& HasImage) const override;
    /** A panel's zoom switches AutoSize and AutoScale off. */
    void PanelZoomApplied() override;

    /**
     * The display image is rebuilt at the next paint (and the image's drawings redone,
     * TouchImage); repaints what the control covers.
     */
    virtual void Invalidate();
    /** Repaints the parent's area under the control and every overlapping visible sibling. */
    void InvalidateOthers();

    /** Paints the client area on `painter` (see the class): the image and the border. */
    void PaintWindow(QPainter& painter);
    /**
     * Makes the display image current and locked (the paint unlocks it): re-created
     * when its size or kind must change or the cache reclaimed it, then converted.
     */
    void BuildTImage();

    /**
     * Converts Image into `display` (8-bit, or RGB for RGB images, of Image's size) as
     * the control shows it: through the window Min … Max, by kind and Display. False
     * when there is nothing to convert. The paint draws the result in DisplayColor (8-bit
     * values through the ColourTable when there is one).
     */
    bool Convert(ImageStruct* display) const;

    /** How many display conversions have run (a measure for tests and benchmarks). */
    int64_t ConversionCount() const { return conversions_; }

    /** Raised after every size change, before AutoScale recomputes the scale; signal Resized. */
    TEvent<QObject*> OnResize;

signals:
    /** Emitted after OnResize, every time it is raised (whether or not it is assigned). */
    void Resized();
    /** The grey window's bounds changed; the new value. */
    void MinChanged(float value);
    void MaxChanged(float value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void MappingChanged(const TZoomMapping& previous) override;

private:
    bool OwnsImage() const { return allocImage_ != AllocNoImage; }
    /** After a size change: OnResize and Resized, then the scales AutoScale asks for. */
    void SizeChanged();
    /** True when the image is drawn as it stands, without a display image. */
    bool DirectDraw() const;
    /** Draws `image` and narrows the extent to what it covers; false when it covers nothing. */
    bool Draw(QPainter& painter, const ImageStruct* image, float& x0, float& y0, float& x1,
              float& y1) const;
    /** Sets the control's width (height) from the image size and scale (AutoSize). */
    void FitWidth();
    void FitHeight();
    /** Brings the picture P into Image by the kinds (AutoLoad). */
    void TakePicture(ImagePtr picture);

    AllocImageType allocImage_ = AllocNoImage;
    TColor borderColor_ = 0;
    DisplayType display_ = DisplayNormal;
    float min_ = 0.0f;
    float max_ = 255.0f;
    int xSize_ = 0;
    int ySize_ = 0;
    bool autoSize_ = false;
    bool autoScale_ = false;
    QString autoLoad_;
    DrawingMethodSet drawingMethod_;
    bool transparent_ = false;
    TColor displayColor_ = 0xFFFFFF;
    std::vector<uint32_t> colourTable_;
    CachedImage displayImage_;
    bool rebuild_ = true;
    ImageStruct* image_ = nullptr;
    int64_t conversions_ = 0;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(TImageControl::DrawingMethodSet)
