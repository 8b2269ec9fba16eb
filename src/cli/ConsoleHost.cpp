#include "cli/ConsoleHost.h"

#include "device/Protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace kt::cli {
namespace {

// Ctrl+C, SIGTERM and SIGHUP (the terminal closed) go to one thread that
// waits for them; SIGUSR1 tells that thread to end. Blocked before any other
// thread starts, they reach no other thread.
sigset_t WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

std::atomic<bool> logOutputFailed{false};

// A typed answer longer than this is no yes.
constexpr std::size_t kMaxAnswer = 64;

}  // namespace

void ConsoleHost::BlockStopSignals()
{
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ConsoleHost::ConsoleHost(std::vector<std::string> ports) : ports_(std::move(ports))
{
    BlockStopSignals();
    if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        stopPipe_[0] = stopPipe_[1] = -1;  // the question then waits for its line, as a plain read would
    signalThread_ = std::thread([this] { WatchSignals(); });
}

ConsoleHost::~ConsoleHost()
{
    pthread_kill(signalThread_.native_handle(), SIGUSR1);
    signalThread_.join();
    for (int fd : stopPipe_)
        if (fd >= 0)
            ::close(fd);
}

void ConsoleHost::WatchSignals()
{
    const sigset_t set = WatchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0 || signal == SIGUSR1)
            return;
        interrupted_ = true;
        if (stopPipe_[1] >= 0) {
            const char byte = 1;
            // A full pipe already says the same.
            [[maybe_unused]] const auto written = ::write(stopPipe_[1], &byte, 1);
        }
        loop_.Wake();
    }
}

void ConsoleHost::DeliverInterrupt()
{
    if (interrupted_ && onInterrupt_)
        onInterrupt_();
}

ModalResult ConsoleHost::AskOnTerminal()
{
    std::fputs("[y/N] ", stderr);
    std::fflush(stderr);
    std::string answer;
    for (;;) {
        if (interrupted_)
            break;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return ModalResult::No;
        }
        if (fds[1].revents != 0 || interrupted_)
            break;
        if (fds[0].revents == 0)
            continue;
        char c = 0;
        const auto got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return ModalResult::No;  // no terminal any more: no confirmation
        if (c == '\n') {
            if (!answer.empty() && answer.back() == '\r')
                answer.pop_back();
            return (answer == "y" || answer == "Y" || answer == "yes" || answer == "да" || answer == "Да")
                       ? ModalResult::Yes
                       : ModalResult::No;
        }
        if (answer.size() <= kMaxAnswer)
            answer += c;
    }
    std::fputs("\n", stderr);
    std::fflush(stderr);
    return ModalResult::Cancel;
}

void PrintLogLine(std::string_view line)
{
    // One log line is one output line, whatever a device put into its reply.
    std::string text;
    text.reserve(line.size());
    for (char c : line) {
        if (c == '\r')
            text += "\u240D";
        else if (c == '\n')
            text += "\u240A";
        else
            text += c;
    }
    text += '\n';
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (std::fflush(stdout) != 0 || !written) {
        logOutputFailed = true;
        std::clearerr(stdout);
    }
}

bool LogOutputFailed()
{
    return logOutputFailed.load();
}

void PrintDialogText(std::string_view message)
{
    std::string text(message);
    for (auto& c : text)
        if (c == '\r')
            c = '\n';
    text += '\n';
    // A closed standard error loses the dialog text, never the update.
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    std::clearerr(stderr);
}

void ConsoleHost::AddLog(std::string_view line)
{
    ClearProgress();
    PrintLogLine(line);
}

void ConsoleHost::ShowProgressOnTerminal()
{
    progress_.OnChange([this](const ProgressBar& bar) { DrawProgress(bar); });
}

void ConsoleHost::DrawProgress(const ProgressBar& bar)
{
    const int span = bar.Max() - bar.Min();
    if (bar.Position() == bar.Min() || span <= 0) {
        ClearProgress();
        return;
    }
    const int percent = static_cast<int>(100LL * (bar.Position() - bar.Min()) / span);
    if (percent == lastPercent_ && progressDrawn_)
        return;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::string line = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " + std::to_string(percent) + "%";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    progressDrawn_ = true;
    lastPercent_ = percent;
}

void ConsoleHost::ClearProgress()
{
    if (!progressDrawn_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressDrawn_ = false;
    lastPercent_ = -1;
}

ModalResult ConsoleHost::ShowDialog(std::string_view message, DialogKind, DialogButtons buttons)
{
    PrintDialogText(message);
    if (buttons == DialogButtons::Ok)
        return ModalResult::Ok;
    return confirm_ ? confirm_() : ModalResult::No;
}

void ConsoleHost::ProcessEvents(Clock::time_point deadline)
{
    loop_.ProcessEvents(deadline);
    DeliverInterrupt();
}

void ConsoleHost::Pause(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
    DeliverInterrupt();
}

bool ConsoleHost::ToolButtonEnabled(ToolButton button) const
{
    return buttons_[static_cast<std::size_t>(button)];
}

void ConsoleHost::SetToolButtonEnabled(ToolButton button, bool enabled)
{
    buttons_[static_cast<std::size_t>(button)] = enabled;
}

std::tm ConsoleHost::LocalTime()
{
    return kt::ReadLocalClock();
}

}  // namespace kt::cli
