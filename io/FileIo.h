#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/** Small POSIX file helpers for the volume files: safe opening and atomic replacement. */
namespace FileIo {

/** A file open for reading; closed when it goes out of scope. */
class File
{
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    /** Takes over the open file of `other`, which is left closed. */
    File(File&& other) noexcept;
    /** Closes this file, then takes over the open file of `other`, which is left closed. */
    File& operator=(File&& other) noexcept;

    /**
     * Opens `name` for reading if it is a regular file. FIFOs, devices and folders are
     * refused without blocking on them, also when the name is replaced by one between
     * the look and the open: what is opened is checked. Any file open before is
     * closed first. Returns false with the reason otherwise.
     */
    bool OpenRegular(const std::string& name, std::string& message);

    /** Closes the file, if one is open. OpenRegular and the destructor close it too. */
    void Close();

    /** The file's length in bytes when it was opened. */
    int64_t Size() const { return size_; }

    /** True while a file is open. */
    bool IsOpen() const { return fd_ >= 0; }

    /**
     * The open file's descriptor, for readers that go through one at their own offsets
     * (pread); -1 when no file is open. The descriptor stays this file's.
     */
    int Descriptor() const { return fd_; }

    /**
     * A name under which the open file itself can be opened again, "/proc/self/fd/N",
     * for libraries that take names only: whatever becomes of the name the file was
     * opened by, this one leads to the same file. Empty when no file is open.
     */
    std::string DescriptorName() const;

    /**
     * Reads up to `count` bytes, retrying short reads until the end of the file.
     * Returns the number of bytes read; Failed() tells whether a read error stopped it.
     */
    size_t ReadFully(void* buffer, size_t count);

    bool Failed() const { return errno_ != 0; }
    std::string Error() const;

private:
    int fd_ = -1;
    int64_t size_ = 0;
    int errno_ = 0;
};

/**
 * A file opened by name and its first bytes, read already: the file's offset lies
 * after them. Whoever takes it reads on from there instead of opening the name again.
 */
struct OpenedFile
{
    std::string Name; ///< the name the file was opened by
    File Handle;      ///< open, unless opening failed
    std::string Head; ///< the bytes read from the start of the file
};

/**
 * Writes a file under a temporary name in the target's folder and renames it over the
 * target only after a complete, flushed write. Until Commit succeeds the target is
 * never touched; a writer that is not committed removes its temporary file.
 *
 * Only a regular file is replaced (through symbolic links): Begin and Commit refuse a
 * target that is a folder, a FIFO, a device or a socket.
 *
 * Begin sets SIGXFSZ to ignored, process-wide, while its action is the default (which
 * would end the process): a write beyond the file size limit then fails with EFBIG
 * and the temporary file is removed.
 */
class AtomicWriter
{
public:
    AtomicWriter() = default;
    ~AtomicWriter();
    AtomicWriter(const AtomicWriter&) = delete;
    AtomicWriter& operator=(const AtomicWriter&) = delete;

    bool Begin(const std::string& target, std::string& message);
    bool Write(const void* data, size_t count, std::string& message);
    bool Commit(std::string& message);

private:
    void Discard();

    int fd_ = -1;
    std::string target_;
    std::string temp_;
};

/** The text of an errno value. */
std::string ErrorText(int error);

} // namespace FileIo
