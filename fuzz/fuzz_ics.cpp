// Fuzz target for the ICS reader. One input holds both files: the bytes before the
// first separator line "\n--ids--\n" are the header input.ics, the bytes after it
// the data file input.ids. Without a separator only input.ics is written, which
// covers version-2 files (header and data in one) and headers without data.

#include "ByteVolume.h"
#include "FuzzSupport.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

volatile uint64_t voxelSum = 0;

constexpr std::string_view Separator = "\n--ids--\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace fuzzsupport;
    const ScratchFolder& folder = ScratchFolder::Get();
    folder.Clean();

    const uint8_t* end = data + size;
    const uint8_t* cut = std::search(data, end, Separator.begin(), Separator.end());
    const std::string header = folder.Path("input.ics");
    WriteFile(header, data, size_t(cut - data));
    if (cut != end) {
        const uint8_t* ids = cut + Separator.size();
        WriteFile(folder.Path("input.ids"), ids, size_t(end - ids));
    }

    ByteVolume volume;
    FillKnownVolume(volume);
    const Snapshot before(volume);
    const VolumeReadResult read = ReadVolume(header, volume);
    Trace(read, volume);
    voxelSum = voxelSum + CheckLoadResult(read, before, volume);
    CheckStreamedFigure(header, read, volume);
    if (read.Code == ByteVolume::LoadFailed || read.Code == ByteVolume::LoadReadFailed)
        Check(!read.Message.empty(), "a failed Load gave no reason");
    // A successful load may carry a warning (mapped floating-point samples).
    return 0;
}
