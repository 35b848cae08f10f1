#include "TiffReader.h"

#include "ImageJDescription.h"
#include "OmeXml.h"

#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One pread() moves at most this much; Linux caps a call just below 2 GiB.
constexpr size_t MaxChunk = size_t(1) << 30;

/** The open file as libtiff reads it: through pread, at a position of its own. */
struct TiffSource
{
    int Fd = -1;
    int64_t Size = 0;
    int64_t Position = 0;
    std::string LastError; ///< libtiff's last error, for the reason of a failure
};

/** Reads up to `count` bytes at `offset`; returns how many, or -1 on a read error. */
int64_t ReadAt(int fd, void* buffer, int64_t count, int64_t offset)
{
    auto* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n =
            ::pread(fd, out + done, std::min(size_t(count - done), MaxChunk), offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

tmsize_t SourceRead(thandle_t handle, void* buffer, tmsize_t count)
{
    auto* source = static_cast<TiffSource*>(handle);
    const int64_t done = ReadAt(source->Fd, buffer, count, source->Position);
    if (done > 0) source->Position += done;
    return tmsize_t(done);
}

tmsize_t SourceWrite(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t SourceSeek(thandle_t handle, toff_t offset, int whence)
{
    auto* source = static_cast<TiffSource*>(handle);
    const int64_t base = whence == SEEK_CUR   ? source->Position
                         : whence == SEEK_END ? source->Size
                                              : 0;
    int64_t position = 0;
    if (__builtin_add_overflow(base, int64_t(offset), &position) || position < 0) return toff_t(-1);
    source->Position = position;
    return toff_t(position);
}

int SourceClose(thandle_t)
{
    return 0;
}

toff_t SourceSize(thandle_t handle)
{
    return toff_t(static_cast<TiffSource*>(handle)->Size);
}

int SourceMap(thandle_t, void**, toff_t*)
{
    return 0;
}

void SourceUnmap(thandle_t, void*, toff_t) {}

int KeepError(TIFF*, void* user, const char*, const char* format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    try {
        static_cast<TiffSource*>(user)->LastError = text;
    } catch (const std::bad_alloc&) {
        // The reason is lost; the failure itself still reaches the caller.
    }
    return 1;
}

int DropWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

/** A TIFF file open through libtiff, its messages kept instead of printed. */
class TiffFile
{
public:
    TiffFile() = default;
    TiffFile(const TiffFile&) = delete;
    TiffFile& operator=(const TiffFile&) = delete;
    ~TiffFile()
    {
        if (tif_) TIFFClose(tif_);
    }

    bool Open(const FileIo::OpenedFile& file, std::string& message)
    {
        if (!file.Handle.IsOpen()) {
            message = "the file is not open";
            return false;
        }
        return Open(file.Handle.Descriptor(), file.Handle.Size(), file.Name, message);
    }

    /** Opens the file of `fd`, `size` bytes long, read through pread at offsets of its own. */
    bool Open(int fd, int64_t size, const std::string& name, std::string& message)
    {
        source_.Fd = fd;
        source_.Size = size;
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (!options) throw std::bad_alloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, KeepError, &source_);
        TIFFOpenOptionsSetWarningHandlerExtR(options, DropWarning, &source_);
        // "m": never map the file, strips are read straight into the caller's buffers;
        // "c": keep large uncompressed strips whole instead of reading them in 8 KiB parts.
        tif_ = TIFFClientOpenExt(name.c_str(), "rmc", &source_, SourceRead, SourceWrite, SourceSeek,
                                 SourceClose, SourceSize, SourceMap, SourceUnmap, options);
        TIFFOpenOptionsFree(options);
        if (!tif_) message = "not a readable TIFF file: " + Error("no valid first page");
        return tif_ != nullptr;
    }

    TIFF* Get() const { return tif_; }
    int Fd() const { return source_.Fd; }
    int64_t Size() const { return source_.Size; }

    /** libtiff's last error, or `fallback` when it gave none since the last call. */
    std::string Error(const char* fallback)
    {
        std::string error = std::exchange(source_.LastError, std::string());
        return error.empty() ? fallback : error;
    }

private:
    TiffSource source_;
    TIFF* tif_ = nullptr;
};

/** What a page holds, as far as reading it goes. */
struct PageFormat
{
    uint32_t Width = 0, Height = 0;
    uint16_t Bits = 8, Format = SAMPLEFORMAT_UINT, Samples = 1, Planar = PLANARCONFIG_CONTIG;
    uint16_t Photometric = PHOTOMETRIC_MINISBLACK, Compression = COMPRESSION_NONE;
    bool Tiled = false;
    uint32_t TileWidth = 0, TileHeight = 0, RowsPerStrip = 0;
    SampleKind Kind = SampleKind::UInt8;
    int Channels = 1;     ///< the channels the page gives: R, G and B, or one per sample
    bool Rgb = false;     ///< RGB samples (also JPEG YCbCr, which libtiff turns into RGB)
    bool Reduced = false; ///< a reduced-resolution copy of another page (a thumbnail)

    /** Samples interleaved in one decoded strip or tile. */
    int PerPixel() const { return Planar == PLANARCONFIG_SEPARATE ? 1 : Samples; }
    bool SameShape(const PageFormat& other) const
    {
        return Width == other.Width && Height == other.Height && Kind == other.Kind &&
               Channels == other.Channels && Rgb == other.Rgb;
    }
    std::string Text() const
    {
        std::string text =
            std::to_string(Width) + " x " + std::to_string(Height) + " " + SampleKindName(Kind);
        if (Rgb) return text + " RGB";
        if (Samples > 1) text += " with " + std::to_string(Samples) + " samples per pixel";
        return text;
    }
};

/** The product of the factors, or UINT64_MAX when it overflows. */
uint64_t Product(std::initializer_list<uint64_t> factors)
{
    uint64_t product = 1;
    for (const uint64_t factor : factors)
        if (__builtin_mul_overflow(product, factor, &product)) return UINT64_MAX;
    return product;
}

bool KindOf(uint16_t format, uint16_t bits, SampleKind& kind, std::string& reason)
{
    if (format == SAMPLEFORMAT_COMPLEXINT || format == SAMPLEFORMAT_COMPLEXIEEEFP) {
        reason = "the samples are complex numbers, which have no single grey value";
        return false;
    }
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_INT &&
        format != SAMPLEFORMAT_IEEEFP && format != SAMPLEFORMAT_VOID) {
        reason = "sample format " + std::to_string(format) + " is not read";
        return false;
    }
    if (bits != 8 && bits != 16 && bits != 32 && bits != 64) {
        reason = std::to_string(bits) + "-bit samples are not read (8, 16, 32 and 64-bit are)";
        return false;
    }
    if (format == SAMPLEFORMAT_IEEEFP) {
        if (bits < 32) {
            reason = std::to_string(bits) + "-bit floating-point samples are not read";
            return false;
        }
        kind = bits == 32 ? SampleKind::Float32 : SampleKind::Float64;
        return true;
    }
    const bool isSigned = format == SAMPLEFORMAT_INT;
    switch (bits) {
    case 8:
        kind = isSigned ? SampleKind::Int8 : SampleKind::UInt8;
        break;
    case 16:
        kind = isSigned ? SampleKind::Int16 : SampleKind::UInt16;
        break;
    case 32:
        kind = isSigned ? SampleKind::Int32 : SampleKind::UInt32;
        break;
    default:
        kind = isSigned ? SampleKind::Int64 : SampleKind::UInt64;
        break;
    }
    return true;
}

/**
 * The format of the current page of `tif`; false with the reason when the page is not
 * read. JPEG pages of YCbCr samples are set to decode as RGB.
 */
bool ReadPageFormat(TIFF* tif, PageFormat& f, std::string& reason)
{
    f = PageFormat();
    uint32_t subfile = 0, depth = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SUBFILETYPE, &subfile);
    f.Reduced = (subfile & FILETYPE_REDUCEDIMAGE) != 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &f.Width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &f.Height) || f.Width == 0 || f.Height == 0) {
        reason = "the page has no pixels";
        return false;
    }
    if (f.Width > uint32_t(INT32_MAX) || f.Height > uint32_t(INT32_MAX)) {
        reason = "the page of " + std::to_string(f.Width) + " x " + std::to_string(f.Height) +
                 " pixels is too large";
        return false;
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &f.Bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &f.Format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &f.Samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &f.Planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &f.Compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_IMAGEDEPTH, &depth);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &f.Photometric))
        f.Photometric = PHOTOMETRIC_MINISBLACK;
    if (!KindOf(f.Format, f.Bits, f.Kind, reason)) return false;
    if (depth > 1) {
        reason = "pages of volume tiles (image depth " + std::to_string(depth) + ") are not read";
        return false;
    }
    if (f.Samples == 0) {
        reason = "the page has no samples per pixel";
        return false;
    }

    switch (f.Photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
        f.Channels = f.Samples;
        break;
    case PHOTOMETRIC_YCBCR:
        if (f.Compression != COMPRESSION_JPEG || f.Samples != 3 || f.Bits != 8 ||
            f.Planar != PLANARCONFIG_CONTIG) {
            reason = "YCbCr pages are read only when JPEG-compressed";
            return false;
        }
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        [[fallthrough]];
    case PHOTOMETRIC_RGB:
        if (f.Samples < 3) {
            reason = "the RGB page has fewer than three samples per pixel";
            return false;
        }
        f.Channels = 3;
        f.Rgb = true;
        break;
    case PHOTOMETRIC_PALETTE:
        reason = "palette (indexed colour) images are not read";
        return false;
    case PHOTOMETRIC_SEPARATED:
        reason = "CMYK images are not read";
        return false;
    default:
        reason = "photometric interpretation " + std::to_string(f.Photometric) + " is not read";
        return false;
    }

    f.Tiled = TIFFIsTiled(tif) != 0;
    if (f.Tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &f.TileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &f.TileHeight);
        if (f.TileWidth == 0 || f.TileHeight == 0) {
            reason = "the page's tiles have no size";
            return false;
        }
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &f.RowsPerStrip);
        f.RowsPerStrip = f.RowsPerStrip == 0 ? f.Height : std::min(f.RowsPerStrip, f.Height);
    }
    return true;
}

/** A page as the survey found it. */
struct Page
{
    PageFormat Format;
    std::string Refusal;  ///< why the page cannot be read; empty when it can
    bool DataFits = true; ///< uncompressed samples lie within the file, enough of them
    bool DataRun = false; ///< uncompressed strips one after the other from DataStart
    uint64_t DataStart = 0;
    uint64_t Offset = 0; ///< of its directory
};

/**
 * For an uncompressed page: whether its strips or tiles lie within the file and hold
 * at least its samples, and whether they follow one another. Compressed data may
 * expand to any size: its pages pass.
 */
void CheckData(TIFF* tif, int64_t fileSize, Page& page)
{
    const PageFormat& f = page.Format;
    if (f.Compression != COMPRESSION_NONE) return;
    const uint32_t count = f.Tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    const uint64_t size = uint64_t(fileSize);
    uint64_t total = 0, next = 0;
    page.DataFits = false;
    page.DataRun = true;
    for (uint32_t i = 0; i < count; ++i) {
        int error = 0;
        const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &error);
        if (error) return;
        const uint64_t bytes = TIFFGetStrileByteCountWithErr(tif, i, &error);
        if (error || offset > size || bytes > size - offset) return;
        if (i == 0) page.DataStart = offset;
        page.DataRun = page.DataRun && (i == 0 || offset == next);
        next = offset + bytes;
        total += bytes;
    }
    const uint64_t needed =
        Product({f.Width, f.Height, f.Samples, uint64_t(SampleKindBytes(f.Kind))});
    page.DataFits = count > 0 && total >= needed;
    page.DataRun = page.DataFits && page.DataRun && !f.Tiled && total == needed;
}

/** Where a page's samples go: the page (or the block of contiguous data) and its plane. */
struct PageRead
{
    int64_t Page = 0;
    int32_t C = 0; ///< the first of the page's channels
    int32_t Z = 0;
    int32_t T = 0;
};

/** The sizes over which the planes of a stack run, in an order, fastest first. */
struct PlaneOrder
{
    std::string Axes = "CZT"; ///< C, Z and T in the order of the planes
    int64_t Groups = 1;       ///< channel groups: one page each (three channels when RGB)
    int64_t Z = 1, T = 1;
    int PageChannels = 1;

    int64_t Size(char axis) const { return axis == 'C' ? Groups : axis == 'Z' ? Z : T; }
    int64_t Count() const { return Groups * Z * T; }

    /** The plane of index `index`, read from page `page`. */
    PageRead At(int64_t index, int64_t page) const
    {
        int64_t at[3] = {0, 0, 0}; // C, Z, T
        for (const char axis : Axes) {
            const int64_t size = Size(axis);
            at[axis == 'C' ? 0 : axis == 'Z' ? 1 : 2] = index % size;
            index /= size;
        }
        return {page, int32_t(at[0] * PageChannels), int32_t(at[1]), int32_t(at[2])};
    }

    /** The index of plane (group, z, t). */
    int64_t IndexOf(int64_t group, int64_t z, int64_t t) const
    {
        int64_t index = 0;
        for (auto axis = Axes.rbegin(); axis != Axes.rend(); ++axis)
            index = index * Size(*axis) + (*axis == 'C' ? group : *axis == 'Z' ? z : t);
        return index;
    }
};

/** How a file's pages become a stack: the layout and where each page goes. */
struct TiffPlan
{
    StackLayout Layout;
    PageFormat Format; ///< of every page read
    /** The pages read, in file order (a page may fill more than one plane). */
    std::vector<PageRead> Reads;
    /** ImageJ data that lie one plane after the other from DataStart, in Order. */
    bool Contiguous = false;
    uint64_t DataStart = 0;
    PlaneOrder Order;
    std::string Warning;
};

/** What the first page says beyond its format. */
struct FirstPage
{
    std::string Description;
    float Resolution[2] = {0, 0};
    uint16_t ResolutionUnit = RESUNIT_INCH;
};

void AddWarning(std::string& warning, const std::string& text)
{
    warning += (warning.empty() ? "" : "; ") + text;
}

/** "1 page", "2 pages". */
std::string Counted(int64_t count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string PageName(int64_t page)
{
    return "page " + std::to_string(page + 1);
}

/** The RGB channels' names and colours for every group of three. */
void NameRgbChannels(StackLayout& layout)
{
    static const char* Names[3] = {"R", "G", "B"};
    static const uint32_t Colours[3] = {0xFF0000, 0x00FF00, 0x0000FF};
    layout.ChannelInfos.resize(size_t(layout.Channels));
    for (int c = 0; c < layout.Channels; ++c)
        layout.ChannelInfos[size_t(c)] = {Names[c % 3], Colours[c % 3], true};
}

/** Sets the layout's sizes from `order` and the format; false when they do not fit. */
bool SetSizes(TiffPlan& plan, const PageFormat& f, const PlaneOrder& order)
{
    const int64_t channels = order.Groups * f.Channels;
    if (channels > INT32_MAX || order.Z > INT32_MAX || order.T > INT32_MAX) return false;
    StackLayout& layout = plan.Layout;
    layout.SizeX = int32_t(f.Width);
    layout.SizeY = int32_t(f.Height);
    layout.SizeZ = int32_t(order.Z);
    layout.Channels = int32_t(channels);
    layout.Frames = int32_t(order.T);
    layout.Kind = f.Kind;
    layout.SignificantBits = f.Bits;
    if (f.Rgb) NameRgbChannels(layout);
    plan.Format = f;
    plan.Order = order;
    return true;
}

/** Every page but the thumbnails as a z stack. */
void PlanPlain(const std::vector<Page>& pages, const FirstPage& first, TiffPlan& plan)
{
    PlaneOrder order;
    order.PageChannels = pages[0].Format.Channels;
    order.Z = 0;
    for (size_t p = 0; p < pages.size(); ++p)
        if (p == 0 || !pages[p].Format.Reduced)
            plan.Reads.push_back({int64_t(p), 0, int32_t(order.Z++), 0});
    if (int64_t(pages.size()) > order.Z)
        AddWarning(
            plan.Warning,
            "left out: " + Counted(int64_t(pages.size()) - order.Z, "reduced-resolution page") +
                " (thumbnails)");
    SetSizes(plan, pages[0].Format, order);
    // Print resolutions (inches) say nothing of the sample; centimetres do.
    if (first.ResolutionUnit == RESUNIT_CENTIMETER && first.Resolution[0] > 0 &&
        first.Resolution[1] > 0) {
        VoxelSpacing& spacing = plan.Layout.Spacing;
        for (int d = 0; d < 2; ++d) {
            spacing.Size[d] = 1e4 / double(first.Resolution[d]);
            spacing.Units[d] = "\xC2\xB5m";
        }
        spacing.Known = true;
    }
}

enum class Planned
{
    Yes,
    No,     ///< the description does not fit the pages: read as a plain stack
    Refused ///< the file cannot be read: the message says why
};

Planned PlanImageJ(const std::vector<Page>& pages, const FirstPage& first, int64_t fileSize,
                   TiffPlan& plan, std::string& why)
{
    const ImageJDescription ij = ParseImageJDescription(first.Description);
    const PageFormat& f = pages[0].Format;
    if (!pages[0].Refusal.empty()) {
        why = (pages.size() > 1 ? PageName(0) + ": " : "") + pages[0].Refusal;
        return Planned::Refused;
    }
    PlaneOrder order;
    order.Axes = ij.Order;
    order.PageChannels = f.Channels;
    order.Groups = ij.Channels > 0 ? ij.Channels : 1;
    order.Z = ij.Slices > 0 ? ij.Slices : 1;
    order.T = ij.Frames > 0 ? ij.Frames : 1;
    if (ij.Channels == 0 && ij.Slices == 0 && ij.Frames == 0 && ij.Images > 1) order.Z = ij.Images;
    if (order.Axes.empty()) {
        why = "the ImageJ description gives an unknown plane order";
        return Planned::No;
    }
    // The samples of pages of several (RGB) may be counted as the channels: then
    // images= counts pages, not channels of pages.
    if (f.Channels > 1 && order.Groups == f.Channels &&
        uint64_t(ij.Images) == Product({uint64_t(order.Z), uint64_t(order.T)}))
        order.Groups = 1;
    const uint64_t planes = Product({uint64_t(order.Groups), uint64_t(order.Z), uint64_t(order.T)});
    if (planes > uint64_t(INT32_MAX) || !SetSizes(plan, f, order)) {
        why = "the ImageJ description gives sizes beyond reach";
        return Planned::No;
    }

    if (planes == pages.size()) {
        for (size_t p = 0; p < pages.size(); ++p)
            plan.Reads.push_back(order.At(int64_t(p), int64_t(p)));
    } else {
        // Large ImageJ files hold one directory, followed by every plane's samples.
        const Page& page = pages[0];
        const uint64_t end = page.DataStart + Product({planes, f.Width, f.Height, f.Samples,
                                                       uint64_t(SampleKindBytes(f.Kind))});
        if (planes < pages.size() || !page.DataRun || f.PerPixel() != f.Samples ||
            end > uint64_t(fileSize) || end < page.DataStart ||
            (pages.size() > 1 && pages[1].Offset < end)) {
            why = "the ImageJ description gives " + std::to_string(planes) +
                  " images, the file holds " + std::to_string(pages.size()) + " pages";
            return Planned::No;
        }
        plan.Contiguous = true;
        plan.DataStart = page.DataStart;
        plan.Reads.push_back({0, 0, 0, 0});
    }

    VoxelSpacing& spacing = plan.Layout.Spacing;
    for (int d = 0; d < 2; ++d)
        if (first.Resolution[d] > 0) spacing.Size[d] = 1.0 / double(first.Resolution[d]);
    spacing.Size[2] = ij.Spacing;
    for (std::string& unit : spacing.Units)
        unit = ij.Unit;
    spacing.Known = !ij.Unit.empty() || ij.HasSpacing || first.Resolution[0] > 0;
    return Planned::Yes;
}

bool KindOfOmeType(const std::string& type, SampleKind& kind)
{
    static const std::pair<const char*, SampleKind> Types[] = {
        {"uint8", SampleKind::UInt8},   {"int8", SampleKind::Int8},
        {"uint16", SampleKind::UInt16}, {"int16", SampleKind::Int16},
        {"uint32", SampleKind::UInt32}, {"int32", SampleKind::Int32},
        {"float", SampleKind::Float32}, {"double", SampleKind::Float64}};
    for (const auto& [name, k] : Types)
        if (type == name) {
            kind = k;
            return true;
        }
    return false;
}

Planned PlanOme(const std::vector<Page>& pages, const OmeImage& ome, const std::string& baseName,
                TiffPlan& plan, std::string& why)
{
    if (ome.BinaryOnly) {
        why = "its OME-XML lies in another file";
        return Planned::No;
    }
    if (!ome.Problem.empty()) {
        why = ome.Problem;
        return Planned::No;
    }
    for (const OmeTiffData& data : ome.TiffData)
        if (!InThisFile(data, ome, baseName)) {
            why = "the OME-TIFF keeps planes in another file (" +
                  (data.FileName.empty() ? data.Uuid : data.FileName) + "), which is not read";
            return Planned::Refused;
        }

    // The first page the image names gives the format.
    const int64_t firstPage = ome.TiffData.empty() ? 0 : ome.TiffData[0].Ifd;
    if (firstPage >= int64_t(pages.size())) {
        why = "the OME-XML names " + PageName(firstPage) + " of " + std::to_string(pages.size());
        return Planned::No;
    }
    const PageFormat& f = pages[size_t(firstPage)].Format;
    SampleKind kind = SampleKind::UInt8;
    if (!KindOfOmeType(ome.Type, kind)) {
        why = "the OME-XML gives samples of type \"" + ome.Type + "\"";
        return Planned::No;
    }
    if (!pages[size_t(firstPage)].Refusal.empty()) {
        why = PageName(firstPage) + ": " + pages[size_t(firstPage)].Refusal;
        return Planned::Refused;
    }
    if (kind != f.Kind || ome.SizeX != f.Width || ome.SizeY != f.Height ||
        ome.SizeC % f.Channels != 0) {
        why = "the OME-XML describes " + std::to_string(ome.SizeX) + " x " +
              std::to_string(ome.SizeY) + " " + ome.Type + " samples in " +
              std::to_string(ome.SizeC) + " channels, the pages hold " + f.Text();
        return Planned::No;
    }

    PlaneOrder order;
    order.Axes = ome.Order;
    order.PageChannels = f.Channels;
    order.Groups = ome.SizeC / f.Channels;
    order.Z = ome.SizeZ;
    order.T = ome.SizeT;
    const uint64_t planes = Product({uint64_t(order.Groups), uint64_t(order.Z), uint64_t(order.T)});
    if (planes > pages.size()) {
        why = "the OME-XML gives " + std::to_string(planes) + " planes, the file holds " +
              std::to_string(pages.size()) + " pages";
        return Planned::No;
    }
    SetSizes(plan, f, order);

    std::vector<int64_t> pageOf(planes, -1);
    if (ome.TiffData.empty()) {
        for (uint64_t p = 0; p < planes; ++p)
            pageOf[p] = int64_t(p);
    }
    for (const OmeTiffData& data : ome.TiffData) {
        if (data.FirstZ >= order.Z || data.FirstT >= order.T || data.FirstC >= ome.SizeC ||
            data.FirstC % f.Channels != 0) {
            why = "the OME-XML places planes outside the image";
            return Planned::No;
        }
        const int64_t start = order.IndexOf(data.FirstC / f.Channels, data.FirstZ, data.FirstT);
        const int64_t all = int64_t(planes) - start;
        const int64_t count =
            std::min(all, data.HasPlaneCount ? data.PlaneCount
                                             : (data.HasIfd || ome.TiffData.size() > 1 ? 1 : all));
        for (int64_t k = 0; k < count; ++k) {
            if (data.Ifd + k >= int64_t(pages.size())) {
                why = "the OME-XML names " + PageName(data.Ifd + k) + " of " +
                      std::to_string(pages.size());
                return Planned::No;
            }
            pageOf[size_t(start + k)] = data.Ifd + k;
        }
    }
    int64_t missing = 0;
    for (uint64_t p = 0; p < planes; ++p) {
        if (pageOf[p] < 0)
            ++missing;
        else
            plan.Reads.push_back(order.At(int64_t(p), pageOf[p]));
    }
    std::stable_sort(plan.Reads.begin(), plan.Reads.end(),
                     [](const PageRead& a, const PageRead& b) { return a.Page < b.Page; });
    if (missing > 0)
        AddWarning(plan.Warning,
                   "the file holds no page for " + Counted(missing, "plane") + ", read as 0");
    if (ome.ImageCount > 1)
        AddWarning(plan.Warning, "the file holds " + std::to_string(ome.ImageCount) +
                                     " images; the first is read");

    StackLayout& layout = plan.Layout;
    if (!IsFloatKind(kind) && ome.SignificantBits > 0 && ome.SignificantBits <= f.Bits)
        layout.SignificantBits = int(ome.SignificantBits);
    if (!f.Rgb && ome.Channels.size() == size_t(ome.SizeC)) {
        for (const OmeChannel& channel : ome.Channels)
            layout.ChannelInfos.push_back({channel.Name, channel.Colour, channel.HasColour});
    }
    VoxelSpacing& spacing = layout.Spacing;
    for (int d = 0; d < 3; ++d) {
        spacing.Size[d] = ome.PhysicalSize[d];
        if (ome.HasPhysicalSize[d]) spacing.Units[d] = ome.PhysicalUnit[d];
        spacing.Known = spacing.Known || ome.HasPhysicalSize[d];
    }
    return Planned::Yes;
}

/** Checks that every page read can be read and has the format of the plan. */
bool CheckPages(const std::vector<Page>& pages, const TiffPlan& plan, std::string& message)
{
    const auto name = [&](int64_t p) { return pages.size() > 1 ? PageName(p) + ": " : ""; };
    int64_t previous = -1;
    for (const PageRead& read : plan.Reads) {
        if (read.Page == previous) continue;
        previous = read.Page;
        const Page& page = pages[size_t(read.Page)];
        if (!page.Refusal.empty()) {
            message = name(read.Page) + page.Refusal;
            return false;
        }
        if (!page.Format.SameShape(plan.Format)) {
            message = "the pages differ in size or kind: " + PageName(read.Page) + " holds " +
                      page.Format.Text() + ", " + PageName(plan.Reads[0].Page) + " " +
                      plan.Format.Text();
            return false;
        }
        if (!page.DataFits) {
            message = name(read.Page) + "the samples run past the end of the file";
            return false;
        }
    }
    return true;
}

/**
 * Shown every page whose format reads, its directory current, with its index: what a
 * plane source needs of the page beyond the plan.
 */
using PageVisitor = std::function<void(TIFF*, const Page&, int64_t)>;

/** Reads every page's directory and decides how the file becomes a stack. */
bool Survey(TiffFile& tiff, const std::string& fileName, TiffPlan& plan, std::string& message,
            const PageVisitor& visit = {})
{
    TIFF* tif = tiff.Get();
    std::vector<Page> pages;
    FirstPage first;
    for (;;) {
        Page& page = pages.emplace_back();
        page.Offset = TIFFCurrentDirOffset(tif);
        if (ReadPageFormat(tif, page.Format, page.Refusal)) {
            CheckData(tif, tiff.Size(), page);
            if (visit) visit(tif, page, int64_t(pages.size()) - 1);
        }
        if (pages.size() == 1) {
            const char* description = nullptr;
            if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &description) && description)
                first.Description = description;
            TIFFGetField(tif, TIFFTAG_XRESOLUTION, &first.Resolution[0]);
            TIFFGetField(tif, TIFFTAG_YRESOLUTION, &first.Resolution[1]);
            TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &first.ResolutionUnit);
            for (float& resolution : first.Resolution)
                if (!std::isfinite(resolution) || resolution <= 0) resolution = 0;
        }
        if (TIFFLastDirectory(tif)) break;
        if (!TIFFReadDirectory(tif)) {
            message = PageName(int64_t(pages.size())) +
                      " cannot be read: " + tiff.Error("its directory is damaged");
            return false;
        }
    }

    std::string why;
    Planned planned = Planned::No;
    OmeImage ome;
    if (first.Description.find("OME") != std::string::npos && ParseOmeXml(first.Description, ome)) {
        planned = PlanOme(pages, ome, fileName.substr(fileName.rfind('/') + 1), plan, why);
        if (planned == Planned::No) why = "the OME-XML does not fit the pages (" + why + ")";
    } else if (IsImageJDescription(first.Description)) {
        planned = PlanImageJ(pages, first, tiff.Size(), plan, why);
        if (planned == Planned::No)
            why = "the ImageJ description does not fit the pages (" + why + ")";
    }
    if (planned == Planned::Refused) {
        message = why;
        return false;
    }
    if (planned == Planned::No) {
        plan = TiffPlan();
        if (!pages[0].Refusal.empty()) {
            message = (pages.size() > 1 ? PageName(0) + ": " : "") + pages[0].Refusal;
            return false;
        }
        PlanPlain(pages, first, plan);
        if (!why.empty())
            plan.Warning =
                why + "; read as a plain stack" + (plan.Warning.empty() ? "" : "; " + plan.Warning);
    }
    if (plan.Format.Rgb && plan.Format.Samples > 3)
        AddWarning(plan.Warning, "the pages hold " + Counted(plan.Format.Samples, "sample") +
                                     " per pixel; those beyond R, G and B are left out");
    return CheckPages(pages, plan, message);
}

/** The bytes of one decoded tile of a page of format `f`. */
uint64_t TileBytes(const PageFormat& f)
{
    return Product(
        {f.TileWidth, f.TileHeight, uint64_t(f.PerPixel()), uint64_t(SampleKindBytes(f.Kind))});
}

/** True unless the page's tiles are far larger than the page: those are not read. */
bool TilesFit(const PageFormat& f)
{
    // A tile is at most as large as its page, or a little larger when the page is small.
    const uint64_t pageBytes =
        Product({f.Width, f.Height, uint64_t(f.PerPixel()), uint64_t(SampleKindBytes(f.Kind))});
    return TileBytes(f) <= std::max(pageBytes * 4, uint64_t(64) << 20);
}

/** Copies `count` samples of `sampleBytes` from every `stride`-th one of `from` into `to`. */
template <int Bytes> void Gather(const uint8_t* from, int64_t stride, int64_t count, uint8_t* to)
{
    for (int64_t x = 0; x < count; ++x)
        std::memcpy(to + x * Bytes, from + x * stride * Bytes, Bytes);
}

/**
 * Where the channels of one page are written: a plane for each, its rows RowBytes apart
 * (planes of a stack, or of the decoded pages a source keeps).
 */
struct PageTarget
{
    uint8_t* const* Planes; ///< row 0 of each of the page's channels
    int64_t RowBytes;
    int Bytes; ///< of a sample

    uint8_t* Row(int c, int64_t y) const { return Planes[c] + y * RowBytes; }
};

/** The target of plane `at` of `stack`: its page's channels, their planes in `planes`. */
PageTarget StackTarget(VolumeStack& stack, const PageRead& at, int channels,
                       std::vector<uint8_t*>& planes)
{
    planes.resize(size_t(channels));
    for (int c = 0; c < channels; ++c)
        planes[size_t(c)] = stack.Plane(at.C + c, at.T, at.Z);
    return {planes.data(), stack.RowBytes(), SampleKindBytes(stack.Layout().Kind)};
}

/**
 * Moves `rows` rows of `width` pixels of `perPixel` interleaved samples, `from`, into
 * the first `channels` channels' rows at (x0, y0) of `to`.
 */
void Deinterleave(const uint8_t* from, int64_t fromRowBytes, int64_t rows, int64_t width,
                  int perPixel, int channels, const PageTarget& to, int64_t x0, int64_t y0)
{
    const int bytes = to.Bytes;
    for (int64_t r = 0; r < rows; ++r) {
        for (int c = 0; c < channels; ++c) {
            const uint8_t* source = from + r * fromRowBytes + c * bytes;
            uint8_t* target = to.Row(c, y0 + r) + x0 * bytes;
            switch (bytes) {
            case 1:
                Gather<1>(source, perPixel, width, target);
                break;
            case 2:
                Gather<2>(source, perPixel, width, target);
                break;
            case 4:
                Gather<4>(source, perPixel, width, target);
                break;
            default:
                Gather<8>(source, perPixel, width, target);
                break;
            }
        }
    }
}

/** Reads the strips of the current page into `to`; false on a decoding error. */
bool ReadStrips(TIFF* tif, const PageFormat& f, const PageTarget& to, std::vector<uint8_t>& scratch)
{
    const int64_t rowBytes = to.RowBytes;
    const int perPixel = f.PerPixel();
    const int64_t rowsPerStrip = f.RowsPerStrip;
    const int64_t strips = (int64_t(f.Height) + rowsPerStrip - 1) / rowsPerStrip;
    const int planes = perPixel == 1 ? f.Channels : 1;
    for (int s = 0; s < planes; ++s) {
        for (int64_t k = 0; k < strips; ++k) {
            const int64_t y = k * rowsPerStrip;
            const int64_t rows = std::min(rowsPerStrip, int64_t(f.Height) - y);
            const auto strip = uint32_t(s * strips + k);
            const int64_t bytes = rows * rowBytes * perPixel;
            if (perPixel == 1) {
                // Straight into the plane: no copy.
                if (TIFFReadEncodedStrip(tif, strip, to.Row(s, y), bytes) != bytes) return false;
                continue;
            }
            scratch.resize(size_t(bytes));
            if (TIFFReadEncodedStrip(tif, strip, scratch.data(), bytes) != bytes) return false;
            Deinterleave(scratch.data(), rowBytes * perPixel, rows, f.Width, perPixel, f.Channels,
                         to, 0, y);
        }
    }
    return true;
}

/** Reads the tiles of the current page into `to`; false on a decoding error. */
bool ReadTiles(TIFF* tif, const PageFormat& f, const PageTarget& to, std::vector<uint8_t>& scratch,
               std::string& message)
{
    const int bytes = SampleKindBytes(f.Kind);
    const int perPixel = f.PerPixel();
    const uint64_t tileBytes = TileBytes(f);
    if (!TilesFit(f)) {
        message = "its tiles of " + std::to_string(f.TileWidth) + " x " +
                  std::to_string(f.TileHeight) + " pixels are far larger than the page";
        return false;
    }
    scratch.resize(size_t(tileBytes));
    const int planes = perPixel == 1 ? f.Channels : 1;
    for (int s = 0; s < planes; ++s) {
        for (uint32_t y = 0; y < f.Height; y += f.TileHeight) {
            for (uint32_t x = 0; x < f.Width; x += f.TileWidth) {
                const uint32_t tile = TIFFComputeTile(tif, x, y, 0, uint16_t(s));
                if (TIFFReadEncodedTile(tif, tile, scratch.data(), tmsize_t(tileBytes)) !=
                    tmsize_t(tileBytes))
                    return false;
                const int64_t rows = std::min(f.TileHeight, f.Height - y);
                const int64_t columns = std::min(f.TileWidth, f.Width - x);
                const int64_t tileRowBytes = int64_t(f.TileWidth) * perPixel * bytes;
                if (perPixel == 1) {
                    for (int64_t r = 0; r < rows; ++r)
                        std::memcpy(to.Row(s, y + r) + int64_t(x) * bytes,
                                    scratch.data() + r * tileRowBytes, size_t(columns * bytes));
                } else {
                    Deinterleave(scratch.data(), tileRowBytes, rows, columns, perPixel, f.Channels,
                                 to, x, y);
                }
            }
        }
    }
    return true;
}

/** Turns `count` samples of `bytes` each from the file's byte order into the host's. */
void Swab(uint8_t* samples, int64_t count, int bytes)
{
    if (bytes == 2) TIFFSwabArrayOfShort(reinterpret_cast<uint16_t*>(samples), count);
    if (bytes == 4) TIFFSwabArrayOfLong(reinterpret_cast<uint32_t*>(samples), count);
    if (bytes == 8) TIFFSwabArrayOfLong8(reinterpret_cast<uint64_t*>(samples), count);
}

bool Progress(const StackReadOptions* options, int64_t done, int64_t total, std::string& message)
{
    if (!options || !options->Progress || options->Progress(double(done) / double(total)))
        return true;
    message = "the load was cancelled";
    return false;
}

/**
 * Reads plane `index` of ImageJ planes that lie one after the other from the plan's
 * DataStart into `to`; false with the reason on a read error.
 */
bool ReadContiguousPlane(int fd, const TiffPlan& plan, bool swapped, int64_t index,
                         const PageTarget& to, std::vector<uint8_t>& scratch, std::string& message)
{
    const PageFormat& f = plan.Format;
    const int bytes = SampleKindBytes(f.Kind);
    const int64_t samples = int64_t(f.Width) * f.Height * f.Samples;
    const int64_t planeBytes = samples * bytes;
    if (f.Samples > 1) scratch.resize(size_t(planeBytes));
    uint8_t* target = f.Samples > 1 ? scratch.data() : to.Planes[0];
    const int64_t got =
        ReadAt(fd, target, planeBytes, int64_t(plan.DataStart) + index * planeBytes);
    if (got != planeBytes) {
        message = "cannot read plane " + std::to_string(index + 1) + ": " +
                  (got < 0 ? FileIo::ErrorText(errno) : "the file ends early");
        return false;
    }
    if (swapped) Swab(target, samples, bytes);
    if (f.Samples > 1)
        Deinterleave(target, int64_t(f.Width) * f.Samples * bytes, f.Height, f.Width, f.Samples,
                     f.Channels, to, 0, 0);
    return true;
}

/** Reads ImageJ planes that lie one after the other from the plan's DataStart. */
int32_t ReadContiguous(TiffFile& tiff, const TiffPlan& plan, VolumeStack& stack,
                       const StackReadOptions* options, std::string& message)
{
    const bool swapped = TIFFIsByteSwapped(tiff.Get()) != 0;
    const int64_t count = plan.Order.Count();
    std::vector<uint8_t> scratch;
    std::vector<uint8_t*> planes;
    for (int64_t i = 0; i < count; ++i) {
        const PageTarget to = StackTarget(stack, plan.Order.At(i, 0), plan.Format.Channels, planes);
        if (!ReadContiguousPlane(tiff.Fd(), plan, swapped, i, to, scratch, message))
            return ByteVolume::LoadReadFailed;
        if (!Progress(options, i + 1, count, message)) return ByteVolume::LoadCancelled;
    }
    return ByteVolume::LoadOk;
}

/**
 * Reads the samples of the current page of `tiff`, page `page` of the file, into `to`;
 * false with the reason when the page no longer has the plan's format or does not decode.
 */
bool ReadPage(TiffFile& tiff, int64_t page, const PageFormat& format, const PageTarget& to,
              std::vector<uint8_t>& scratch, std::string& message)
{
    TIFF* tif = tiff.Get();
    PageFormat f;
    std::string reason;
    if (!ReadPageFormat(tif, f, reason) || !f.SameShape(format)) {
        message = PageName(page) + " changed while it was read";
        return false;
    }
    std::string why;
    const bool read =
        f.Tiled ? ReadTiles(tif, f, to, scratch, why) : ReadStrips(tif, f, to, scratch);
    if (!read)
        message = "cannot read the samples of " + PageName(page) + ": " +
                  (why.empty() ? tiff.Error("decoding failed") : why);
    return read;
}

/** Reads the pages of the plan into `stack`, allocated to its layout. */
int32_t ReadPages(TiffFile& tiff, const TiffPlan& plan, VolumeStack& stack,
                  const StackReadOptions* options, std::string& message)
{
    if (plan.Contiguous) return ReadContiguous(tiff, plan, stack, options, message);
    TIFF* tif = tiff.Get();
    if (!TIFFSetDirectory(tif, 0)) {
        message = "cannot read the first page again: " + tiff.Error("it is damaged");
        return ByteVolume::LoadReadFailed;
    }
    int64_t current = 0;
    std::vector<uint8_t> scratch;
    std::vector<uint8_t*> planes;
    const int64_t total = int64_t(plan.Reads.size());
    for (int64_t i = 0; i < total; ++i) {
        const PageRead& at = plan.Reads[size_t(i)];
        while (current < at.Page) {
            if (!TIFFReadDirectory(tif)) {
                message = "cannot read " + PageName(current + 1) +
                          " again: " + tiff.Error("it is damaged");
                return ByteVolume::LoadReadFailed;
            }
            ++current;
        }
        const PageTarget to = StackTarget(stack, at, plan.Format.Channels, planes);
        if (!ReadPage(tiff, current, plan.Format, to, scratch, message))
            return ByteVolume::LoadReadFailed;
        if (!Progress(options, i + 1, total, message)) return ByteVolume::LoadCancelled;
    }
    return ByteVolume::LoadOk;
}

std::string LayoutText(const StackLayout& layout)
{
    std::string text;
    if (layout.Channels > 1) text += std::to_string(layout.Channels) + " channels x ";
    if (layout.Frames > 1) text += std::to_string(layout.Frames) + " time points x ";
    return text + std::to_string(layout.SizeX) + " x " + std::to_string(layout.SizeY) + " x " +
           std::to_string(layout.SizeZ) + " " + SampleKindName(layout.Kind) + " samples";
}

/**
 * Faults in the pages of a new stack on a thread of its own, plane by plane in the order
 * the reader fills them. The kernel zeroes a fresh page at its first write, which costs
 * more than copying the samples into it; done here, that work runs beside the reading
 * instead of inside it. Only page tables change (MADV_POPULATE_WRITE), never a sample,
 * so this may run ahead of the reader or behind it. Stops and joins when it goes out of
 * scope; does nothing for small stacks or where the kernel lacks the call.
 */
class Prefault
{
public:
    Prefault(VolumeStack& stack, const TiffPlan& plan)
    {
#ifdef MADV_POPULATE_WRITE
        const int64_t planes = plan.Contiguous ? plan.Order.Count() : int64_t(plan.Reads.size());
        if (planes * stack.PlaneBytes() * plan.Format.Channels < (int64_t(8) << 20)) return;
        try {
            thread_ = std::thread([this, &stack, &plan, planes] { Run(stack, plan, planes); });
        } catch (const std::system_error&) {
            // Without a thread the reader faults the pages in itself.
        }
#else
        (void)stack;
        (void)plan;
#endif
    }
    Prefault(const Prefault&) = delete;
    Prefault& operator=(const Prefault&) = delete;
    ~Prefault()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
#ifdef MADV_POPULATE_WRITE
    void Run(VolumeStack& stack, const TiffPlan& plan, int64_t planes)
    {
        const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
        const int64_t bytes = stack.PlaneBytes();
        for (int64_t i = 0; i < planes; ++i) {
            const PageRead at = plan.Contiguous ? plan.Order.At(i, 0) : plan.Reads[size_t(i)];
            for (int c = 0; c < plan.Format.Channels; ++c) {
                if (stop_) return;
                const auto begin = uintptr_t(stack.Plane(at.C + c, at.T, at.Z)) & ~(page - 1);
                const uintptr_t end =
                    uintptr_t(stack.Plane(at.C + c, at.T, at.Z)) + uintptr_t(bytes);
                if (::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) !=
                    0)
                    return;
            }
        }
    }
#endif

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/** Rows Y0 … Y0 + Rows − 1 of a plane where they lie in the file: from Offset on, RowStride apart.
 */
struct MappedRun
{
    int64_t Offset = 0;
    int64_t Y0 = 0;
    int64_t Rows = 0;
    int64_t RowStride = 0;
};

/** What a plane source knows of a page of the file beyond the plan. */
struct SourcePage
{
    uint64_t Directory = 0; ///< the offset of its directory, to decode it
    bool Mapped = false;    ///< its samples are read through the mapping, as they lie
    int PerPixel = 1;       ///< samples interleaved per pixel in its strips or tiles
    /** When mapped: the runs of each of its sample planes in turn, by row. */
    std::vector<MappedRun> Runs;
    std::vector<uint32_t> FirstRun; ///< where each sample plane's runs begin; one more at the end
    int64_t SpanBegin = 0, SpanEnd = 0; ///< the bytes its strips or tiles lie in
};

/**
 * Records what a source needs of the current page of `tif`: its directory, where its
 * data lie, and, when `map` and its strips or tiles hold the samples as they are read
 * (uncompressed, whole rows of the page each, enough bytes for libtiff to read them), the
 * runs of rows they form. Strips or tiles that follow each other make one run.
 */
void MapPage(TIFF* tif, const PageFormat& f, int64_t fileSize, bool map, SourcePage& page)
{
    page = SourcePage();
    page.Directory = TIFFCurrentDirOffset(tif);
    page.PerPixel = f.PerPixel();
    const uint64_t size = uint64_t(fileSize);
    const uint32_t count = f.Tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    uint64_t begin = size, end = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int error = 0;
        const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &error);
        const uint64_t bytes = TIFFGetStrileByteCountWithErr(tif, i, &error);
        if (error || offset >= size) continue;
        begin = std::min(begin, offset);
        end = std::max(end, offset + std::min(bytes, size - offset));
    }
    page.SpanBegin = int64_t(std::min(begin, end));
    page.SpanEnd = int64_t(end);

    uint16_t fillOrder = FILLORDER_MSB2LSB;
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
    if (!map || f.Compression != COMPRESSION_NONE || fillOrder != FILLORDER_MSB2LSB ||
        (f.Tiled && (f.TileWidth < f.Width || !TilesFit(f))))
        return;
    const int64_t rowStride =
        int64_t(f.Tiled ? f.TileWidth : f.Width) * page.PerPixel * SampleKindBytes(f.Kind);
    const int64_t step = f.Tiled ? f.TileHeight : f.RowsPerStrip;
    const int64_t height = f.Height;
    const int64_t perPlane = (height + step - 1) / step;
    const int planes = page.PerPixel == 1 ? f.Channels : 1;
    for (int s = 0; s < planes; ++s) {
        page.FirstRun.push_back(uint32_t(page.Runs.size()));
        for (int64_t k = 0; k < perPlane; ++k) {
            const int64_t y = k * step;
            const int64_t rows = std::min(step, height - y);
            const uint32_t strile = f.Tiled ? TIFFComputeTile(tif, 0, uint32_t(y), 0, uint16_t(s))
                                            : uint32_t(s * perPlane + k);
            // libtiff reads a whole tile, but only the rows of a strip.
            const uint64_t needed = uint64_t((f.Tiled ? step : rows) * rowStride);
            int error = 0;
            const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, strile, &error);
            const uint64_t bytes = TIFFGetStrileByteCountWithErr(tif, strile, &error);
            if (error || strile >= count || offset > size || bytes > size - offset ||
                bytes < needed) {
                page.Runs.clear();
                page.FirstRun.clear();
                return;
            }
            MappedRun* last = page.Runs.size() > page.FirstRun.back() ? &page.Runs.back() : nullptr;
            if (last && last->Rows % step == 0 &&
                last->Offset + last->Rows * rowStride == int64_t(offset))
                last->Rows += rows;
            else
                page.Runs.push_back({int64_t(offset), y, rows, rowStride});
        }
    }
    page.FirstRun.push_back(uint32_t(page.Runs.size()));
    page.Mapped = true;
}

/** The decoded channels of a page (or a contiguous plane), one plane after another. */
struct DecodedPage
{
    /**
     * Room for `bytes`, cleared: a strip that decodes short (its compressed data ending
     * early) leaves the rest 0, as a page read into the stack does.
     */
    explicit DecodedPage(size_t bytes) : Data(new uint8_t[bytes]()), Size(bytes) {}

    std::unique_ptr<uint8_t[]> Data;
    size_t Size;
};

/**
 * The decoded pages a source keeps, up to a budget in bytes, the least recently read
 * given up first. Any thread.
 */
class DecodedPages
{
public:
    using Planes = std::shared_ptr<const DecodedPage>;

    Planes Find(int64_t unit)
    {
        const std::lock_guard lock(mutex_);
        const auto at = where_.find(unit);
        if (at == where_.end()) return nullptr;
        recent_.splice(recent_.begin(), recent_, at->second);
        return at->second->second;
    }

    void Keep(int64_t unit, const Planes& planes)
    {
        const std::lock_guard lock(mutex_);
        if (int64_t(planes->Size) > budget_ || where_.count(unit)) return;
        recent_.emplace_front(unit, planes);
        where_[unit] = recent_.begin();
        held_ += int64_t(planes->Size);
        Trim();
    }

    void Forget(int64_t unit)
    {
        const std::lock_guard lock(mutex_);
        const auto at = where_.find(unit);
        if (at == where_.end()) return;
        held_ -= int64_t(at->second->second->Size);
        recent_.erase(at->second);
        where_.erase(at);
    }

    void SetBudget(int64_t bytes)
    {
        const std::lock_guard lock(mutex_);
        budget_ = std::max<int64_t>(bytes, 0);
        Trim();
    }
    int64_t Budget() const
    {
        const std::lock_guard lock(mutex_);
        return budget_;
    }
    int64_t Held() const
    {
        const std::lock_guard lock(mutex_);
        return held_;
    }

private:
    void Trim()
    {
        while (held_ > budget_) {
            held_ -= int64_t(recent_.back().second->Size);
            where_.erase(recent_.back().first);
            recent_.pop_back();
        }
    }

    mutable std::mutex mutex_;
    std::list<std::pair<int64_t, Planes>> recent_; ///< the most recently read first
    std::unordered_map<int64_t, std::list<std::pair<int64_t, Planes>>::iterator> where_;
    int64_t budget_ = TiffPlaneSource::DefaultCacheBudget;
    int64_t held_ = 0;
};

/** A libtiff handle and the buffer its strips and tiles are decoded into. */
struct PooledHandle
{
    TiffFile Tiff;
    std::vector<uint8_t> Scratch;
};

/**
 * libtiff handles on one open file, each used by one thread at a time: a thread takes
 * one, or opens another while there are fewer than a few, else waits for one.
 */
class HandlePool
{
public:
    /** A pool on the file of `fd`, `size` bytes long, that starts with handle `first`. */
    HandlePool(int fd, int64_t size, std::string name, std::unique_ptr<PooledHandle> first)
        : fd_(fd), size_(size), name_(std::move(name)),
          most_(int(std::clamp(std::thread::hardware_concurrency(), 2u, 8u)))
    {
        idle_.push_back(std::move(first));
        open_ = 1;
    }

    /**
     * A handle taken from the pool while it lives: given back when it goes, or closed
     * unless Keep was called (a handle whose read failed is not used again).
     */
    class Lease
    {
    public:
        Lease(HandlePool& pool, std::string& message) : pool_(pool), tiff_(pool.Take(message)) {}
        ~Lease()
        {
            if (tiff_) pool_.Give(keep_ ? std::move(tiff_) : nullptr);
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        explicit operator bool() const { return tiff_ != nullptr; }
        PooledHandle* operator->() const { return tiff_.get(); }
        void Keep() { keep_ = true; }

    private:
        HandlePool& pool_;
        std::unique_ptr<PooledHandle> tiff_;
        bool keep_ = false;
    };

    /** A handle for this thread, or null with the reason when none opens. */
    std::unique_ptr<PooledHandle> Take(std::string& message)
    {
        std::unique_lock lock(mutex_);
        free_.wait(lock, [this] { return !idle_.empty() || open_ < most_; });
        if (!idle_.empty()) {
            std::unique_ptr<PooledHandle> tiff = std::move(idle_.back());
            idle_.pop_back();
            return tiff;
        }
        ++open_;
        lock.unlock();
        try {
            auto tiff = std::make_unique<PooledHandle>();
            if (tiff->Tiff.Open(fd_, size_, name_, message)) return tiff;
        } catch (const std::bad_alloc&) {
            message = "not enough memory to open the file again";
        }
        Give(nullptr);
        return nullptr;
    }

    /** Hands a handle back; null closes it (a handle whose read failed is not reused). */
    void Give(std::unique_ptr<PooledHandle> tiff)
    {
        {
            const std::lock_guard lock(mutex_);
            if (tiff)
                idle_.push_back(std::move(tiff));
            else
                --open_;
        }
        free_.notify_one();
    }

private:
    int fd_;
    int64_t size_;
    std::string name_;
    int most_;
    std::mutex mutex_;
    std::condition_variable free_;
    std::vector<std::unique_ptr<PooledHandle>> idle_;
    int open_ = 0; ///< handles in use or idle
};

/** The TIFF plane source: see TiffPlaneSource. */
class TiffStackSource final : public TiffPlaneSource
{
public:
    int32_t Open(FileIo::OpenedFile& opened, bool map, std::string& message)
    {
        auto tiff = std::make_unique<PooledHandle>();
        if (!tiff->Tiff.Open(opened, message)) return ByteVolume::LoadFailed;
        const int64_t size = opened.Handle.Size();
        const PageVisitor visit = [&](TIFF* tif, const Page& page, int64_t index) {
            if (int64_t(pages_.size()) <= index) pages_.resize(size_t(index) + 1);
            MapPage(tif, page.Format, size, map, pages_[size_t(index)]);
        };
        if (!Survey(tiff->Tiff, opened.Name, plan_, message, visit)) return ByteVolume::LoadFailed;
        // Every page read was shown to the visitor; pages_ covers them all.
        for (const PageRead& read : plan_.Reads)
            if (int64_t(pages_.size()) <= read.Page) pages_.resize(size_t(read.Page) + 1);
        layout_ = plan_.Layout;
        warning_ = plan_.Warning;
        swapped_ = TIFFIsByteSwapped(tiff->Tiff.Get()) != 0;
        size_ = size;

        bool mapped = map && plan_.Contiguous;
        if (!plan_.Contiguous) {
            const PlaneOrder& order = plan_.Order;
            pageOf_.assign(size_t(order.Count()), -1);
            for (const PageRead& read : plan_.Reads) {
                const int64_t group = read.C / order.PageChannels;
                pageOf_[size_t((read.T * order.Groups + group) * order.Z + read.Z)] = read.Page;
                mapped = mapped || pages_[size_t(read.Page)].Mapped;
            }
        }
        if (mapped) {
            std::string error;
            file_ = MappedFile::Map(opened.Handle.Descriptor(), size, error);
            // Without a mapping every page is decoded.
        }
        handle_ = std::move(opened.Handle);
        pool_ =
            std::make_unique<HandlePool>(handle_.Descriptor(), size, opened.Name, std::move(tiff));
        return ByteVolume::LoadOk;
    }

    Route PlaneRoute(int c, int t, int64_t z) const override
    {
        const Where where = Locate(c, t, z);
        return where.Unit < 0 ? Route::Empty : where.Mapped ? Route::Mapped : Route::Decoded;
    }
    void SetCacheBudget(int64_t bytes) override { cache_.SetBudget(bytes); }
    int64_t CacheBudget() const override { return cache_.Budget(); }
    int64_t CachedBytes() const override { return cache_.Held(); }

    bool ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error) override
    {
        return ReadRows(c, t, z, 0, layout_.SizeY, out, error);
    }

    bool ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                  std::string& error) override
    {
        if (Failed(error)) return false;
        const Where where = Locate(c, t, z);
        const int64_t rowBytes = RowBytes();
        if (where.Unit < 0) {
            std::memset(out, 0, size_t((y1 - y0) * rowBytes));
            return true;
        }
        if (where.Mapped) return CopyRows(where, y0, y1, out, error);
        const DecodedPages::Planes planes = Decoded(where.Unit, error);
        if (!planes) return false;
        std::memcpy(out, planes->Data.get() + where.Channel * PlaneBytes() + y0 * rowBytes,
                    size_t((y1 - y0) * rowBytes));
        return true;
    }

    bool ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out, std::string& error) override
    {
        if (Failed(error)) return false;
        const Where where = Locate(c, t, z);
        const int bytes = SampleKindBytes(layout_.Kind);
        const int64_t rows = layout_.SizeY;
        if (where.Unit < 0) {
            std::memset(out, 0, size_t(rows * bytes));
            return true;
        }
        if (where.Mapped) {
            for (const MappedRun& run : where.Runs()) {
                if (!file_->Copy(run.Offset + x * where.PixelStride + where.SampleOffset,
                                 size_t(bytes), size_t(run.Rows), run.RowStride,
                                 out + run.Y0 * bytes, error))
                    return Fail(error);
            }
            if (swapped_) SwapSampleBytes(out, size_t(rows), bytes);
            return true;
        }
        const DecodedPages::Planes planes = Decoded(where.Unit, error);
        if (!planes) return false;
        const uint8_t* from = planes->Data.get() + where.Channel * PlaneBytes() + x * bytes;
        for (int64_t y = 0; y < rows; ++y)
            std::memcpy(out + y * bytes, from + y * RowBytes(), size_t(bytes));
        return true;
    }

    void WillRead(int c, int t, int64_t z0, int64_t z1, MappedFile::Access access) override
    {
        ForSpans(c, t, z0, z1, [&](bool mapped, int64_t, int64_t begin, int64_t end) {
            if (mapped)
                file_->Advise(begin, end - begin, access);
            else if (access != MappedFile::Access::Random)
                ::posix_fadvise(handle_.Descriptor(), begin, end - begin, POSIX_FADV_WILLNEED);
        });
    }

    void DoneWith(int c, int t, int64_t z0, int64_t z1) override
    {
        ForSpans(c, t, z0, z1, [&](bool mapped, int64_t unit, int64_t begin, int64_t end) {
            if (mapped)
                file_->Drop(begin, end - begin);
            else
                cache_.Forget(unit);
        });
    }

private:
    /** Where a plane is read from. */
    struct Where
    {
        int64_t Unit = -1; ///< its page, or its index among contiguous planes; -1: none
        int Channel = 0;   ///< among the unit's channels
        bool Mapped = false;
        /** When mapped: its runs, its samples PixelStride apart from SampleOffset on. */
        const MappedRun* First = nullptr;
        size_t Count = 0;
        MappedRun Single; ///< the one run of a contiguous plane
        int64_t PixelStride = 0, SampleOffset = 0;

        std::span<const MappedRun> Runs() const { return {First ? First : &Single, Count}; }
    };

    Where Locate(int c, int t, int64_t z) const
    {
        Where where;
        const PageFormat& f = plan_.Format;
        const PlaneOrder& order = plan_.Order;
        const int bytes = SampleKindBytes(f.Kind);
        const int64_t group = c / order.PageChannels;
        where.Channel = c % order.PageChannels;
        if (plan_.Contiguous) {
            where.Unit = order.IndexOf(group, z, t);
            where.Mapped = file_ != nullptr;
            const int64_t rowStride = int64_t(f.Width) * f.Samples * bytes;
            where.Single = {int64_t(plan_.DataStart) + where.Unit * rowStride * f.Height, 0,
                            f.Height, rowStride};
            where.Count = 1;
            where.PixelStride = int64_t(f.Samples) * bytes;
            where.SampleOffset = int64_t(where.Channel) * bytes;
            return where;
        }
        where.Unit = pageOf_[size_t((t * order.Groups + group) * order.Z + z)];
        if (where.Unit < 0) return where;
        const SourcePage& page = pages_[size_t(where.Unit)];
        where.Mapped = page.Mapped && file_;
        if (!where.Mapped) return where;
        const int s = page.PerPixel == 1 ? where.Channel : 0;
        where.First = page.Runs.data() + page.FirstRun[size_t(s)];
        where.Count = page.FirstRun[size_t(s) + 1] - page.FirstRun[size_t(s)];
        where.PixelStride = int64_t(page.PerPixel) * bytes;
        where.SampleOffset = page.PerPixel == 1 ? 0 : int64_t(where.Channel) * bytes;
        return where;
    }

    /** Copies rows y0 … y1 − 1 of a mapped plane into `out`. */
    bool CopyRows(const Where& where, int64_t y0, int64_t y1, uint8_t* out, std::string& error)
    {
        const int bytes = SampleKindBytes(layout_.Kind);
        const int64_t width = layout_.SizeX;
        const int64_t rowBytes = RowBytes();
        const std::span<const MappedRun> runs = where.Runs();
        // The first run that ends after y0.
        auto run =
            std::upper_bound(runs.begin(), runs.end(), y0,
                             [](int64_t y, const MappedRun& r) { return y < r.Y0 + r.Rows; });
        for (; run != runs.end() && run->Y0 < y1; ++run) {
            const int64_t a = std::max(y0, run->Y0), b = std::min(y1, run->Y0 + run->Rows);
            const int64_t from = run->Offset + (a - run->Y0) * run->RowStride + where.SampleOffset;
            uint8_t* to = out + (a - y0) * rowBytes;
            if (run->RowStride == width * where.PixelStride) {
                // The rows follow each other: one pass over all their samples.
                if (!file_->Copy(from, size_t(bytes), size_t((b - a) * width), where.PixelStride,
                                 to, error))
                    return Fail(error);
                continue;
            }
            for (int64_t y = 0; y < b - a; ++y)
                if (!file_->Copy(from + y * run->RowStride, size_t(bytes), size_t(width),
                                 where.PixelStride, to + y * rowBytes, error))
                    return Fail(error);
        }
        if (swapped_) SwapSampleBytes(out, size_t((y1 - y0) * width), bytes);
        return true;
    }

    /** The decoded channels of `unit`, from the cache or decoded now; null on a failure. */
    DecodedPages::Planes Decoded(int64_t unit, std::string& error)
    {
        if (DecodedPages::Planes kept = cache_.Find(unit)) return kept;
        std::shared_ptr<DecodedPage> planes;
        bool read = false;
        try {
            const int channels = plan_.Format.Channels;
            planes = std::make_shared<DecodedPage>(size_t(channels * PlaneBytes()));
            std::vector<uint8_t*> rows(static_cast<size_t>(channels));
            for (int c = 0; c < channels; ++c)
                rows[size_t(c)] = planes->Data.get() + c * PlaneBytes();
            const PageTarget to{rows.data(), RowBytes(), SampleKindBytes(layout_.Kind)};
            if (plan_.Contiguous) {
                std::vector<uint8_t> scratch;
                read = ReadContiguousPlane(handle_.Descriptor(), plan_, swapped_, unit, to, scratch,
                                           error);
            } else {
                HandlePool::Lease handle(*pool_, error);
                read = handle && Position(handle->Tiff, unit, error) &&
                       ReadPage(handle->Tiff, unit, plan_.Format, to, handle->Scratch, error);
                if (read) handle.Keep();
            }
        } catch (const std::bad_alloc&) {
            error = "not enough memory to decode " + UnitName(unit);
            read = false;
        }
        if (!read) {
            CheckLength(error);
            return nullptr;
        }
        cache_.Keep(unit, planes);
        return planes;
    }

    /** Makes page `page` the current directory of `tiff`. */
    bool Position(TiffFile& tiff, int64_t page, std::string& error) const
    {
        const uint64_t directory = pages_[size_t(page)].Directory;
        if (TIFFCurrentDirOffset(tiff.Get()) == directory) return true;
        if (TIFFSetSubDirectory(tiff.Get(), directory)) return true;
        error = "cannot read " + PageName(page) + " again: " + tiff.Error("it is damaged");
        return false;
    }

    std::string UnitName(int64_t unit) const
    {
        return plan_.Contiguous ? "plane " + std::to_string(unit + 1) : PageName(unit);
    }

    /**
     * Calls `f(mapped, unit, begin, end)` with the bytes of the file that planes z0 … z1 − 1
     * of volume (c, t) lie in: mapped runs that follow each other as one span, each
     * decoded unit's own.
     */
    template <typename F> void ForSpans(int c, int t, int64_t z0, int64_t z1, F&& f) const
    {
        int64_t begin = 0, end = 0; // a span of mapped runs not yet given
        const int64_t width = layout_.SizeX;
        for (int64_t z = std::max<int64_t>(z0, 0); z < std::min<int64_t>(z1, layout_.SizeZ); ++z) {
            const Where where = Locate(c, t, z);
            if (where.Unit < 0) continue;
            if (!where.Mapped && plan_.Contiguous) {
                const MappedRun& plane = where.Single;
                f(false, where.Unit, plane.Offset, plane.Offset + plane.Rows * plane.RowStride);
                continue;
            }
            if (!where.Mapped) {
                const SourcePage& page = pages_[size_t(where.Unit)];
                f(false, where.Unit, page.SpanBegin, page.SpanEnd);
                continue;
            }
            for (const MappedRun& run : where.Runs()) {
                const int64_t from = run.Offset;
                const int64_t to =
                    run.Offset + (run.Rows - 1) * run.RowStride + width * where.PixelStride;
                if (from != end) {
                    if (end > begin) f(true, -1, begin, end);
                    begin = from;
                }
                end = to;
            }
        }
        if (end > begin) f(true, -1, begin, end);
    }

    /** Fails every later read with `reason`, the first one given; returns false. */
    bool Fail(const std::string& reason)
    {
        const std::lock_guard lock(failMutex_);
        if (!failed_.load()) {
            failure_ = reason;
            failed_.store(true, std::memory_order_release);
        }
        return false;
    }

    /** True, with the reason in `error`, once the file was found truncated. */
    bool Failed(std::string& error) const
    {
        if (!failed_.load(std::memory_order_acquire)) return false;
        const std::lock_guard lock(failMutex_);
        error = failure_;
        return true;
    }

    /**
     * After a failed decode: when the file is now shorter than it was when opened, that
     * is the reason, given for this read and every later one.
     */
    void CheckLength(std::string& error)
    {
        struct stat status
        {
        };
        if (::fstat(handle_.Descriptor(), &status) != 0 || status.st_size >= size_) return;
        Fail("the file became shorter while it was read (it held " + std::to_string(size_) +
             " bytes when opened); it is no longer read");
        Failed(error);
    }

    TiffPlan plan_;
    std::vector<SourcePage> pages_; ///< by page index
    std::vector<int64_t> pageOf_;   ///< the page of each plane group (C, Z, T), or -1
    bool swapped_ = false;
    int64_t size_ = 0;
    FileIo::File handle_;
    std::shared_ptr<MappedFile> file_; ///< null when no page is mapped
    std::unique_ptr<HandlePool> pool_;
    DecodedPages cache_;
    std::atomic<bool> failed_{false};
    mutable std::mutex failMutex_;
    std::string failure_;
};

} // namespace

int32_t ReadTiffLayout(FileIo::OpenedFile& file, StackLayout& layout, std::string& message)
{
    try {
        TiffFile tiff;
        TiffPlan plan;
        if (!tiff.Open(file, message) || !Survey(tiff, file.Name, plan, message))
            return ByteVolume::LoadFailed;
        layout = plan.Layout;
        message = plan.Warning;
        return ByteVolume::LoadOk;
    } catch (const std::bad_alloc&) {
        message = "not enough memory to read the file's directories";
        return ByteVolume::LoadFailed;
    }
}

int32_t ReadTiffStack(FileIo::OpenedFile& file, VolumeStack& stack, std::string& message,
                      const StackReadOptions* options, bool* tooLarge)
{
    TiffPlan plan;
    VolumeStack fresh;
    try {
        TiffFile tiff;
        if (!tiff.Open(file, message) || !Survey(tiff, file.Name, plan, message))
            return ByteVolume::LoadFailed;
        const StackLayout& layout = plan.Layout;
        const bool large = double(layout.VolumeBytes()) * double(layout.VolumeCount()) >
                           double(ByteVolume::MaxVoxelCount());
        try {
            if (large) throw std::bad_alloc();
            fresh.Allocate(layout);
        } catch (const std::bad_alloc&) {
            message = "not enough memory for " + LayoutText(layout);
            if (tooLarge) *tooLarge = large;
            return ByteVolume::LoadFailed;
        }
        const Prefault prefault(fresh, plan);
        const int32_t code = ReadPages(tiff, plan, fresh, options, message);
        if (code != ByteVolume::LoadOk) return code;
    } catch (const std::bad_alloc&) {
        message = "not enough memory to read " + LayoutText(plan.Layout);
        return ByteVolume::LoadFailed;
    }
    stack = std::move(fresh);
    message = plan.Warning;
    return ByteVolume::LoadOk;
}

int32_t OpenTiffSource(FileIo::OpenedFile& file, std::unique_ptr<PlaneSource>& source,
                       std::string& message, bool map)
{
    try {
        auto opened = std::make_unique<TiffStackSource>();
        const int32_t code = opened->Open(file, map, message);
        if (code != ByteVolume::LoadOk) return code;
        message = opened->Warning();
        source = std::move(opened);
        return code;
    } catch (const std::bad_alloc&) {
        message = "not enough memory to read the file's directories";
        return ByteVolume::LoadFailed;
    }
}
