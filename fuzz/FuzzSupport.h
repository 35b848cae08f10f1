#pragma once

// Shared pieces of the fuzz targets: a private scratch folder per process, file
// helpers, and the invariants every ByteVolume::Load result must keep.

#include "ByteVolume.h"
#include "Spectrum.h"
#include "StreamFigure.h"
#include "VolumeReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace fuzzsupport {

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

inline void Check(bool condition, const char* what)
{
    if (!condition) Fail(what);
}

/** The folder of this process's input files, made under $TMPDIR (or /tmp). */
class ScratchFolder
{
public:
    static ScratchFolder& Get()
    {
        static ScratchFolder folder;
        return folder;
    }

    std::string Path(const char* name) const { return path_ + "/" + name; }

    /** Removes every file an earlier input left behind. */
    void Clean() const
    {
        for (const char* name : Names)
            ::unlink(Path(name).c_str());
    }

private:
    static constexpr const char* Names[] = {"input.raw",    "input.ics",   "input.ids",
                                            "input.ids.gz", "input.ids.Z", "input.tif"};

    ScratchFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/volinspect-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) Fail("cannot make the scratch folder");
        path_ = buffer.data();
    }

    // Runs at a normal exit; a crash leaves the folder behind with the last input.
    ~ScratchFolder()
    {
        Clean();
        ::rmdir(path_.c_str());
    }

    std::string path_;
};

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) Fail("cannot create an input file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size) Fail("cannot write an input file");
    if (std::fclose(file) != 0) Fail("cannot close an input file");
}

/**
 * With VOLINSPECT_FUZZ_VERBOSE set, prints what each Load returned: handy when
 * replaying a corpus or one input to see which branch it takes.
 */
inline void Trace(const VolumeReadResult& read, const ByteVolume& v)
{
    static const bool verbose = std::getenv("VOLINSPECT_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "Load: code %d, %d x %d x %d, \"%s\"\n", int(read.Code), int(v.SizeX),
                     int(v.SizeY), int(v.SizeZ), read.Message.c_str());
}

/** A copy of a volume's sizes, strides and bytes. */
struct Snapshot
{
    int32_t x = 0, y = 0, z = 0;
    int64_t sx = 0, sy = 0, sz = 0;
    bool hasData = false;
    std::vector<uint8_t> bytes;

    explicit Snapshot(const ByteVolume& v)
        : x(v.SizeX), y(v.SizeY), z(v.SizeZ), sx(v.StrideX), sy(v.StrideY), sz(v.StrideZ),
          hasData(v.Data != nullptr)
    {
        if (v.Data) bytes.assign(v.Data, v.Data + v.VoxelCount());
    }

    bool Matches(const ByteVolume& v) const
    {
        if (v.SizeX != x || v.SizeY != y || v.SizeZ != z || v.StrideX != sx || v.StrideY != sy ||
            v.StrideZ != sz || (v.Data != nullptr) != hasData)
            return false;
        return !v.Data || std::memcmp(v.Data, bytes.data(), bytes.size()) == 0;
    }
};

/** A small volume with distinct bytes, the state every Load starts from. */
inline void FillKnownVolume(ByteVolume& v)
{
    v.Allocate(3, 2, 2);
    for (int64_t i = 0; i < v.VoxelCount(); ++i)
        v.Data[i] = uint8_t(17 + 29 * i);
}

/** Volumes beyond this many voxels are only spot-checked, so RSS stays bounded. */
constexpr int64_t FullScanVoxels = int64_t(16) << 20;

/**
 * Checks what a Load returned against the volume before (`before`) and after (`v`).
 * Returns the sum of the voxels read, so every voxel is touched under ASan.
 */
inline uint64_t CheckLoadResult(const VolumeReadResult& read, const Snapshot& before,
                                const ByteVolume& v)
{
    const int32_t code = read.Code;
    Check(code == ByteVolume::LoadOk || code == ByteVolume::LoadFailed ||
              code == ByteVolume::LoadReadFailed || code == ByteVolume::LoadCloseFailed,
          "Load returned an undocumented code");
    if (!read.Loaded()) {
        Check(before.Matches(v), "a failed Load changed the volume");
        return 0;
    }
    Check(v.SizeX >= 0 && v.SizeY >= 0 && v.SizeZ >= 0, "negative size after Load");
    int64_t xy = 0, count = 0;
    Check(!__builtin_mul_overflow(int64_t(v.SizeX), int64_t(v.SizeY), &xy) &&
              !__builtin_mul_overflow(xy, int64_t(v.SizeZ), &count),
          "voxel count overflows after Load");
    Check(count == v.VoxelCount() && count <= ByteVolume::MaxVoxelCount(),
          "voxel count beyond the machine's limit");
    Check((count > 0) == (v.Data != nullptr), "buffer presence does not match the sizes");
    Check(v.StrideX == 1 && v.StrideY == v.SizeX && v.StrideZ == xy, "strides do not match");

    uint64_t sum = 0;
    if (count <= FullScanVoxels) {
        for (int64_t i = 0; i < count; ++i)
            sum += v.Data[i];
    } else if (count > 0) {
        // One byte per page plus both ends: the whole buffer stays addressable
        // without pulling gigabytes into memory.
        for (int64_t i = 0; i < count; i += 4096)
            sum += v.Data[i];
        sum += v.Data[count - 1];
    }
    return sum;
}

/**
 * A file that loaded into `volume` (`read`) read again plane by plane: it must open, and
 * give the figure of the volume bit for bit, and the same warning, however it is read.
 */
inline void CheckStreamedFigure(const std::string& path, const VolumeReadResult& read,
                                const ByteVolume& volume)
{
    if (read.Code != ByteVolume::LoadOk) return; // a failed close warns only when loading
    std::unique_ptr<PlaneSource> source;
    const VolumeReadResult opened = OpenStackSource(path, source);
    Check(opened.Loaded(), "a file that loads cannot be read plane by plane");
    const StreamedFigure streamed = StreamHighFrequencyFigure(*source, 0, 0, 2);
    Check(streamed.Failure.empty(), "a volume that loads failed to stream");
    const float whole = ComputeHighFrequencyFigure(volume);
    Check(std::memcmp(&whole, &streamed.Figure, sizeof whole) == 0,
          "the figure read plane by plane differs from the loaded volume's");
    const std::string warning = LoadWarning(streamed.Warning, source->Layout(), opened.Message);
    if (warning != read.Message) {
        std::fprintf(stderr, "read plane by plane: %s\nloaded: %s\n", warning.c_str(),
                     read.Message.c_str());
    }
    Check(warning == read.Message, "the warning read plane by plane differs from the load's");
}

} // namespace fuzzsupport
