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
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace kt::cli {

// One log line on standard output, flushed; a dialog's text on standard error.
// A reader that went away or a full disk never interrupts the program: the
// failure is only remembered, for the exit status. With several devices at
// once each line starts with its device's `prefix` and is written in one
// piece, so that lines of different devices never mix.
void PrintLogLine(std::string_view line, std::string_view prefix = {});
void PrintDialogText(std::string_view message, std::string_view prefix = {});
// One line of the program's own on standard error: "kt-flash-cli: " + text.
void PrintNote(std::string_view text);
// True once a log line could not be written whole.
bool LogOutputFailed();

class ConsoleHost : public DeviceHost {
public:
    // Keeps the stop signals (Ctrl+C, SIGTERM, SIGHUP) away from every thread
    // started after this call; the host's own thread takes them. Call it
    // before starting any thread.
    static void BlockStopSignals();

    // `ports`: the list to search; empty when only the remembered port may be
    // tried. `prefix` starts each output line ("" for a single device). With
    // `watchStops` the host takes the stop signals itself; otherwise whoever
    // runs several hosts calls Interrupt().
    explicit ConsoleHost(std::vector<std::string> ports, std::string prefix = {}, bool watchStops = true);
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
    // The update is confirmed already (--yes): the question is not shown.
    void ConfirmWithoutAsking() { confirmed_ = true; }
    // Any thread: the user asked to stop; the operation hears it on its thread.
    void Interrupt();
    // Asks "[y/N]" on the terminal: Yes only for a yes; a stop signal while
    // it waits answers Cancel at once.
    ModalResult AskOnTerminal();
    bool Interrupted() const { return interrupted_.load(); }
    // Draws the progress line on standard error while blocks are written.
    void ShowProgressOnTerminal();
    // Tells on standard error why each port tried did not lead to the device.
    void PortTried(const PortAttempt& attempt) override;
    void TransferProgress(const Transfer& transfer) override;

private:
    void DeliverInterrupt();
    void ClearProgress();

    std::vector<std::string> ports_;
    std::string prefix_;
    PlainEventLoop loop_;
    ProgressBar progress_;
    std::array<bool, kToolButtonCount> buttons_{true, true, true, false};
    std::function<void()> onInterrupt_;
    std::function<ModalResult()> confirm_;
    std::atomic<bool> interrupted_{false};
    bool confirmed_ = false;
    bool showProgress_ = false;
    bool progressDrawn_ = false;
    std::string lastProgress_;
    Clock::time_point lastDrawn_{};
    // Declared last: its thread touches the members above.
    std::unique_ptr<platform::StopWatcher> stopWatcher_;
};

}  // namespace kt::cli
