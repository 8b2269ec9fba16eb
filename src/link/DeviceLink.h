// The link to one device over a serial port: command framing and the reply
// wait, finding the device, the busy state, and the stop model every
// operation shares. Everything runs on the main thread; received data arrives
// through the port's data event while a wait runs the host's events.
#pragma once

#include "device/OperationReport.h"
#include "link/DeviceHost.h"
#include "serial/SpComPort.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace kt {

class DeviceLink {
public:
    // The device's line: 1,000,000 baud, 8N1.
    static constexpr int kLineBaud = 1000000;
    // Twice the largest frame (1,033 characters), so a whole reply and any
    // late characters fit while the main thread is busy.
    static constexpr int kInputBufferSize = 2048;
    // Every command waits this long for its reply; the interval includes
    // sending the frame (the largest, 1,033 characters, takes about 10 ms).
    static constexpr int kReplyInterval = 250;
    // Tries of the presence probe, and the pause after each failed one.
    static constexpr int kPingTries = 10;
    static constexpr std::chrono::milliseconds kPingPause{50};
    // Lets the device take in "X" before the port closes under it.
    static constexpr std::chrono::milliseconds kDisconnectPause{100};
    // After a block's reply wait runs out in silence, the device may still be
    // writing a slow flash page: its acknowledgement is awaited this much
    // longer before the block is sent again (or, for a media block, given up).
    // Slow pages were seen to take up to about 620 ms; a block sent twice is
    // stored twice, since core blocks carry no number.
    static constexpr int kLateAckGrace = 1500;
    // A reply cannot come before its command's frame and its own characters
    // have crossed the line. The wait sleeps until kReplySpinLead before that
    // moment, then looks for the reply without sleeping for at most
    // kReplySpinLead + kReplySpinSpan, so that the hand-over of an answer that
    // comes at once does not wait for the main thread to be woken; later
    // answers are slept for as before.
    static constexpr std::chrono::microseconds kReplySpinLead{50};
    static constexpr std::chrono::microseconds kReplySpinSpan{150};

    // The `expected` of SendCommand: no wait at all; every character that comes
    // within the interval; a one-character answer (the lone CR that
    // acknowledges, or the lone ESC that refuses).
    static constexpr int kNoReply = -1;
    static constexpr int kWholeReply = 0;
    static constexpr int kAckLength = 1;

    // Sets up the port the way the device link uses it: 1,000,000 baud, 8N1,
    // 2,048-byte input buffer, the write thread one step above normal.
    static void ConfigurePort(serial::TSpComPort& comm);

    DeviceLink(serial::TSpComPort& comm, DeviceHost& host);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Command layer. Sends ESC + command + CR, then waits for the reply in
    // RxText. Expected below 0: no wait, true once the frame is queued; 0:
    // collects for the whole interval, true when anything came; n > 0: true
    // as soon as exactly n characters came. A lone ESC is a refusal (false).
    // False at once, with nothing sent, for a command that changes the device
    // after a stop or a program error. Never throws.
    bool SendCommand(const std::string& command, int expected);
    // The same for ESC + command + data in hex + check byte + CR.
    bool SendDataCommand(const std::string& command, const std::uint8_t* data, std::size_t count, int expected);
    // Waits up to `interval` ms, running the host's events, with the rules of
    // SendCommand; also ends early on a stop or when the device hangs up.
    bool WaitReply(int interval, int expected);
    void RestartTimeout();
    void TimeOutTimer();
    void Comm1DataReceived();

    // Discovery and connection.
    // Up to kPingTries presence probes; true when one got a lone CR or ESC.
    bool PingDevice(const std::string& command);
    // Opens `name` and asks the device for its identity. True: the device is
    // there and the port is left open for the operation; false: the port is closed.
    bool ProbePort(const std::string& name);
    // The remembered port first, then the system's ports; true with the port open.
    bool FindDevice();
    // True with the port open (already open, or found). On failure the log and
    // the "not connected" dialog say so, and the remembered port is forgotten
    // unless a stop or a program error cut the search short.
    bool ConnectDevice();
    // Sends "X", lets the device take it in, closes the port. Nothing when closed.
    void DisconnectDevice();
    // Disables the toolbar, remembering each button's state.
    void BeginBusy();
    // Restores the toolbar, disconnects, resets the progress bar and ends the
    // operation's log with an empty line.
    void EndBusy();

    // True while an operation holds the link: the toolbar must not start
    // another, and the window must not close.
    bool InOperation() const { return Busy || searching_; }
    // The user's request to stop the running operation: the current wait
    // gives up, nothing more that changes the device is sent, the operation
    // ends with its failure output and "Прервано пользователем!".
    void Abort()
    {
        Aborted = true;
        stopRequested_ = true;
    }
    bool StopRequested() const { return stopRequested_; }
    // A program error (an event handler or a worker thread failed) ends the
    // running operation as a failure; the error itself is shown by the front end.
    void Fault()
    {
        Aborted = true;
        faulted_ = true;
    }

    // What the running or the last operation did, beside its log: ports
    // tried, steps, retries, where it failed and why it stopped.
    OperationReport Report;

    std::string RxText;
    std::string PortName;
    bool TimedOut = false;
    bool Busy = false;
    bool Aborted = false;

protected:
    // Forgets the stop request and program error of an earlier operation, and
    // starts its report.
    void BeginOperation(const char* operation);
    // The report's steps: one starts, and ends with its outcome (a stop makes
    // any failure Stopped).
    void BeginStep(const char* name);
    void EndStep(bool ok);
    // Closes the report: outcome, why it ended early, duration. A reason of
    // None is worked out from what happened (a stop, a program error, a device
    // gone); call it while the port is still open.
    void FinishReport(bool ok, StopReason reason = StopReason::None);
    // True when the user asked to stop; the first call of an operation that
    // finds it writes "Прервано пользователем!".
    bool ReportStop();
    // Writes a step's failure line, or the stop notice in its place.
    void LogFailure(std::string_view line);
    // Runs the events pending now (a key press, a signal), then: true when the
    // operation must end here, after a stop (notice written) or a program error.
    bool Interrupted();
    // A program error reaches the user through the standard exception display.
    void ReportProgramError(std::exception_ptr error);
    // Drops whatever the device sent outside a reply wait, so that a late
    // answer to an earlier frame is never taken for the next one's.
    void DiscardInput();
    // After a block's wait ran out in silence: listens the grace period
    // longer; true when a lone CR then acknowledges the block.
    bool AwaitLateAck();
    // The reply is the lone CR that acknowledges a command.
    bool Acknowledged() const;

    serial::TSpComPort& Comm1;
    DeviceHost& host_;

private:
    static constexpr std::string_view kStoppedLine = "Прервано пользователем!";

    // Aborted is cleared at every connection and probe, except that a stop
    // request or a program error of the running operation stays in force.
    void ClearAbort() { Aborted = stopRequested_ || faulted_; }
    // Sends frame_ and waits as SendCommand says; `changesDevice` keeps it
    // back after a stop.
    bool SendFrame(bool changesDevice, int expected);
    // WaitReply for a reply that cannot come before `due`, when that is known.
    bool WaitReplyDue(int interval, int expected, std::optional<DeviceHost::Clock::time_point> due);

    std::array<int, kToolButtonCount> tags_{};  // each button's state before the busy state
    bool searching_ = false;
    bool stopRequested_ = false;
    bool stopLogged_ = false;
    bool faulted_ = false;
    bool lastWaitSilent_ = false;  // the latest reply wait ran out with nothing received
    bool deviceGone_ = false;      // the port hung up during this operation
    DeviceHost::Clock::time_point operationStart_{};
    DeviceHost::Clock::time_point stepStart_{};
    int timeoutInterval_ = kReplyInterval;
    std::string frame_;  // the frame being sent; its storage serves every frame
    std::optional<DeviceHost::Clock::time_point> timeoutDeadline_;  // set while the reply timer runs
};

}  // namespace kt
