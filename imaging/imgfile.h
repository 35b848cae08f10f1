#pragma once

#include "imaging_export.h"

#include "imgkernel.h"

#include <cstdint>

/**
 * Picture files through Qt's image readers: PNG, BMP, JPEG, PGM/PPM, TIFF and what
 * else the installed plugins read. A picture file is untrusted input: a header that
 * declares more than PictureMaxPixels pixels is refused before anything is allocated,
 * and truncated or corrupt files fail cleanly.
 *
 * Grey pictures (grey and black-and-white formats) become 8-bit images, 16-bit grey
 * ones by their top 8 bits; every other picture (colour, palette) becomes RGB, its
 * alpha dropped.
 */

/** The largest picture read, in pixels (2^28: a 16384 × 16384 picture). */
constexpr int64_t PictureMaxPixels = int64_t(1) << 28;

/** What GetImageFileInfo tells of a picture file. */
struct VOLINSPECT_IMAGING_EXPORT ImageFileInfo
{
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Color = 0; ///< nonzero: an RGB picture; 0: grey
};

/**
 * Reads the header of the picture file `name`: its size and whether it is in colour.
 * Returns nonzero on success; 0 for a missing, unreadable, unknown or oversized file.
 * `index` selects nothing (0).
 */
VOLINSPECT_IMAGING_EXPORT int32_t GetImageFileInfo(const char* name, int32_t index,
                                                   ImageFileInfo* info);

/**
 * Reads the picture `name` into the existing 8-bit or RGB `image`: the picture's
 * top-left corner at the image's, a smaller picture leaving the rest untouched, a
 * larger one cut. A colour picture read into an 8-bit image gives its grey values
 * ((299·R + 587·G + 114·B) / 1000); a grey one into an RGB image gives (v, v, v).
 * The image's descriptive information records the file. Returns nonzero on success.
 * `index`, `x` and `y` are accepted for the caller's sake and must be 0.
 */
VOLINSPECT_IMAGING_EXPORT int32_t LoadImageFile(const char* name, int32_t index, ImageStruct* image,
                                                int32_t x, int32_t y);

/**
 * A new 8-bit (grey picture) or RGB image of the picture's own size holding the
 * picture `name`, or null. The arguments after the name are accepted and ignored.
 */
VOLINSPECT_IMAGING_EXPORT ImageStruct* CreateImageFile(const char* name, int32_t index, int32_t a,
                                                       int32_t b);
