#pragma once

// The lag-difference spectrum written as plainly as it is defined (see volume/Spectrum.h):
// one voxel read per term, the sum of a lag added up term by term in single precision.
// ComputeLagSpectrum must give the same curve and figure to the last bit. Slow on
// purpose; the tests and bench_spectrum compare against it.

#include "ByteVolume.h"
#include "Spectrum.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

/** G for lag L of the line (y, z): the mean |v(k) − v(k + L)| over k < SizeX − L. */
inline float ReferenceLagMean(const ByteVolume& volume, int64_t y, int64_t z, int64_t lag)
{
    const int64_t count = int64_t(volume.SizeX) - lag;
    float s = 0;
    for (int64_t k = 0; k < count; ++k)
        s += float(std::abs(int(volume.Voxel(k, y, z)) - int(volume.Voxel(k + lag, y, z))));
    return float(double(s) / double(lag * count));
}

inline SpectrumResult ReferenceLagSpectrum(const ByteVolume& volume, int mode, int z, int y)
{
    SpectrumResult result;
    result.Figure = std::numeric_limits<float>::quiet_NaN();
    const int64_t sizeX = volume.SizeX, sizeY = volume.SizeY, sizeZ = volume.SizeZ;
    if (mode < 1 || mode > 3 || volume.VoxelCount() <= 0) return result;
    if (mode != 3 && (z < 0 || z >= sizeZ)) return result;
    if (mode == 1 && (y < 0 || y >= sizeY)) return result;

    const int64_t n = sizeX - 5;
    if (n - 1 < 1) return result;
    const int64_t zFirst = mode == 3 ? 0 : z, zLast = mode == 3 ? sizeZ - 1 : z;
    const int64_t yFirst = mode == 1 ? y : 0, yLast = mode == 1 ? y : sizeY - 1;

    std::vector<float> g(size_t(n), 0.0f);
    std::vector<float> c(size_t(n), 0.0f);
    for (int64_t zz = zFirst; zz <= zLast; ++zz) {
        for (int64_t yy = yFirst; yy <= yLast; ++yy) {
            for (int64_t lag = 1; lag <= n; ++lag)
                g[size_t(n - lag)] = ReferenceLagMean(volume, yy, zz, lag);
            for (int64_t p = 0; p <= n - 2; ++p)
                c[size_t(p)] =
                    float((double(g[size_t(p + 1)]) - double(g[size_t(p)])) + double(c[size_t(p)]));
        }
    }
    const int64_t lines = (yLast - yFirst + 1) * (zLast - zFirst + 1);

    result.Curve.resize(size_t(n - 1));
    for (int64_t p = 0; p <= n - 2; ++p)
        result.Curve[size_t(p)] = float(double(c[size_t(p)]) / double(lines));
    if (sizeX >= 10) {
        const std::vector<float>& v = result.Curve;
        result.Figure =
            float((((long double)v[size_t(n - 2)] + v[size_t(n - 3)]) + v[size_t(n - 4)]) +
                  v[size_t(n - 5)]);
    }
    return result;
}

/**
 * The high-frequency figure of `volume` computed from the lags 1 to 5 alone, line by line
 * as the definition has it, for a volume of `lines` lines in all of which `volume`'s are
 * the only ones not constant (a constant line adds exactly 0 to every curve entry), in
 * the same order: `lines` 0 means the volume's own.
 */
inline float ReferenceFigure(const ByteVolume& volume, int64_t lines = 0)
{
    const int64_t n = int64_t(volume.SizeX) - 5;
    if (lines == 0) lines = int64_t(volume.SizeY) * volume.SizeZ;
    if (n < 5 || lines <= 0) return std::numeric_limits<float>::quiet_NaN();
    float c[6] = {0, 0, 0, 0, 0, 0}; // c[L]: the entry that gains G(L − 1) − G(L)
    for (int64_t z = 0; z < volume.SizeZ; ++z)
        for (int64_t y = 0; y < volume.SizeY; ++y) {
            float g[6];
            for (int64_t lag = 1; lag <= 5; ++lag)
                g[lag] = ReferenceLagMean(volume, y, z, lag);
            for (int64_t lag = 2; lag <= 5; ++lag)
                c[lag] = float((double(g[lag - 1]) - double(g[lag])) + double(c[lag]));
        }
    float v[6];
    for (int64_t lag = 2; lag <= 5; ++lag)
        v[lag] = float(double(c[lag]) / double(lines));
    return float((((long double)v[2] + v[3]) + v[4]) + v[5]);
}
