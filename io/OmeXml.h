#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/** A Channel element of OME-XML. */
struct OmeChannel
{
    std::string Name;
    uint32_t Colour = 0; ///< 0xRRGGBB of the Color attribute, when HasColour
    bool HasColour = false;
    int64_t SamplesPerPixel = 1;
};

/** A TiffData element: PlaneCount planes from (FirstZ, FirstC, FirstT) on lie in IFDs from Ifd on.
 */
struct OmeTiffData
{
    int64_t Ifd = 0;
    int64_t FirstZ = 0;
    int64_t FirstC = 0;
    int64_t FirstT = 0;
    int64_t PlaneCount = 0; ///< when HasPlaneCount
    bool HasIfd = false;
    bool HasPlaneCount = false;
    std::string Uuid;     ///< the text of its UUID element: the file the planes lie in
    std::string FileName; ///< that element's FileName
};

/**
 * The first Image of an OME-XML document, read through pugixml: what an OME-TIFF reader
 * needs of its Pixels, Channel and TiffData elements. No Qt.
 */
struct OmeImage
{
    int64_t SizeX = 0, SizeY = 0, SizeZ = 0, SizeC = 0, SizeT = 0;
    /** The order of the planes, fastest first: "ZCT" of DimensionOrder "XYZCT". */
    std::string Order;
    std::string Type;            ///< "uint8", "int16", "float", "double", …
    int64_t SignificantBits = 0; ///< 0 when absent
    /** PhysicalSizeX, Y and Z with their units ("µm" when the unit is not given). */
    double PhysicalSize[3] = {1, 1, 1};
    std::string PhysicalUnit[3];
    bool HasPhysicalSize[3] = {false, false, false};
    std::vector<OmeChannel> Channels;
    std::vector<OmeTiffData> TiffData;
    int64_t ImageCount = 0;  ///< Image elements in the document
    std::string Uuid;        ///< the UUID of the document, which names this file
    bool BinaryOnly = false; ///< the metadata lie in another file
    /** Why the document cannot be trusted (a size missing, a count negative); else empty. */
    std::string Problem;
};

/**
 * Reads the OME-XML `text` into `image`. Returns false when `text` is no OME document:
 * not well-formed XML, or its root element not OME (in any namespace prefix).
 * Attributes out of range leave a reason in image.Problem.
 */
bool ParseOmeXml(std::string_view text, OmeImage& image);

/**
 * True when the planes of `data` lie in the file whose name ends in `baseName` and whose
 * document is `image`: no UUID given, the document's UUID, or the same file name.
 */
bool InThisFile(const OmeTiffData& data, const OmeImage& image, std::string_view baseName);
