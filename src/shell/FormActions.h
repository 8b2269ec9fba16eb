// What both windows (Qt on Linux, the system's controls on Windows) do the
// same way over the core, whatever draws them: the stop key, the toolbar's
// operations, the program's own errors, and a simulated device standing in.
#pragma once

#include "device/DeviceSession.h"
#include "serial/SpComPort.h"

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace kt {

// The windows' status figure for the whole update while blocks are written,
// core and media together: "Всего 63 %  ·  92 КБ/с  ·  осталось 0:42"; the
// speed and the time left once the step has run half a second.
std::string UpdateStatusText(const DeviceHost::Transfer& transfer, const KVF_TYPE& package);

// What `kt-flash --help` prints, on Linux and on Windows.
extern const char* const kWindowHelp;

// The saved log: each line with the local date and time it was added
// ("2026-12-11 04:05:06.789  " before it), a line without a time of its own
// stamped `now`; no lines, no text.
std::string StampedLog(const std::vector<std::string>& lines,
                       const std::vector<std::chrono::system_clock::time_point>& times,
                       std::chrono::system_clock::time_point now);

class FormActions {
public:
    // Asked when the stop key is pressed while blocks are being written.
    static const char* const kStopTransferQuestion;

    // `session` shows its dialogs through `view`; both must outlive this.
    FormActions(DeviceSession& session, FormView& view) : session_(session), view_(view) {}

    // Esc. While an operation runs it asks it to stop: at once, or during a
    // block transfer (which would leave the device with half an image) only
    // after a Yes to kStopTransferQuestion, whose default is No; the block on
    // its way meanwhile completes. True while an operation runs: the key is
    // taken then, and only then.
    bool StopKey();

    // Runs a toolbar button's operation; what escapes it is shown as a program
    // error. With a record file set, the file is checked first (an error
    // dialog, and nothing runs, when it cannot be kept) and the operation's
    // record appended after it.
    void Run(bool (DeviceSession::*operation)());

    // Keeps a record of every device operation (JSON Lines) in `path`; empty: none.
    void SetRecordFile(std::string path) { recordPath_ = std::move(path); }
    const std::string& RecordFile() const { return recordPath_; }

    // Told by the window as each port is tried; the ports of the running (or
    // last) search, for the status line and the error dialog's detail.
    void PortTried(const PortAttempt& attempt) { attempts_.push_back(attempt); }
    // Each port tried and why it did not lead to the device, one a line;
    // empty when the device was found or no port was tried.
    std::string SearchDetail() const;

    // Ends the running operation and shows the error in an error dialog. The
    // dialog's own loop may bring the same error again: one dialog at a time,
    // the rest to standard error.
    void ShowProgramError(const std::exception_ptr& error);

    // The device operations run against a simulated device, reached through
    // `device` by the name `port`, instead of the system's ports.
    void UseSimulatedDevice(serial::TSpComPort& comm, const std::string& port, serial::SerialDeviceFactory device);
    // The port the settings keep: the one remembered before a simulated device stood in.
    std::string PortToKeep() const { return rememberedPort_.value_or(session_.PortName); }

    // The package named on the command line (program name first): the first
    // argument that is not an option; options start with "--". Empty if none.
    static std::string PackageArgument(const std::vector<std::string>& arguments);

private:
    DeviceSession& session_;
    FormView& view_;
    bool showingError_ = false;
    std::optional<std::string> rememberedPort_;
    std::string recordPath_;
    std::vector<PortAttempt> attempts_;
};

}  // namespace kt
