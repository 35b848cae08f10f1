#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/**
 * The colour maps a slice is shown and exported in. A map turns a display value 0 … 255
 * (the sample after the display window) into a colour. No Qt.
 *
 *  - Grey: v → (v, v, v); InvertedGrey: v → (255 − v, …).
 *  - Viridis and Magma: the perceptually uniform maps, their 256 published entries
 *    (viridis from #440154 to #fde725, magma from #000004 to #fcfdbf).
 *  - Fire: gnuplot's colour formulae 30, 31 and 32 (the map also known as "gnuplot2"):
 *    black, blue, purple, red-orange, yellow, white, every component piecewise linear.
 *  - HiLo: grey, except 0 pure blue and 255 pure red, to show where the window clips.
 *  - Channel: the ramp from black to a channel colour, v → (v/255 · colour), each
 *    component rounded, as channels are shown alone.
 */
enum class ColourMap
{
    Grey,
    InvertedGrey,
    Viridis,
    Magma,
    Fire,
    HiLo,
    Channel
};

/**
 * 256 colours 0xRRGGBB for display values 0 … 255 (after the display window). Channel:
 * the ramp from black to `channelColour` (0xRRGGBB), as the channel colours are now; the
 * other maps ignore it.
 */
std::array<uint32_t, 256> ColourTable(ColourMap map, uint32_t channelColour = 0xFFFFFF);

/**
 * The map a name stands for: the names the command line and settings use (grey,
 * inverted, viridis, magma, fire, hilo, and the channel colours red, green, blue, cyan,
 * magenta and yellow, which are Channel with that colour) and the window's menu texts
 * ("Grey", "Inverted grey", "Viridis", "Magma", "Fire", "HiLo"), compared without regard
 * to case. `channelColour` becomes the channel's colour, 0xFFFFFF for the other maps.
 * False, changing nothing, for an unknown name.
 */
bool ParseColourMap(std::string_view name, ColourMap& map, uint32_t& channelColour);

/** The command-line names, in the order above: grey, inverted, …, hilo, red, …, yellow. */
std::vector<std::string> ColourMapNames();
