#include "imgkernel.h"

#include <cmath>
#include <cstddef>

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
