// Loading a 512 MiB raw volume file (1024 × 1024 × 512 voxels after the 12-byte
// header) with ByteVolume::Load, compared with a plain load: open the file, malloc a
// buffer of its size, fill it with one read() loop, free it.
//
// BM_Load times both in every iteration, in alternating order; the Time column is
// Load's (manual time), `ref_ms` the plain load's mean and `ratio` Load's total time
// over the plain load's (target: at most 1.3). The file is written once into a fresh
// folder under $TMPDIR (or /tmp), read once before timing so that both variants find
// it in the page cache, and removed at the end.
//
// BM_PeakMemory forks one child per variant that does a single load and exits, and
// reads the child's peak resident size (ru_maxrss) with wait4. A child starts with the
// parent's resident pages, so a child that loads nothing gives the baseline;
// `*_extra_MiB` is a variant's peak above it (target for Load: at most the volume's
// 512 MiB plus 64 MiB, i.e. never a second copy of the data).

#include "BenchFiles.h"
#include "ByteVolume.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace bench_files;

constexpr int32_t SizeX = 1024, SizeY = 1024, SizeZ = 512;
constexpr size_t VoxelBytes = size_t(SizeX) * SizeY * SizeZ;
constexpr size_t HeaderBytes = 12;
constexpr size_t FileSize = HeaderBytes + VoxelBytes;
constexpr double MiB = 1024.0 * 1024.0;

/** A fixed pseudo-random byte stream (splitmix64), produced block by block. */
class RandomBytes
{
public:
    void Fill(uint8_t* out, size_t count)
    {
        for (size_t i = 0; i < count; i += 8) {
            state_ += 0x9E3779B97F4A7C15u;
            uint64_t z = state_;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
            z ^= z >> 31;
            std::memcpy(out + i, &z, count - i < 8 ? count - i : 8);
        }
    }

private:
    uint64_t state_ = 12345;
};

constexpr size_t BlockBytes = size_t(1) << 20;

void WriteVolumeFile()
{
    MakeFolder("bench_load", "volume.raw");
    const int fd = ::open(FilePath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot create the volume file: " + std::string(std::strerror(errno)));
    auto writeAll = [fd](const uint8_t* data, size_t count) {
        while (count > 0) {
            const ssize_t n = ::write(fd, data, count);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) Fail("cannot write the volume file: " + std::string(std::strerror(errno)));
            data += n;
            count -= size_t(n);
        }
    };
    uint8_t header[HeaderBytes];
    const int32_t sizes[3] = {SizeX, SizeY, SizeZ};
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b)
            header[4 * i + b] = uint8_t(uint32_t(sizes[i]) >> (8 * b));
    writeAll(header, HeaderBytes);
    std::vector<uint8_t> block(BlockBytes);
    RandomBytes random;
    for (size_t done = 0; done < VoxelBytes; done += BlockBytes) {
        random.Fill(block.data(), BlockBytes);
        writeAll(block.data(), BlockBytes);
    }
    if (::close(fd) != 0)
        Fail("cannot close the volume file: " + std::string(std::strerror(errno)));
}

/** ByteVolume::Load; true when it loaded the whole file without a warning. */
bool ProjectLoad()
{
    ByteVolume volume;
    std::string message;
    const int32_t code = volume.Load(FilePath, &message);
    benchmark::DoNotOptimize(volume.Data);
    benchmark::ClobberMemory();
    return code == ByteVolume::LoadOk && message.empty() && volume.SizeX == SizeX &&
           volume.SizeY == SizeY && volume.SizeZ == SizeZ;
}

/** Loads once with the project and compares every voxel with the bytes written. */
void CheckLoad()
{
    ByteVolume volume;
    std::string message;
    const int32_t code = volume.Load(FilePath, &message);
    if (code != ByteVolume::LoadOk || !message.empty())
        Fail("Load failed with code " + std::to_string(code) + ": " + message);
    if (volume.SizeX != SizeX || volume.SizeY != SizeY || volume.SizeZ != SizeZ)
        Fail("Load gave the sizes " + std::to_string(volume.SizeX) + " x " +
             std::to_string(volume.SizeY) + " x " + std::to_string(volume.SizeZ));
    std::vector<uint8_t> block(BlockBytes);
    RandomBytes random;
    for (size_t done = 0; done < VoxelBytes; done += BlockBytes) {
        random.Fill(block.data(), BlockBytes);
        if (std::memcmp(volume.Data + done, block.data(), BlockBytes) != 0)
            Fail("Load gave other voxels than the file holds, near byte " + std::to_string(done));
    }
    if (ReferenceLoad() != FileSize) Fail("the plain load did not read the whole file");
}

void BM_Load(benchmark::State& state)
{
    double referenceTotal = 0, projectTotal = 0;
    bool ok = true;
    auto reference = [&] {
        if (ReferenceLoad() != FileSize) ok = false;
    };
    auto project = [&] {
        if (!ProjectLoad()) ok = false;
    };
    TimeAlternately(state, reference, project, referenceTotal, projectTotal);
    if (!ok) {
        state.SkipWithError("a load failed during timing");
        return;
    }
    state.counters["ref_ms"] =
        benchmark::Counter(referenceTotal * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = referenceTotal > 0 ? projectTotal / referenceTotal : 0.0;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FileSize));
}

enum class Variant
{
    Nothing,
    Reference,
    Project
};

/** Peak resident size in MiB of a child that runs one variant and exits. */
double ChildPeakMiB(Variant variant)
{
    return bench_files::ChildPeakMiB([variant] {
        if (variant == Variant::Reference) return ReferenceLoad() == FileSize;
        if (variant == Variant::Project) return ProjectLoad();
        return true;
    });
}

void BM_PeakMemory(benchmark::State& state)
{
    double base = 0, reference = 0, project = 0;
    for (auto _ : state) {
        base = ChildPeakMiB(Variant::Nothing);
        reference = ChildPeakMiB(Variant::Reference);
        project = ChildPeakMiB(Variant::Project);
    }
    state.counters["volume_MiB"] = double(VoxelBytes) / MiB;
    state.counters["base_MiB"] = base;
    state.counters["ref_peak_MiB"] = reference;
    state.counters["load_peak_MiB"] = project;
    state.counters["ref_extra_MiB"] = reference - base;
    state.counters["load_extra_MiB"] = project - base;
}

// A fixed count: one iteration moves 1 GiB and takes seconds where page faults are
// slow, and --benchmark_min_time would count only Load's half of it.
BENCHMARK(BM_Load)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    WriteVolumeFile();
    CheckLoad();
    std::fprintf(stderr, "bench_load: Load reads the %zu-byte test file correctly\n", FileSize);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RemoveFiles();
    return 0;
}
