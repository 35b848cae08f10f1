#pragma once

// What the loading benchmarks share: one test file in a fresh temporary folder, removed
// at the end or on a signal; the plain load they are compared with; timing one run; and
// the peak memory of a child that runs one variant.

#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench_files {

// Plain arrays, so that the signal handler may use them.
inline char FolderPath[4096];
inline char FilePath[4096 + 64];
/** The program's name, for its failure message. */
inline const char* Program = "bench";

inline void RemoveFiles()
{
    if (FilePath[0]) ::unlink(FilePath);
    if (FolderPath[0]) ::rmdir(FolderPath);
}

extern "C" inline void OnSignal(int signal)
{
    RemoveFiles();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

[[noreturn]] inline void Fail(const std::string& what)
{
    std::fprintf(stderr, "\n*** %s: %s ***\n\n", Program, what.c_str());
    RemoveFiles();
    std::abort();
}

/**
 * Makes a new folder volinspect-bench-XXXXXX under $TMPDIR (or /tmp) and names the test
 * file `name` in it (FilePath); the files go when the program is interrupted.
 */
inline void MakeFolder(const char* program, const char* name)
{
    Program = program;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    const char* tmp = std::getenv("TMPDIR");
    const std::string pattern =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/volinspect-bench-XXXXXX";
    if (pattern.size() >= sizeof FolderPath - 32) Fail("the temporary folder name is too long");
    std::strcpy(FolderPath, pattern.c_str());
    if (!::mkdtemp(FolderPath)) {
        FolderPath[0] = 0;
        Fail("cannot make a temporary folder: " + std::string(std::strerror(errno)));
    }
    std::snprintf(FilePath, sizeof FilePath, "%s/%s", FolderPath, name);
}

/** The test file's size in bytes, −1 when it cannot be told. */
inline int64_t FileBytes()
{
    struct stat st
    {
    };
    return ::stat(FilePath, &st) == 0 ? int64_t(st.st_size) : -1;
}

/**
 * The plain load: open the test file, malloc a buffer of its size, fill it with one
 * read() loop, free it. Returns the number of bytes read.
 */
inline size_t ReferenceLoad()
{
    const int fd = ::open(FilePath, O_RDONLY | O_CLOEXEC);
    const int64_t bytes = FileBytes();
    if (fd < 0 || bytes <= 0) {
        if (fd >= 0) ::close(fd);
        return 0;
    }
    const size_t size = size_t(bytes);
    auto* buffer = static_cast<uint8_t*>(std::malloc(size));
    size_t done = 0;
    if (buffer) {
        while (done < size) {
            const ssize_t n = ::read(fd, buffer + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += size_t(n);
        }
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
    std::free(buffer);
    ::close(fd);
    return done;
}

template <class F> double Seconds(F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/**
 * Times `reference` and `project` once each per iteration, in alternating order, so that
 * a busy machine slows both alike; the iteration's time is the project's. Adds their
 * times to the totals.
 */
template <class Reference, class Project>
void TimeAlternately(benchmark::State& state, Reference&& reference, Project&& project,
                     double& referenceTotal, double& projectTotal)
{
    bool referenceFirst = true;
    for (auto _ : state) {
        double referenceTime = 0, projectTime = 0;
        if (referenceFirst) {
            referenceTime = Seconds(reference);
            projectTime = Seconds(project);
        } else {
            projectTime = Seconds(project);
            referenceTime = Seconds(reference);
        }
        referenceFirst = !referenceFirst;
        state.SetIterationTime(projectTime);
        referenceTotal += referenceTime;
        projectTotal += projectTime;
    }
}

/**
 * Peak resident size in MiB of a child that runs `variant` and exits (ru_maxrss through
 * wait4). A child starts with the parent's resident pages, so one that does nothing gives
 * the baseline. Fails the run when the variant returns false.
 */
inline double ChildPeakMiB(const std::function<bool()>& variant)
{
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) Fail("fork failed: " + std::string(std::strerror(errno)));
    if (pid == 0) ::_exit(variant() ? 0 : 1);
    int status = 0;
    struct rusage usage
    {
    };
    while (::wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) Fail("wait4 failed: " + std::string(std::strerror(errno)));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("a measuring child failed");
    return double(usage.ru_maxrss) * 1024.0 / (1024.0 * 1024.0); // ru_maxrss is in KiB
}

} // namespace bench_files
