#pragma once

#include "ByteVolume.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

/**
 * The lag-difference spectrum along X.
 *
 * With N = SizeX − 5 lags, each chosen line (y, z) gives, for every lag L = 1 … N,
 * G(L) = s / (L · count), where count = SizeX − L and s is the sum of
 * |v(k, y, z) − v(k + L, y, z)| over k < count. The curve holds N − 1 values: entry p
 * gains G(L − 1) − G(L) for L = N − p from every line, in line order (z ascending,
 * then y ascending), and is then divided by the number of lines. The figure is the
 * sum of the curve's last four values.
 *
 * Arithmetic, kept exactly so that results are reproducible to the last bit:
 *  - s is the sum of the integer differences in single precision, added in k order;
 *  - G = s / (L · count): the divisor an exact integer, the quotient formed in double
 *    precision and stored as single;
 *  - the curve entry: ((double) G[p + 1] − G[p]) + C[p] in double precision, stored as
 *    single, line after line;
 *  - value p = C[p] / lines in double precision, stored as single;
 *  - the figure: values N − 2, N − 3, N − 4 and N − 5 added in this order in extended
 *    precision, stored as single.
 */

/**
 * What a spectrum is averaged over. The computations take the mode as the signed
 * 32-bit number it stands for (1, 2 or 3), as scripts and stored settings give it;
 * any other number gives an empty result.
 */
enum SpectrumMode : int
{
    SpectrumLine = 1,  ///< the row y of the slice z
    SpectrumPlane = 2, ///< every row of the slice z
    SpectrumVolume = 3 ///< every row of every slice
};

struct SpectrumResult
{
    std::vector<float> Curve; ///< N − 1 values (none when SizeX < 7 or there is no line)
    float Figure = 0;         ///< NaN (positive) when the curve has fewer than 4 values
    bool Cancelled = false;   ///< stopped through SpectrumControl: no curve, a NaN figure
};

/**
 * Lets another thread follow a computation and stop it. Done counts the byte
 * differences computed so far, against SpectrumDifferences() in all.
 */
struct SpectrumControl
{
    std::atomic<bool> Cancel{false};
    std::atomic<int64_t> Done{0};
};

/**
 * Computes the spectrum of `volume` in `mode` for the slice `z` (modes 1 and 2) and
 * the row `y` (mode 1). A slice or row outside the volume, or a volume without lines,
 * gives an empty curve and a NaN figure. Large computations use all cores; the result
 * does not depend on how many.
 *
 * With a `control`, the work is done in pieces of a few milliseconds, after each of
 * which Done grows and Cancel is looked at; a cancelled computation returns at once
 * with Cancelled set. The result of a computation that runs to its end is the same.
 */
SpectrumResult ComputeLagSpectrum(const ByteVolume& volume, int mode, int z, int y,
                                  SpectrumControl* control = nullptr);

/**
 * The figure of the whole-volume spectrum alone: bit for bit the Figure of
 * ComputeLagSpectrum(volume, SpectrumVolume, …), from the lags 1 to 5 it depends on,
 * so about five byte differences a voxel instead of about X / 2. The four curve
 * entries the figure adds are formed line by line in the same order and with the same
 * arithmetic as in the whole curve. With `threads` above 1, a large volume's lines are
 * measured on that many threads while their sums are still added in line order, so the
 * result does not depend on the number. NaN for a volume narrower than 10 voxels or
 * without lines.
 */
float ComputeHighFrequencyFigure(const ByteVolume& volume, unsigned threads = 1);

/**
 * The figure of ComputeHighFrequencyFigure for a volume given a plane at a time, bit for
 * bit: each plane's rows are measured on their own (PlaneTerms, on any thread, in any
 * order), then the planes' terms are added in plane order (Add). Nothing but a plane's
 * terms, five floats a row, is kept.
 */
class FigureStream
{
public:
    /** For planes of `sizeY` rows of `sizeX` voxels. */
    FigureStream(int32_t sizeX, int32_t sizeY);

    /** The floats PlaneTerms writes for a plane: none when there is no figure to make. */
    size_t TermCount() const
    {
        return int64_t(sizeX_) - 5 < 5 ? 0 : size_t(5 * std::max<int64_t>(sizeY_, 0));
    }
    /** The bytes of work space PlaneTerms needs. */
    size_t WorkBytes() const;
    /** The readable bytes PlaneTerms and RowTerms need after the rows (never counted). */
    static constexpr size_t Padding = 64;
    /**
     * Measures the rows of `plane` (SizeY rows of SizeX voxels, followed by Padding
     * readable bytes) into `terms`, using `work` (WorkBytes bytes of the caller's) and
     * nothing else: no allocation.
     */
    void PlaneTerms(const uint8_t* plane, float* terms, void* work) const
    {
        RowTerms(plane, sizeY_, terms, work);
    }
    /** PlaneTerms of `count` rows of a plane, into the terms of those rows. */
    void RowTerms(const uint8_t* rows, int64_t count, float* terms, void* work) const;
    /** Adds the terms of the next plane. */
    void Add(const float* terms);
    /** The figure of the planes added; NaN when they are narrower than 10 or hold no row. */
    float Figure() const;

private:
    int32_t sizeX_;
    int64_t sizeY_;
    int64_t lines_ = 0;
    float c_[4] = {0, 0, 0, 0};
};

/** The byte differences the computation takes in `mode`: about X²/2 for each line. */
int64_t SpectrumDifferences(const ByteVolume& volume, int mode);

/**
 * About how many seconds the computation takes on one core: differences within the
 * first 65793 of a lag run at SIMD speed, those beyond one at a time.
 */
double PredictedSpectrumSeconds(const ByteVolume& volume, int mode);

/**
 * Caps the instruction set the spectrum may use: "avx512", "avx2", "sse2" or "plain";
 * any other name, or an empty one, lifts the cap. Results are the same with every
 * version; tests and benchmarks use this to compare each on one machine.
 */
void SetSpectrumSimdLimit(std::string_view name);
