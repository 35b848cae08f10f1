#pragma once

#include "ByteVolume.h"
#include "VolumeStack.h"

#include <cstdint>
#include <string>

/**
 * The imaging element kind that MakeDisplaySamples gives volume (c, t) of `stack`:
 * ImageKind16 for unsigned 16-bit samples; ImageKind32 for signed 16-bit and signed
 * 32-bit ones, and for unsigned 32-bit ones none of which exceeds INT32_MAX; ImageKindFloat
 * for the other unsigned 32-bit volumes, 64-bit integers and floating point; 0 for samples
 * of one byte (the voxels are the values). Unsigned 32-bit volumes are read once to tell.
 */
int16_t StackDisplayKind(const VolumeStack& stack, int c, int t);

/**
 * True when samples of `kind` shown in `displayKind` (StackDisplayKind) are stored in it
 * already, so that MakeDisplaySamples with `view` refers to them instead of copying:
 * unsigned 16-bit, signed 32-bit, 32-bit float, and unsigned 32-bit in the signed range.
 */
bool IsStoredAsDisplayKind(SampleKind kind, int16_t displayKind);

/**
 * The 8-bit voxels of one volume of a stack, as MakeByteVolume gives them, made without a
 * copy where the samples are bytes: the voxels then refer to the stack's own buffer of
 * that volume, which must outlive them (moving the stack keeps its buffers). Samples of
 * other kinds are reduced into voxels of their own. No Qt.
 */
class StackVoxels
{
public:
    StackVoxels() = default;
    ~StackVoxels();
    StackVoxels(const StackVoxels&) = delete;
    StackVoxels& operator=(const StackVoxels&) = delete;
    StackVoxels(StackVoxels&& other) noexcept;
    StackVoxels& operator=(StackVoxels&& other) noexcept;

    /**
     * The voxels of volume (c, t) of `stack`: a reference to its samples when they are one
     * byte each, else MakeByteVolume's. Returns MakeByteVolume's result and message (empty
     * for bytes); on false the voxels are as they were. Throws std::bad_alloc.
     */
    bool Make(const VolumeStack& stack, int c, int t, std::string& message);
    /** Refers to the bytes of volume (c, t) of `stack`, whose samples must be one byte each. */
    void Refer(const VolumeStack& stack, int c, int t);
    /** Takes over `volume`, owned from now on. */
    void Adopt(ByteVolume&& volume);
    /** Drops the voxels (a reference is forgotten, owned voxels are freed). */
    void Clear();

    const ByteVolume& Volume() const { return volume_; }
    /** True when the voxels are the stack's own bytes. */
    bool RefersToStack() const { return borrowed_; }

private:
    ByteVolume volume_;
    bool borrowed_ = false; ///< volume_.Data belongs to a stack: never freed here
};
