#pragma once

#include "ByteVolume.h"
#include "VolumeStack.h"

#include <cstdint>
#include <string>

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
