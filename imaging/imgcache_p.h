#pragma once

// Internal interface between the image records (imgkernel.cpp) and the pixel cache
// (imgcache.cpp). Not part of the library's interface, which is imgcache.h.

#include "imgkernel.h"

#include <cstddef>

/**
 * Gives `image` a pixel block of `bytes` bytes (all 0) held by the cache, locked once;
 * sets Memory and Cache (the caller sets Data). Returns false, changing nothing, when
 * the block cannot be had.
 */
bool CacheAttach(ImageStruct* image, std::size_t bytes);

/** Releases the cache's block of `image` (if it still has one) and its bookkeeping. */
void CacheDetach(ImageStruct* image);

/** Allocates `bytes` zeroed bytes for pixels, or null. Large blocks get huge pages. */
void* AllocatePixels(std::size_t bytes);
void FreePixels(void* block);
