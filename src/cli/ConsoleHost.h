// The command line's side of the device operations: log lines to standard
// output, dialog texts to standard error, the plain event loop, and Ctrl+C
// as the user's request to stop.
#pragma once

#include "link/DeviceHost.h"
#include "platform/Console.h"
#include "serial/PlainEventLoop.h"

#include <array>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace kt::cli {

// One log line on standard output, flushed; a dialog's text on standard error.
// A reader that went away or a full disk never interrupts the program: the
// failure is only remembered, for the exit status.
void PrintLogLine(std::string_view line);
void PrintDialogText(std::string_view message);
// True once a log line could not be written whole.
bool LogOutputFailed();

class ConsoleHost : public DeviceHost {
public:
    // Keeps the stop signals (Ctrl+C, SIGTERM, SIGHUP) away from every thread
    // started after this call; the host's own thread takes them. Call it
    // before starting any thread.
    static void BlockStopSignals();

    // `ports`: the list to search; empty when only the remembered port may be tried.
    explicit ConsoleHost(std::vector<std::string> ports);
    ~ConsoleHost() override;

    void AddLog(std::string_view line) override;
    void ClearLog() override {}
    void SetCaption(std::string_view) override {}
    void SetUpdateEnabled(bool enabled) override { SetToolButtonEnabled(ToolButton::FullFlash, enabled); }
    ProgressBar& Progress() override { return progress_; }
    ModalResult ShowDialog(std::string_view message, DialogKind kind, DialogButtons buttons) override;

    void ProcessEvents(Clock::time_point deadline) override;
    void Pause(std::chrono::milliseconds duration) override;
    bool ToolButtonEnabled(ToolButton button) const override;
    void SetToolButtonEnabled(ToolButton button, bool enabled) override;
    std::tm LocalTime() override;
    std::vector<std::string> SystemPorts() override { return ports_; }

    // Called on the main thread, inside a wait or after a pause, once a stop
    // signal came.
    void OnInterrupt(std::function<void()> handler) { onInterrupt_ = std::move(handler); }
    // How to answer a Yes/No dialog (the update's confirmation).
    void SetConfirmation(std::function<ModalResult()> answer) { confirm_ = std::move(answer); }
    // Asks "[y/N]" on the terminal: Yes only for a yes; a stop signal while
    // it waits answers Cancel at once.
    ModalResult AskOnTerminal();
    bool Interrupted() const { return interrupted_.load(); }
    // Draws the progress bar on standard error while blocks are written.
    void ShowProgressOnTerminal();

private:
    void DeliverInterrupt();
    void DrawProgress(const ProgressBar& bar);
    void ClearProgress();

    std::vector<std::string> ports_;
    PlainEventLoop loop_;
    ProgressBar progress_;
    std::array<bool, kToolButtonCount> buttons_{true, true, true, false};
    std::function<void()> onInterrupt_;
    std::function<ModalResult()> confirm_;
    std::atomic<bool> interrupted_{false};
    platform::StopWatcher stopWatcher_;  // declared last: its thread touches the members above
    bool progressDrawn_ = false;
    int lastPercent_ = -1;
};

}  // namespace kt::cli
