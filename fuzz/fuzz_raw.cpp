// Fuzz target for the raw volume reader: the input is the whole file.

#include "ByteVolume.h"
#include "FuzzSupport.h"
#include "VolumeFileType.h"

#include <cstring>

namespace {

volatile uint64_t voxelSum = 0;

/** The largest volume a raw input may make the loader allocate. */
constexpr int64_t MaxLoadedVoxels = int64_t(1) << 20;

int32_t Le32(const uint8_t* p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace fuzzsupport;
    const ScratchFolder& folder = ScratchFolder::Get();
    folder.Clean();
    const std::string path = folder.Path("input.raw");
    WriteFile(path, data, size);

    // A 12-byte header may legitimately ask for any volume up to the machine's memory;
    // the loader allocates it and fills what the file holds. Past this cap that only
    // measures the allocator (and trips libFuzzer's malloc limit), so such inputs
    // are not loaded. Headers the loader must refuse are always loaded.
    if (size >= 12) {
        int64_t xy = 0, count = 0;
        const int32_t x = Le32(data), y = Le32(data + 4), z = Le32(data + 8);
        if (x >= 0 && y >= 0 && z >= 0 && !__builtin_mul_overflow(int64_t(x), int64_t(y), &xy) &&
            !__builtin_mul_overflow(xy, int64_t(z), &count) && count > MaxLoadedVoxels &&
            count <= ByteVolume::MaxVoxelCount())
            return 0;
    }

    ByteVolume volume;
    FillKnownVolume(volume);
    const Snapshot before(volume);
    const VolumeReadResult read = ReadVolume(path, volume);
    const int32_t code = read.Code;
    const std::string& message = read.Message;
    Trace(read, volume);
    voxelSum = voxelSum + CheckLoadResult(read, before, volume);
    CheckStreamedFigure(path, read, volume);
    Check(code != ByteVolume::LoadReadFailed && code != ByteVolume::LoadCloseFailed,
          "the raw reader returned an ICS-only code");

    // Files whose content says ICS or picture are not read as raw volumes.
    if (ProbeVolumeFile(path).Type != VolumeFileType::Other) return 0;

    // The raw format is simple enough to predict the result exactly.
    if (size < 12) {
        Check(code == ByteVolume::LoadFailed, "a file shorter than the header loaded");
        Check(!message.empty(), "a failed Load gave no reason");
        return 0;
    }
    const int32_t x = Le32(data), y = Le32(data + 4), z = Le32(data + 8);
    if (x < 0 || y < 0 || z < 0) {
        Check(code == ByteVolume::LoadFailed, "negative sizes loaded");
        return 0;
    }
    int64_t xy = 0, count = 0;
    const bool overflow = __builtin_mul_overflow(int64_t(x), int64_t(y), &xy) ||
                          __builtin_mul_overflow(xy, int64_t(z), &count);
    if (overflow || count > ByteVolume::MaxVoxelCount()) {
        Check(code == ByteVolume::LoadFailed, "an oversized header loaded");
        return 0;
    }
    if (code != ByteVolume::LoadOk) return 0; // allocation may fail on a busy machine
    Check(volume.SizeX == x && volume.SizeY == y && volume.SizeZ == z,
          "the sizes differ from the header");
    const size_t present = size - 12;
    const size_t copied = size_t(count) < present ? size_t(count) : present;
    Check(copied == 0 || std::memcmp(volume.Data, data + 12, copied) == 0,
          "the voxels differ from the file's data section");
    if (size_t(count) <= size_t(FullScanVoxels)) {
        for (size_t i = copied; i < size_t(count); ++i)
            if (volume.Data[i] != 0) Fail("voxels past a short data section are not 0");
    }
    Check((copied < size_t(count) || present > size_t(count)) == !message.empty(),
          "a short or long data section must warn, an exact one must not");
    return 0;
}
