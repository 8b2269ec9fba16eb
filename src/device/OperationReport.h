// What one device operation did, beside its log: the ports tried and why each
// failed, the device as read before and after, each step with its outcome and
// duration, core-block retries, where it failed and why it stopped. The front
// ends turn it into a record, a closing summary and the status line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kt {

// Why a port did not lead to the device, or that it did.
enum class PortOutcome {
    Found,         // the device answered with its identity
    NoSuchDevice,  // nothing at that name
    NoPermission,  // the user may not open it
    Busy,          // held by another program
    NotATerminal,  // the name is not a serial port
    NoAnswer,      // opened, but the presence probe got no answer
    OtherDevice,   // something answered, but not with the device's identity
    Error,         // any other failure to open or set up the port
    Stopped,       // the search was stopped while this port was tried
};

// The record's and the status line's word for an outcome ("no_answer"...).
const char* PortOutcomeName(PortOutcome outcome);

struct PortAttempt {
    std::string port;
    PortOutcome outcome = PortOutcome::Error;
    // For the user, whole: what the system said, a hint (the dialout group),
    // the program holding the port when the system tells.
    std::string detail;
};

// One line for the user: "/dev/ttyUSB0: permission denied: add your user...";
// the outcome's own words when there is no detail.
std::string DescribePortAttempt(const PortAttempt& attempt);

// The device as an information readout sees it, its texts in UTF-8 as the
// log shows them; a field the device did not answer stays empty.
struct DeviceState {
    std::string mode = "unknown";  // "flasher", "loader", or "unknown" when it did not say
    std::optional<std::string> software;
    std::optional<std::string> date;
    std::optional<std::string> hardware;
    std::optional<std::string> clock;     // "dd.mm.yyyy hh:mm:ss"
    std::optional<std::string> identity;  // "DRAXO ID"
};

enum class StepOutcome { Ok, Failed, Stopped, Skipped };
const char* StepOutcomeName(StepOutcome outcome);

struct StepRecord {
    std::string name;  // "connect", "readout", "core", "media", "clock", "readout_after"
    StepOutcome outcome = StepOutcome::Failed;
    double seconds = 0;
    int blocks = 0;      // blocks the step sends (core and media steps)
    int blocksDone = 0;  // blocks acknowledged
};

// Why an operation ended early; None when it ran to its end.
enum class StopReason { None, User, ProgramError, DeviceGone, NoDevice, NotConfirmed, Failed };
const char* StopReasonName(StopReason reason);

struct OperationReport {
    std::string operation;  // "info", "time", "update"
    std::string port;       // where the device was found; empty when it was not
    std::vector<PortAttempt> ports;
    std::optional<DeviceState> before;
    std::optional<DeviceState> after;
    std::vector<StepRecord> steps;
    int coreRetries = 0;  // core blocks sent again
    std::optional<std::string> failedStep;
    std::optional<int> failedBlock;  // 0-based, within the failed step
    StopReason stopReason = StopReason::None;
    bool ok = false;
    double seconds = 0;
    long long bytesSent = 0;  // image bytes acknowledged by the device
};

}  // namespace kt
