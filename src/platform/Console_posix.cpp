#include "platform/Console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kt::platform {
namespace {

// Ctrl+C, SIGTERM and SIGHUP (the terminal closed) are the stop requests.
sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// The stop signals and SIGUSR1, which tells a watcher's thread to end.
// Blocked before any other thread starts, they reach no other thread.
sigset_t WatchedSignals()
{
    sigset_t set = StopSignals();
    sigaddset(&set, SIGUSR1);
    return set;
}

// What a terminal is taken to be when it tells no width and $COLUMNS is unset.
constexpr int kDefaultColumns = 80;

int Descriptor(StandardStream stream)
{
    switch (stream) {
    case StandardStream::Input:
        return STDIN_FILENO;
    case StandardStream::Output:
        return STDOUT_FILENO;
    case StandardStream::Error:
        break;
    }
    return STDERR_FILENO;
}

}  // namespace

bool IsTerminal(StandardStream stream)
{
    return ::isatty(Descriptor(stream)) == 1;
}

int TerminalColumns(StandardStream stream)
{
    const int fd = Descriptor(stream);
    if (::isatty(fd) != 1)
        return 0;
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    // A serial line or a pty nobody has sized reports 0 columns.
    if (const char* columns = std::getenv("COLUMNS")) {
        int value = 0;
        const char* end = columns + std::strlen(columns);
        const auto [ptr, error] = std::from_chars(columns, end, value);
        if (error == std::errc() && ptr == end && value > 0)
            return value;
    }
    return kDefaultColumns;
}

void IgnoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void UseUtf8Console()
{
    // Terminals take the bytes as they come; the locale is the user's choice.
}

void BlockStopRequests()
{
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStopRequest()
{
    const sigset_t set = StopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
}

struct StopWatcher::Impl {
    std::function<void()> onStop;
    std::atomic<bool> stopped{false};
    int stopPipe[2] = {-1, -1};  // becomes readable once a stop request came
    std::thread thread;

    void Watch()
    {
        const sigset_t set = WatchedSignals();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0 || signal == SIGUSR1)
                return;
            // onStop first: whoever sees ReadLine end with Stopped also sees
            // what onStop did.
            if (onStop)
                onStop();
            stopped = true;
            if (stopPipe[1] >= 0) {
                const char byte = 1;
                // A full pipe already says the same.
                [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
            }
        }
    }
};

StopWatcher::StopWatcher(std::function<void()> onStop) : impl_(std::make_unique<Impl>())
{
    impl_->onStop = std::move(onStop);
    BlockStopRequests();
    if (::pipe2(impl_->stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        impl_->stopPipe[0] = impl_->stopPipe[1] = -1;  // ReadLine then waits for its line, as a plain read would
    impl_->thread = std::thread([impl = impl_.get()] { impl->Watch(); });
}

StopWatcher::~StopWatcher()
{
    pthread_kill(impl_->thread.native_handle(), SIGUSR1);
    impl_->thread.join();
    for (int fd : impl_->stopPipe)
        if (fd >= 0)
            ::close(fd);
}

StopWatcher::LineResult StopWatcher::ReadLine(std::string& line, std::size_t maxLength)
{
    line.clear();
    for (;;) {
        if (impl_->stopped)
            return LineResult::Stopped;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {impl_->stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return LineResult::Closed;
        }
        if (fds[1].revents != 0 || impl_->stopped)
            return LineResult::Stopped;
        if (fds[0].revents == 0)
            continue;
        char c = 0;
        const auto got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return LineResult::Closed;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return LineResult::Line;
        }
        if (line.size() < maxLength)
            line += c;
    }
}

}  // namespace kt::platform
