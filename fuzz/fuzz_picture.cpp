// Fuzz target for the picture reader: the input is the whole file. It is read through
// GetImageFileInfo, CreateImageFile and LoadImageFile, and the three must agree. Qt's
// decoders are not instrumented, so coverage counts the reading around them; a crash
// inside one is a finding all the same.

#include "FuzzSupport.h"
#include "imgfile.h"
#include "imgkernel.h"

#include <QString>
#include <QtGlobal>

#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <unistd.h>

namespace {

volatile uint64_t pixelSum = 0;

/**
 * Pictures of more pixels are only asked for their header: decoding a header's worth of
 * pixels from a few compressed bytes measures the decoder, not the reading around it.
 */
constexpr int64_t MaxDecodedPixels = int64_t(1) << 20;

/** Qt's warnings on bad pictures are expected by the thousand; shown with VOLINSPECT_FUZZ_VERBOSE.
 */
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    static const bool verbose = std::getenv("VOLINSPECT_FUZZ_VERBOSE") != nullptr;
    if (verbose || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

/**
 * Checks an invariant like fuzzsupport::Check, and also puts the message in the
 * sanitizer's report: scripts/fuzz closes this target's standard error
 * (-close_fd_mask=2) to silence the decoders, and the report still comes through.
 */
void Require(bool condition, const char* what)
{
    if (condition) return;
    const std::string line = std::string("fuzz invariant broken: ") + what;
    __sanitizer_report_error_summary(line.c_str());
    fuzzsupport::Fail(what);
}

uint8_t GreyOf(const uint8_t* bgr)
{
    return uint8_t((299 * bgr[2] + 587 * bgr[1] + 114 * bgr[0]) / 1000);
}

/**
 * An 8-bit or RGB image to load into: a reference to the inside of a parent with a
 * border of 2 pixels, bottom-up (as New… makes them) or top-down. All the parent's bytes
 * start at known values.
 */
class Target
{
public:
    static constexpr int32_t Border = 2;

    Target(bool rgb, bool topDown, int32_t xsize, int32_t ysize) : rgb_(rgb), bytes_(rgb ? 4 : 1)
    {
        const int32_t px = xsize + 2 * Border, py = ysize + 2 * Border;
        if (topDown) {
            storage_.resize(size_t((px * bytes_ + 4) * py));
            topDown_.XSize = px;
            topDown_.YSize = py;
            topDown_.LineStep = px * bytes_ + 4;
            topDown_.Type = rgb ? ImageKindRGB : ImageKind8;
            topDown_.Data = storage_.data();
            parent_ = &topDown_;
            memory_ = storage_.data();
        } else {
            owned_.reset(rgb ? NewImageRGB(px, py) : NewImage8(px, py));
            Require(owned_ != nullptr, "cannot make the target image");
            parent_ = owned_.get();
            memory_ = static_cast<uint8_t*>(parent_->Memory);
        }
        size_ = size_t(std::abs(parent_->LineStep)) * size_t(py);
        for (size_t i = 0; i < size_; ++i)
            memory_[i] = uint8_t(i * 7 + 3);
        before_.assign(memory_, memory_ + size_);
        SetTempReference(&reference_, parent_, Border, Border, xsize, ysize);
    }

    ImageStruct* Image() { return &reference_; }
    bool Unchanged() const { return std::equal(before_.begin(), before_.end(), memory_); }

    /**
     * Checks the target against `picture` (what CreateImageFile made): their common
     * top-left part holds the picture converted to the target's kind, every other byte
     * of the parent is as it was.
     */
    void CheckHolds(const ImageStruct* picture) const
    {
        std::vector<uint8_t> expected = before_;
        const bool colour = ImageKind(picture) == ImageKindRGB;
        const int32_t xs = std::min(picture->XSize, reference_.XSize);
        const int32_t ys = std::min(picture->YSize, reference_.YSize);
        for (int32_t y = 0; y < ys; ++y)
            for (int32_t x = 0; x < xs; ++x) {
                const uint8_t* p =
                    picture->Data + std::ptrdiff_t(y) * picture->LineStep + x * (colour ? 4 : 1);
                const size_t at = size_t(reference_.Data + std::ptrdiff_t(y) * reference_.LineStep +
                                         x * bytes_ - memory_);
                if (!rgb_) {
                    expected[at] = colour ? GreyOf(p) : p[0];
                } else {
                    for (int c = 0; c < 3; ++c)
                        expected[at + size_t(c)] = colour ? p[c] : p[0];
                    expected[at + 3] = memory_[at + 3]; // unused
                }
            }
        Require(std::equal(expected.begin(), expected.end(), memory_),
                "LoadImageFile wrote other than the picture, or outside it");
    }

private:
    bool rgb_;
    int32_t bytes_;
    ImagePtr owned_;
    ImageStruct topDown_, reference_, *parent_ = nullptr;
    std::vector<uint8_t> storage_, before_;
    uint8_t* memory_ = nullptr;
    size_t size_ = 0;
};

void CheckCreated(const ImageStruct* image, const ImageFileInfo& info, const std::string& path)
{
    Require(image->XSize == info.Width && image->YSize == info.Height,
            "CreateImageFile's size differs from GetImageFileInfo's");
    Require(image->Type == (info.Color ? ImageKindRGB | ImageAttributeDirectRGB
                                       : ImageKind8 | ImageAttributeDirect8),
            "CreateImageFile's kind differs from GetImageFileInfo's");
    const int32_t row = (image->XSize * (info.Color ? 4 : 1) + 3) & ~3;
    Require(image->Data && image->LineStep == -row,
            "the new image is not laid out as NewImage8 and NewImageRGB lay theirs");
    Require(image->Info.Source == path, "the new image does not record its file");
    Require(std::isfinite(image->Info.XPixelSize) && image->Info.XPixelSize >= 0 &&
                std::isfinite(image->Info.YPixelSize) && image->Info.YPixelSize >= 0,
            "a pixel size is negative or not a number");
    uint64_t sum = 0;
    for (int32_t y = 0; y < image->YSize; ++y) {
        const uint8_t* p = image->Data + std::ptrdiff_t(y) * image->LineStep;
        for (int32_t x = 0; x < row; ++x)
            sum += p[x];
    }
    pixelSum = pixelSum + sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(QuietMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzzsupport::ScratchFolder::Get().Path("input.picture");
    fuzzsupport::WriteFile(path, data, size);
    const char* name = path.c_str();

    // The load goes into an 8-bit or RGB target, bottom-up or top-down, smaller or
    // larger than a small picture: the input's length picks which.
    Target target(size % 2 != 0, size / 2 % 2 != 0, size / 4 % 2 ? 5 : 40, size / 8 % 2 ? 3 : 24);

    ImageFileInfo info;
    info.Width = info.Height = info.Color = -7;
    const int32_t known = GetImageFileInfo(name, 0, &info);
    if (!known) {
        Require(info.Width == 0 && info.Height == 0 && info.Color == 0,
                "a failed GetImageFileInfo left its answer behind");
        Require(CreateImageFile(name, 0, 0, 0) == nullptr,
                "CreateImageFile read a file whose header GetImageFileInfo refused");
        Require(LoadImageFile(name, 0, target.Image(), 0, 0) == 0 && target.Unchanged(),
                "LoadImageFile read a file whose header GetImageFileInfo refused");
        ::unlink(name);
        return 0;
    }
    Require(info.Width > 0 && info.Height > 0, "GetImageFileInfo gave a size of no pixels");
    const int64_t pixels = int64_t(info.Width) * info.Height;
    Require(pixels <= PictureMaxPixels, "GetImageFileInfo passed a size over PictureMaxPixels");
    Require(info.Color == 0 || info.Color == 1, "GetImageFileInfo's Color is neither 0 nor 1");
    if (pixels > MaxDecodedPixels) {
        ::unlink(name);
        return 0;
    }

    const ImagePtr created(CreateImageFile(name, 0, 0, 0));
    if (created) CheckCreated(created.get(), info, path);
    const int32_t loaded = LoadImageFile(name, 0, target.Image(), 0, 0);
    Require(loaded == (created ? 1 : 0), "LoadImageFile and CreateImageFile disagree on the file");
    if (loaded) {
        target.CheckHolds(created.get());
        Require(target.Image()->Info.Source == path &&
                    target.Image()->Info.XPixelSize == created->Info.XPixelSize &&
                    target.Image()->Info.YPixelSize == created->Info.YPixelSize,
                "LoadImageFile and CreateImageFile record the file differently");
    } else {
        Require(target.Unchanged(), "a failed LoadImageFile changed the image");
    }
    ::unlink(name);
    return 0;
}
