#include "platform/RecordFile.h"

#include "platform/Text_win32.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kt::platform {
namespace {

using namespace std::chrono_literals;

// An append takes one write and a flush; a program holding the lock longer
// than this has hung (a dead network share), and the operation's record is
// better reported lost than the program left waiting with it.
constexpr auto kLockWait = 10s;
constexpr auto kLockPoll = 5ms;

// Windows byte-range locks are mandatory: a locked range cannot be read
// through any other handle. The appenders lock one byte far beyond any record
// file's end instead, which only they ask for, so a reader of the lines never
// fails on the lock.
constexpr std::uint64_t kLockOffset = std::uint64_t{1} << 62;

// The tail of the file is read backwards in pieces of this size to find the
// end of its last whole line.
constexpr std::uint64_t kTailChunk = 4096;

std::string Reason(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", length);
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    if (message.empty())
        return "error " + std::to_string(error);
    return ToUtf8(message);
}

class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~Handle()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

OVERLAPPED At(std::uint64_t offset)
{
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// Opens the file to read its tail and append, making it when missing; other
// programs may read, write and even delete it meanwhile, as they may on Linux.
HANDLE OpenRecordFile(const std::string& path, std::string& error)
{
    if (path.empty()) {
        error = "no file name for the record";
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring wide = ToWide(path);
    // CreateFileW refuses a folder as "access denied", which would send the
    // user looking at permissions.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "the record file " + path + " is a folder";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot open the record file " + path + ": " + Reason(GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        error = "the record file " + path + " is not a regular file";
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Holds the appenders' lock on the open file.
class FileLock {
public:
    explicit FileLock(HANDLE file) : file_(file) {}
    ~FileLock()
    {
        if (held_) {
            OVERLAPPED position = At(kLockOffset);
            UnlockFileEx(file_, 0, 1, 0, &position);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False with the last error set when the lock was not had within kLockWait.
    bool Take()
    {
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        for (;;) {
            OVERLAPPED position = At(kLockOffset);
            if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &position)) {
                held_ = true;
                return true;
            }
            if (GetLastError() != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(kLockPoll);
        }
    }

private:
    HANDLE file_;
    bool held_ = false;
};

// The file's length without a last line that lacks its "\n"; false on a read error.
bool WholeLinesLength(HANDLE file, std::uint64_t size, std::uint64_t& whole)
{
    char buffer[kTailChunk];
    std::uint64_t end = size;
    while (end > 0) {
        const std::uint64_t start = end > kTailChunk ? end - kTailChunk : 0;
        const auto length = static_cast<DWORD>(end - start);
        OVERLAPPED position = At(start);
        DWORD got = 0;
        if (!ReadFile(file, buffer, length, &got, &position) || got != length)
            return false;
        for (DWORD i = length; i-- > 0;) {
            if (buffer[i] == '\n') {
                whole = start + i + 1;
                return true;
            }
        }
        end = start;
    }
    whole = 0;
    return true;
}

bool Truncate(HANDLE file, std::uint64_t length)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// Threads of this program take this before the file's lock, so they queue
// here rather than poll the lock and run out of kLockWait behind each other.
std::mutex appendMutex;

}  // namespace

bool CheckAppendable(const std::string& path, std::string& error)
{
    const Handle file(OpenRecordFile(path, error));
    return file.Get() != INVALID_HANDLE_VALUE;
}

bool AppendWholeLine(const std::string& path, std::string_view line, std::string& error)
{
    if (line.find('\n') != std::string_view::npos) {
        error = "a record line holds a line end";
        return false;
    }
    const std::lock_guard<std::mutex> serialised(appendMutex);
    const Handle file(OpenRecordFile(path, error));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return false;
    FileLock lock(file.Get());
    if (!lock.Take()) {
        const DWORD failure = GetLastError();
        error = failure == ERROR_LOCK_VIOLATION ? "the record file " + path + " stays locked by another program"
                                                : "cannot lock the record file " + path + ": " + Reason(failure);
        return false;
    }
    LARGE_INTEGER size{};
    std::uint64_t whole = 0;
    if (!GetFileSizeEx(file.Get(), &size) ||
        !WholeLinesLength(file.Get(), static_cast<std::uint64_t>(size.QuadPart), whole)) {
        error = "cannot read the record file " + path + ": " + Reason(GetLastError());
        return false;
    }
    if (whole != static_cast<std::uint64_t>(size.QuadPart) && !Truncate(file.Get(), whole)) {
        error = "cannot cut the broken last line of the record file " + path + ": " + Reason(GetLastError());
        return false;
    }
    std::string bytes(line);
    bytes += '\n';
    // A write cut short (the disk full) or not known to be on the disk is
    // taken back, so the file never ends in a broken line of ours.
    OVERLAPPED position = At(whole);
    DWORD put = 0;
    DWORD failure = ERROR_SUCCESS;
    if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, &position))
        failure = GetLastError();
    else if (put != bytes.size())
        failure = ERROR_DISK_FULL;
    else if (!FlushFileBuffers(file.Get()))
        failure = GetLastError();
    if (failure != ERROR_SUCCESS) {
        error = "cannot write the record file " + path + ": " + Reason(failure);
        if (Truncate(file.Get(), whole))
            FlushFileBuffers(file.Get());
        return false;
    }
    return true;
}

std::string HostName()
{
    DWORD length = 0;
    GetComputerNameExW(ComputerNameDnsHostname, nullptr, &length);
    if (length == 0)
        return {};
    std::wstring name(length, L'\0');
    if (!GetComputerNameExW(ComputerNameDnsHostname, name.data(), &length))
        return {};
    name.resize(length);
    return ToUtf8(name);
}

}  // namespace kt::platform
