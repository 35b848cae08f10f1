#pragma once

#include "ByteVolume.h"
#include "VolumeSamples.h"
#include "VolumeStack.h"

#include <cstdint>
#include <functional>
#include <vector>

/**
 * How a volume's values are distributed: Counts[i] samples lie in bin i, from BinLow(i)
 * up to BinHigh(i). No Qt.
 *
 * 8-bit voxels get 256 bins, bin i holding the value i. Integer samples get bins of a
 * whole number of values from Low on: one value a bin when Low … High spans at most
 * 4096 values, else as few values a bin as make at most 4096 bins. Floating-point
 * samples get 4096 bins splitting Low … High evenly, the last one including High; their
 * NaN and infinite samples count nowhere (not in Low, High or Total).
 */
struct SampleHistogram
{
    double Low = 0;  ///< the smallest value counted
    double High = 0; ///< the largest value counted
    std::vector<uint64_t> Counts;
    uint64_t Total = 0;    ///< the samples counted: the sum of Counts
    double Origin = 0;     ///< BinLow(0)
    double BinWidth = 1;   ///< the values a bin spans (0 for one bin of one float value)
    bool Integers = false; ///< the values are integers, bins a whole number of them

    /** The lowest value of bin `i`. */
    double BinLow(int i) const { return Origin + i * BinWidth; }
    /** Where bin `i` ends: BinLow(i + 1); for the last floating-point bin, High. */
    double BinHigh(int i) const;
    /**
     * The value below which `fraction` (0 … 1) of the samples lie: the k-th smallest
     * sample, k = fraction·Total rounded up (at least 1). Exact where a bin holds one
     * value (8-bit data, integer data spanning at most 4096 values); otherwise
     * interpolated linearly within the bin that holds the k-th sample, and kept within
     * Low … High. Low for an empty histogram.
     */
    double Percentile(double fraction) const;
};

/**
 * The automatic display window of the values `histogram` counts: its 0.1 and 99.9
 * percentiles, widened to the whole numbers around them when the values are `integers`
 * (a percentile within a bin of several values lies between two), and made at least 1
 * wide. False, changing nothing, for an empty histogram.
 */
bool AutoWindow(const SampleHistogram& histogram, bool integers, double& min, double& max);

/**
 * The histogram of `samples` when they hold values (VolumeSamples::Empty false) and
 * match the volume's sizes, else of the volume's voxels. `progress`, when set, is called
 * with the fraction done (0 … 1) every few million samples; returning false stops the
 * count and gives an empty histogram (no bins, Total 0).
 */
SampleHistogram ComputeHistogram(const ByteVolume& volume, const VolumeSamples* samples,
                                 const std::function<bool(double)>& progress = {});

/**
 * The histogram of volume (c, t) of `stack`, as ComputeHistogram gives it for that
 * volume's 8-bit voxels and display samples (MakeByteVolume, MakeDisplaySamples): samples
 * of one byte by their bytes, the others by the values of their display kind, read from
 * the stack without a copy. `progress` as above.
 */
SampleHistogram ComputeHistogram(const VolumeStack& stack, int c, int t,
                                 const std::function<bool(double)>& progress = {});

/**
 * True when every finite sample of volume (c, t) of `stack` is a whole number: always
 * for integer kinds.
 */
bool WholeValues(const VolumeStack& stack, int c, int t);
