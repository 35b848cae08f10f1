#pragma once

#include "VolumeSamples.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

/**
 * The distance between neighbouring voxels along X, Y and Z, in Units, as an ICS
 * header's "parameter scale" and "parameter units" give them. Known is false, every
 * size 1 and every unit empty, for raw volume files and for headers whose scales are
 * missing (libics' default of 1 with no unit), zero, negative or not finite.
 */
struct VoxelSpacing
{
    double Size[3] = {1, 1, 1};
    std::string Units[3]; ///< as the header names them ("micrometer", "um"); empty when none
    bool Known = false;
};

/**
 * True, with `count` = x·y·z, when no size is negative and the product fits in 64 bits.
 */
bool CheckedVoxelCount(int64_t x, int64_t y, int64_t z, int64_t& count);

/**
 * Asks for huge pages over the whole pages inside [buffer, buffer + bytes): the first
 * touch of a 2 MiB page costs little more than that of a 4 KiB one, and walks across
 * slices miss the address cache far less often.
 */
void AdviseHugePages(void* buffer, size_t bytes);

/** What a load reports and keeps beyond the 8-bit voxels; see ByteVolume::Load. */
struct VolumeLoadOptions
{
    /**
     * Called between blocks of the data with the fraction of the load done, 0 … 1,
     * on the loading thread; returning false cancels the load.
     */
    std::function<bool(double)> Progress;
    VolumeSamples* Samples = nullptr; ///< receives the samples in their own kind
    VoxelSpacing* Spacing = nullptr;  ///< receives the voxel spacing
};

/**
 * A three-dimensional image of unsigned 8-bit voxels in one owned buffer.
 *
 * Voxel (x, y, z) lies at byte x·StrideX + y·StrideY + z·StrideZ of Data: X varies
 * fastest, then Y, then Z. This is also the sample order of ICS data and of the raw
 * volume file, so both are read into Data without reordering.
 *
 * Byte counts and strides are 64-bit, so volumes of 2^31 voxels and more work where
 * memory allows. Access does no bounds checking.
 *
 * Raw volume file: three little-endian signed 32-bit sizes X, Y, Z, then the
 * X·Y·Z voxels in storage order. No signature, version or trailer.
 */
class ByteVolume
{
public:
    /** Load result codes. */
    enum : int32_t
    {
        LoadOk = 0,
        LoadFailed = 1,       ///< cannot open, bad header, not 3-D, size mismatch
        LoadReadFailed = -3,  ///< the ICS data could not be read
        LoadCloseFailed = -4, ///< the ICS file failed to close after a complete read
        LoadCancelled = -5    ///< VolumeLoadOptions::Progress returned false
    };

    uint8_t* Data = nullptr; ///< X·Y·Z voxels, owned; null when the volume is empty
    int32_t SizeX = 0;
    int32_t SizeY = 0;
    int32_t SizeZ = 0;
    int64_t StrideX = 1;
    int64_t StrideY = 1;
    int64_t StrideZ = 1;

    ByteVolume() = default;
    ~ByteVolume();
    ByteVolume(const ByteVolume&) = delete;
    ByteVolume& operator=(const ByteVolume&) = delete;
    ByteVolume(ByteVolume&& other) noexcept;
    ByteVolume& operator=(ByteVolume&& other) noexcept;

    /**
     * Releases any buffer, then makes a new one of x·y·z voxels, all 0.
     * Throws std::bad_alloc (the volume is then empty) when the sizes are negative,
     * their product overflows, exceeds the machine's memory, or cannot be allocated.
     */
    void Allocate(int32_t x, int32_t y, int32_t z);

    /** Frees the buffer; Data and the three sizes become 0, the strides stay. */
    void Release();

    uint8_t& Voxel(int64_t x, int64_t y, int64_t z)
    {
        return Data[x * StrideX + y * StrideY + z * StrideZ];
    }
    uint8_t Voxel(int64_t x, int64_t y, int64_t z) const
    {
        return Data[x * StrideX + y * StrideY + z * StrideZ];
    }
    uint8_t* VoxelPtr(int64_t x, int64_t y, int64_t z)
    {
        return Data + x * StrideX + y * StrideY + z * StrideZ;
    }
    const uint8_t* VoxelPtr(int64_t x, int64_t y, int64_t z) const
    {
        return Data + x * StrideX + y * StrideY + z * StrideZ;
    }

    /** SizeX·SizeY·SizeZ as a 64-bit count. */
    int64_t VoxelCount() const { return int64_t(SizeX) * SizeY * SizeZ; }

    /**
     * Fills the volume from an ICS file or a raw volume file; the content decides
     * which (see ProbeVolumeFile): an ICS header under any name is read as ICS, an
     * .ids file with its .ics beside it as that pair, pictures are refused, and
     * anything else is read as a raw volume file, except under a name that ends in
     * ".ics" (see IsIcsFileName), which is refused.
     *
     * ICS samples of one byte are the voxels; of two or three bytes their top eight
     * significant bits; integers of four or more bytes give bits 24 to 29, times 4.
     * Floating-point samples are mapped linearly from their finite range onto 0 … 255
     * (with a warning); complex samples are refused. Integer samples wider than a
     * byte that vary but all reduce to the same voxel (16-bit counts below 256, 32-bit
     * counts below 2^24) load with a warning that says so and names their range.
     *
     * Returns LoadOk, LoadFailed, LoadReadFailed or LoadCloseFailed. On every code but
     * LoadOk and LoadCloseFailed the volume keeps its previous sizes and contents.
     * When `message` is given it receives the reason of a failure, or on success a
     * warning (a short or long raw data section, mapped floating-point samples, wide
     * samples reduced to one voxel, a failed close; several joined by "; "), or is
     * cleared.
     *
     * Defined with the readers in io/ (library volinspect_io), over ReadVolume
     * (VolumeReader.h), whose result also says whether the volume loaded.
     */
    int32_t Load(const std::string& fileName, std::string* message = nullptr);

    /**
     * Load as above, with the same voxels, codes and messages, that also reports its
     * progress and keeps what the voxels lose:
     *
     * - options.Progress, when set, is called after each block of the data (ICS data
     *   of every width in blocks of 2^20 samples, raw data in 16 MiB chunks; twice
     *   over for floating-point data read twice) with the fraction done. When it
     *   returns false the load stops and returns LoadCancelled.
     * - options.Samples, when given, receives the samples in their own kind: unsigned
     *   16-bit as ImageKind16; signed 16-bit, 3-byte and signed 32-bit as ImageKind32;
     *   unsigned 32-bit as ImageKind32 unless a sample exceeds INT32_MAX, then all as
     *   ImageKindFloat; 32- and 64-bit floating point, and 64-bit integers, as
     *   ImageKindFloat (64-bit values rounded to the nearest float). Values are kept
     *   as stored, whatever the significant bits. 8-bit data and raw volume files
     *   give no samples (Kind 0): the voxels are the values. Samples come from the
     *   same read as the voxels; 32-bit floating-point data with samples kept is read
     *   once instead of twice.
     * - options.Spacing, when given, receives the ICS header's voxel spacing (see
     *   VoxelSpacing), unknown for raw files.
     *
     * The samples and the spacing are replaced whenever the volume is (LoadOk,
     * LoadCloseFailed). On any other code, LoadCancelled included, the volume, the
     * samples and the spacing keep their previous contents: the new ones are built
     * apart and moved in at the end, so a raw load holds the old and the new volume in
     * memory at once, unlike the two-argument Load.
     *
     * libics calls run under an IcsLocaleScope each, Progress outside of any.
     *
     * Defined with the readers in io/ (library volinspect_io), over ReadVolume.
     */
    int32_t Load(const std::string& fileName, std::string* message,
                 const VolumeLoadOptions& options);

    /**
     * Writes the raw volume file. The data goes to a temporary file beside the target
     * that replaces the target only after a complete, flushed write; an existing
     * target is never damaged. Returns 0 on success, 1 on any failure (with the
     * reason in `message` when given).
     *
     * Defined with the writers in io/ (library volinspect_io).
     */
    int32_t SaveRaw(const std::string& fileName, std::string* message = nullptr) const;

    /**
     * True for names of at least five characters ending in ".ics" (byte-wise): Load
     * refuses such a file unless it holds an ICS header.
     */
    static bool IsIcsFileName(const std::string& fileName);

    /**
     * The most bytes of samples a volume loaded whole may have on this machine: three
     * quarters of its memory, or of VOLINSPECT_MEMORY_LIMIT (see MemoryBudget). Larger
     * volumes are read plane by plane where the program can (PlaneSource.h).
     */
    static int64_t MaxVoxelCount();
};
