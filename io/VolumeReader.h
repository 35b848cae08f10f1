#pragma once

#include "ByteVolume.h"
#include "VolumeStack.h"

#include <cstdint>
#include <functional>
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
