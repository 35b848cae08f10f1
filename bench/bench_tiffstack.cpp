// Loading a 1 GiB TIFF stack of 16-bit samples (an ImageJ hyperstack that tifffile
// writes: 4 time points, 64 slices and 2 channels of 1024 × 1024) with ReadStack,
// compared in the same run with
//  - a plain load: open the file, malloc a buffer of its size, one read() loop, free;
//  - tifffile.imread of the same file into numpy, timed inside Python (a child process
//    that reads it several times and prints each time).
//
// BM_TiffStack times ReadStack and the plain load in every iteration, in alternating
// order; the Time column is ReadStack's (manual time), `ref_ms` the plain load's mean,
// `ratio_read` ReadStack's total time over the plain load's (target: at most 1.5),
// `tifffile_ms` the mean of tifffile's reads and `ratio_tifffile` ReadStack's mean over
// it (target: at most 1.2). Every variant finds the file in the page cache.
//
// BM_PeakMemory forks one child per variant and reads its peak resident size: the
// plain load, and ReadStack followed by the 8-bit copy of one channel at one time point
// (what the figure and the classic window need). Target: the stack's extra peak at most
// its sample bytes plus that 8-bit copy (1024 + 64 MiB), and a few MiB.

#include "BenchFiles.h"
#include "StackBytes.h"
#include "VolumeReader.h"
#include "VolumeStack.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace bench_files;

constexpr int X = 1024, Y = 1024, Z = 64, C = 2, T = 4;
constexpr double MiB = 1024.0 * 1024.0;
constexpr int TifffileReads = 6;

std::string Script()
{
    return std::string(VOLINSPECT_BENCH_SOURCE) + "/make_bench_stack.py";
}

/** Runs `command`, returning what it printed; fails the run on a non-zero status. */
std::string Run(const std::string& command)
{
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) Fail("cannot run " + command);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    if (::pclose(pipe) != 0) Fail(command + " failed");
    return out;
}

void WriteStackFile()
{
    MakeFolder("bench_tiffstack", "stack.tif");
    Run("/usr/bin/python3 '" + Script() + "' write '" + FilePath + "'");
}

bool ProjectLoad(VolumeStack& stack)
{
    const VolumeReadResult read = ReadStack(FilePath, stack);
    benchmark::ClobberMemory();
    const StackLayout& layout = stack.Layout();
    return read.Code == ByteVolume::LoadOk && layout.SizeX == X && layout.SizeY == Y &&
           layout.SizeZ == Z && layout.Channels == C && layout.Frames == T &&
           layout.Kind == SampleKind::UInt16;
}

/** Loads once and compares every sample with the formula the writer used. */
void CheckLoad()
{
    VolumeStack stack;
    const VolumeReadResult read = ReadStack(FilePath, stack);
    if (!ProjectLoad(stack)) Fail("ReadStack failed or gave other sizes: " + read.Message);
    for (int t = 0; t < T; ++t)
        for (int c = 0; c < C; ++c)
            for (int z = 0; z < Z; ++z)
                for (int y = 0; y < Y; ++y) {
                    const uint8_t* row = stack.Row(c, t, z, y);
                    for (int x = 0; x < X; ++x) {
                        uint16_t value;
                        std::memcpy(&value, row + 2 * x, 2);
                        if (value != uint16_t(3 * x + 5 * y + 7 * z + 11 * c + 13 * t))
                            Fail("ReadStack gave other samples than the file holds");
                    }
                }
    if (int64_t(ReferenceLoad()) != FileBytes()) Fail("the plain load did not read the whole file");
}

void BM_TiffStack(benchmark::State& state)
{
    double referenceTotal = 0, projectTotal = 0;
    bool ok = true;
    auto reference = [&] {
        if (int64_t(ReferenceLoad()) != FileBytes()) ok = false;
    };
    auto project = [&] {
        VolumeStack stack;
        if (!ProjectLoad(stack)) ok = false;
    };
    TimeAlternately(state, reference, project, referenceTotal, projectTotal);
    if (!ok) {
        state.SkipWithError("a load failed during timing");
        return;
    }
    // tifffile in its own process, after ours, with the file still cached.
    const std::string times = Run("/usr/bin/python3 '" + Script() + "' time '" + FilePath + "' " +
                                  std::to_string(TifffileReads));
    double tifffileTotal = 0;
    int reads = 0;
    for (const char* p = times.c_str(); *p;) {
        char* end = nullptr;
        const double seconds = std::strtod(p, &end);
        if (end == p) break;
        tifffileTotal += seconds;
        ++reads;
        p = end;
    }
    if (reads != TifffileReads) Fail("tifffile's timing printed " + times);
    const double projectMean = projectTotal / double(state.iterations());
    const double tifffileMean = tifffileTotal / reads;
    state.counters["ref_ms"] =
        benchmark::Counter(referenceTotal * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["ratio_read"] = referenceTotal > 0 ? projectTotal / referenceTotal : 0.0;
    state.counters["tifffile_ms"] = tifffileMean * 1e3;
    state.counters["ratio_tifffile"] = tifffileMean > 0 ? projectMean / tifffileMean : 0.0;
    state.SetBytesProcessed(int64_t(state.iterations()) * FileBytes());
}

enum class Variant
{
    Nothing,
    Reference,
    Project
};

double ChildPeakMiB(Variant variant)
{
    return bench_files::ChildPeakMiB([variant] {
        if (variant == Variant::Reference) return int64_t(ReferenceLoad()) == FileBytes();
        if (variant != Variant::Project) return true;
        VolumeStack stack;
        ByteVolume volume;
        std::string message;
        const bool ok = ProjectLoad(stack) && MakeByteVolume(stack, 0, 0, volume, message);
        benchmark::DoNotOptimize(volume.Data);
        return ok;
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
    state.counters["file_MiB"] = double(FileBytes()) / MiB;
    state.counters["byte_copy_MiB"] = double(X) * Y * Z / MiB;
    state.counters["ref_extra_MiB"] = reference - base;
    state.counters["stack_extra_MiB"] = project - base;
}

BENCHMARK(BM_TiffStack)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    WriteStackFile();
    CheckLoad();
    std::fprintf(stderr, "bench_tiffstack: ReadStack reads the %lld-byte stack correctly\n",
                 static_cast<long long>(FileBytes()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RemoveFiles();
    return 0;
}
