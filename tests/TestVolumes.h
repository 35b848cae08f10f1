#pragma once

#include "ByteVolume.h"

#include <QRandomGenerator>

#include <cstdint>

/** Makes `volume` x × y × z voxels of a fixed pseudo-random sequence chosen by `seed`. */
inline void FillRandom(ByteVolume& volume, int32_t x, int32_t y, int32_t z, quint32 seed)
{
    volume.Allocate(x, y, z);
    QRandomGenerator random(seed);
    for (int64_t i = 0; i < volume.VoxelCount(); ++i)
        volume.Data[i] = uint8_t(random.generate());
}
