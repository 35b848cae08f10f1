#include "ImageJDescription.h"

#include <charconv>
#include <cmath>

namespace {

std::string_view Trim(std::string_view text)
{
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    return text;
}

/** A positive count, or 0 when `text` is not one. */
int64_t Count(std::string_view text)
{
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0 ? value : 0;
}

/** "zct" as "ZCT" when it arranges c, z and t; else empty. */
std::string Order(std::string_view text)
{
    // ImageJ writes "xyczt(default)" and the like; the letters after x and y count.
    if (text.substr(0, 2) == "xy") text.remove_prefix(2);
    text = text.substr(0, 3);
    std::string order;
    for (const char c : text) {
        const char upper = char(c & ~0x20);
        if ((upper != 'C' && upper != 'Z' && upper != 'T') ||
            order.find(upper) != std::string::npos)
            return {};
        order.push_back(upper);
    }
    return order.size() == 3 ? order : std::string();
}

} // namespace

bool IsImageJDescription(std::string_view text)
{
    return text.substr(0, 7) == "ImageJ=";
}

std::string ImageJUnit(std::string_view unit)
{
    if (unit == "micron" || unit == "\\u00B5m" || unit == "\\u00b5m" || unit == "\xB5m" ||
        unit == "\xC2\xB5m" || unit == "\xCE\xBCm")
        return "\xC2\xB5m";
    if (unit == "pixel" || unit == "pixels") return {};
    return std::string(unit);
}

ImageJDescription ParseImageJDescription(std::string_view text)
{
    ImageJDescription read;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (key == "images") {
            read.Images = Count(value);
        } else if (key == "channels") {
            read.Channels = Count(value);
        } else if (key == "slices") {
            read.Slices = Count(value);
        } else if (key == "frames") {
            read.Frames = Count(value);
        } else if (key == "spacing") {
            double spacing = 0;
            const auto [stop, error] =
                std::from_chars(value.data(), value.data() + value.size(), spacing);
            if (error == std::errc() && stop == value.data() + value.size() &&
                std::isfinite(spacing) && spacing > 0) {
                read.Spacing = spacing;
                read.HasSpacing = true;
            }
        } else if (key == "unit") {
            read.Unit = ImageJUnit(value);
        } else if (key == "order") {
            read.Order = Order(value);
        }
    }
    return read;
}
