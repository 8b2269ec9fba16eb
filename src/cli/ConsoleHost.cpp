#include "cli/ConsoleHost.h"

#include "device/Protocol.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <pthread.h>

namespace kt::cli {
namespace {

// Ctrl+C and SIGTERM go to one thread that waits for them; SIGUSR1 tells that
// thread to end. Blocked before any other thread starts, they reach no other thread.
sigset_t WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

void ConsoleHost::BlockStopSignals()
{
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ConsoleHost::ConsoleHost(std::vector<std::string> ports) : ports_(std::move(ports))
{
    BlockStopSignals();
    signalThread_ = std::thread([this] { WatchSignals(); });
}

ConsoleHost::~ConsoleHost()
{
    pthread_kill(signalThread_.native_handle(), SIGUSR1);
    signalThread_.join();
}

void ConsoleHost::WatchSignals()
{
    const sigset_t set = WatchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0 || signal == SIGUSR1)
            return;
        interrupted_ = true;
        loop_.Wake();
    }
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
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void PrintDialogText(std::string_view message)
{
    std::string text(message);
    for (auto& c : text)
        if (c == '\r')
            c = '\n';
    std::cerr << text << std::endl;
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
    if (interrupted_ && onInterrupt_)
        onInterrupt_();
}

void ConsoleHost::Pause(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
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
