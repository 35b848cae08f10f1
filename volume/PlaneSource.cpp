#include "PlaneSource.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

template <class Word, Word (*Swap)(Word)> void SwapWords(uint8_t* samples, size_t count)
{
    for (size_t j = 0; j < count; ++j) {
        Word v;
        std::memcpy(&v, samples + sizeof v * j, sizeof v);
        v = Swap(v);
        std::memcpy(samples + sizeof v * j, &v, sizeof v);
    }
}

uint16_t Swap16(uint16_t v)
{
    return __builtin_bswap16(v);
}
uint32_t Swap32(uint32_t v)
{
    return __builtin_bswap32(v);
}
uint64_t Swap64(uint64_t v)
{
    return __builtin_bswap64(v);
}

} // namespace

void SwapSampleBytes(uint8_t* samples, size_t count, int bytes)
{
    if (bytes == 2) SwapWords<uint16_t, Swap16>(samples, count);
    if (bytes == 4) SwapWords<uint32_t, Swap32>(samples, count);
    if (bytes == 8) SwapWords<uint64_t, Swap64>(samples, count);
}

namespace {

/** A plane of this thread's, for reading rows and columns through whole planes. */
uint8_t* ThreadPlane(int64_t bytes)
{
    thread_local std::vector<uint8_t> plane;
    if (plane.size() < size_t(bytes)) plane.resize(size_t(bytes));
    return plane.data();
}

} // namespace

bool PlaneSource::ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                           std::string& error)
{
    uint8_t* plane = ThreadPlane(PlaneBytes());
    if (!ReadPlane(c, t, z, plane, error)) return false;
    std::memcpy(out, plane + y0 * RowBytes(), size_t((y1 - y0) * RowBytes()));
    return true;
}

bool PlaneSource::ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out, std::string& error)
{
    uint8_t* plane = ThreadPlane(PlaneBytes());
    if (!ReadPlane(c, t, z, plane, error)) return false;
    const int bytes = SampleKindBytes(layout_.Kind);
    for (int64_t y = 0; y < layout_.SizeY; ++y)
        std::memcpy(out + y * bytes, plane + y * RowBytes() + x * bytes, size_t(bytes));
    return true;
}

StackPlaneSource::StackPlaneSource(const VolumeStack& stack) : stack_(&stack)
{
    layout_ = stack.Layout();
}

StackPlaneSource::StackPlaneSource(VolumeStack stack, std::string warning)
    : owned_(std::move(stack)), stack_(&owned_)
{
    layout_ = owned_.Layout();
    warning_ = std::move(warning);
}

bool StackPlaneSource::TakeStack(VolumeStack& stack)
{
    if (stack_ != &owned_) return false;
    stack = std::move(owned_);
    owned_.Clear();
    return true;
}

bool StackPlaneSource::ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string&)
{
    std::memcpy(out, stack_->Plane(c, t, z), size_t(PlaneBytes()));
    return true;
}

MappedPlaneSource::MappedPlaneSource(std::shared_ptr<MappedFile> file, const StackLayout& layout,
                                     const Geometry& geometry, std::string warning)
    : file_(std::move(file)), geometry_(geometry)
{
    layout_ = layout;
    warning_ = std::move(warning);
}

bool MappedPlaneSource::CopyBytes(int64_t at, int64_t bytes, uint8_t* out, bool mapped,
                                  std::string& error) const
{
    // A short data section: what lies past the file's end at opening reads as 0.
    const int64_t held = std::clamp<int64_t>(file_->Size() - at, 0, bytes);
    if (held > 0 && !(mapped ? file_->Copy(at, size_t(held), out, error)
                             : file_->Read(at, size_t(held), out, error)))
        return false;
    if (held < bytes) std::memset(out + held, 0, size_t(bytes - held));
    if (geometry_.Swap)
        SwapSampleBytes(out, size_t(bytes / SampleKindBytes(layout_.Kind)),
                        SampleKindBytes(layout_.Kind));
    return true;
}

bool MappedPlaneSource::ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error)
{
    return ReadRows(c, t, z, 0, layout_.SizeY, out, error);
}

bool MappedPlaneSource::ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                                 std::string& error)
{
    // Runs of contiguous rows are read, not mapped: one copy out of the system's cache,
    // with no pages to map first nor to drop after. Rows apart are copied from the
    // mapping one by one.
    const int64_t row = RowBytes();
    if (geometry_.StrideY == row)
        return CopyBytes(RowOffset(c, t, z, y0), (y1 - y0) * row, out, false, error);
    for (int64_t y = y0; y < y1; ++y)
        if (!CopyBytes(RowOffset(c, t, z, y), row, out + (y - y0) * row, true, error)) return false;
    return true;
}

bool MappedPlaneSource::ZeroPlane(int c, int t, int64_t z)
{
    return geometry_.StrideY == RowBytes() && !geometry_.Swap &&
           file_->Hole(RowOffset(c, t, z, 0), PlaneBytes());
}

bool MappedPlaneSource::ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out,
                                   std::string& error)
{
    const int bytes = SampleKindBytes(layout_.Kind);
    const int64_t first = RowOffset(c, t, z, 0) + x * bytes;
    const int64_t rows = layout_.SizeY;
    // The rows the file holds whole are gathered in one guarded pass; a short data
    // section's missing ones read as 0.
    int64_t held = rows;
    if (rows > 0 && geometry_.StrideY > 0)
        held =
            std::clamp<int64_t>((file_->Size() - first - bytes) / geometry_.StrideY + 1, 0, rows);
    if (held > 0 && !file_->Copy(first, size_t(bytes), size_t(held), geometry_.StrideY, out, error))
        return false;
    if (held < rows) std::memset(out + held * bytes, 0, size_t((rows - held) * bytes));
    if (geometry_.Swap) SwapSampleBytes(out, size_t(rows), bytes);
    return true;
}

void MappedPlaneSource::WillRead(int c, int t, int64_t z0, int64_t z1, MappedFile::Access access)
{
    if (z1 <= z0) return;
    // Planes of one volume follow each other when their rows do.
    if (geometry_.StrideZ == PlaneBytes() && geometry_.StrideY == RowBytes())
        file_->Advise(RowOffset(c, t, z0, 0), (z1 - z0) * PlaneBytes(), access);
    else
        for (int64_t z = z0; z < z1; ++z)
            file_->Advise(RowOffset(c, t, z, 0), geometry_.StrideY * layout_.SizeY, access);
}

void MappedPlaneSource::DoneWith(int c, int t, int64_t z0, int64_t z1)
{
    if (z1 <= z0) return;
    if (geometry_.StrideZ == PlaneBytes() && geometry_.StrideY == RowBytes())
        file_->Drop(RowOffset(c, t, z0, 0), (z1 - z0) * PlaneBytes());
    else
        for (int64_t z = z0; z < z1; ++z)
            file_->Drop(RowOffset(c, t, z, 0), geometry_.StrideY * layout_.SizeY);
}
