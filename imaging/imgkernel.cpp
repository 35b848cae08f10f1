#include "imgkernel.h"

#include "imgcache_p.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

// --- images ------------------------------------------------------------------------

namespace {

/** The most bytes an image's pixels may take: the machine's memory. */
std::size_t MaxPixelBytes()
{
    static const std::size_t limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
        return pages > 0 && size > 0 ? std::size_t(pages) * std::size_t(size)
                                     : std::size_t(1) << 32;
    }();
    return limit;
}

/** Bytes of a row of `xsize` elements of `bytes` bytes, padded to 4; 0 on overflow. */
std::size_t RowBytes(int32_t xsize, int32_t bytes)
{
    const int64_t row = (int64_t(xsize) * bytes + 3) & ~int64_t(3);
    return row > INT32_MAX ? 0 : std::size_t(row);
}

/**
 * A new record of `type` for xsize × ysize elements with its layout set, but no
 * pixels yet; null for impossible sizes. `total` receives the bytes of the pixels.
 */
ImageStruct* NewRecord(int16_t type, int32_t xsize, int32_t ysize, std::size_t& total)
{
    if (xsize < 0 || ysize < 0) return nullptr;
    const std::size_t row = RowBytes(xsize, type & 0x000F);
    if (xsize > 0 && row == 0) return nullptr;
    if (__builtin_mul_overflow(row, std::size_t(ysize), &total) || total > MaxPixelBytes())
        return nullptr;
    auto* image = new (std::nothrow) ImageStruct;
    if (!image) return nullptr;
    image->XSize = xsize;
    image->YSize = ysize;
    image->Type = type;
    image->LineStep = int32_t(row);
    TouchImage(image);
    return image;
}

/** Points Data at row 0 of `block`: the last row in memory for bottom-up images. */
void PlaceRows(ImageStruct* image, void* block, bool bottomUp)
{
    auto* base = static_cast<uint8_t*>(block);
    if (bottomUp && image->YSize > 0) {
        image->Data = base + std::size_t(image->LineStep) * std::size_t(image->YSize - 1);
        image->LineStep = -image->LineStep;
    } else {
        image->Data = base;
    }
}

ImageStruct* NewImage(int16_t type, int32_t xsize, int32_t ysize, bool bottomUp)
{
    std::size_t total = 0;
    ImageStruct* image = NewRecord(type, xsize, ysize, total);
    if (!image) return nullptr;
    void* block = AllocatePixels(total);
    if (!block && total > 0) {
        delete image;
        return nullptr;
    }
    image->Memory = block;
    PlaceRows(image, block, bottomUp);
    return image;
}

ImageStruct* NewCachedImage(int16_t type, int32_t xsize, int32_t ysize)
{
    std::size_t total = 0;
    ImageStruct* image = NewRecord(type, xsize, ysize, total);
    if (!image) return nullptr;
    if (!CacheAttach(image, total)) {
        delete image;
        return nullptr;
    }
    PlaceRows(image, image->Memory, true);
    return image;
}

/** Bytes of the elements of one row of `image` (without padding). */
std::size_t RowPayload(const ImageStruct* image, int32_t xsize)
{
    return std::size_t(xsize) * std::size_t(ImageElementBytes(image));
}

} // namespace

void TouchImage(ImageStruct* image)
{
    static std::atomic<uint64_t> generations{0};
    if (image) image->Generation = ++generations;
}

void* AllocatePixels(std::size_t bytes)
{
    if (bytes == 0) return nullptr;
    // calloc hands out fresh zero pages for large blocks, so zeroing costs no pass.
    void* block = std::calloc(bytes, 1);
    if (block && bytes >= (std::size_t(4) << 20)) {
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        const uintptr_t begin = (uintptr_t(block) + page - 1) & ~(page - 1);
        const uintptr_t end = (uintptr_t(block) + bytes) & ~(page - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
    return block;
}

void FreePixels(void* block)
{
    std::free(block);
}

ImageStruct* NewImage8(int32_t xsize, int32_t ysize)
{
    return NewImage(ImageKind8 | ImageAttributeDirect8, xsize, ysize, true);
}

ImageStruct* NewImage16(int32_t xsize, int32_t ysize)
{
    return NewImage(ImageKind16, xsize, ysize, false);
}

ImageStruct* NewImage32(int32_t xsize, int32_t ysize)
{
    return NewImage(ImageKind32, xsize, ysize, false);
}

ImageStruct* NewImageFloat(int32_t xsize, int32_t ysize)
{
    return NewImage(ImageKindFloat, xsize, ysize, false);
}

ImageStruct* NewImageRGB(int32_t xsize, int32_t ysize)
{
    return NewImage(ImageKindRGB | ImageAttributeDirectRGB, xsize, ysize, true);
}

ImageStruct* NewImageComplex(int32_t xsize, int32_t ysize)
{
    return NewImage(ImageKindComplex, xsize, ysize, false);
}

ImageStruct* NewImage8Alloc(int32_t xsize, int32_t ysize, int32_t, CacheAllocMode, CacheFreeMode)
{
    return NewCachedImage(ImageKind8 | ImageAttributeDirect8, xsize, ysize);
}

ImageStruct* NewImageRGBAlloc(int32_t xsize, int32_t ysize, int32_t, CacheAllocMode, CacheFreeMode)
{
    return NewCachedImage(ImageKindRGB | ImageAttributeDirectRGB, xsize, ysize);
}

void DeleteImage(ImageStruct* image)
{
    if (!image) return;
    if (image->Cache)
        CacheDetach(image);
    else
        FreePixels(image->Memory);
    delete image;
}

void ImageFill(ImageStruct* image, int32_t value)
{
    if (!image || !image->Data || image->XSize <= 0) return;
    const std::size_t payload = RowPayload(image, image->XSize);
    const int byte = ImageKind(image) == ImageKind8 ? int(uint8_t(value)) : 0;
    TouchImage(image);
    for (int32_t y = 0; y < image->YSize; ++y)
        std::memset(image->Data + std::ptrdiff_t(y) * image->LineStep, byte, payload);
}

void SetTempReference(ImageStruct* temp, const ImageStruct* parent, int32_t x0, int32_t y0,
                      int32_t xsize, int32_t ysize)
{
    if (!temp) return;
    *temp = ImageStruct();
    if (!parent) return;
    // The rectangle is cut to the parent, so the reference never reaches outside it.
    const int64_t left = std::clamp<int64_t>(x0, 0, parent->XSize);
    const int64_t top = std::clamp<int64_t>(y0, 0, parent->YSize);
    const int64_t right =
        std::clamp<int64_t>(int64_t(x0) + std::max(xsize, 0), left, parent->XSize);
    const int64_t bottom =
        std::clamp<int64_t>(int64_t(y0) + std::max(ysize, 0), top, parent->YSize);
    temp->Type = parent->Type;
    temp->LineStep = parent->LineStep;
    temp->XSize = int32_t(right - left);
    temp->YSize = int32_t(bottom - top);
    if (parent->Data && temp->XSize > 0 && temp->YSize > 0)
        temp->Data = parent->Data + top * parent->LineStep + left * ImageElementBytes(parent);
}

bool ImageTransfer(ImageStruct* dst, const ImageStruct* src)
{
    if (!dst || !src || ImageKind(dst) != ImageKind(src)) return false;
    const int32_t xsize = std::min(dst->XSize, src->XSize);
    const int32_t ysize = std::min(dst->YSize, src->YSize);
    if (xsize <= 0 || ysize <= 0) return true;
    if (!dst->Data || !src->Data) return false;
    TouchImage(dst);
    const std::size_t payload = RowPayload(src, xsize);
    for (int32_t y = 0; y < ysize; ++y)
        std::memmove(dst->Data + std::ptrdiff_t(y) * dst->LineStep,
                     src->Data + std::ptrdiff_t(y) * src->LineStep, payload);
    return true;
}

void ImageInfoTransfer(ImageStruct* dst, const ImageStruct* src)
{
    if (dst && src && dst != src) dst->Info = src->Info;
}

// --- vectors -----------------------------------------------------------------------

void InitVectorSize(VectorStruct* vector, int32_t n)
{
    if (!vector) return;
    DestroyVector(vector);
    if (n < 0) n = 0;
    // Value-initialised, so every sample starts at 0. Should the allocation throw, the
    // record is left empty rather than pointing at released storage.
    if (n > 0) vector->Values = new float[static_cast<std::size_t>(n)]();
    vector->Length = n;
    vector->Allocated = n;
}

void DestroyVector(VectorStruct* vector)
{
    if (!vector) return;
    delete[] vector->Values;
    vector->Values = nullptr;
    vector->Length = 0;
    vector->Allocated = 0;
}

void VectorStatistics(float* min, float* max, float* mean, float* deviation,
                      const VectorStruct* vector)
{
    const float* values = vector ? vector->Values : nullptr;
    const int32_t length = (values && vector->Length > 0) ? vector->Length : 0;

    // Two passes in double precision: the mean first, then the squared distances from
    // it, which keeps the deviation accurate for samples far from 0.
    float lo = 0, hi = 0;
    double sum = 0;
    int32_t count = 0;
    for (int32_t i = 0; i < length; ++i) {
        const float v = values[i];
        if (std::isnan(v)) continue;
        if (count == 0) {
            lo = hi = v;
        } else {
            if (v < lo) lo = v;
            if (v > hi) hi = v;
        }
        sum += v;
        ++count;
    }

    double average = 0, spread = 0;
    if (count > 0) {
        average = sum / count;
        double squares = 0;
        for (int32_t i = 0; i < length; ++i) {
            const float v = values[i];
            if (std::isnan(v)) continue;
            const double d = v - average;
            squares += d * d;
        }
        spread = std::sqrt(squares / count);
    }

    if (min) *min = lo;
    if (max) *max = hi;
    if (mean) *mean = static_cast<float>(average);
    if (deviation) *deviation = static_cast<float>(spread);
}

// --- graphics lists ------------------------------------------------------------------

void InitListSize(GraphicsListStruct* list, int32_t n)
{
    if (!list) return;
    DestroyList(list);
    if (n < 0) n = 0;
    if (n > 0) list->Items = new GraphicsItemStruct[static_cast<std::size_t>(n)];
    list->Allocated = n;
}

void DestroyList(GraphicsListStruct* list)
{
    if (!list) return;
    delete[] list->Items;
    list->Items = nullptr;
    list->Count = 0;
    list->Allocated = 0;
}

GraphicsItemStruct* GetFromList(GraphicsListStruct* list, int32_t i)
{
    return list && list->Items && i >= 0 && i < list->Allocated ? list->Items + i : nullptr;
}

const GraphicsItemStruct* GetFromList(const GraphicsListStruct* list, int32_t i)
{
    return GetFromList(const_cast<GraphicsListStruct*>(list), i);
}

int32_t AppendToList(GraphicsListStruct* list, const GraphicsItemStruct& item)
{
    if (!list || !list->Items || list->Count < 0 || list->Count >= list->Allocated) return -1;
    list->Items[list->Count] = item;
    return list->Count++;
}

// --- rows on several threads ----------------------------------------------------------

unsigned ProcessorCores()
{
    // (glibc reads a file in /sys for it, so it is asked once.)
    static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return cores;
}

namespace {

/** The bands of `split` (at least 1 for a split with rows). */
int64_t BandCount(const RowSplit& split, unsigned threads)
{
    return split.BandRows > 0 ? (split.Rows - 1) / split.BandRows + 1 : int64_t(threads);
}

/** The first row of band `b` of `bands`; band `bands` starts at Rows. */
int64_t BandBegin(const RowSplit& split, int64_t bands, int64_t b)
{
    if (split.BandRows > 0) return std::min(split.Rows, b * split.BandRows);
    // The first Rows % bands bands take a row more than the others.
    const int64_t rows = split.Rows / bands, extra = split.Rows % bands;
    return b * rows + std::min(b, extra);
}

/** Helper threads, joined when they go out of scope. */
struct Helpers
{
    std::vector<std::thread> threads;
    ~Helpers()
    {
        for (std::thread& thread : threads)
            thread.join();
    }
};

} // namespace

unsigned RowSplitThreads(const RowSplit& split)
{
    if (split.Rows <= 1) return 1;
    int64_t threads = split.BandRows > 0 ? BandCount(split, 0) : split.Rows;
    if (split.ThreadWork > 0) {
        int64_t work = 0;
        if (__builtin_mul_overflow(split.Rows, std::max<int64_t>(split.RowWork, 0), &work))
            work = INT64_MAX;
        threads = std::min(threads, work / split.ThreadWork);
    }
    // The work decides first, so that small jobs never ask for the cores.
    if (threads <= 1) return 1;
    return unsigned(std::min<int64_t>(threads, split.Threads ? split.Threads : ProcessorCores()));
}

unsigned SplitRows(const RowSplit& split, const RowBandFunction& band)
{
    if (split.Rows <= 0) return 0;
    const unsigned threads = RowSplitThreads(split);
    if (threads <= 1) {
        band(0, split.Rows, 0);
        return 1;
    }
    const int64_t bands = BandCount(split, threads);
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex failureLock;
    std::exception_ptr failure;
    const auto work = [&](unsigned worker) {
        try {
            for (int64_t b; !failed.load(std::memory_order_relaxed) &&
                            (b = next.fetch_add(1, std::memory_order_relaxed)) < bands;)
                band(BandBegin(split, bands, b), BandBegin(split, bands, b + 1), worker);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failureLock);
            if (!failure) failure = std::current_exception();
            failed = true;
        }
    };
    unsigned started = 1;
    {
        Helpers helpers;
        helpers.threads.reserve(threads - 1);
        for (; started < threads; ++started) {
            try {
                helpers.threads.emplace_back(work, started);
            } catch (const std::system_error&) {
                break; // no more threads to be had: those running do the rest
            }
        }
        work(0);
    }
    if (failure) std::rethrow_exception(failure);
    return started;
}
