#pragma once

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

/** Index along x (extent `width`), value along y (extent `height`). */
void DrawVectorHorizontal(QPainter& painter, const VectorStruct* vector, float originX,
                          float originY, float directionX, float directionY, float width,
                          float height, float min, float max, uint32_t color);

/** Value along x (extent `width`), index along y (extent `height`). */
void DrawVectorVertical(QPainter& painter, const VectorStruct* vector, float originX, float originY,
                        float directionX, float directionY, float width, float height, float min,
                        float max, uint32_t color);
