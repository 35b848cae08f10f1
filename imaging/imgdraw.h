#pragma once

#include "imaging_export.h"

#include "imgcache.h"
#include "imgkernel.h"

#include <cstdint>

class QPainter;

/**
 * Drawing of imaging records on a QPainter. No widget code.
 *
 * Vector drawing: the samples are drawn as a polyline of 1-pixel pen width in
 * `color` (a 0x00BBGGRR value). The plot has an index axis and a value axis; each
 * runs from an origin along a direction (+1 or −1) over an extent in pixels:
 *
 *  - index axis: sample i of n lies at the centre of the i-th of n equal cells,
 *    (i + 0.5) · extent / n from the origin;
 *  - value axis: with f = (v − min) / (max − min), a horizontal plot puts the sample
 *    (1 − f) · height from the origin, so that with the origin at the top and a
 *    direction of +1 larger values lie higher; a vertical plot puts it f · width
 *    from the origin, so larger values lie further right. When min equals max
 *    every sample lies in the middle (f = 0.5).
 *
 * Samples that are not numbers break the line. Nothing is drawn for an empty vector.
 */

// --- images ------------------------------------------------------------------------

/** Drawing options of DrawImage, one bit each (bit n for the n-th option). */
enum ImageDrawFlag : int32_t
{
    DrawDriverHandlesVerticalMirror = 0x01,           ///< (read by image controls, not here)
    DrawSetDIBitsForNonScaledImages = 0x02,           ///< accepted, no effect
    DrawDontPerformSmoothScaling = 0x04,              ///< never interpolate
    DrawDontPerformSmoothScalingWhenEnlarging = 0x08, ///< accepted: enlarging never interpolates
    DrawDontPerformSmoothScalingWhenVerticallyCompressing =
        0x10,                                     ///< no interpolation when yscale < 1
    DrawHandlesNonWordAlignedImageYOffset = 0x20, ///< (read by image controls, not here)
    /** Added by a transparent control: elements of value 0 are not drawn. */
    DrawTransparent = 0x0101,
};

/**
 * Draws `image` (8-bit or RGB; other kinds draw nothing) on `painter`, its sample
 * coordinate (u, v) at painter pixel (xoffset + u·xscale, yoffset + v·yscale): element
 * (x, y) covers [x, x + 1) × [y, y + 1) in sample coordinates. The pixels are not
 * copied. Enlarged images are drawn nearest-neighbour, shrunk ones bilinear unless the
 * flags say otherwise; edges are never antialiased. An 8-bit value v is drawn as
 * v / 255 times `color` (0x00BBGGRR: white gives grey); RGB pixels are drawn as they
 * are. With DrawTransparent in `flags`, elements of value 0 (8-bit 0, RGB black) are
 * not drawn, so what lies beneath shows through. `borderColor` is not used: the
 * caller fills what the image leaves uncovered (see ImageExtent). Only the part within
 * the painter's clip is drawn, so a large image costs what the visible part does.
 */
VOLINSPECT_IMAGING_EXPORT void DrawImage(QPainter& painter, const ImageStruct* image, float xoffset,
                                         float yoffset, float xscale, float yscale, uint32_t color,
                                         int32_t flags, uint32_t borderColor);

/**
 * DrawImage through a colour table: with `colourTable` (256 colours 0xRRGGBB, the top
 * byte ignored) an 8-bit value v is drawn as colourTable[v], and `color` is not used;
 * a null table draws as the function above. RGB images are drawn as they are either way.
 * The table is read during the call only (a kept rendering of a shrunk image keeps its
 * own copy, and is made again when the table's colours change).
 */
VOLINSPECT_IMAGING_EXPORT void DrawImage(QPainter& painter, const ImageStruct* image, float xoffset,
                                         float yoffset, float xscale, float yscale, uint32_t color,
                                         int32_t flags, uint32_t borderColor,
                                         const uint32_t* colourTable);

/**
 * The painter pixels DrawImage covers with the same arguments: called with `x0`, `y0`,
 * `x1`, `y1` holding a client rectangle (0, 0, width, height), it sets them to the
 * first and last column and row of that rectangle the image covers, exactly the
 * pixels DrawImage paints (a pixel whose centre lies in the image's rectangle). When
 * the image covers none of it, or is null, they are left unchanged and false is
 * returned.
 */
VOLINSPECT_IMAGING_EXPORT bool ImageExtent(QPainter& painter, const ImageStruct* image,
                                           float xoffset, float yoffset, float* x0, float* y0,
                                           float* x1, float* y1, float xscale, float yscale);

// The pixel cache that display images live in (CacheLock, CachedImage, …) is the
// kernel's: imgcache.h, included above.

// --- vectors -----------------------------------------------------------------------

/** Index along x (extent `width`), value along y (extent `height`). */
VOLINSPECT_IMAGING_EXPORT void DrawVectorHorizontal(QPainter& painter, const VectorStruct* vector,
                                                    float originX, float originY, float directionX,
                                                    float directionY, float width, float height,
                                                    float min, float max, uint32_t color);

/** Value along x (extent `width`), index along y (extent `height`). */
VOLINSPECT_IMAGING_EXPORT void DrawVectorVertical(QPainter& painter, const VectorStruct* vector,
                                                  float originX, float originY, float directionX,
                                                  float directionY, float width, float height,
                                                  float min, float max, uint32_t color);

// --- graphics lists --------------------------------------------------------------------

/**
 * Graphics lists are drawn with a 1-pixel cosmetic pen, without antialiasing, each item
 * in its own Color or, for GraphicsListColor, the list's. List coordinate (u, v) lies at
 * painter pixel (xoffset + u·xscale, yoffset + v·yscale), and a shape covers the pixels
 * its coordinates fall in:
 *
 *  - a point is a cross of 2·GraphicsPointArm + 1 pixels each way, whatever the scale;
 *  - a line is drawn from end to end; a rectangle as its outline (never filled);
 *  - an arc is drawn in list coordinates through the painter's transform, so that the
 *    points (CX + R·cos t, CY − R·sin t) of its angles lie on it even when the scales
 *    differ (a circle then shows as an ellipse). It runs from the start angle A1 to
 *    A1 + s with s = (A2 − A1) modulo 360 in [0, 360), counter-clockwise on screen
 *    when both scales are positive; equal angles (A2 = A1) draw nothing, and a span
 *    that is a whole non-zero multiple of 360 draws the full circle. A negative radius
 *    puts every angle on the opposite side, as the formula says.
 *
 * A mapping with an offset or scale that is not a finite number draws nothing and hits
 * nothing.
 */
constexpr int GraphicsPointArm = 3;

/** How far from an item's outline, in painter pixels, a click still hits it. */
constexpr double GraphicsHitTolerance = 3.0;

/**
 * Draws the items `start` … `start + count − 1` of `list` (a negative start counts as
 * 0; a count of 0 or less means all items from `start` to the last) on `painter`, as
 * the section above says. Items entirely outside what the painter may paint (its
 * device, its clip and the region a paint event repaints) are skipped after a test of
 * their bounds, so a small repaint of a long list costs little more than a loop over
 * it.
 */
VOLINSPECT_IMAGING_EXPORT void DrawList(QPainter& painter, const GraphicsListStruct* list,
                                        float xoffset, float yoffset, float xscale, float yscale,
                                        int32_t start, int32_t count);

/**
 * True when painter pixel (x, y) lies within GraphicsHitTolerance pixels of `item` as
 * DrawList draws it with the same mapping: of a point's cross, a line, a rectangle's
 * outline (its inside does not count, so items inside a rectangle stay selectable and
 * a click inside it reaches what lies beneath), or an arc. The distance is measured
 * from the pixel's centre in pixels, whatever the zoom. `painter` may be null: the test
 * needs no device.
 */
VOLINSPECT_IMAGING_EXPORT bool ItemHit(const QPainter* painter, const GraphicsItemStruct* item,
                                       float xoffset, float yoffset, int32_t x, int32_t y,
                                       float xscale, float yscale);
