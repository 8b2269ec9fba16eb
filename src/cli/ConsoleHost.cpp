#include "cli/ConsoleHost.h"

#include "link/Protocol.h"
#include "platform/Console.h"

#include <atomic>
#include <cstdio>
#include <ctime>

namespace kt::cli {
namespace {

std::atomic<bool> logOutputFailed{false};

// Enough of a typed answer to tell a yes; a longer one is kept to this length and is no yes.
constexpr std::size_t kMaxAnswer = 64;

}  // namespace

void ConsoleHost::BlockStopSignals()
{
    platform::BlockStopRequests();
}

ConsoleHost::ConsoleHost(std::vector<std::string> ports)
    : ports_(std::move(ports)), stopWatcher_([this] {
          interrupted_ = true;
          loop_.Wake();
      })
{}

ConsoleHost::~ConsoleHost() = default;

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
    switch (stopWatcher_.ReadLine(answer, kMaxAnswer)) {
    case platform::StopWatcher::LineResult::Line:
        return (answer == "y" || answer == "Y" || answer == "yes" || answer == "да" || answer == "Да")
                   ? ModalResult::Yes
                   : ModalResult::No;
    case platform::StopWatcher::LineResult::Closed:
        return ModalResult::No;  // no terminal any more: no confirmation
    case platform::StopWatcher::LineResult::Stopped:
        break;
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
                       std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " + std::to_string(percent) +
                       "%";
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
    return ReadLocalClock();
}

}  // namespace kt::cli
