#pragma once

#include "ByteVolume.h"
#include "PlaneSource.h"
#include "VolumeStack.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

/** What reading a volume file gave: the code of ByteVolume::Load and its message. */
struct VolumeReadResult
{
    /** ByteVolume::LoadOk, LoadFailed, LoadReadFailed, LoadCloseFailed or LoadCancelled. */
    int32_t Code = ByteVolume::LoadFailed;
    /** The reason of a failure; on success a warning, or empty. */
    std::string Message;
    /** The file was refused for holding more than fits in memory (ByteVolume::MaxVoxelCount). */
    bool TooLarge = false;

    /**
     * True when the volume now holds the file's voxels: LoadOk, or LoadCloseFailed (the
     * whole file was read, but it did not close cleanly).
     */
    bool Loaded() const
    {
        return Code == ByteVolume::LoadOk || Code == ByteVolume::LoadCloseFailed;
    }
};

/**
 * Reads the ICS or raw volume file `fileName` into `volume`: the reader behind
 * ByteVolume::Load, which describes the files, the voxels, the codes and the messages.
 * Without `options` it is the two-argument Load, with them the three-argument one.
 *
 * Each name is opened once by this code: the file whose first bytes decide how it is
 * read (see ProbeVolumeFile) is the file the check and the reader go on with. libics
 * opens the checked files again through their descriptors, never by their names.
 */
VolumeReadResult ReadVolume(const std::string& fileName, ByteVolume& volume,
                            const VolumeLoadOptions* options = nullptr);

/**
 * The warning of a load of channel 1 at time point 1 of a stack of `layout`: `reduced`
 * (what the 8-bit reduction warned of), then which of the file's channels and time points
 * were loaded when it has several, then `reader` (what the reader warned of), joined by
 * "; ".
 */
std::string LoadWarning(const std::string& reduced, const StackLayout& layout,
                        const std::string& reader);

/** What a stack read may be asked to do besides reading. */
struct StackReadOptions
{
    /**
     * Called between blocks of the data with the fraction of the read done, 0 … 1, on
     * the reading thread; returning false cancels the read (LoadCancelled).
     */
    std::function<bool(double)> Progress;
};

/**
 * Reads every channel and time point of `fileName`, in the file's own sample kind, into
 * `stack`: ICS images of two to five dimensions, raw volume files (one 8-bit channel),
 * TIFF and OME-TIFF stacks. The content decides how a file is read (ProbeVolumeFile);
 * pictures are refused. On every code but LoadOk and LoadCloseFailed the stack keeps
 * what it held: the new one is built apart and moved in at the end.
 */
VolumeReadResult ReadStack(const std::string& fileName, VolumeStack& stack,
                           const StackReadOptions* options = nullptr);

/**
 * Opens `fileName` to be read plane by plane (PlaneSource.h), reading no more than its
 * header, whatever the file's size: raw volume files, uncompressed ICS data whose rows
 * are contiguous and uncompressed TIFF strips are mapped; compressed TIFF pages are
 * decoded plane by plane on demand; compressed ICS data are a stream, read in order.
 * A file that can only be read whole (ICS samples interleaved along x, a mixed byte
 * order) is loaded into memory when it fits there (FitsInMemory), and refused with the
 * reason otherwise. The codes and messages are ReadStack's; on success the source's
 * Warning is what ReadStack would have warned of.
 */
VolumeReadResult OpenStackSource(const std::string& fileName, std::unique_ptr<PlaneSource>& source);
