#include "platform/Console.h"

#include "platform/Text_win32.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace kt::platform {
namespace {

// Ctrl+C, Ctrl+Break and the console window closing are the stop requests.
// Once the handler is in place, each one is counted here for whoever waits.
HANDLE stopRequests = nullptr;
std::once_flag handlerInstalled;

// A closing console ends the process soon after the handler returns; the
// program gets this long to stop its operation and close the port first.
constexpr DWORD kCloseGraceMs = 4000;

// A typed answer being read is cancelled at this interval until the reader
// notices the stop: the cancel can come just before the read starts.
constexpr auto kCancelRetry = std::chrono::milliseconds(10);
constexpr int kCancelTries = 200;
constexpr auto kStopNoticeWait = std::chrono::milliseconds(100);

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        ::ReleaseSemaphore(stopRequests, 1, nullptr);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        ::ReleaseSemaphore(stopRequests, 1, nullptr);
        ::Sleep(kCloseGraceMs);
        return TRUE;
    default:
        return FALSE;
    }
}

// The width taken when a console tells none, as its input (no screen buffer) does.
constexpr int kDefaultColumns = 80;

HANDLE StandardHandle(StandardStream stream)
{
    switch (stream) {
    case StandardStream::Input:
        return ::GetStdHandle(STD_INPUT_HANDLE);
    case StandardStream::Output:
        return ::GetStdHandle(STD_OUTPUT_HANDLE);
    case StandardStream::Error:
        break;
    }
    return ::GetStdHandle(STD_ERROR_HANDLE);
}

}  // namespace

bool IsTerminal(StandardStream stream)
{
    const HANDLE handle = StandardHandle(stream);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_CHAR &&
           ::GetConsoleMode(handle, &mode) != 0;
}

int TerminalColumns(StandardStream stream)
{
    if (!IsTerminal(stream))
        return 0;
    // The visible window, not the buffer: a buffer wider than its window
    // scrolls sideways, and a line that fills it would be half hidden.
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(StandardHandle(stream), &info) != 0) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0)
            return columns;
    }
    return kDefaultColumns;
}

void IgnoreBrokenPipe()
{
    // Windows raises no signal for a closed pipe: the write fails with
    // ERROR_NO_DATA, and the stream reports the error.
}

void UseUtf8Console()
{
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
}

void BlockStopRequests()
{
    std::call_once(handlerInstalled, [] {
        stopRequests = ::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
        ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    });
}

void WaitForStopRequest()
{
    BlockStopRequests();
    ::WaitForSingleObject(stopRequests, INFINITE);
}

struct StopWatcher::Impl {
    std::function<void()> onStop;
    std::atomic<bool> stopped{false};
    HANDLE quit = nullptr;  // ends the watcher's thread
    std::thread thread;

    std::mutex readerMutex;
    HANDLE reader = nullptr;  // the thread inside ReadLine, if any

    void Watch()
    {
        const HANDLE handles[2] = {quit, stopRequests};
        for (;;) {
            if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
            // onStop first: whoever sees ReadLine end with Stopped also sees
            // what onStop did.
            if (onStop)
                onStop();
            stopped = true;
            CancelReader();
        }
    }

    void CancelReader()
    {
        for (int i = 0; i < kCancelTries; ++i) {
            {
                std::lock_guard lock(readerMutex);
                if (reader == nullptr)
                    return;
                ::CancelSynchronousIo(reader);
            }
            std::this_thread::sleep_for(kCancelRetry);
        }
    }
};

StopWatcher::StopWatcher(std::function<void()> onStop) : impl_(std::make_unique<Impl>())
{
    impl_->onStop = std::move(onStop);
    BlockStopRequests();
    impl_->quit = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl_->thread = std::thread([impl = impl_.get()] { impl->Watch(); });
}

StopWatcher::~StopWatcher()
{
    ::SetEvent(impl_->quit);
    impl_->thread.join();
    ::CloseHandle(impl_->quit);
}

StopWatcher::LineResult StopWatcher::ReadLine(std::string& line, std::size_t maxLength)
{
    line.clear();
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    HANDLE self = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    {
        std::lock_guard lock(impl_->readerMutex);
        impl_->reader = self;
    }
    DWORD mode = 0;
    const bool console = ::GetConsoleMode(input, &mode) != 0;
    LineResult result = LineResult::Closed;
    std::string pending;  // a console's characters, already in UTF-8
    for (;;) {
        if (impl_->stopped) {
            result = LineResult::Stopped;
            break;
        }
        char c = 0;
        if (!pending.empty()) {
            c = pending.front();
            pending.erase(0, 1);
        } else if (console) {
            // The console hands out UTF-16; a byte-wise read would lose Cyrillic.
            wchar_t wide[64];
            DWORD got = 0;
            if (!::ReadConsoleW(input, wide, 64, &got, nullptr) || got == 0) {
                // Ctrl+C ends the read with nothing before the watcher has
                // marked the stop; it is given a moment to do so.
                if (!impl_->stopped)
                    std::this_thread::sleep_for(kStopNoticeWait);
                result = impl_->stopped ? LineResult::Stopped : LineResult::Closed;
                break;
            }
            pending = ToUtf8(std::wstring_view(wide, got));
            continue;
        } else {
            DWORD got = 0;
            if (!::ReadFile(input, &c, 1, &got, nullptr) || got == 0) {
                result = impl_->stopped ? LineResult::Stopped : LineResult::Closed;
                break;
            }
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            result = LineResult::Line;
            break;
        }
        if (line.size() < maxLength)
            line += c;
    }
    {
        std::lock_guard lock(impl_->readerMutex);
        impl_->reader = nullptr;
    }
    if (self != nullptr)
        ::CloseHandle(self);
    return result;
}

}  // namespace kt::platform
