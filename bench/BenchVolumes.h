#pragma once

#include "ByteVolume.h"

#include <cstdint>
#include <cstring>

/** A fixed pseudo-random sequence (splitmix64). */
struct Random
{
    uint64_t state;
    uint64_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
};

/** Fills the volume with a fixed pseudo-random sequence (splitmix64), fast for large volumes. */
inline void FillRandom(ByteVolume& volume, uint64_t seed)
{
    const size_t count = size_t(volume.VoxelCount());
    Random random{seed};
    for (size_t i = 0; i < count; i += 8) {
        const uint64_t z = random.Next();
        std::memcpy(volume.Data + i, &z, count - i < 8 ? count - i : 8);
    }
}
