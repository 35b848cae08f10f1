#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
        LoadFailed = 1,      ///< cannot open, bad header, not 3-D, size mismatch
        LoadReadFailed = -3, ///< the ICS data could not be read
        LoadCloseFailed = -4 ///< the ICS file failed to close after a complete read
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
     * (with a warning); complex samples are refused.
     *
     * Returns LoadOk, LoadFailed, LoadReadFailed or LoadCloseFailed. On every code but
     * LoadOk and LoadCloseFailed the volume keeps its previous sizes and contents.
     * When `message` is given it receives the reason of a failure, or on success a
     * warning (a short or long raw data section, mapped floating-point samples, a
     * failed close), or is cleared.
     */
    int32_t Load(const std::string& fileName, std::string* message = nullptr);

    /**
     * Writes the raw volume file. The data goes to a temporary file beside the target
     * that replaces the target only after a complete, flushed write; an existing
     * target is never damaged. Returns 0 on success, 1 on any failure (with the
     * reason in `message` when given).
     */
    int32_t SaveRaw(const std::string& fileName, std::string* message = nullptr) const;

    /**
     * True for names of at least five characters ending in ".ics" (byte-wise): Load
     * refuses such a file unless it holds an ICS header.
     */
    static bool IsIcsFileName(const std::string& fileName);

    /** The largest voxel count a volume may have on this machine (its memory size). */
    static int64_t MaxVoxelCount();

private:
    int32_t LoadRaw(const std::string& fileName, std::string& message);
    int32_t LoadIcs(const std::string& fileName, std::string& message);
};
