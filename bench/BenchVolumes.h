#pragma once

#include "ByteVolume.h"

#include <cstdint>
#include <cstring>

/** Fills the volume with a fixed pseudo-random sequence (splitmix64), fast for large volumes. */
inline void FillRandom(ByteVolume& volume, uint64_t seed)
{
    const size_t count = size_t(volume.VoxelCount());
    uint64_t state = seed;
    for (size_t i = 0; i < count; i += 8) {
        state += 0x9E3779B97F4A7C15u;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        z ^= z >> 31;
        std::memcpy(volume.Data + i, &z, count - i < 8 ? count - i : 8);
    }
}
