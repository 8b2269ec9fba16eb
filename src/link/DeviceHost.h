// What the device operations need from the program around them beyond the
// log and the progress bar: the main loop, the toolbar, pauses, the clock and
// the system's port list.
#pragma once

#include "device/OperationReport.h"
#include "view/FormView.h"

#include <chrono>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

enum class ToolButton { Open = 0, Info = 1, Time = 2, FullFlash = 3 };
inline constexpr int kToolButtonCount = 4;

class DeviceHost : public FormView {
public:
    using Clock = std::chrono::steady_clock;

    // Runs the main thread's pending events (received data among them). When
    // none is pending, blocks until one arrives or `deadline` passes; never spins.
    virtual void ProcessEvents(Clock::time_point deadline) = 0;

    // A fixed pause of the main thread that runs no events.
    virtual void Pause(std::chrono::milliseconds duration) = 0;

    virtual bool ToolButtonEnabled(ToolButton button) const = 0;
    virtual void SetToolButtonEnabled(ToolButton button, bool enabled) = 0;

    // The computer's local date and time, read once.
    virtual std::tm LocalTime() = 0;

    // The system's serial ports in the order the system lists them.
    virtual std::vector<std::string> SystemPorts() = 0;

    // Told as each port is tried, with why it did not lead to the device (or
    // that it did). Writes no log line.
    virtual void PortTried(const PortAttempt&) {}

    // Told after each block a transfer step got acknowledged, and once at its start.
    struct Transfer {
        std::string_view step;  // "core", "media"
        int blocks = 0;
        int blocksDone = 0;
        long long bytes = 0;  // the image bytes the step sends
        long long bytesDone = 0;
        Clock::duration elapsed{};  // since the step's first block went out
    };
    virtual void TransferProgress(const Transfer&) {}
};

}  // namespace kt
