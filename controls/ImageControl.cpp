#include "ImageControl.h"

#include "imgfile.h"

#include <QFile>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace {

constexpr TColor White = 0xFFFFFF;

/** A new image of `kind`, or null for AllocNoImage. */
ImageStruct* NewImageOfKind(TImageControl::AllocImageType kind, int xsize, int ysize)
{
    switch (kind) {
    case TImageControl::AllocImage8:
        return NewImage8(xsize, ysize);
    case TImageControl::AllocImage16:
        return NewImage16(xsize, ysize);
    case TImageControl::AllocImage32:
        return NewImage32(xsize, ysize);
    case TImageControl::AllocImageFloat:
        return NewImageFloat(xsize, ysize);
    case TImageControl::AllocImageRGB:
        return NewImageRGB(xsize, ysize);
    case TImageControl::AllocImageComplex:
        return NewImageComplex(xsize, ysize);
    default:
        return nullptr;
    }
}

/** size × scale truncated toward zero, as a widget extent (0 … QWIDGETSIZE_MAX). */
int Extent(int size, float scale)
{
    const double extent = std::trunc(double(size) * double(scale));
    if (!(extent > 0)) return 0;
    return int(std::min(extent, double(QWIDGETSIZE_MAX)));
}

/** extent / size in floating point, stored as a float; 0 when size ≤ 0. */
float FillScale(int extent, int size)
{
    return size > 0 ? float(double(extent) / double(size)) : 0.0f;
}

/** Fills the client columns c0 … c1 and rows r0 … r1 (inclusive), if any. */
void FillCells(QPainter& painter, const QColor& color, int c0, int c1, int r0, int r1)
{
    if (c1 >= c0 && r1 >= r0) painter.fillRect(QRect(c0, r0, c1 - c0 + 1, r1 - r0 + 1), color);
}

using Conversion = bool (*)(ImageStruct*, const ImageStruct*, float, float);

struct DisplayChoice
{
    Conversion forFloat;
    Conversion forComplex;
    bool swap;
};

/** The conversion of each display mode for float and complex images, and the swap. */
DisplayChoice ChoiceOf(TImageControl::DisplayType display)
{
    using T = TImageControl;
    switch (display) {
    case T::DisplayLog:
        return {ImageFloatLogToImage8, ImageComplexReLogToImage8, false};
    case T::DisplayPartIm:
        return {ImageFloatToImage8, ImageComplexImToImage8, false};
    case T::DisplayPartImLog:
        return {ImageFloatLogToImage8, ImageComplexImLogToImage8, false};
    case T::DisplayPartRe:
        return {ImageFloatToImage8, ImageComplexReToImage8, false};
    case T::DisplayPartReLog:
        return {ImageFloatLogToImage8, ImageComplexReLogToImage8, false};
    case T::DisplayPower:
        return {ImageFloatToImage8, ImageComplexPowerToImage8, false};
    case T::DisplayPowerLog:
        return {ImageFloatLogToImage8, ImageComplexPowerLogToImage8, false};
    case T::DisplaySwapNormal:
        return {ImageFloatToImage8, ImageComplexReToImage8, true};
    case T::DisplaySwapLog:
        return {ImageFloatLogToImage8, ImageComplexReLogToImage8, true};
    case T::DisplaySwapPartIm:
        return {ImageFloatToImage8, ImageComplexImToImage8, true};
    case T::DisplaySwapPartImLog:
        return {ImageFloatLogToImage8, ImageComplexImLogToImage8, true};
    case T::DisplaySwapPartRe:
        return {ImageFloatToImage8, ImageComplexReToImage8, true};
    case T::DisplaySwapPartReLog:
        return {ImageFloatLogToImage8, ImageComplexReLogToImage8, true};
    case T::DisplaySwapPower:
        return {ImageFloatToImage8, ImageComplexPowerToImage8, true};
    case T::DisplaySwapPowerLog:
        return {ImageFloatLogToImage8, ImageComplexPowerLogToImage8, true};
    default: // DisplayNormal and values out of range
        return {ImageFloatToImage8, ImageComplexReToImage8, false};
    }
}

/** Writes the 8-bit `grey` into `image` by the conversion to its kind (none for 8-bit). */
void Widen(ImageStruct* image, const ImageStruct* grey)
{
    switch (ImageKind(image)) {
    case ImageKind16:
        Image8ToImage16(image, grey);
        break;
    case ImageKind32:
        Image8ToImage32(image, grey);
        break;
    case ImageKindFloat:
        Image8ToImageFloat(image, grey);
        break;
    case ImageKindComplex:
        Image8ToImageComplex(image, grey);
        break;
    case ImageKindRGB:
        Image8ToImageRGB(image, grey);
        break;
    default:
        break;
    }
}

/**
 * Runs `convert` four times between temporary references, so that display pixel
 * (x, y) shows source pixel ((x + X − hx) mod X, (y + Y − hy) mod Y): the source's
 * origin lands at (hx, hy) = (X / 2, Y / 2). Empty quadrants (X or Y of 1) are still
 * passed on.
 */
void SwapQuadrants(Conversion convert, ImageStruct* display, const ImageStruct* source, float min,
                   float max)
{
    const int32_t X = source->XSize, Y = source->YSize, hx = X / 2, hy = Y / 2;
    const int32_t quadrants[4][8] = {
        // display rectangle, then source rectangle: left, top, width, height
        {0, 0, hx, hy, X - hx, Y - hy, hx, hy},
        {hx, 0, X - hx, hy, 0, Y - hy, X - hx, hy},
        {0, hy, hx, Y - hy, X - hx, 0, hx, Y - hy},
        {hx, hy, X - hx, Y - hy, 0, 0, X - hx, Y - hy},
    };
    for (const auto& q : quadrants) {
        ImageStruct to, from;
        SetTempReference(&to, display, q[0], q[1], q[2], q[3]);
        SetTempReference(&from, source, q[4], q[5], q[6], q[7]);
        convert(&to, &from, min, max);
    }
    // The conversions touched the references: the display image itself changed.
    TouchImage(display);
}

} // namespace

TImageControl::TImageControl(QWidget* parent) : TZoomableControl(parent)
{
    resize(256, 256);
    SetPaintsBackground(this, false); // the background is never erased: paint covers it
    xSize_ = width();
    ySize_ = height();
    SetImage(nullptr);
    SetAllocImage(AllocImage8);
}

TImageControl::~TImageControl()
{
    if (OwnsImage()) DeleteImage(image_);
    // displayImage_ releases the display image, locking it first.
}

// --- ownership ---------------------------------------------------------------------

void TImageControl::SetAllocImage(AllocImageType value)
{
    if (value < AllocNoImage || value > AllocImageComplex) value = AllocNoImage;
    // The kind held already: the owned image keeps its pixels and information, and a
    // program's image stays shown.
    if (value == allocImage_) return;
    if (image_ && OwnsImage()) DeleteImage(image_);
    image_ = nullptr;
    // A foreign image shown until now is dropped, not deleted. New images start at 0.
    image_ = NewImageOfKind(value, xSize_, ySize_);
    allocImage_ = value;
    Invalidate();
}

void TImageControl::SetImage(ImageStruct* image)
{
    // The image shown already, owned or not, stays as it is (deleting an owned one here
    // would leave Image pointing at freed pixels).
    if (image == image_) return;
    if (ImageKind(image) == ImageKindRGB && transparent_ && displayColor_ != White) return;
    if (OwnsImage()) {
        DeleteImage(image_);
        image_ = nullptr;
        SetAllocImage(AllocNoImage);
    }
    image_ = image;
    if (image_) {
        if (image_->XSize != xSize_) SetXSize(image_->XSize);
        if (image_->YSize != ySize_) SetYSize(image_->YSize);
    }
    Invalidate();
}

// --- sizes, scales and offsets ---------------------------------------------------------

void TImageControl::FitWidth()
{
    resize(Extent(xSize_, XScale()), height());
    SetXOffset(0);
}

void TImageControl::FitHeight()
{
    resize(width(), Extent(ySize_, YScale()));
    SetYOffset(0);
}

void TImageControl::SetXSize(int value)
{
    if (OwnsImage() && value != xSize_) {
        const AllocImageType kind = allocImage_;
        xSize_ = value;
        SetAllocImage(AllocNoImage);
        SetAllocImage(kind); // a new blank image of the new size
    } else {
        xSize_ = value;
    }
    if (autoSize_) FitWidth();
    if (autoScale_) {
        SetXOffset(0);
        SetXScale(FillScale(width(), xSize_));
    }
}

void TImageControl::SetYSize(int value)
{
    if (OwnsImage() && value != ySize_) {
        const AllocImageType kind = allocImage_;
        ySize_ = value;
        SetAllocImage(AllocNoImage);
        SetAllocImage(kind);
    } else {
        ySize_ = value;
    }
    if (autoSize_) FitHeight();
    if (autoScale_) {
        SetYOffset(0);
        SetYScale(FillScale(height(), ySize_));
    }
}

void TImageControl::SetXScale(float value)
{
    SetMappingField(&TZoomMapping::XScale, value);
    if (autoSize_) FitWidth();
}

void TImageControl::SetYScale(float value)
{
    SetMappingField(&TZoomMapping::YScale, value);
    if (autoSize_) FitHeight();
}

void TImageControl::SetXOffset(float value)
{
    SetMappingField(&TZoomMapping::XOffset, value);
}

void TImageControl::SetYOffset(float value)
{
    SetMappingField(&TZoomMapping::YOffset, value);
}

void TImageControl::MappingChanged(const TZoomMapping&)
{
    // The display image stays: a new scale or offset only redraws it.
    InvalidateOthers();
    update();
}

void TImageControl::SetZoomProperties(float XScale, float XOffset, float YScale, float YOffset)
{
    SetXScale(XScale);
    SetXOffset(XOffset);
    SetYScale(YScale);
    SetYOffset(YOffset);
}

bool TImageControl::PictureSize(int& XSize, int& YSize, bool& HasImage) const
{
    XSize = xSize_;
    YSize = ySize_;
    HasImage = image_ != nullptr;
    return true;
}

void TImageControl::PanelZoomApplied()
{
    SetAutoSize(false);
    SetAutoScale(false);
}

void TImageControl::SetAutoSize(bool value)
{
    if (value && autoScale_) return;
    autoSize_ = value; // nothing is resized until a size or scale setter runs
}

void TImageControl::SetAutoScale(bool value)
{
    if (value == autoScale_ || (value && autoSize_)) return;
    autoScale_ = value;
    SizeChanged();
}

void TImageControl::resizeEvent(QResizeEvent* event)
{
    TZoomableControl::resizeEvent(event);
    SizeChanged();
}

void TImageControl::SizeChanged()
{
    OnResize(this);
    emit Resized();
    if (!autoScale_) return;
    SetXOffset(0);
    SetYOffset(0);
    SetXScale(FillScale(width(), xSize_));
    SetYScale(FillScale(height(), ySize_));
}

// --- display settings ----------------------------------------------------------------

void TImageControl::SetDisplay(DisplayType value)
{
    if (value == display_) return;
    display_ = value;
    Invalidate();
}

void TImageControl::SetMin(float value)
{
    if (value == min_ || transparent_) return;
    min_ = value;
    Invalidate();
    emit MinChanged(value);
}

void TImageControl::SetMax(float value)
{
    if (value == max_ || transparent_) return;
    max_ = value;
    Invalidate();
    emit MaxChanged(value);
}

void TImageControl::SetBorderColor(TColor value)
{
    if (value == borderColor_) return;
    borderColor_ = value;
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ColorToQColor(value));
    setPalette(palette);
    InvalidateOthers();
    update();
}

void TImageControl::SetDisplayColor(TColor value)
{
    if (value == displayColor_) return;
    if (transparent_ && (ImageKind(image_) == ImageKindRGB || min_ != 0 || max_ != 255)) return;
    displayColor_ = value;
    Invalidate();
}

void TImageControl::SetColourTable(const std::vector<uint32_t>& table)
{
    const std::vector<uint32_t> taken = table.size() == 256 ? table : std::vector<uint32_t>();
    if (taken == colourTable_) return;
    colourTable_ = taken;
    // The display image stays: the table only changes how its values are drawn.
    InvalidateOthers();
    update();
}

void TImageControl::SetDrawingMethod(DrawingMethodSet value)
{
    if (value == drawingMethod_) return;
    drawingMethod_ = value;
    Invalidate();
}

void TImageControl::SetTransparent(bool value)
{
    if (value == transparent_) return;
    if (min_ != 0 || max_ != 255) return;
    if (ImageKind(image_) == ImageKindRGB && displayColor_ != White) return;
    transparent_ = value;
    SetPaintsBackground(this, value);
    rebuild_ = true;
    InvalidateOthers();
    update();
}

void TImageControl::Invalidate()
{
    // The program may have written the image's pixels: drawings of it are redone.
    TouchImage(image_);
    rebuild_ = true;
    InvalidateOthers();
    update();
}

void TImageControl::InvalidateOthers()
{
    ::InvalidateOthers(this);
}

void TImageControl::moveEvent(QMoveEvent* event)
{
    RepaintMovedControl(this, transparent_);
    TZoomableControl::moveEvent(event);
}

// --- painting --------------------------------------------------------------------------

bool TImageControl::DirectDraw() const
{
    if (!image_ || min_ != 0 || max_ != 255) return false;
    const bool drawable =
        image_->Type == (ImageKind8 | ImageAttributeDirect8) ||
        (image_->Type == (ImageKindRGB | ImageAttributeDirectRGB) && displayColor_ == White);
    const bool mirrored = image_->LineStep < 0 ||
                          drawingMethod_.testFlag(DrawingMethodFlag::DriverHandlesVerticalMirror);
    const bool aligned =
        image_->LineStep % 4 == 0 ||
        drawingMethod_.testFlag(DrawingMethodFlag::HandlesNonWordAlignedImageYOffset);
    return drawable && mirrored && aligned;
}

bool TImageControl::Draw(QPainter& painter, const ImageStruct* image, float& x0, float& y0,
                         float& x1, float& y1) const
{
    const int32_t flags = int32_t(drawingMethod_.toInt()) | (transparent_ ? DrawTransparent : 0);
    DrawImage(painter, image, XOffset(), YOffset(), XScale(), YScale(), displayColor_, flags,
              borderColor_, colourTable_.empty() ? nullptr : colourTable_.data());
    return ImageExtent(painter, image, XOffset(), YOffset(), &x0, &y0, &x1, &y1, XScale(),
                       YScale());
}

void TImageControl::PaintWindow(QPainter& painter)
{
    const int W = width(), H = height();
    float x0 = 0, y0 = 0, x1 = float(W), y1 = float(H);
    const QColor border = ColorToQColor(PlainColor(borderColor_));
    bool fillAll = false;

    // An image panned wholly out of the client area covers none of it: then the
    // whole area is border, or it would keep whatever was painted there before.
    if (!image_) {
        fillAll = true;
    } else if (DirectDraw()) {
        fillAll = !Draw(painter, image_, x0, y0, x1, y1);
        displayImage_.Reset();
        rebuild_ = false;
    } else {
        bool drawn = false;
        if (displayImage_ && !rebuild_ && displayImage_.Lock()) {
            const CacheLockGuard locked(displayImage_.get());
            fillAll = !Draw(painter, displayImage_.get(), x0, y0, x1, y1);
            drawn = true;
        }
        if (!drawn) {
            BuildTImage();
            if (displayImage_) {
                const CacheLockGuard locked(displayImage_.get());
                fillAll = !Draw(painter, displayImage_.get(), x0, y0, x1, y1);
            } else {
                fillAll = true;
            }
        }
    }
    if (transparent_) return;
    if (fillAll) {
        painter.fillRect(rect(), border);
        return;
    }
    // The border strips around what the image covers (first and last covered column
    // and row, inclusive).
    const int left = int(std::trunc(x0)), right = int(std::trunc(x1 + 2)) - 2;
    if (x0 > 0) FillCells(painter, border, 0, int(std::trunc(x0 + 1)) - 2, 0, H - 1);
    if (y0 > 0) FillCells(painter, border, left, right, 0, int(std::trunc(y0 + 1)) - 2);
    if (H - 1 > y1) FillCells(painter, border, left, right, int(std::trunc(y1 + 1)), H - 1);
    if (W - 1 > x1) FillCells(painter, border, int(std::trunc(x1 + 1)), W - 1, 0, H - 1);
}

void TImageControl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    PaintWindow(painter);
}

void TImageControl::BuildTImage()
{
    if (!image_) return;
    const bool wantRGB = ImageKind(image_) == ImageKindRGB;
    // A display image of another size or kind goes (its sizes are readable unlocked).
    if (ImageStruct* d = displayImage_.get();
        d && (d->XSize != image_->XSize || d->YSize != image_->YSize ||
              (ImageKind(d) == ImageKindRGB) != wantRGB))
        displayImage_.Reset();
    const auto create = [&] {
        displayImage_.Reset(wantRGB ? NewImageRGBAlloc(image_->XSize, image_->YSize, 0x300,
                                                       CacheAllocLock, CacheUnlockFree)
                                    : NewImage8Alloc(image_->XSize, image_->YSize, 0x300,
                                                     CacheAllocLock, CacheUnlockFree));
        return bool(displayImage_);
    };
    if (!displayImage_) {
        if (!create()) return;
    } else if (!displayImage_.Lock() && !create()) {
        return;
    }
    if (Convert(displayImage_.get())) {
        rebuild_ = false;
        ++conversions_;
    }
}

bool TImageControl::Convert(ImageStruct* display) const
{
    const ImageStruct* source = image_;
    const bool neutral = min_ == 0 && max_ == 255;
    switch (ImageKind(source)) {
    case ImageKind8:
        return neutral ? ImageTransfer(display, source)
                       : Image8ToImage8(display, source, min_, max_);
    case ImageKind16:
        return Image16ToImage8(display, source, min_, max_);
    case ImageKind32:
        return Image32ToImage8(display, source, min_, max_);
    case ImageKindRGB:
        if (displayColor_ != White)
            return ImageRGBToImageRGBColor(display, source, displayColor_, min_, max_);
        return neutral ? ImageTransfer(display, source)
                       : ImageRGBToImageRGB(display, source, min_, max_);
    case ImageKindFloat:
    case ImageKindComplex: {
        const DisplayChoice choice = ChoiceOf(display_);
        const Conversion convert =
            ImageKind(source) == ImageKindFloat ? choice.forFloat : choice.forComplex;
        if (!choice.swap) return convert(display, source, min_, max_);
        SwapQuadrants(convert, display, source, min_, max_);
        return true;
    }
    default:
        return false; // no conversion for an unknown kind: Rebuild stays set
    }
}

// --- auto-load -------------------------------------------------------------------------

void TImageControl::SetAutoLoad(const QString& value)
{
    autoLoad_ = value;
    if (!image_) return;
    const QByteArray name = QFile::encodeName(value);
    ImagePtr picture;
    if (autoSize_) {
        picture.reset(CreateImageFile(name.constData(), 0, 0, 0));
        if (!picture) return;
        const bool resized = picture->XSize != xSize_ || picture->YSize != ySize_;
        xSize_ = picture->XSize;
        ySize_ = picture->YSize;
        if (OwnsImage() && resized) {
            // The owned image is made once at the new size, blank.
            DeleteImage(image_);
            image_ = NewImageOfKind(allocImage_, xSize_, ySize_);
        }
        SetXOffset(0);
        SetYOffset(0);
        resize(Extent(xSize_, XScale()), Extent(ySize_, YScale()));
    } else {
        ImageFileInfo info;
        if (!GetImageFileInfo(name.constData(), 0, &info)) return;
        picture.reset(info.Color ? NewImageRGB(image_->XSize, image_->YSize)
                                 : NewImage8(image_->XSize, image_->YSize));
        // (A new image is blank, so a smaller picture leaves 0 around it.)
        if (!picture) return;
        // A file that fails half-way (a truncated picture) changes nothing.
        if (!LoadImageFile(name.constData(), 0, picture.get(), 0, 0)) return;
    }
    if (image_) TakePicture(std::move(picture));
    Invalidate();
}

void TImageControl::TakePicture(ImagePtr picture)
{
    const int16_t kind = ImageKind(image_), pictureKind = ImageKind(picture.get());
    if (kind == pictureKind && OwnsImage()) {
        // The picture itself becomes the owned image.
        DeleteImage(image_);
        image_ = picture.release();
        xSize_ = image_->XSize;
        ySize_ = image_->YSize;
        return;
    }
    if (kind == pictureKind) {
        // A foreign image of the picture's kind takes its pixels, within its own size.
        ImageTransfer(image_, picture.get());
    } else if (pictureKind == ImageKind8) {
        Widen(image_, picture.get());
    } else if (kind == ImageKind8) {
        ImageRGBToImage8(image_, picture.get(), 0, 255);
    } else if (ImagePtr grey{NewImage8(picture->XSize, picture->YSize)}) {
        // The widening conversions take 8-bit images: through a grey copy of the
        // colour picture. (When the copy cannot be had the pixels stay as they were.)
        ImageRGBToImage8(grey.get(), picture.get(), 0, 255);
        Widen(image_, grey.get());
    }
    ImageInfoTransfer(image_, picture.get());
}
