#include "FileIo.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileIo {

namespace {

// One read() or write() moves at most this much; Linux caps a call just below 2 GiB.
constexpr size_t MaxChunk = size_t(1) << 30;

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why an existing target of this type is not replaced, or null for a regular file.
// Renaming over a FIFO, a device or a socket would swap the node for a plain file.
const char* RefusalFor(mode_t mode)
{
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "it is a folder";
    if (S_ISFIFO(mode)) return "it is a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
    if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
    return "it is not a regular file";
}

// A write beyond the file size limit (RLIMIT_FSIZE) raises SIGXFSZ, whose default action
// ends the process and leaves the temporary file behind. Ignored, the signal turns into
// an EFBIG write error that the writer reports and cleans up after. The disposition is
// process-wide and inherited across exec; it is changed only while it is the default, so
// a handler the program installed stays. sigaction is thread-safe, and two writers that
// both find the default both set SIG_IGN, so no lock is needed.
void IgnoreFileSizeSignal()
{
    struct sigaction current = {};
    if (::sigaction(SIGXFSZ, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

} // namespace

std::string ErrorText(int error)
{
    return std::strerror(error);
}

File::~File()
{
    Close();
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)),
      errno_(std::exchange(other.errno_, 0))
{
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        size_ = std::exchange(other.size_, 0);
        errno_ = std::exchange(other.errno_, 0);
    }
    return *this;
}

void File::Close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
    errno_ = 0;
}

bool File::OpenRegular(const std::string& name, std::string& message)
{
    Close();
    if (name.empty()) {
        message = "no file name given";
        return false;
    }
    // Only a regular file is opened: opening a FIFO for reading would hand it to a
    // waiting writer, and a device may do anything on open.
    struct stat before
    {
    };
    if (::stat(name.c_str(), &before) != 0) {
        message = ErrorText(errno);
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        message =
            S_ISDIR(before.st_mode) ? "it is a folder, not a file" : "it is not a regular file";
        return false;
    }
    // O_NONBLOCK keeps open() from waiting should the name become a FIFO meanwhile.
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        message = ErrorText(errno);
        return false;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        message = S_ISDIR(st.st_mode) ? "it is a folder, not a file" : "it is not a regular file";
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    size_ = st.st_size;
    errno_ = 0;
    return true;
}

size_t File::ReadFully(void* buffer, size_t count)
{
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, out + done, std::min(count - done, MaxChunk));
        if (n < 0) {
            if (errno == EINTR) continue;
            errno_ = errno;
            break;
        }
        if (n == 0) break;
        done += size_t(n);
    }
    return done;
}

std::string File::DescriptorName() const
{
    return fd_ >= 0 ? "/proc/self/fd/" + std::to_string(fd_) : std::string();
}

std::string File::Error() const
{
    return ErrorText(errno_);
}

AtomicWriter::~AtomicWriter()
{
    Discard();
}

void AtomicWriter::Discard()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool AtomicWriter::Begin(const std::string& target, std::string& message)
{
    Discard();
    if (target.empty()) {
        message = "no file name given";
        return false;
    }
    IgnoreFileSizeSignal();
    target_ = target;
    // Writing through a symbolic link replaces the file it points to, not the link.
    struct stat st
    {
    };
    bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && ::lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = ::realpath(target.c_str(), nullptr)) {
            target_ = resolved;
            std::free(resolved);
        }
        exists = ::stat(target_.c_str(), &st) == 0;
    }
    // Only a regular file is replaced. A dangling link has nothing to check: the link
    // itself is replaced by the new file.
    if (const char* refusal = exists ? RefusalFor(st.st_mode) : nullptr) {
        message = refusal;
        return false;
    }

    std::string name = target_ + ".tmp-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        message = error == ENOENT ? "the folder " + FolderOf(target_) + " does not exist"
                                  : ErrorText(error);
        return false;
    }
    fd_ = fd;
    temp_ = name;

    // The new file gets the permissions an ordinary create or truncate would give it.
    mode_t mode = 0;
    if (exists && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd_, mode);
    return true;
}

bool AtomicWriter::Write(const void* data, size_t count, std::string& message)
{
    const auto* in = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, std::min(count - done, MaxChunk));
        if (n < 0) {
            if (errno == EINTR) continue;
            message = "cannot write: " + ErrorText(errno);
            Discard();
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool AtomicWriter::Commit(std::string& message)
{
    if (::fsync(fd_) != 0) {
        message = "cannot flush: " + ErrorText(errno);
        Discard();
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        message = "cannot close: " + ErrorText(errno);
        Discard();
        return false;
    }
    // The target may have changed while the data was written.
    struct stat st = {};
    if (const char* refusal =
            ::stat(target_.c_str(), &st) == 0 ? RefusalFor(st.st_mode) : nullptr) {
        message = refusal;
        Discard();
        return false;
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        message = ErrorText(errno);
        Discard();
        return false;
    }
    temp_.clear();
    return true;
}

} // namespace FileIo
