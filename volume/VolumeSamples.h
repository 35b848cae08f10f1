#pragma once

#include <cstdint>
#include <vector>

/**
 * A volume's samples in their own element kind, kept beside its 8-bit voxels, for
 * readouts and contrast that the voxels' eight bits cannot give. No Qt.
 *
 * Kind is an imaging element kind: ImageKind16 (unsigned 16-bit), ImageKind32 (signed
 * 32-bit) or ImageKindFloat (32-bit float); 0 means no samples, the 8-bit voxels being
 * the volume's values. Sample (x, y, z) is element x + y·SizeX + z·SizeX·SizeY of Bytes,
 * in the host's byte order: X fastest, then Y, then Z, as the voxels of the volume.
 * The elements are Bytes, owned, or, when View is set, memory the samples refer to
 * (a volume stack's), which must outlive them. Access does no bounds checking.
 */
struct VolumeSamples
{
    int16_t Kind = 0; ///< ImageKind16, ImageKind32, ImageKindFloat; 0 for none
    int32_t SizeX = 0;
    int32_t SizeY = 0;
    int32_t SizeZ = 0;
    std::vector<uint8_t> Bytes;    ///< SizeX·SizeY·SizeZ elements of ElementBytes each
    const uint8_t* View = nullptr; ///< when set, the elements, not owned; Bytes then empty

    /** The elements: View when set, else Bytes. */
    const uint8_t* Data() const { return View ? View : Bytes.data(); }

    /** Bytes per element: 2 or 4, 0 when Kind is 0. */
    int ElementBytes() const;
    /** True without samples: Kind 0 or no elements. */
    bool Empty() const;
    /** SizeX·SizeY·SizeZ as a 64-bit count. */
    int64_t Count() const { return int64_t(SizeX) * SizeY * SizeZ; }
    /** Byte offset of sample (x, y, z) in Bytes. */
    int64_t Offset(int64_t x, int64_t y, int64_t z) const
    {
        return ((z * SizeY + y) * SizeX + x) * ElementBytes();
    }
    /** Sample (x, y, z) as a double (exact for every kind); 0 without samples. */
    double Value(int64_t x, int64_t y, int64_t z) const;
    /** Element `index` (x + y·SizeX + z·SizeX·SizeY) as a double; 0 without samples. */
    double ValueAt(int64_t index) const;
    /** Drops the samples: Kind and sizes 0, Bytes empty and freed, no View. */
    void Clear();
};
