#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/**
 * What the image description of an ImageJ TIFF file says: lines of key=value after a
 * first line "ImageJ=version". Only the keys that shape the stack are kept. No Qt.
 */
struct ImageJDescription
{
    /** The images=, channels=, slices= and frames= counts; 0 when absent or not positive. */
    int64_t Images = 0;
    int64_t Channels = 0;
    int64_t Slices = 0;
    int64_t Frames = 0;
    /** The z spacing of spacing=, when HasSpacing (positive and finite). */
    double Spacing = 1;
    bool HasSpacing = false;
    /** unit=, as people read it: micrometres as "µm"; empty when absent or "pixel". */
    std::string Unit;
    /**
     * The order of the planes, fastest first, in upper case: "CZT" (ImageJ's own, the
     * default), or what order= gives ("zct" → "ZCT"); empty when order= is no
     * arrangement of c, z and t.
     */
    std::string Order = "CZT";
};

/** True when `text` is an ImageJ description: it starts with "ImageJ=". */
bool IsImageJDescription(std::string_view text);

/** Reads the keys of an ImageJ description; unknown keys and malformed lines are skipped. */
ImageJDescription ParseImageJDescription(std::string_view text);

/**
 * The unit text of an ImageJ file as people read it: "micron", ImageJ's escaped
 * "\u00B5m" and a Latin-1 "µm" become "µm" (UTF-8); "pixel" (no calibration) becomes
 * empty; anything else stays as written.
 */
std::string ImageJUnit(std::string_view unit);
