#include "Slab.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

template <class T> void FoldMaximum(const ImageStruct& slice, ImageStruct& out, bool first)
{
    for (int v = 0; v < out.YSize; ++v) {
        const auto* in = reinterpret_cast<const T*>(slice.Data + int64_t(v) * slice.LineStep);
        auto* row = reinterpret_cast<T*>(out.Data + int64_t(v) * out.LineStep);
        if (first) {
            std::memcpy(row, in, size_t(out.XSize) * sizeof(T));
            continue;
        }
        // NaN never wins: a comparison with it is false either way round.
        for (int u = 0; u < out.XSize; ++u)
            if (in[u] > row[u] || row[u] != row[u]) row[u] = in[u];
    }
}

template <class T>
void FoldSum(const ImageStruct& slice, std::vector<double>& sums, std::vector<uint32_t>& counts)
{
    const int width = slice.XSize;
    for (int v = 0; v < slice.YSize; ++v) {
        const auto* in = reinterpret_cast<const T*>(slice.Data + int64_t(v) * slice.LineStep);
        double* sum = sums.data() + int64_t(v) * width;
        uint32_t* count = counts.data() + int64_t(v) * width;
        for (int u = 0; u < width; ++u)
            if (in[u] == in[u]) sum[u] += double(in[u]), ++count[u];
    }
}

/** Calls `fn` with a value of the element type of images of `kind`; false for another kind. */
template <class Fn> bool WithElement(int16_t kind, Fn&& fn)
{
    switch (kind) {
    case ImageKind8:
        return fn(uint8_t{}), true;
    case ImageKind16:
        return fn(uint16_t{}), true;
    case ImageKind32:
        return fn(int32_t{}), true;
    case ImageKindFloat:
        return fn(float{}), true;
    default:
        return false;
    }
}

} // namespace

SlabRange SlabAround(int position, int count, int positions)
{
    count = std::max(count, 1);
    SlabRange range;
    range.First = std::max(position - (count - 1) / 2, 0);
    range.Last = std::min(position + count / 2, positions - 1);
    return range;
}

ImagePtr MakeSlab(SliceModel& model, SlicePlane plane, int position, int count, SlabMode mode)
{
    if (mode == SlabMode::Single) return nullptr;
    const int kept = model.Position(plane);
    const SlabRange range = SlabAround(position, count, model.Positions(plane));
    const int width = model.SliceWidth(plane), height = model.SliceHeight(plane);
    if (range.Last < range.First || width <= 0 || height <= 0) return nullptr;
    ImagePtr out;
    std::vector<double> sums;
    std::vector<uint32_t> counts;
    try {
        if (mode == SlabMode::Mean) {
            sums.assign(size_t(width) * size_t(height), 0.0);
            counts.assign(sums.size(), 0);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    bool ok = true;
    for (int p = range.First; ok && p <= range.Last; ++p) {
        model.SetPosition(plane, p);
        const ImageStruct* slice = model.SampleSlice(plane);
        if (!slice) {
            ok = false;
            break;
        }
        const int16_t kind = ImageKind(slice);
        if (p == range.First)
            out.reset(NewSliceImage(mode == SlabMode::Mean ? int16_t(ImageKindFloat) : kind, width,
                                    height));
        if (!out) {
            ok = false;
            break;
        }
        ok = WithElement(kind, [&](auto element) {
            using T = decltype(element);
            if (mode == SlabMode::Maximum)
                FoldMaximum<T>(*slice, *out, p == range.First);
            else
                FoldSum<T>(*slice, sums, counts);
        });
    }
    model.SetPosition(plane, kept);
    if (!ok) return nullptr;
    if (mode == SlabMode::Mean)
        for (int v = 0; v < height; ++v) {
            auto* row = reinterpret_cast<float*>(out->Data + int64_t(v) * out->LineStep);
            for (int u = 0; u < width; ++u) {
                const size_t i = size_t(v) * size_t(width) + size_t(u);
                row[u] = counts[i] ? float(sums[i] / counts[i]) : std::nanf("");
            }
        }
    TouchImage(out.get());
    return out;
}
