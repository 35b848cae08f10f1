#include "SampleStats.h"

#include "StackBytes.h"
#include "StackVoxels.h"
#include "imgkernel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

/** Samples counted between two calls of the progress callback. */
constexpr size_t BlockSamples = size_t(1) << 24;
/** The most bins of a histogram of wide values. */
constexpr int MaxBins = 4096;

/** Calls `progress` with the fraction done over `passes` passes; false once cancelled. */
class PassProgress
{
public:
    PassProgress(const std::function<bool(double)>& progress, int passes)
        : progress_(progress), passes_(passes)
    {
    }
    bool Report(size_t done, size_t count)
    {
        return !progress_ || progress_((pass_ + double(done) / double(count)) / passes_);
    }
    void NextPass() { ++pass_; }

private:
    const std::function<bool(double)>& progress_;
    int passes_;
    int pass_ = 0;
};

template <class Element> Element ElementAt(const uint8_t* data, size_t j)
{
    Element value;
    std::memcpy(&value, data + j * sizeof(Element), sizeof(Element));
    return value;
}

/**
 * Counts every value of `data` (`count` elements, each an index below `tableSize`) into
 * `table`. Four interleaved tables of 32-bit counters, added up after each block, keep
 * runs of equal values from waiting on one counter.
 */
template <class Element>
bool CountValues(const uint8_t* data, size_t count, std::vector<uint64_t>& table,
                 PassProgress& progress)
{
    const size_t tableSize = table.size();
    std::vector<uint32_t> parts(tableSize * 4);
    uint32_t* p0 = parts.data();
    uint32_t* p1 = p0 + tableSize;
    uint32_t* p2 = p1 + tableSize;
    uint32_t* p3 = p2 + tableSize;
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, BlockSamples);
        const uint8_t* block = data + done * sizeof(Element);
        size_t j = 0;
        for (; j + 4 <= n; j += 4) {
            ++p0[ElementAt<Element>(block, j)];
            ++p1[ElementAt<Element>(block, j + 1)];
            ++p2[ElementAt<Element>(block, j + 2)];
            ++p3[ElementAt<Element>(block, j + 3)];
        }
        for (; j < n; ++j)
            ++p0[ElementAt<Element>(block, j)];
        for (size_t v = 0; v < tableSize; ++v) {
            table[v] += uint64_t(p0[v]) + p1[v] + p2[v] + p3[v];
            p0[v] = p1[v] = p2[v] = p3[v] = 0;
        }
        done += n;
        if (!progress.Report(done, count)) return false;
    }
    return true;
}

/** Low, High and Total from a histogram whose bin i holds the integer Origin + i. */
void SetRangeFromBins(SampleHistogram& histogram)
{
    const auto& counts = histogram.Counts;
    const auto first = std::find_if(counts.begin(), counts.end(), [](uint64_t c) { return c; });
    if (first == counts.end()) return;
    const auto last = std::find_if(counts.rbegin(), counts.rend(), [](uint64_t c) { return c; });
    histogram.Low = histogram.Origin + double(first - counts.begin());
    histogram.High = histogram.Origin + double(counts.rend() - last - 1);
    for (uint64_t c : counts)
        histogram.Total += c;
}

/** Bins of a whole number of values over the integers low … high: at most MaxBins. */
void SetIntegerBins(SampleHistogram& histogram, int64_t low, int64_t high)
{
    const int64_t span = high - low + 1;
    const int64_t width = (span + MaxBins - 1) / MaxBins;
    histogram.Low = double(low);
    histogram.High = double(high);
    histogram.Origin = double(low);
    histogram.BinWidth = double(width);
    histogram.Integers = true;
    histogram.Counts.assign(size_t((span + width - 1) / width), 0);
}

SampleHistogram BytesHistogram(const uint8_t* data, size_t count, PassProgress& progress)
{
    SampleHistogram histogram;
    histogram.Integers = true;
    histogram.Counts.assign(256, 0);
    if (!CountValues<uint8_t>(data, count, histogram.Counts, progress)) return {};
    SetRangeFromBins(histogram);
    return histogram;
}

/** Unsigned 16-bit samples: every value counted, then folded into bins over the range. */
SampleHistogram Histogram16(const uint8_t* data, size_t count, PassProgress& progress)
{
    std::vector<uint64_t> table(65536, 0);
    if (!CountValues<uint16_t>(data, count, table, progress)) return {};
    SampleHistogram values;
    values.Counts = std::move(table);
    SetRangeFromBins(values);

    SampleHistogram histogram;
    SetIntegerBins(histogram, int64_t(values.Low), int64_t(values.High));
    const int64_t low = int64_t(values.Low), width = int64_t(histogram.BinWidth);
    for (int64_t v = low; v <= int64_t(values.High); ++v)
        histogram.Counts[size_t((v - low) / width)] += values.Counts[size_t(v)];
    histogram.Total = values.Total;
    return histogram;
}

/**
 * Samples whose values fit signed 32-bit integers, stored as `Element`: their range in
 * one pass, their bins in a second.
 */
template <class Element>
SampleHistogram Histogram32(const uint8_t* data, size_t count, PassProgress& progress)
{
    int32_t low = std::numeric_limits<int32_t>::max(), high = std::numeric_limits<int32_t>::min();
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, BlockSamples);
        for (size_t j = done; j < done + n; ++j) {
            const int32_t v = int32_t(ElementAt<Element>(data, j));
            low = std::min(low, v);
            high = std::max(high, v);
        }
        done += n;
        if (!progress.Report(done, count)) return {};
    }
    progress.NextPass();

    SampleHistogram histogram;
    SetIntegerBins(histogram, low, high);
    const uint32_t width = uint32_t(histogram.BinWidth);
    if (width == 1) {
        // One bin a value: the offset from Low is the bin.
        std::vector<uint64_t>& counts = histogram.Counts;
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(count - done, BlockSamples);
            for (size_t j = done; j < done + n; ++j)
                ++counts[uint32_t(int64_t(int32_t(ElementAt<Element>(data, j))) - low)];
            done += n;
            if (!progress.Report(done, count)) return {};
        }
    } else {
        // The quotient by a double reciprocal may be one off at a bin's edge; the
        // integer check puts it right.
        const double reciprocal = 1.0 / width;
        const uint32_t last = uint32_t(histogram.Counts.size() - 1);
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(count - done, BlockSamples);
            for (size_t j = done; j < done + n; ++j) {
                const uint32_t offset =
                    uint32_t(int64_t(int32_t(ElementAt<Element>(data, j))) - low);
                uint32_t bin = std::min(uint32_t(double(offset) * reciprocal), last);
                if (uint64_t(bin) * width > offset)
                    --bin;
                else if (bin < last && uint64_t(bin + 1) * width <= offset)
                    ++bin;
                ++histogram.Counts[bin];
            }
            done += n;
            if (!progress.Report(done, count)) return {};
        }
    }
    histogram.Total = count;
    return histogram;
}

/**
 * Samples shown as floats, stored as `Element` (each taken as the float it converts to):
 * their finite range in one pass, their bins in a second.
 */
template <class Element>
SampleHistogram HistogramFloat(const uint8_t* data, size_t count, PassProgress& progress)
{
    float low = std::numeric_limits<float>::infinity();
    float high = -std::numeric_limits<float>::infinity();
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, BlockSamples);
        for (size_t j = done; j < done + n; ++j) {
            const float v = float(ElementAt<Element>(data, j));
            // Comparisons with NaN are false, so NaN changes neither end.
            if (v < low && std::isfinite(v)) low = v;
            if (v > high && std::isfinite(v)) high = v;
        }
        done += n;
        if (!progress.Report(done, count)) return {};
    }
    progress.NextPass();

    SampleHistogram histogram;
    if (!(low <= high)) return histogram; // no finite sample
    histogram.Low = histogram.Origin = low;
    histogram.High = high;
    const int bins = low == high ? 1 : MaxBins;
    histogram.Counts.assign(size_t(bins), 0);
    // Halves keep the width finite for ranges wider than a float holds.
    const double halfWidth = double(high) * 0.5 - double(low) * 0.5;
    histogram.BinWidth = halfWidth * 2 / bins;
    const double scale = halfWidth > 0 ? bins / halfWidth : 0;
    const double halfLow = double(low) * 0.5;
    uint64_t total = 0;
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, BlockSamples);
        for (size_t j = done; j < done + n; ++j) {
            const float v = float(ElementAt<Element>(data, j));
            if (!std::isfinite(v)) continue;
            const double t = (double(v) * 0.5 - halfLow) * scale;
            ++histogram.Counts[size_t(std::min(int(t), bins - 1))];
            ++total;
        }
        done += n;
        if (!progress.Report(done, count)) return {};
    }
    histogram.Total = total;
    return histogram;
}

} // namespace

double SampleHistogram::BinHigh(int i) const
{
    if (!Integers && i + 1 >= int(Counts.size())) return High;
    return BinLow(i + 1);
}

double SampleHistogram::Percentile(double fraction) const
{
    if (Total == 0 || Counts.empty()) return Low;
    // A product meant to be whole may come out a hair above it (0.56 · 100); the
    // relative allowance keeps such a rank from rounding up to the next sample.
    const double scaled = std::clamp(fraction, 0.0, 1.0) * double(Total);
    const double wanted = std::ceil(scaled - scaled * 1e-12);
    const uint64_t rank = std::clamp<uint64_t>(uint64_t(wanted), 1, Total);
    uint64_t below = 0;
    for (size_t i = 0; i < Counts.size(); ++i) {
        if (below + Counts[i] < rank) {
            below += Counts[i];
            continue;
        }
        const int bin = int(i);
        if (Integers && BinWidth == 1) return BinLow(bin);
        // The bin's samples spread evenly over it: the rank-th lies that far across.
        const double across = (double(rank - below) - 0.5) / double(Counts[i]);
        return std::clamp(BinLow(bin) + across * (BinHigh(bin) - BinLow(bin)), Low, High);
    }
    return High;
}

bool AutoWindow(const SampleHistogram& histogram, bool integers, double& min, double& max)
{
    if (histogram.Total == 0) return false;
    min = histogram.Percentile(0.001), max = histogram.Percentile(0.999);
    if (integers) min = std::floor(min), max = std::ceil(max);
    if (!(max > min)) max = min + 1;
    return true;
}

SampleHistogram ComputeHistogram(const ByteVolume& volume, const VolumeSamples* samples,
                                 const std::function<bool(double)>& progress)
{
    const bool useSamples = samples && !samples->Empty() && samples->SizeX == volume.SizeX &&
                            samples->SizeY == volume.SizeY && samples->SizeZ == volume.SizeZ;
    if (!useSamples) {
        PassProgress passes(progress, 1);
        return BytesHistogram(volume.Data, volume.Data ? size_t(volume.VoxelCount()) : 0, passes);
    }
    const uint8_t* data = samples->Data();
    const size_t count = size_t(samples->Count());
    switch (samples->Kind) {
    case ImageKind16: {
        PassProgress passes(progress, 1);
        return Histogram16(data, count, passes);
    }
    case ImageKind32: {
        PassProgress passes(progress, 2);
        return Histogram32<int32_t>(data, count, passes);
    }
    default: {
        PassProgress passes(progress, 2);
        return HistogramFloat<float>(data, count, passes);
    }
    }
}

SampleHistogram ComputeHistogram(const VolumeStack& stack, int c, int t,
                                 const std::function<bool(double)>& progress)
{
    const SampleKind kind = stack.Layout().Kind;
    const size_t count = stack.Empty() ? 0 : size_t(stack.Layout().VoxelCount());
    const uint8_t* data = count ? stack.Samples(c, t) : nullptr;
    PassProgress one(progress, 1), two(progress, 2);
    if (count == 0 || SampleKindBytes(kind) == 1) return BytesHistogram(data, count, one);
    switch (kind) {
    case SampleKind::UInt16:
        return Histogram16(data, count, one);
    case SampleKind::Int16:
        return Histogram32<int16_t>(data, count, two);
    case SampleKind::Int32:
        return Histogram32<int32_t>(data, count, two);
    case SampleKind::UInt32:
        return StackDisplayKind(stack, c, t) == ImageKind32
                   ? Histogram32<uint32_t>(data, count, two)
                   : HistogramFloat<uint32_t>(data, count, two);
    case SampleKind::UInt64:
        return HistogramFloat<uint64_t>(data, count, two);
    case SampleKind::Int64:
        return HistogramFloat<int64_t>(data, count, two);
    case SampleKind::Float32:
        return HistogramFloat<float>(data, count, two);
    default:
        return HistogramFloat<double>(data, count, two);
    }
}

bool WholeValues(const VolumeStack& stack, int c, int t)
{
    const SampleKind kind = stack.Layout().Kind;
    if (!IsFloatKind(kind) || stack.Empty()) return true;
    const uint8_t* data = stack.Samples(c, t);
    const size_t count = size_t(stack.Layout().VoxelCount());
    const auto whole = [](double v) { return !std::isfinite(v) || v == std::trunc(v); };
    for (size_t j = 0; j < count; ++j)
        if (!whole(kind == SampleKind::Float32 ? double(ElementAt<float>(data, j))
                                               : ElementAt<double>(data, j)))
            return false;
    return true;
}
