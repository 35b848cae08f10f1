#include "MappedFile.h"

#include "ByteVolume.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

/** The read under way on this thread, while a Copy runs. */
struct GuardedRead
{
    sigjmp_buf jump;
    const uint8_t* begin;
    const uint8_t* end;
};

thread_local GuardedRead* activeRead = nullptr;
struct sigaction previousBus;

/**
 * A SIGBUS raised by a guarded read leaves the read; any other goes to the handler that
 * was there before, or ends the program as it would have.
 */
void OnBus(int signal, siginfo_t* info, void* context)
{
    GuardedRead* read = activeRead;
    const auto* address = static_cast<const uint8_t*>(info->si_addr);
    if (read && address >= read->begin && address < read->end) siglongjmp(read->jump, 1);
    if (previousBus.sa_flags & SA_SIGINFO) {
        if (previousBus.sa_sigaction) return previousBus.sa_sigaction(signal, info, context);
    } else if (previousBus.sa_handler != SIG_DFL && previousBus.sa_handler != SIG_IGN) {
        return previousBus.sa_handler(signal);
    }
    // Returning runs the faulting instruction again, now under the default action.
    struct sigaction fallback
    {
    };
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &fallback, nullptr);
}

void InstallBusHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action
        {
        };
        action.sa_sigaction = OnBus;
        sigemptyset(&action.sa_mask);
        // SA_NODEFER: leaving the handler by a jump must not leave SIGBUS blocked, and
        // sigsetjmp need then not save the signal mask (a system call) on every read.
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigaction(SIGBUS, &action, &previousBus);
    });
}

/** The copy itself, kept apart so that nothing with a destructor lives across the jump. */
bool CopyGuarded(const uint8_t* from, size_t elementBytes, size_t count, int64_t stride,
                 uint8_t* out)
{
    GuardedRead read;
    read.begin = from;
    read.end = from + (count ? int64_t(count - 1) * stride + int64_t(elementBytes) : 0);
    if (sigsetjmp(read.jump, 0) != 0) {
        activeRead = nullptr;
        return false;
    }
    activeRead = &read;
    if (stride == int64_t(elementBytes)) {
        std::memcpy(out, from, elementBytes * count);
    } else if (elementBytes == 1) {
        for (size_t j = 0; j < count; ++j)
            out[j] = from[int64_t(j) * stride];
    } else if (elementBytes == 2) {
        for (size_t j = 0; j < count; ++j)
            std::memcpy(out + 2 * j, from + int64_t(j) * stride, 2);
    } else if (elementBytes == 4) {
        for (size_t j = 0; j < count; ++j)
            std::memcpy(out + 4 * j, from + int64_t(j) * stride, 4);
    } else {
        for (size_t j = 0; j < count; ++j)
            std::memcpy(out + elementBytes * j, from + int64_t(j) * stride, elementBytes);
    }
    activeRead = nullptr;
    return true;
}

int64_t PageSize()
{
    static const int64_t size = sysconf(_SC_PAGESIZE);
    return size;
}

} // namespace

std::shared_ptr<MappedFile> MappedFile::Map(int descriptor, int64_t size, std::string& error)
{
    InstallBusHandler();
    std::shared_ptr<MappedFile> file(new MappedFile);
    file->size_ = size;
    file->descriptor_ = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (file->descriptor_ < 0) {
        error = std::string("cannot keep the file open: ") + std::strerror(errno);
        return nullptr;
    }
    return file;
}

const uint8_t* MappedFile::Mapping(std::string& error) const
{
    // Mapped on first use: readers of whole planes never need it, and a small file read
    // once is spared mapping and unmapping it.
    std::call_once(mapOnce_, [this] {
        if (size_ == 0) return;
        void* data = mmap(nullptr, size_t(size_), PROT_READ, MAP_SHARED, descriptor_, 0);
        if (data == MAP_FAILED)
            mapError_ = std::string("cannot map the file: ") + std::strerror(errno);
        else
            data_.store(static_cast<const uint8_t*>(data), std::memory_order_release);
    });
    const uint8_t* data = data_.load(std::memory_order_acquire);
    if (!data) error = mapError_;
    return data;
}

MappedFile::~MappedFile()
{
    if (const uint8_t* data = data_.load()) munmap(const_cast<uint8_t*>(data), size_t(size_));
    if (descriptor_ >= 0) close(descriptor_);
}

bool MappedFile::Failed() const
{
    return failed_.load(std::memory_order_acquire);
}

bool MappedFile::Copy(int64_t offset, size_t elementBytes, size_t count, int64_t stride, void* out,
                      std::string& error) const
{
    if (Failed()) {
        error = GiveUp();
        return false;
    }
    const uint8_t* data = Mapping(error);
    if (!data) return false;
    if (CopyGuarded(data + offset, elementBytes, count, stride, static_cast<uint8_t*>(out)))
        return true;
    error = GiveUp();
    return false;
}

bool MappedFile::Read(int64_t offset, size_t bytes, void* out, std::string& error) const
{
    auto* to = static_cast<uint8_t*>(out);
    while (bytes > 0 && !Failed()) {
        const ssize_t got = pread(descriptor_, to, bytes, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::string("cannot read the file: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) break; // the file ends before its size when opened
        to += got;
        offset += got;
        bytes -= size_t(got);
    }
    if (bytes == 0) return true;
    error = GiveUp();
    return false;
}

const std::string& MappedFile::GiveUp() const
{
    const std::lock_guard lock(mutex_);
    if (!failed_.load()) {
        reason_ = "the file became shorter while it was read (it held " + std::to_string(size_) +
                  " bytes when opened); it is no longer read";
        failed_.store(true, std::memory_order_release);
    }
    return reason_;
}

bool MappedFile::Hole(int64_t offset, int64_t bytes) const
{
    if (offset >= size_) return true;
    const off_t data = lseek(descriptor_, off_t(offset), SEEK_DATA);
    if (data < 0) return errno == ENXIO; // no data from offset to the end
    return data >= offset + bytes;
}

void MappedFile::Advise(int64_t offset, int64_t bytes, Access access) const
{
    if (Failed()) return;
    const int64_t page = PageSize();
    const int64_t begin = std::max<int64_t>(offset, 0) / page * page;
    const int64_t end = std::min(size_, offset + bytes);
    if (end <= begin) return;
    // For the system's reads of the file, and for the mapping once there is one.
    posix_fadvise(descriptor_, off_t(begin), off_t(end - begin),
                  access == Access::Sequential ? POSIX_FADV_SEQUENTIAL
                  : access == Access::Random   ? POSIX_FADV_RANDOM
                                               : POSIX_FADV_WILLNEED);
    if (const uint8_t* data = data_.load(std::memory_order_acquire))
        madvise(const_cast<uint8_t*>(data) + begin, size_t(end - begin),
                access == Access::Sequential ? MADV_SEQUENTIAL
                : access == Access::Random   ? MADV_RANDOM
                                             : MADV_WILLNEED);
}

void MappedFile::Drop(int64_t offset, int64_t bytes) const
{
    const uint8_t* data = data_.load(std::memory_order_acquire);
    if (!data) return;
    const int64_t page = PageSize();
    const int64_t begin = (std::max<int64_t>(offset, 0) + page - 1) / page * page;
    const int64_t end = std::min(size_, offset + bytes) / page * page;
    if (end > begin)
        madvise(const_cast<uint8_t*>(data) + begin, size_t(end - begin), MADV_DONTNEED);
}

namespace {

std::atomic<int64_t> budgetOverride{0};

} // namespace

void SetMemoryBudget(int64_t bytes)
{
    budgetOverride.store(bytes, std::memory_order_relaxed);
}

int64_t MemoryBudget()
{
    if (const int64_t set = budgetOverride.load(std::memory_order_relaxed); set > 0) return set;
    static const int64_t budget = [] {
        if (const char* text = std::getenv("VOLINSPECT_MEMORY_LIMIT"); text && *text) {
            char* end = nullptr;
            errno = 0;
            const unsigned long long value = std::strtoull(text, &end, 10);
            int shift = 0;
            if (*end == 'K' || *end == 'k')
                shift = 10, ++end;
            else if (*end == 'M' || *end == 'm')
                shift = 20, ++end;
            else if (*end == 'G' || *end == 'g')
                shift = 30, ++end;
            if (errno == 0 && end != text && *end == '\0' && value > 0 &&
                value <= (~0ull >> 2) >> shift)
                return int64_t(value << shift);
        }
        return MachineMemory();
    }();
    return budget;
}

int64_t MachineMemory()
{
    static const int64_t memory = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || pageSize <= 0) return int64_t(1) << 32;
        return int64_t(pages) * pageSize;
    }();
    return memory;
}

bool FitsInMemory(int64_t bytes)
{
    return bytes >= 0 && bytes <= ByteVolume::MaxVoxelCount();
}
