#include "Composite.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

/** The levels (0 … 255) of a row of `count` elements of `Element` through min … max. */
template <class Element>
void Levels(const uint8_t* row, int count, double min, double max, uint32_t* levels)
{
    const double scale = max > min ? 255.0 / (max - min) : 0;
    for (int u = 0; u < count; ++u) {
        Element value;
        std::memcpy(&value, row + u * sizeof(Element), sizeof value);
        const double v = double(value);
        double level;
        if (scale > 0)
            level = std::clamp((v - min) * scale, 0.0, 255.0); // NaN stays NaN: below
        else
            level = v >= max ? 255.0 : 0.0;
        levels[u] = level >= 0 ? uint32_t(level + 0.5) : 0;
    }
}

bool LevelsOf(const ImageStruct& slice, int v, double min, double max, uint32_t* levels)
{
    const uint8_t* row = slice.Data + int64_t(v) * slice.LineStep;
    switch (ImageKind(&slice)) {
    case ImageKind8:
        Levels<uint8_t>(row, slice.XSize, min, max, levels);
        return true;
    case ImageKind16:
        Levels<uint16_t>(row, slice.XSize, min, max, levels);
        return true;
    case ImageKind32:
        Levels<int32_t>(row, slice.XSize, min, max, levels);
        return true;
    case ImageKindFloat:
        Levels<float>(row, slice.XSize, min, max, levels);
        return true;
    default:
        return false;
    }
}

} // namespace

bool ComposeChannels(const std::vector<ChannelLayer>& layers, ImageStruct& rgb)
{
    if (ImageKind(&rgb) != ImageKindRGB || !rgb.Data) return false;
    for (const ChannelLayer& layer : layers) {
        const ImageStruct* slice = layer.Slice;
        const int16_t kind = ImageKind(slice);
        if (!slice || !slice->Data || slice->XSize != rgb.XSize || slice->YSize != rgb.YSize ||
            (kind != ImageKind8 && kind != ImageKind16 && kind != ImageKind32 &&
             kind != ImageKindFloat))
            return false;
    }
    const int width = rgb.XSize;
    std::vector<uint32_t> levels(static_cast<size_t>(width));
    std::vector<uint32_t> sums(size_t(width) * 3);
    for (int v = 0; v < rgb.YSize; ++v) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (const ChannelLayer& layer : layers) {
            LevelsOf(*layer.Slice, v, layer.Min, layer.Max, levels.data());
            const uint32_t red = (layer.Colour >> 16) & 0xFF, green = (layer.Colour >> 8) & 0xFF,
                           blue = layer.Colour & 0xFF;
            for (int u = 0; u < width; ++u) {
                sums[3 * u] += levels[u] * red;
                sums[3 * u + 1] += levels[u] * green;
                sums[3 * u + 2] += levels[u] * blue;
            }
        }
        // Blue, green, red and an unused byte, as RGB images hold them.
        uint8_t* out = rgb.Data + int64_t(v) * rgb.LineStep;
        for (int u = 0; u < width; ++u) {
            out[4 * u] = uint8_t(std::min<uint32_t>((sums[3 * u + 2] + 127) / 255, 255));
            out[4 * u + 1] = uint8_t(std::min<uint32_t>((sums[3 * u + 1] + 127) / 255, 255));
            out[4 * u + 2] = uint8_t(std::min<uint32_t>((sums[3 * u] + 127) / 255, 255));
            out[4 * u + 3] = 0xFF;
        }
    }
    TouchImage(&rgb);
    return true;
}

uint32_t StandardChannelColour(int index, int count)
{
    static constexpr uint32_t Colours[] = {0x00FF00, 0xFF00FF, 0x00FFFF, 0xFFFF00,
                                           0xFF0000, 0x0000FF, 0xFFFFFF};
    if (count <= 1) return 0xFFFFFF;
    constexpr int n = int(sizeof Colours / sizeof Colours[0]);
    return Colours[((index % n) + n) % n];
}
