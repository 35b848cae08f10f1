#pragma once

#include "FileIo.h"
#include "PlaneSource.h"
#include "VolumeReader.h"
#include "VolumeStack.h"

#include <cstdint>
#include <memory>
#include <string>

/**
 * Reads the TIFF or BigTIFF file that ProbeVolumeFile opened (`file`, its head read)
 * into `stack`, through libtiff: ImageJ hyperstacks by their description, OME-TIFF by
 * the OME-XML of the first page, any other multi-page file as a z stack of one channel
 * (RGB pages as three channels R, G and B).
 *
 * Returns ByteVolume::LoadOk, LoadFailed (with the reason in `message`), LoadReadFailed
 * (the data could not be decoded) or LoadCancelled. On every code but LoadOk the stack
 * keeps what it held. On LoadOk `message` holds a warning, or is empty. `tooLarge`, when
 * given, is set when the stack was refused for holding more than fits in memory.
 */
int32_t ReadTiffStack(FileIo::OpenedFile& file, VolumeStack& stack, std::string& message,
                      const StackReadOptions* options, bool* tooLarge = nullptr);

/**
 * The layout ReadTiffStack would give `file`, from its directories and descriptions
 * alone: no sample is read. Returns ByteVolume::LoadOk (`message` then holds the warning
 * the read would give, or is empty) or LoadFailed with the reason ReadTiffStack would
 * give before reading samples.
 */
int32_t ReadTiffLayout(FileIo::OpenedFile& file, StackLayout& layout, std::string& message);

/**
 * A TIFF stack read plane by plane, as OpenTiffSource gives it. Uncompressed pages are
 * read through a read-only mapping of the file, only the bytes asked for; the others
 * (compressed pages, tiles that do not lie as rows of the plane) are decoded through
 * libtiff when a plane of theirs is read, and kept in a cache of decoded pages, the least
 * recently read given up first. Planes are read in any order, from any number of threads
 * at once.
 */
class TiffPlaneSource : public PlaneSource
{
public:
    /** How a plane is read. */
    enum class Route
    {
        Mapped,  ///< copied from the file mapping
        Decoded, ///< decoded through libtiff (or read whole), then copied
        Empty    ///< no page holds it: it reads as 0
    };

    /** The bytes of decoded pages a new source keeps at most. */
    static constexpr int64_t DefaultCacheBudget = int64_t(256) << 20;

    virtual Route PlaneRoute(int c, int t, int64_t z) const = 0;

    /**
     * Sets the bytes of decoded pages kept at most (0: none), giving up the least recently
     * read ones beyond it. A page larger than the budget is decoded for every read.
     */
    virtual void SetCacheBudget(int64_t bytes) = 0;
    virtual int64_t CacheBudget() const = 0;
    /** The bytes of decoded pages kept now. */
    virtual int64_t CachedBytes() const = 0;
};

/**
 * Opens the TIFF file that ProbeVolumeFile opened to be read plane by plane (see
 * OpenStackSource) as a TiffPlaneSource, reading its directories only. The file stays
 * open with the source: `file` is left closed. With `map` false every page is decoded,
 * none read through the mapping. Returns ReadTiffStack's codes and messages (LoadOk or
 * LoadFailed); the source's Warning is what ReadTiffStack would have warned of.
 */
int32_t OpenTiffSource(FileIo::OpenedFile& file, std::unique_ptr<PlaneSource>& source,
                       std::string& message, bool map = true);
