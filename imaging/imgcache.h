#pragma once

#include "imgkernel_export.h"

#include "imgkernel.h"

#include <cstdint>

/**
 * The pixel cache of the imaging kernel (no Qt). Images made by NewImage8Alloc and NewImageRGBAlloc
 * keep their pixels in a cache with a byte budget. An unlocked image's pixels may be reclaimed,
 * least recently used first, whenever pixels are wanted beyond the budget; its record stays, and
 * its size fields stay readable. Locked images are never reclaimed (the cache then exceeds its
 * budget). Everything runs on one thread.
 */

/**
 * Locks `image` and returns it, or, when its pixels were reclaimed, releases the
 * record and returns null: the caller then drops its pointer. Locks nest.
 */
VOLINSPECT_IMGKERNEL_EXPORT ImageStruct* CacheLock(ImageStruct* image);

/** Undoes one CacheLock (or the lock a …Alloc image is born with). */
VOLINSPECT_IMGKERNEL_EXPORT void CacheUnlock(ImageStruct* image);

/** The cache's budget in bytes (default 256 MiB); lowering it reclaims at once. */
VOLINSPECT_IMGKERNEL_EXPORT void SetCacheBudget(int64_t bytes);
VOLINSPECT_IMGKERNEL_EXPORT int64_t CacheBudget();
/** Bytes of pixels the cache holds now, locked or not. */
VOLINSPECT_IMGKERNEL_EXPORT int64_t CacheBytes();

/**
 * The owner of a cached image: releases it on destruction (locking it first, as a
 * reclaimed record is released by the lock itself).
 */
class VOLINSPECT_IMGKERNEL_EXPORT CachedImage
{
public:
    CachedImage() = default;
    explicit CachedImage(ImageStruct* image) : image_(image) {}
    ~CachedImage() { Reset(); }
    CachedImage(const CachedImage&) = delete;
    CachedImage& operator=(const CachedImage&) = delete;
    CachedImage(CachedImage&& other) noexcept : image_(other.image_) { other.image_ = nullptr; }
    CachedImage& operator=(CachedImage&& other) noexcept;

    /** The record (its pixels only while locked); null when there is none. */
    ImageStruct* get() const { return image_; }
    explicit operator bool() const { return image_ != nullptr; }
    /** Locks the image; false (and the owner empty) when it had been reclaimed. */
    bool Lock();
    void Unlock();
    /** Releases the image held, if any, and takes `image`. */
    void Reset(ImageStruct* image = nullptr);

private:
    ImageStruct* image_ = nullptr;
};

/** Holds a lock on a cached image from construction to destruction. */
class VOLINSPECT_IMGKERNEL_EXPORT CacheLockGuard
{
public:
    explicit CacheLockGuard(ImageStruct* lockedImage) : image_(lockedImage) {}
    ~CacheLockGuard()
    {
        if (image_) CacheUnlock(image_);
    }
    CacheLockGuard(const CacheLockGuard&) = delete;
    CacheLockGuard& operator=(const CacheLockGuard&) = delete;

private:
    ImageStruct* image_;
};
