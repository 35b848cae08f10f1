// The table mode's throughput against cat, and its memory on a volume larger than the
// machine's memory.
//
// BM_Table/raw8 and BM_Table/ics16 run the table mode (RunFigureTable, in this process,
// its table written to /dev/null) over a 256 MiB volume: an 8-bit raw volume of
// 1024 x 1024 x 256 voxels and a 16-bit ICS file of 1024 x 1024 x 128 samples, both of
// pseudo-random content. In every iteration the same file is also read the way cat reads
// it (read() into a 128 KiB buffer until the end), in alternating order, from a warm page
// cache. The Time column is the table mode's (manual time); `cat_ms` is cat's mean, and
// `of_cat` the table mode's throughput as a share of cat's (cat's total time over the
// table mode's; target: at least 0.8).
//
// BM_Threads/N times the figure of the raw volume alone (OpenStackSource and
// StreamHighFrequencyFigure) on N threads, to show how the work spreads over the cores.
//
// BM_PlaneReads/0 reads every plane of the raw volume with pread, BM_PlaneReads/1 copies it
// out of the file's mapping and drops the pages behind: why whole planes are read, not
// mapped.
//
// BM_PeakMemory makes a sparse raw volume of 4096 x 4096 x 2048 voxels (32 GiB, costing
// no disk) with a few planes of content, and a dense one of 4096 x 4096 x 256 (4 GiB, every
// plane written), runs the table mode over each in a child and reads the child's peak
// resident size (ru_maxrss, which counts mapped pages too) against a child that does
// nothing. Target: at most 1 GiB.
//
// Before timing, every figure is checked against ComputeHighFrequencyFigure of the volume
// loaded whole, bit for bit.

#include "BenchFiles.h"
#include "FigureTable.h"
#include "IcsWriter.h"
#include "Spectrum.h"
#include "StreamFigure.h"
#include "VolumeReader.h"
#include "MappedFile.h"
#include "imgkernel.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace bench_files;

std::string rawPath, icsPath, hugePath, densePath;

std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i += 8) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        std::memcpy(bytes.data() + i, &seed, std::min<size_t>(8, count - i));
    }
    return bytes;
}

void WriteRaw(const std::string& path, int32_t x, int32_t y, int32_t z, const uint8_t* voxels,
              int64_t bytes, bool sparse)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const int32_t header[3] = {x, y, z};
    if (!file || std::fwrite(header, 4, 3, file) != 3) Fail("cannot write " + path);
    if (voxels && std::fwrite(voxels, 1, size_t(bytes), file) != size_t(bytes))
        Fail("cannot write " + path);
    std::fclose(file);
    if (sparse && ::truncate(path.c_str(), 12 + int64_t(x) * y * z) != 0)
        Fail("cannot size " + path);
}

/** Reads `path` (and an ICS header's .ids beside it) as cat does; returns the bytes read. */
size_t Cat(const std::string& path)
{
    static std::vector<uint8_t> buffer(128 << 10);
    size_t total = 0;
    std::vector<std::string> files{path};
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".ics") == 0)
        files.push_back(path.substr(0, path.size() - 4) + ".ids");
    for (const std::string& file : files) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
            total += size_t(n);
        benchmark::DoNotOptimize(buffer.data());
        if (fd >= 0) ::close(fd);
    }
    return total;
}

bool Table(const std::string& path)
{
    static std::FILE* null = std::fopen("/dev/null", "w");
    FigureTableStreams streams;
    streams.out = null;
    return RunFigureTable({path}, streams) == 0;
}

float WholeFigure(const std::string& path)
{
    ByteVolume volume;
    if (!ReadVolume(path, volume).Loaded()) Fail("cannot load " + path);
    return ComputeHighFrequencyFigure(volume, ProcessorCores());
}

float StreamedFigureOf(const std::string& path, unsigned threads)
{
    std::unique_ptr<PlaneSource> source;
    if (!OpenStackSource(path, source).Loaded()) Fail("cannot open " + path);
    return StreamHighFrequencyFigure(*source, 0, 0, threads).Figure;
}

void CheckSame(const std::string& path)
{
    const float whole = WholeFigure(path), streamed = StreamedFigureOf(path, ProcessorCores());
    if (std::memcmp(&whole, &streamed, sizeof whole) != 0)
        Fail("the streamed figure of " + path + " differs from the whole volume's");
}

void Setup()
{
    MakeFolder("bench_streamfigure", "volume.raw");
    rawPath = FilePath;
    const std::string folder = rawPath.substr(0, rawPath.rfind('/'));
    icsPath = folder + "/volume16.ics";
    hugePath = folder + "/huge.raw";
    const std::vector<uint8_t> voxels = RandomBytes(size_t(256) << 20, 1);
    WriteRaw(rawPath, 1024, 1024, 256, voxels.data(), int64_t(voxels.size()), false);
    IcsWriteOptions options;
    options.BytesPerSample = 2;
    std::string message;
    if (!WriteIcsVolume(icsPath, 1024, 1024, 128, voxels.data(), options, &message))
        Fail("cannot write " + icsPath + ": " + message);
    CheckSame(rawPath);
    CheckSame(icsPath);
    // 32 GiB of which only the first planes hold anything.
    WriteRaw(hugePath, 4096, 4096, 2048, voxels.data(), int64_t(64) << 20, true);
    // 4 GiB of voxels, every plane written: the 256 MiB again and again.
    densePath = folder + "/dense.raw";
    WriteRaw(densePath, 4096, 4096, 256, voxels.data(), int64_t(voxels.size()), false);
    std::FILE* dense = std::fopen(densePath.c_str(), "ab");
    for (int i = 1; i < 16; ++i)
        if (!dense || std::fwrite(voxels.data(), 1, voxels.size(), dense) != voxels.size())
            Fail("cannot write " + densePath);
    std::fclose(dense);
}

void BM_Table(benchmark::State& state, const std::string* path)
{
    Cat(*path), Table(*path); // warm the page cache
    double catTotal = 0, tableTotal = 0;
    TimeAlternately(
        state, [&] { benchmark::DoNotOptimize(Cat(*path)); },
        [&] {
            if (!Table(*path)) Fail("the table run failed");
        },
        catTotal, tableTotal);
    const double n = double(state.iterations());
    state.counters["cat_ms"] = catTotal / n * 1e3;
    state.counters["of_cat"] = catTotal / tableTotal;
}

void BM_Threads(benchmark::State& state)
{
    const unsigned threads = unsigned(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(StreamedFigureOf(rawPath, threads));
}

/**
 * Every plane of the raw volume into one plane buffer, through the mapping (state 1: with
 * the pages dropped behind, as a reader of a volume larger than memory must) or with the
 * system's read (state 0).
 */
void BM_PlaneReads(benchmark::State& state)
{
    const int fd = ::open(rawPath.c_str(), O_RDONLY | O_CLOEXEC);
    const int64_t plane = int64_t(1024) * 1024;
    std::vector<uint8_t> buffer(static_cast<size_t>(plane));
    std::string error;
    for (auto _ : state) {
        auto file = MappedFile::Map(fd, 12 + plane * 256, error);
        for (int64_t z = 0; z < 256; ++z) {
            const int64_t at = 12 + z * plane;
            const bool ok = state.range(0) ? file->Copy(at, size_t(plane), buffer.data(), error)
                                           : file->Read(at, size_t(plane), buffer.data(), error);
            if (!ok) Fail("cannot read a plane: " + error);
            if (state.range(0)) file->Drop(at, plane);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    ::close(fd);
}

void BM_PeakMemory(benchmark::State& state)
{
    double baseline = 0, sparse = 0, dense = 0;
    for (auto _ : state) {
        baseline = ChildPeakMiB([] { return true; });
        sparse = ChildPeakMiB([] { return Table(hugePath); });
        dense = ChildPeakMiB([] { return Table(densePath); });
    }
    state.counters["baseline_MiB"] = baseline;
    state.counters["sparse_32GiB_MiB"] = sparse;
    state.counters["dense_4GiB_MiB"] = dense;
}

} // namespace

int main(int argc, char** argv)
{
    Setup();
    benchmark::RegisterBenchmark("BM_Table/raw8", BM_Table, &rawPath)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(20);
    benchmark::RegisterBenchmark("BM_Table/ics16", BM_Table, &icsPath)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(20);
    benchmark::RegisterBenchmark("BM_Threads", BM_Threads)
        ->Arg(1)
        ->Arg(2)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_PlaneReads", BM_PlaneReads)
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_PeakMemory", BM_PeakMemory)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    ::unlink(icsPath.c_str());
    ::unlink((icsPath.substr(0, icsPath.size() - 4) + ".ids").c_str());
    ::unlink(hugePath.c_str());
    ::unlink(densePath.c_str());
    RemoveFiles();
    return 0;
}
