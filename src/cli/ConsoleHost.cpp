#include "cli/ConsoleHost.h"

#include "cli/ProgressLine.h"

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

ConsoleHost::ConsoleHost(std::vector<std::string> ports, std::string prefix, bool watchStops)
    : ports_(std::move(ports)), prefix_(std::move(prefix))
{
    if (watchStops)
        stopWatcher_ = std::make_unique<platform::StopWatcher>([this] { Interrupt(); });
}

void ConsoleHost::Interrupt()
{
    interrupted_ = true;
    loop_.Wake();
}

ConsoleHost::~ConsoleHost() = default;

void ConsoleHost::DeliverInterrupt()
{
    if (interrupted_ && onInterrupt_)
        onInterrupt_();
}

ModalResult ConsoleHost::AskOnTerminal()
{
    if (!stopWatcher_)
        return ModalResult::No;
    std::fputs("[y/N] ", stderr);
    std::fflush(stderr);
    std::string answer;
    switch (stopWatcher_->ReadLine(answer, kMaxAnswer)) {
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

void PrintLogLine(std::string_view line, std::string_view prefix)
{
    // One log line is one output line, whatever a device put into its reply.
    std::string text(prefix);
    text.reserve(prefix.size() + line.size() + 1);
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

void PrintDialogText(std::string_view message, std::string_view prefix)
{
    std::string text(prefix);
    for (char c : message) {
        text += c == '\r' ? '\n' : c;
        if (c == '\r')
            text += prefix;
    }
    text += '\n';
    // A closed standard error loses the dialog text, never the update.
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    std::clearerr(stderr);
}

void PrintNote(std::string_view text)
{
    std::string line = "kt-flash-cli: ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    std::clearerr(stderr);
}

void ConsoleHost::AddLog(std::string_view line)
{
    ClearProgress();
    PrintLogLine(line, prefix_);
}

void ConsoleHost::ShowProgressOnTerminal()
{
    showProgress_ = true;
}

void ConsoleHost::PortTried(const PortAttempt& attempt)
{
    ClearProgress();
    // With several devices the prefix names the port already.
    std::string text = DescribePortAttempt(attempt);
    if (!prefix_.empty() && text.starts_with(prefix_))
        text.erase(0, prefix_.size());
    PrintNote(prefix_ + text);
}

void ConsoleHost::TransferProgress(const Transfer& transfer)
{
    if (!showProgress_)
        return;
    const int columns = platform::TerminalColumns(platform::StandardStream::Error);
    if (columns <= 1)
        return;
    // A redraw for every block would cost more than the block; a few a second do.
    const auto now = Clock::now();
    const bool last = transfer.blocksDone == transfer.blocks;
    if (progressDrawn_ && !last && now - lastDrawn_ < std::chrono::milliseconds(100))
        return;
    ProgressState state;
    state.step = transfer.step == "core" ? "core image" : "media image";
    state.bytesDone = transfer.bytesDone;
    state.bytesTotal = transfer.bytes;
    state.elapsedSeconds = std::chrono::duration<double>(transfer.elapsed).count();
    state.prefix = prefix_;
    // One column is kept free: a console that wraps at its last column would
    // break the redraw.
    const std::string line = FormatProgressLine(state, columns - 1);
    if (progressDrawn_ && line == lastProgress_)
        return;
    std::fputs(("\r" + line + "\033[K").c_str(), stderr);
    std::fflush(stderr);
    progressDrawn_ = true;
    lastProgress_ = line;
    lastDrawn_ = now;
}

void ConsoleHost::ClearProgress()
{
    if (!progressDrawn_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressDrawn_ = false;
    lastProgress_.clear();
}

ModalResult ConsoleHost::ShowDialog(std::string_view message, DialogKind, DialogButtons buttons)
{
    ClearProgress();
    // A confirmed update does not ask: the question would only be noise.
    if (buttons != DialogButtons::Ok && confirmed_)
        return ModalResult::Yes;
    PrintDialogText(message, prefix_);
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
