#pragma once

#include <cstdint>

/**
 * Records of the imaging library and the operations that make, size and measure
 * them. No widget code.
 */

/** A one-dimensional vector of 32-bit floats. The caller allocates the record itself. */
struct VectorStruct
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
void InitVectorSize(VectorStruct* vector, int32_t n);

/** Releases the storage of `vector`; Values becomes null and Length 0. The record stays. */
void DestroyVector(VectorStruct* vector);

/**
 * The least and greatest of the first Length samples, and their mean and standard
 * deviation (population). Samples that are not numbers are left out; with no numbers
 * all four are 0.
 */
void VectorStatistics(float* min, float* max, float* mean, float* deviation,
                      const VectorStruct* vector);
