#include "platform/RecordFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

namespace kt::platform {
namespace {

using namespace std::chrono_literals;

// An append takes one write and an fsync; a program holding the lock longer
// than this has hung (a dead network share), and the operation's record is
// better reported lost than the program left waiting with it.
constexpr auto kLockWait = 10s;
constexpr auto kLockPoll = 5ms;

// The tail of the file is read backwards in pieces of this size to find the
// end of its last whole line.
constexpr off_t kTailChunk = 4096;

std::string Reason(int error)
{
    return std::generic_category().message(error);
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd_; }

private:
    int fd_;
};

// The folder's entry of a file just made reaches the disk with the folder's
// own fsync; without it a power loss could take the file with its lines.
void SyncFolderOf(const std::string& path)
{
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
}

// Opens the file to read its tail and append, making it when missing.
// O_NONBLOCK keeps a named pipe without a reader from blocking the open; such
// a file is refused right after.
int OpenRecordFile(const std::string& path, std::string& error)
{
    if (path.empty()) {
        error = "no file name for the record";
        return -1;
    }
    constexpr int kFlags = O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC;
    bool made = true;
    int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = ::open(path.c_str(), kFlags);
    }
    if (fd < 0) {
        const int failure = errno;
        error = "cannot open the record file " + path + ": " + Reason(failure);
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        error = "the record file " + path + " is not a regular file";
        return -1;
    }
    if (made)
        SyncFolderOf(path);
    return fd;
}

// Holds the file's lock: flock() on the open file, which every appender takes.
class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd) {}
    ~FileLock()
    {
        if (held_)
            ::flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False with errno set when the lock was not had within kLockWait.
    bool Take()
    {
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return false;
            if (std::chrono::steady_clock::now() >= deadline) {
                errno = EWOULDBLOCK;
                return false;
            }
            std::this_thread::sleep_for(kLockPoll);
        }
        held_ = true;
        return true;
    }

private:
    int fd_;
    bool held_ = false;
};

// The file's length without a last line that lacks its "\n"; -1 on a read error.
off_t WholeLinesLength(int fd, off_t size)
{
    char buffer[kTailChunk];
    off_t end = size;
    while (end > 0) {
        const off_t start = end > kTailChunk ? end - kTailChunk : 0;
        const auto length = static_cast<std::size_t>(end - start);
        ssize_t got;
        while ((got = ::pread(fd, buffer, length, start)) < 0 && errno == EINTR) {
        }
        if (got != static_cast<ssize_t>(length))
            return -1;
        for (std::size_t i = length; i-- > 0;) {
            if (buffer[i] == '\n')
                return start + static_cast<off_t>(i) + 1;
        }
        end = start;
    }
    return 0;
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// Threads of this program take this before the file's lock: flock() alone
// would serialise them too (each opens the file anew), but not on every file
// system (NFS emulates it with record locks that belong to the process).
std::mutex appendMutex;

}  // namespace

bool CheckAppendable(const std::string& path, std::string& error)
{
    const Descriptor file(OpenRecordFile(path, error));
    return file.Get() >= 0;
}

bool AppendWholeLine(const std::string& path, std::string_view line, std::string& error)
{
    if (line.find('\n') != std::string_view::npos) {
        error = "a record line holds a line end";
        return false;
    }
    const std::lock_guard<std::mutex> serialised(appendMutex);
    const Descriptor file(OpenRecordFile(path, error));
    if (file.Get() < 0)
        return false;
    const int fd = file.Get();
    FileLock lock(fd);
    if (!lock.Take()) {
        const int failure = errno;
        error = failure == EWOULDBLOCK ? "the record file " + path + " stays locked by another program"
                                       : "cannot lock the record file " + path + ": " + Reason(failure);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int failure = errno;
        error = "cannot read the record file " + path + ": " + Reason(failure);
        return false;
    }
    const off_t whole = WholeLinesLength(fd, status.st_size);
    if (whole < 0) {
        error = "cannot read the record file " + path;
        return false;
    }
    if (whole != status.st_size && ::ftruncate(fd, whole) != 0) {
        const int failure = errno;
        error = "cannot cut the broken last line of the record file " + path + ": " + Reason(failure);
        return false;
    }
    std::string bytes(line);
    bytes += '\n';
    // A write cut short (the disk full) or not known to be on the disk is
    // taken back, so the file never ends in a broken line of ours.
    const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    if (!written) {
        const int failure = errno;
        error = "cannot write the record file " + path + ": " + Reason(failure);
        if (::ftruncate(fd, whole) == 0)
            ::fsync(fd);
        return false;
    }
    return true;
}

std::string HostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

}  // namespace kt::platform
