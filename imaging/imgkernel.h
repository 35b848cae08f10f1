#pragma once

#include "imgkernel_export.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

/**
 * Records of the imaging library and the operations that make, size, convert and
 * measure them. No widget code.
 */

// --- images ------------------------------------------------------------------------

/**
 * Element kinds: the tag of an image's Type with the attribute bits masked off
 * (Type & ImageKindMask). The low nibble is the bytes per element.
 *
 *  - 8-bit: unsigned bytes 0 … 255;
 *  - 16-bit: unsigned 0 … 65535;
 *  - 32-bit: signed two's complement;
 *  - float: IEEE single precision;
 *  - RGB: four bytes a pixel, blue, green, red and an unused byte (QImage's
 *    Format_RGB32 on a little-endian machine);
 *  - complex: two floats a pixel, real part first.
 */
enum : int16_t
{
    ImageKind8 = 0x0011,
    ImageKind16 = 0x0042,
    ImageKind32 = 0x0104,
    ImageKindFloat = 0x0404,
    ImageKindRGB = 0x1004,
    ImageKindComplex = 0x4008,
};
constexpr int16_t ImageKindMask = 0x555F;
/** Attribute bits (Type & 0xAAA0). */
constexpr int16_t ImageAttributeMask = int16_t(0xAAA0);
/**
 * Set on 8-bit and RGB images whose rows a drawing device takes as they are:
 * NewImage8 gives 0x0031, NewImageRGB 0x3004. The bit says nothing of alignment: a
 * record made by the program may carry it with rows at any address, which a device
 * takes as they are only when it handles rows that are not 4-byte aligned (the image
 * control's HandlesNonWordAlignedImageYOffset); otherwise it converts them.
 */
constexpr int16_t ImageAttributeDirect8 = 0x0020;
constexpr int16_t ImageAttributeDirectRGB = 0x2000;

struct CacheEntry;

/**
 * Descriptive information of an image: where it came from and the physical size of
 * its pixels. Conversions leave it alone; ImageInfoTransfer copies it.
 */
struct VOLINSPECT_IMGKERNEL_EXPORT ImageInfo
{
    std::string Source;    ///< the picture file it was read from, or empty
    double XPixelSize = 0; ///< physical width of a pixel in metres; 0 = unknown
    double YPixelSize = 0; ///< physical height of a pixel in metres; 0 = unknown
};

/**
 * An image of XSize × YSize elements of one kind. Row y starts at Data + y·LineStep
 * (LineStep bytes, negative when the first row lies last in memory). Made by the New…
 * functions, whose rows are 4-byte aligned, and released by DeleteImage; or a temporary
 * reference into another image's pixels (SetTempReference) or into memory of the
 * program's own, which owns nothing and whose rows may lie at any address (the slice
 * model's records refer to a volume's rows of any length).
 */
struct VOLINSPECT_IMGKERNEL_EXPORT ImageStruct
{
    int32_t XSize = 0;           ///< elements per row
    int32_t YSize = 0;           ///< rows
    int32_t LineStep = 0;        ///< bytes from a row to the next; negative when bottom-up
    int16_t Type = 0;            ///< element kind | attribute bits
    uint8_t* Data = nullptr;     ///< row 0; null for a cached image whose pixels were reclaimed
    ImageInfo Info;              ///< descriptive information
    void* Memory = nullptr;      ///< the pixel block owned (null for a reference)
    CacheEntry* Cache = nullptr; ///< the cache's bookkeeping, for images made by …Alloc
    /**
     * A stamp that changes whenever the pixels do: set from one process-wide counter by
     * every library function that makes or writes an image (TouchImage), so that no two
     * states of any image ever share one. Drawings derived from the pixels are redone
     * when it changes; a program that writes pixels itself, or writes through a
     * temporary reference, calls TouchImage on the image it draws.
     */
    uint64_t Generation = 0;
};

/** Gives `image` a new Generation: its pixels have changed. Null does nothing. */
VOLINSPECT_IMGKERNEL_EXPORT void TouchImage(ImageStruct* image);

/** The element kind of `image` (Type & ImageKindMask), 0 for null. */
inline int16_t ImageKind(const ImageStruct* image)
{
    return image ? int16_t(image->Type & ImageKindMask) : int16_t(0);
}

/** Bytes per element of `image`'s kind (the low nibble of Type). */
inline int32_t ImageElementBytes(const ImageStruct* image)
{
    return image ? image->Type & 0x000F : 0;
}

/**
 * New images of `xsize` × `ysize` elements, all 0, or null when a size is negative,
 * the image would not fit in memory or cannot be had. 8-bit and RGB images are
 * bottom-up (negative LineStep) and carry their direct-draw attribute; the others
 * are top-down. Rows are padded to a multiple of 4 bytes.
 */
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImage8(int32_t xsize, int32_t ysize);
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImage16(int32_t xsize, int32_t ysize);
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImage32(int32_t xsize, int32_t ysize);
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImageFloat(int32_t xsize, int32_t ysize);
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImageRGB(int32_t xsize, int32_t ysize);
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImageComplex(int32_t xsize, int32_t ysize);

/** The allocator and release arguments of the …Alloc functions (the only ones there are). */
enum CacheAllocMode : int32_t
{
    CacheAllocLock = 1
};
enum CacheFreeMode : int32_t
{
    CacheUnlockFree = 1
};

/**
 * Like NewImage8 and NewImageRGB, but the pixels live in the pixel cache (imgcache.h)
 * and the image comes back locked. `flags` is accepted for the caller's sake (0x300)
 * and ignored.
 */
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImage8Alloc(int32_t xsize, int32_t ysize, int32_t flags,
                                                        CacheAllocMode alloc,
                                                        CacheFreeMode release);
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* NewImageRGBAlloc(int32_t xsize, int32_t ysize,
                                                          int32_t flags, CacheAllocMode alloc,
                                                          CacheFreeMode release);

/**
 * Releases an image made by a New… function: its pixels (or its place in the cache)
 * and the record. Null does nothing. A temporary reference must not be passed.
 */
VOLINSPECT_IMGKERNEL_EXPORT void DeleteImage(ImageStruct* image);

/** Sets every element of `image` to `value` (8-bit: the byte; others: 0 for 0). */
VOLINSPECT_IMGKERNEL_EXPORT void ImageFill(ImageStruct* image, int32_t value);

/**
 * Makes the caller's record `temp` a reference to the rectangle (x0, y0, xsize, ysize)
 * of `parent`'s pixels, of the parent's Type and LineStep. The rectangle is cut to the
 * parent; an empty one gives a reference of no elements. Nothing is to be freed.
 */
VOLINSPECT_IMGKERNEL_EXPORT void SetTempReference(ImageStruct* temp, const ImageStruct* parent,
                                                  int32_t x0, int32_t y0, int32_t xsize,
                                                  int32_t ysize);

/**
 * Copies the elements of `src` into `dst` when both are of one kind; only the
 * rectangle both images cover (their common top-left part) is written. Returns false,
 * writing nothing, when the kinds differ or an image is null.
 */
VOLINSPECT_IMGKERNEL_EXPORT bool ImageTransfer(ImageStruct* dst, const ImageStruct* src);

/** Copies the descriptive information (ImageInfo) of `src` into `dst`. */
VOLINSPECT_IMGKERNEL_EXPORT void ImageInfoTransfer(ImageStruct* dst, const ImageStruct* src);

/**
 * Conversions. Each writes the rectangle both images cover (their common top-left
 * part), only when the two are of the kinds its name gives; otherwise it returns
 * false and writes nothing. The window arguments are floats.
 *
 * The grey window maps an element value s to a display level 0 … 255 (all in double
 * precision, then truncated toward zero). Min maps to 0 and Max to 255, exactly:
 *   - s at or beyond Max (s ≥ Max; s ≤ Max when Min > Max): level 255. The factor
 *     below is rounded, so the formula alone may leave Max an ulp short of 255
 *     (0 … 100: 100 · (255 / 100) = 254.99999999999997); this rule settles it.
 *   - Otherwise, Max ≠ Min: t = (s − Min) · (255 / (Max − Min)), the factor formed
 *     first; level = 0 when t < 1 or t is NaN, 255 when t ≥ 255, trunc(t) otherwise.
 *     Min > Max inverts the scale. +∞ and −∞ follow these rules (to 255 or 0); NaN
 *     gives 0.
 *   - Max = Min: a step, level 255 when s ≥ Min, else 0 (NaN: 0).
 * The logarithmic window, with q = s − Min when Min < Max and q = Min − s when
 * Min > Max (the distance from Min towards Max) and w = |Max − Min|: s at or beyond
 * Max gives 255 as above; otherwise
 *   t = 255.0 * std::log1p(std::max(0.0, q)) / std::log1p(w), in double precision,
 *   then as above (0 when t < 1 or NaN, 255 when t ≥ 255). So Min maps to 0, Max to
 *   255, and for Min < Max it is 255 · log(1 + max(0, s − Min)) / log(1 + Max − Min).
 *   Max = Min is the same step as the linear window.
 * Both are monotonic in s: non-decreasing, non-increasing when Min > Max.
 * Complex elements give their real part re, their imaginary part im, or their power
 * re² + im² (formed in double precision) before the window. An RGB pixel's grey value
 * is (299·R + 587·G + 114·B) / 1000, truncated, before the window.
 */
VOLINSPECT_IMGKERNEL_EXPORT bool Image8ToImage8(ImageStruct* dst, const ImageStruct* src, float min,
                                                float max);
VOLINSPECT_IMGKERNEL_EXPORT bool Image16ToImage8(ImageStruct* dst, const ImageStruct* src,
                                                 float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool Image32ToImage8(ImageStruct* dst, const ImageStruct* src,
                                                 float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageRGBToImage8(ImageStruct* dst, const ImageStruct* src,
                                                  float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageFloatToImage8(ImageStruct* dst, const ImageStruct* src,
                                                    float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageComplexReToImage8(ImageStruct* dst, const ImageStruct* src,
                                                        float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageComplexImToImage8(ImageStruct* dst, const ImageStruct* src,
                                                        float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageComplexPowerToImage8(ImageStruct* dst, const ImageStruct* src,
                                                           float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageFloatLogToImage8(ImageStruct* dst, const ImageStruct* src,
                                                       float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageComplexReLogToImage8(ImageStruct* dst, const ImageStruct* src,
                                                           float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageComplexImLogToImage8(ImageStruct* dst, const ImageStruct* src,
                                                           float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool
ImageComplexPowerLogToImage8(ImageStruct* dst, const ImageStruct* src, float min, float max);

/**
 * RGB to RGB: the grey window applied to each of blue, green and red. The …Color
 * form then scales each channel by the colour's (0x00BBGGRR): level · c / 255,
 * truncated. The unused byte is written 0.
 */
VOLINSPECT_IMGKERNEL_EXPORT bool ImageRGBToImageRGB(ImageStruct* dst, const ImageStruct* src,
                                                    float min, float max);
VOLINSPECT_IMGKERNEL_EXPORT bool ImageRGBToImageRGBColor(ImageStruct* dst, const ImageStruct* src,
                                                         uint32_t color, float min, float max);

/**
 * 8-bit to the other kinds, value for value: 16-bit, 32-bit and float take v, complex
 * takes (v, 0), RGB takes (v, v, v).
 */
VOLINSPECT_IMGKERNEL_EXPORT bool Image8ToImage16(ImageStruct* dst, const ImageStruct* src);
VOLINSPECT_IMGKERNEL_EXPORT bool Image8ToImage32(ImageStruct* dst, const ImageStruct* src);
VOLINSPECT_IMGKERNEL_EXPORT bool Image8ToImageFloat(ImageStruct* dst, const ImageStruct* src);
VOLINSPECT_IMGKERNEL_EXPORT bool Image8ToImageComplex(ImageStruct* dst, const ImageStruct* src);
VOLINSPECT_IMGKERNEL_EXPORT bool Image8ToImageRGB(ImageStruct* dst, const ImageStruct* src);

/** Releases an image through DeleteImage; the owner of images made by New… functions. */
struct VOLINSPECT_IMGKERNEL_EXPORT ImageDeleter
{
    void operator()(ImageStruct* image) const { DeleteImage(image); }
};
using ImagePtr = std::unique_ptr<ImageStruct, ImageDeleter>;

// --- vectors -----------------------------------------------------------------------

/** A one-dimensional vector of 32-bit floats. The caller allocates the record itself. */
struct VOLINSPECT_IMGKERNEL_EXPORT VectorStruct
{
    float* Values = nullptr; ///< the samples, index 0 to Length − 1; owned by the record
    int32_t Length = 0;      ///< samples in use
    int32_t Allocated = 0;   ///< samples the storage holds
};

/**
 * Gives `vector` storage for `n` samples, all 0, and Length `n` (a negative n counts
 * as 0). Storage the record held before is released first.
 * Throws std::bad_alloc when the storage cannot be had.
 */
VOLINSPECT_IMGKERNEL_EXPORT void InitVectorSize(VectorStruct* vector, int32_t n);

/** Releases the storage of `vector`; Values becomes null and Length 0. The record stays. */
VOLINSPECT_IMGKERNEL_EXPORT void DestroyVector(VectorStruct* vector);

/**
 * The least and greatest of the first Length samples, and their mean and standard
 * deviation (population). Samples that are not numbers are left out; with no numbers
 * all four are 0.
 */
VOLINSPECT_IMGKERNEL_EXPORT void VectorStatistics(float* min, float* max, float* mean,
                                                  float* deviation, const VectorStruct* vector);

// --- graphics lists ------------------------------------------------------------------

/** What a graphics item is; its Coords are read by kind (see GraphicsItemStruct). */
enum GraphicsKind : int32_t
{
    GraphicsPoint = 0,
    GraphicsLine = 1,
    GraphicsRectangle = 2,
    GraphicsArc = 3,
};

/** An item's Color that means "the list's Color". */
constexpr uint32_t GraphicsListColor = 0xFFFFFFFF;

/**
 * One vector graphics item, in list coordinates (a picture's sample coordinates when
 * the list lies over an image):
 *
 *  - point: at (Coords[2], Coords[3]);
 *  - line: from (Coords[0], Coords[1]) to (Coords[2], Coords[3]);
 *  - rectangle: the corners (Coords[0], Coords[1]) and (Coords[2], Coords[3]), in any order;
 *  - arc: centre (Coords[0], Coords[1]), radius Coords[2], start angle Coords[3] and end
 *    angle Coords[4] in degrees. Angle a lies at (CX + R·cos t, CY − R·sin t) with
 *    t = a·π/180: 0° to the right, 90° up when y grows downward.
 *
 * Items of any other Kind, and items with a coordinate that is not finite, are neither
 * drawn nor hit.
 */
struct VOLINSPECT_IMGKERNEL_EXPORT GraphicsItemStruct
{
    int32_t Kind = GraphicsPoint;
    uint32_t Color = GraphicsListColor; ///< 0x00BBGGRR, or GraphicsListColor
    float Coords[5] = {};
};

/** A list of graphics items. The caller allocates the record itself. */
struct VOLINSPECT_IMGKERNEL_EXPORT GraphicsListStruct
{
    GraphicsItemStruct* Items = nullptr; ///< storage for Allocated items; owned by the record
    int32_t Count = 0;                   ///< items in use, 0 … Allocated
    int32_t Allocated = 0;               ///< items the storage holds
    uint32_t Color = 0x00FFFF;           ///< 0x00BBGGRR of items without their own (yellow)
};

/**
 * Gives `list` storage for `n` items (a negative n counts as 0), all default items,
 * and Count 0: a new list holds no items until the caller puts them in and raises
 * Count. Storage the record held before is released first; Color is kept.
 * Throws std::bad_alloc when the storage cannot be had.
 */
VOLINSPECT_IMGKERNEL_EXPORT void InitListSize(GraphicsListStruct* list, int32_t n);

/** Releases the storage of `list`; Items becomes null, Count and Allocated 0. */
VOLINSPECT_IMGKERNEL_EXPORT void DestroyList(GraphicsListStruct* list);

/**
 * Item `i` of `list` (Items + i) for 0 ≤ i < Allocated, the slots a caller may fill;
 * null for any other index or a null list.
 */
VOLINSPECT_IMGKERNEL_EXPORT GraphicsItemStruct* GetFromList(GraphicsListStruct* list, int32_t i);
VOLINSPECT_IMGKERNEL_EXPORT const GraphicsItemStruct* GetFromList(const GraphicsListStruct* list,
                                                                  int32_t i);

/** Puts `item` after the list's last item; its index, or −1 when the list is full. */
VOLINSPECT_IMGKERNEL_EXPORT int32_t AppendToList(GraphicsListStruct* list,
                                                 const GraphicsItemStruct& item);

// --- rows on several threads ----------------------------------------------------------

/** The processor's cores as the system reports them, at least 1; asked once a process. */
VOLINSPECT_IMGKERNEL_EXPORT unsigned ProcessorCores();

/**
 * How SplitRows shares the rows 0 … Rows − 1 of a job out among threads. The threads
 * are the fewest of Threads (0: ProcessorCores()), the rows, the bands, and the job's
 * work Rows · RowWork over ThreadWork; when that leaves one, the calling thread does
 * it all.
 */
struct VOLINSPECT_IMGKERNEL_EXPORT RowSplit
{
    int64_t Rows = 0;       ///< the rows, 0 … Rows − 1; none when 0 or less
    unsigned Threads = 0;   ///< the most threads, the calling one among them; 0: one a core
    int64_t RowWork = 1;    ///< the work of one row, in any unit (pixels, differences)
    int64_t ThreadWork = 0; ///< the least work worth a thread of its own; 0: any
    int64_t BandRows = 0;   ///< rows a band (the last may have fewer); 0: a band a thread
};

/** The threads SplitRows runs `split` on when every one it asks for can be had. */
VOLINSPECT_IMGKERNEL_EXPORT unsigned RowSplitThreads(const RowSplit& split);

/** Runs the rows begin … end − 1 on worker `worker`, 0 … threads − 1 (0: the calling thread). */
using RowBandFunction = std::function<void(int64_t begin, int64_t end, unsigned worker)>;

/**
 * Runs band(begin, end, worker) over contiguous bands of rows that together cover
 * 0 … Rows − 1 exactly once, on RowSplitThreads(split) threads: the calling thread
 * (worker 0) and helper threads (1, 2, …), which take the bands in order as they get
 * free, so a core busy with other work holds up nothing. Without BandRows the bands are
 * one a thread, of equal rows give or take one. Each worker runs its bands one after
 * another, so per-worker scratch space needs no lock. A job of one thread is one band,
 * 0 … Rows − 1, on the calling thread.
 *
 * When the system refuses a thread (std::system_error), the threads that did start do
 * the rest. When a band throws, no further bands are begun, every helper is joined and
 * the first exception is thrown again here. Returns the threads that took part (0 when
 * there are no rows).
 */
VOLINSPECT_IMGKERNEL_EXPORT unsigned SplitRows(const RowSplit& split, const RowBandFunction& band);
