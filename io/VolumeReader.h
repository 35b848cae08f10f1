#pragma once

#include "ByteVolume.h"

#include <cstdint>
#include <string>

/** What reading a volume file gave: the code of ByteVolume::Load and its message. */
struct VolumeReadResult
{
    /** ByteVolume::LoadOk, LoadFailed, LoadReadFailed, LoadCloseFailed or LoadCancelled. */
    int32_t Code = ByteVolume::LoadFailed;
    /** The reason of a failure; on success a warning, or empty. */
    std::string Message;

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
