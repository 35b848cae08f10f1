#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

/**
 * A file mapped read-only into memory, whole (on first use), and read with the system's
 * read where that costs less. No Qt, no formats.
 *
 * A mapped file that another process truncates raises SIGBUS on the first read past
 * its new end. Its pages are therefore read only through Copy, which turns that
 * signal into a failure: after the first one the mapping is no longer read at all,
 * and every later Copy fails with the same reason. Nothing else may dereference Data.
 *
 * Mapped pages that were read count in the process's resident set until they are
 * dropped again: a reader that streams through a large file calls Drop behind itself.
 */
class MappedFile
{
public:
    /**
     * Keeps the open file `descriptor` (a duplicate of it: the caller may close its own)
     * of `size` bytes, to map it on its first Copy. Returns null with the reason in
     * `error` when the system refuses.
     */
    static std::shared_ptr<MappedFile> Map(int descriptor, int64_t size, std::string& error);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    /** The file's size when it was opened. */
    int64_t Size() const { return size_; }

    /**
     * Copies `count` elements of `elementBytes` bytes each, found `stride` bytes apart
     * from byte `offset` of the file on, into `out` one after another. The elements must
     * lie within Size(). Returns false, with the reason in `error`, when the file no
     * longer holds them (it was truncated); the mapping is then given up. Any thread.
     */
    bool Copy(int64_t offset, size_t elementBytes, size_t count, int64_t stride, void* out,
              std::string& error) const;
    /** Copy of `bytes` contiguous bytes. */
    bool Copy(int64_t offset, size_t bytes, void* out, std::string& error) const
    {
        return Copy(offset, bytes, 1, int64_t(bytes), out, error);
    }

    /**
     * Reads `bytes` bytes from byte `offset` of the file on into `out` with the system's
     * read, not through the mapping: for whole planes read once, in order, where a copy
     * straight from the system's cache costs less than mapping the pages first, and
     * leaves nothing resident behind. A file found shorter fails this as Copy does.
     */
    bool Read(int64_t offset, size_t bytes, void* out, std::string& error) const;

    /**
     * True when the file holds no data in [offset, offset + bytes): a hole of a sparse
     * file, or past its end, which read as zeros. Asks the file system (SEEK_DATA); false
     * when it cannot tell.
     */
    bool Hole(int64_t offset, int64_t bytes) const;

    /** How the bytes from `offset` on will be read: the kernel reads ahead to suit. */
    enum class Access
    {
        Sequential, ///< in order, soon: read ahead far
        Random,     ///< a little here and there: no read-ahead
        WillNeed    ///< soon: start reading now
    };
    void Advise(int64_t offset, int64_t bytes, Access access) const;
    /**
     * Drops the whole pages within [offset, offset + bytes) from the process's resident
     * set; the file's pages stay in the system's cache, and are read again on demand.
     */
    void Drop(int64_t offset, int64_t bytes) const;

    /** True once a read found the file truncated. */
    bool Failed() const;

private:
    MappedFile() = default;

    /** Gives the mapping up, the file being shorter than it was; returns the reason. */
    const std::string& GiveUp() const;

    /** The mapping, made on first use; null with the reason in `error` when refused. */
    const uint8_t* Mapping(std::string& error) const;

    mutable std::once_flag mapOnce_;
    mutable std::atomic<const uint8_t*> data_{nullptr};
    mutable std::string mapError_;
    int descriptor_ = -1; ///< the file, for Read
    int64_t size_ = 0;
    mutable std::atomic<bool> failed_{false};
    mutable std::mutex mutex_;
    mutable std::string reason_; ///< why the mapping was given up, under mutex_
};

/**
 * The memory the program may fill with the samples it holds, in bytes: the
 * VOLINSPECT_MEMORY_LIMIT variable of the environment when it is set (a number of
 * bytes, or of KiB, MiB or GiB with the suffix K, M or G), else the machine's physical
 * memory. A volume that does not fit comfortably in it (FitsInMemory) is read from its
 * file plane by plane instead of loaded.
 */
int64_t MemoryBudget();

/** The machine's physical memory in bytes: more than any allocation can hold. */
int64_t MachineMemory();

/**
 * Makes MemoryBudget() give `bytes` from now on, or what the environment and the machine
 * give again for 0: for tests that compare a volume loaded whole with the same volume
 * read as one larger than memory, in one process.
 */
void SetMemoryBudget(int64_t bytes);

/** True when `bytes` fit comfortably in MemoryBudget(): at most three quarters of it. */
bool FitsInMemory(int64_t bytes);
