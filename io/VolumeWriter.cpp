#include "ByteVolume.h"

#include "FileIo.h"

#include <cstdint>
#include <string>

namespace {

/** The raw volume file's header: three little-endian 32-bit sizes. */
constexpr size_t RawHeaderBytes = 12;

void WriteLe32(unsigned char* p, int32_t value)
{
    const uint32_t v = uint32_t(value);
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

} // namespace

int32_t ByteVolume::SaveRaw(const std::string& fileName, std::string* message) const
{
    unsigned char header[RawHeaderBytes];
    WriteLe32(header, SizeX);
    WriteLe32(header + 4, SizeY);
    WriteLe32(header + 8, SizeZ);
    const size_t count = Data ? size_t(VoxelCount()) : 0;

    std::string text;
    FileIo::AtomicWriter writer;
    const bool ok = writer.Begin(fileName, text) && writer.Write(header, sizeof header, text) &&
                    writer.Write(Data, count, text) && writer.Commit(text);
    if (message) *message = ok ? std::string() : text;
    return ok ? 0 : 1;
}
