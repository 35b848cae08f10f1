#include "OmeXml.h"

#include <pugixml.hpp>

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

/** The name of `node` without its namespace prefix. */
std::string_view LocalName(const pugi::xml_node& node)
{
    const std::string_view name = node.name();
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& parent, std::string_view name)
{
    for (const pugi::xml_node& child : parent.children())
        if (child.type() == pugi::node_element && LocalName(child) == name) return child;
    return {};
}

template <class T> bool Parse(std::string_view text, T& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

/**
 * Reads integer attribute `name` of `node` into `value` when present; a value that is no
 * integer in [low, high] sets `problem`. Returns whether the attribute was there.
 */
bool ReadInteger(const pugi::xml_node& node, const char* name, int64_t low, int64_t high,
                 int64_t& value, std::string& problem)
{
    const pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute) return false;
    int64_t read = 0;
    if (!Parse(attribute.value(), read) || read < low || read > high) {
        if (problem.empty())
            problem = std::string("the OME-XML gives ") + name + "=\"" + attribute.value() + "\"";
        return true;
    }
    value = read;
    return true;
}

} // namespace

bool ParseOmeXml(std::string_view text, OmeImage& image)
{
    image = OmeImage();
    pugi::xml_document document;
    if (!document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8))
        return false;
    const pugi::xml_node root = document.document_element();
    if (LocalName(root) != "OME") return false;
    image.Uuid = root.attribute("UUID").value();
    image.BinaryOnly = bool(Child(root, "BinaryOnly"));

    pugi::xml_node first;
    for (const pugi::xml_node& child : root.children()) {
        if (child.type() != pugi::node_element || LocalName(child) != "Image") continue;
        if (!first) first = child;
        ++image.ImageCount;
    }
    const pugi::xml_node pixels = Child(first, "Pixels");
    if (!pixels) {
        image.Problem = image.ImageCount == 0 ? "the OME-XML describes no image"
                                              : "the OME-XML image has no Pixels element";
        return true;
    }

    std::string& problem = image.Problem;
    constexpr int64_t Big = INT32_MAX;
    const char* sizeNames[5] = {"SizeX", "SizeY", "SizeZ", "SizeC", "SizeT"};
    int64_t* sizes[5] = {&image.SizeX, &image.SizeY, &image.SizeZ, &image.SizeC, &image.SizeT};
    for (int i = 0; i < 5; ++i)
        if (!ReadInteger(pixels, sizeNames[i], 1, Big, *sizes[i], problem) && problem.empty())
            problem = std::string("the OME-XML gives no ") + sizeNames[i];
    ReadInteger(pixels, "SignificantBits", 1, 64, image.SignificantBits, problem);

    const std::string_view order = pixels.attribute("DimensionOrder").value();
    if (order.size() == 5 && order.substr(0, 2) == "XY") {
        const std::string_view rest = order.substr(2);
        if (rest.find('Z') != rest.npos && rest.find('C') != rest.npos &&
            rest.find('T') != rest.npos)
            image.Order = rest;
    }
    if (image.Order.empty() && problem.empty())
        problem = "the OME-XML gives DimensionOrder=\"" + std::string(order) + "\"";
    image.Type = pixels.attribute("Type").value();

    for (int d = 0; d < 3; ++d) {
        const std::string axis(1, char('X' + d));
        image.PhysicalUnit[d] = "\xC2\xB5m";
        const pugi::xml_attribute size = pixels.attribute(("PhysicalSize" + axis).c_str());
        double value = 0;
        if (size && Parse(std::string_view(size.value()), value) && std::isfinite(value) &&
            value > 0) {
            image.PhysicalSize[d] = value;
            image.HasPhysicalSize[d] = true;
        }
        const pugi::xml_attribute unit = pixels.attribute(("PhysicalSize" + axis + "Unit").c_str());
        if (unit && *unit.value()) image.PhysicalUnit[d] = unit.value();
    }

    for (const pugi::xml_node& child : pixels.children()) {
        if (child.type() != pugi::node_element) continue;
        const std::string_view name = LocalName(child);
        if (name == "Channel") {
            OmeChannel channel;
            channel.Name = child.attribute("Name").value();
            int64_t colour = 0;
            // A signed 32-bit RGBA value; some writers give it unsigned.
            if (ReadInteger(child, "Color", INT32_MIN, UINT32_MAX, colour, problem)) {
                channel.Colour = (uint32_t(colour) >> 8) & 0xFFFFFFu;
                channel.HasColour = true;
            }
            ReadInteger(child, "SamplesPerPixel", 1, Big, channel.SamplesPerPixel, problem);
            image.Channels.push_back(std::move(channel));
        } else if (name == "TiffData") {
            OmeTiffData data;
            data.HasIfd = ReadInteger(child, "IFD", 0, Big, data.Ifd, problem);
            ReadInteger(child, "FirstZ", 0, Big, data.FirstZ, problem);
            ReadInteger(child, "FirstC", 0, Big, data.FirstC, problem);
            ReadInteger(child, "FirstT", 0, Big, data.FirstT, problem);
            data.HasPlaneCount = ReadInteger(child, "PlaneCount", 0, Big, data.PlaneCount, problem);
            if (const pugi::xml_node uuid = Child(child, "UUID")) {
                data.Uuid = uuid.text().get();
                data.FileName = uuid.attribute("FileName").value();
            }
            image.TiffData.push_back(std::move(data));
        }
    }
    return true;
}

bool InThisFile(const OmeTiffData& data, const OmeImage& image, std::string_view baseName)
{
    if (data.Uuid.empty() && data.FileName.empty()) return true;
    if (!data.FileName.empty() && data.FileName == baseName) return true;
    return !data.Uuid.empty() && data.Uuid == image.Uuid;
}
