#pragma once

#include "PlaneSource.h"
#include "SliceModel.h"
#include "VolumeStack.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// The measuring tools' kernels: a line's profile, a rectangle's statistics (on one slice
// or through the stack), a point's sample. No Qt.
//
// Coordinates are voxel-centre coordinates of a slice: the centre of slice pixel (u, v)
// lies at exactly (u, v), and pixel u covers [u − 0.5, u + 0.5). The slice of a plane
// is as SlicePlane says: Top is X–Y (u = x, v = y), Front X–Z (u = x, v = z), Side Z–Y
// (u = z, v = y).

/**
 * Native samples of a block of voxels in memory, of any kind a stack holds, in the host's
 * byte order: voxel (x, y, z) of the block lies at Base + x·Stride[0] + y·Stride[1] +
 * z·Stride[2] (bytes, of any sign). The block's voxel (0, 0, 0) is voxel Origin of the
 * volume. The block refers to memory it does not own.
 */
struct SampleBlock
{
    const uint8_t* Base = nullptr;
    SampleKind Kind = SampleKind::UInt8;
    std::array<int64_t, 3> Size{}, Stride{}, Origin{};

    /** The sample (x, y, z) of the block (block coordinates) as a double; no bounds check. */
    double At(int64_t x, int64_t y, int64_t z) const;
    /** True when the block holds no voxel. */
    bool Empty() const { return Size[0] <= 0 || Size[1] <= 0 || Size[2] <= 0; }
};

/**
 * Channel c at time point t of an in-memory stack, the whole volume, without a copy; an
 * empty block (no Base, all sizes 0) when the stack holds no such volume or its samples
 * were released.
 */
SampleBlock StackBlock(const VolumeStack& stack, int c, int t);

/**
 * Reads voxels [lo, hi) (volume coordinates per axis x, y, z, clamped to the volume) of
 * volume (c, t) from `source` into `buffer` and describes them as `block` (Origin = lo
 * after clamping, x fastest in the buffer). A box that holds nothing after clamping gives
 * an empty block and true.
 *
 * Rows are read with ReadRows where the source reads rows alone (ReadsRows); a box one
 * voxel wide in x (a side slice's column through the planes) with ReadColumn where that
 * touches less than the rows would; everything else plane by plane with ReadPlane.
 * Planes the source knows to be zero (ZeroPlane) are not read. A stream (no RandomAccess)
 * is read with ReadPlane only, z ascending, so it serves a box only as far as its order
 * allows. False with the reason in `error` when a read fails, (c, t) does not exist, or
 * the box does not fit in memory.
 */
bool ReadBlock(PlaneSource& source, int c, int t, std::array<int64_t, 3> lo,
               std::array<int64_t, 3> hi, std::vector<uint8_t>& buffer, SampleBlock& block,
               std::string& error);

/** A 2-D slice of a block: sample (u, v) at Base + u·StrideU + v·StrideV (bytes, any sign). */
struct SampleSlice
{
    const uint8_t* Base = nullptr;
    SampleKind Kind = SampleKind::UInt8;
    int64_t Width = 0, Height = 0, StrideU = 0, StrideV = 0;

    /** The sample (u, v) as a double; no bounds check. */
    double At(int64_t u, int64_t v) const;
    bool Empty() const { return Width <= 0 || Height <= 0; }
};

/**
 * The slice of `plane` at volume position `position` (z for Top, y for Front, x for Side)
 * of `block`; an empty slice when the block does not reach that position. Slice
 * coordinates (u, v) are volume coordinates minus the block's origin along the slice's
 * two axes (SliceOrigin).
 */
SampleSlice SliceOf(const SampleBlock& block, SlicePlane plane, int64_t position);
/** The volume coordinates of slice pixel (0, 0) of the block's slices of `plane`. */
std::array<int64_t, 2> SliceOrigin(const SampleBlock& block, SlicePlane plane);

/**
 * Statistics of a region's samples. NaN samples are not values: they are left out of
 * every figure and counted apart in NaNs, so that a region with a few NaNs reads as its
 * other samples do. Infinite samples count (Sum and Mean become infinite, or NaN when
 * both signs occur; Sd becomes NaN).
 *
 * For 8-, 16- and 32-bit integer samples the sums are exact integers: Sum is the exact
 * sum rounded once to a double, Mean that double divided by Count (exact as long as the
 * sum stays below 2^53), Sd from the exact sum of squares. 64-bit integer and
 * floating-point samples are summed as doubles.
 */
struct RegionStats
{
    static constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    int64_t Count = 0; ///< the samples counted (not NaN)
    int64_t NaNs = 0;  ///< NaN samples in the region, not counted
    double Sum = 0;
    double Mean = NaN; ///< NaN when Count is 0
    double Sd = NaN;   ///< sample standard deviation (over Count − 1); NaN for Count < 2
    double Min = NaN, Max = NaN;
};

/**
 * The index range [first, end) of the voxels whose centres lie in [a, b] (the two ordered
 * first), within 0 … size − 1; first = end = 0 when there are none (or a or b is NaN).
 */
void CentresWithin(double a, double b, int64_t size, int64_t& first, int64_t& end);

/**
 * Statistics of the samples of `slice` whose centres lie inside the rectangle with
 * corners (u0, v0) and (u1, v1), in any order; a centre on an edge is inside.
 */
RegionStats RectStats(const SampleSlice& slice, double u0, double v0, double u1, double v1);

/**
 * The same rectangle (slice coordinates, as SliceOf gives them) through every slice of
 * `plane` the block holds: the statistics of a box. Large boxes are shared among threads;
 * the result does not depend on how many.
 */
RegionStats StackRectStats(const SampleBlock& block, SlicePlane plane, double u0, double v0,
                           double u1, double v1);

/** The line's length in voxels: hypot(u1 − u0, v1 − v0). */
double LineLength(double u0, double v0, double u1, double v1);

/**
 * The profile along the line from (u0, v0) to (u1, v1): ceil(L) + 1 samples for a line
 * of length L (one for a line of length 0), sample i at distance min(i, L) from (u0, v0),
 * so the last one lies on (u1, v1). Each is interpolated bilinearly between the four
 * nearest voxel centres; a voxel whose weight is 0 is not read, so a sample on a centre
 * is that voxel's sample exactly. Positions beyond the outermost centres are clamped to
 * them (a line along the slice's edge reads the edge). All NaN for an empty slice; empty
 * when a coordinate is not finite or the line is longer than 2^31 voxels.
 */
std::vector<double> LineProfile(const SampleSlice& slice, double u0, double v0, double u1,
                                double v1);

/** The sample of the voxel whose pixel holds (u, v); NaN outside the slice. */
double PointSample(const SampleSlice& slice, double u, double v);

/**
 * Caps the threads StackRectStats uses (0: as many as the machine has, at most 8), for
 * tests and benchmarks that compare results or times over thread counts.
 */
void SetMeasureThreadLimit(int threads);
