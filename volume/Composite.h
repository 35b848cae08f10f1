#pragma once

#include "imgkernel.h"

#include <cstdint>
#include <vector>

/**
 * One channel's slice as it enters a composite: each value v mapped through the window
 * Min … Max onto a level of 0 … 1, clamped (NaN 0; a window of no width is a step at
 * Max), and the level times Colour added to the pixel.
 */
struct ChannelLayer
{
    const ImageStruct* Slice = nullptr; ///< 8-bit, 16-bit, 32-bit or float; any LineStep
    double Min = 0;
    double Max = 255;
    uint32_t Colour = 0xFFFFFF; ///< 0xRRGGBB
};

/**
 * Writes into `rgb` (an RGB image, ImageKindRGB) the additive composite of `layers`: each
 * of a pixel's red, green and blue is the sum over the layers of level · that component of
 * the layer's colour, clamped to 255 (levels taken to 1/255). No layers give black.
 * Returns false, writing nothing, when `rgb` is not RGB, or a layer has no slice, a
 * slice of another size than `rgb` or of another kind.
 */
bool ComposeChannels(const std::vector<ChannelLayer>& layers, ImageStruct& rgb);

/**
 * The colour (0xRRGGBB) channel `index` of `count` takes when its file gives none: white
 * for a single channel; for several, in order green, magenta, cyan, yellow, red, blue and
 * white, then again. The first two tell apart for most colour-blind eyes, and together
 * they add to white.
 */
uint32_t StandardChannelColour(int index, int count);
