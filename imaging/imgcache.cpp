// The pixel cache: images made by NewImage8Alloc and NewImageRGBAlloc keep their pixels
// here, within a byte budget. Unlocked images are reclaimed least recently used first
// whenever pixels are wanted beyond the budget.

#include "imgcache.h"
#include "imgcache_p.h"

#include <algorithm>
#include <list>
#include <utility>

struct CacheEntry
{
    ImageStruct* Image = nullptr;
    std::size_t Bytes = 0;
    int Locks = 0;
    bool Reclaimed = false;
    std::list<CacheEntry*>::iterator Place; ///< in the use order, while it holds pixels
};

namespace {

struct Cache
{
    std::list<CacheEntry*> order; ///< least recently used first
    std::size_t bytes = 0;
    int64_t budget = int64_t(256) << 20;

    /** Reclaims unlocked images, oldest first, until `wanted` more bytes fit the budget. */
    void MakeRoom(std::size_t wanted)
    {
        for (auto it = order.begin(); it != order.end() && bytes + wanted > std::size_t(budget);) {
            CacheEntry* entry = *it;
            if (entry->Locks > 0) {
                ++it;
                continue;
            }
            it = order.erase(it);
            Reclaim(entry);
        }
    }

    void Reclaim(CacheEntry* entry)
    {
        ImageStruct* image = entry->Image;
        FreePixels(image->Memory);
        image->Memory = nullptr;
        image->Data = nullptr; // the sizes stay readable
        bytes -= entry->Bytes;
        entry->Reclaimed = true;
    }

    void Touch(CacheEntry* entry) { order.splice(order.end(), order, entry->Place); }
};

Cache& TheCache()
{
    static Cache cache;
    return cache;
}

} // namespace

bool CacheAttach(ImageStruct* image, std::size_t bytes)
{
    Cache& cache = TheCache();
    cache.MakeRoom(bytes);
    void* block = AllocatePixels(bytes);
    if (!block && bytes > 0) return false;
    auto* entry = new CacheEntry;
    entry->Image = image;
    entry->Bytes = bytes;
    entry->Locks = 1;
    entry->Place = cache.order.insert(cache.order.end(), entry);
    cache.bytes += bytes;
    image->Memory = block;
    image->Cache = entry;
    return true;
}

void CacheDetach(ImageStruct* image)
{
    CacheEntry* entry = image->Cache;
    if (!entry) return;
    Cache& cache = TheCache();
    if (!entry->Reclaimed) {
        cache.order.erase(entry->Place);
        FreePixels(image->Memory);
        cache.bytes -= entry->Bytes;
    }
    image->Memory = nullptr;
    image->Data = nullptr;
    image->Cache = nullptr;
    delete entry;
}

ImageStruct* CacheLock(ImageStruct* image)
{
    if (!image) return nullptr;
    CacheEntry* entry = image->Cache;
    if (!entry) return image; // not a cached image: always there
    if (entry->Reclaimed) {
        DeleteImage(image);
        return nullptr;
    }
    ++entry->Locks;
    TheCache().Touch(entry);
    return image;
}

void CacheUnlock(ImageStruct* image)
{
    if (!image || !image->Cache) return;
    CacheEntry* entry = image->Cache;
    if (entry->Locks > 0) --entry->Locks;
    // An image locked while the cache ran over its budget may go now.
    if (entry->Locks == 0) TheCache().MakeRoom(0);
}

void SetCacheBudget(int64_t bytes)
{
    Cache& cache = TheCache();
    cache.budget = std::max<int64_t>(bytes, 0);
    cache.MakeRoom(0);
}

int64_t CacheBudget()
{
    return TheCache().budget;
}

int64_t CacheBytes()
{
    return int64_t(TheCache().bytes);
}

CachedImage& CachedImage::operator=(CachedImage&& other) noexcept
{
    if (this != &other) {
        Reset(other.image_);
        other.image_ = nullptr;
    }
    return *this;
}

bool CachedImage::Lock()
{
    image_ = CacheLock(image_);
    return image_ != nullptr;
}

void CachedImage::Unlock()
{
    CacheUnlock(image_);
}

void CachedImage::Reset(ImageStruct* image)
{
    if (image_ == image) return;
    // A reclaimed record is released by the lock itself; a live one is deleted.
    if (ImageStruct* live = CacheLock(image_)) DeleteImage(live);
    image_ = image;
}
