// One device link and the operations on it: command framing and the reply
// wait, finding the device, the busy state, the information readout and the
// clock. Everything runs on the main thread; received data arrives through
// the port's data event while a wait runs the host's events.
#pragma once

#include "device/DeviceHost.h"
#include "package/HexSection.h"
#include "package/Package.h"
#include "serial/SpComPort.h"

#include <array>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace kt {

class DeviceSession {
public:
    // Every command waits this long for its reply; the interval includes
    // sending the frame (the largest, 1,033 characters, takes about 10 ms).
    static constexpr int kReplyInterval = 250;
    // Tries of the presence probe, and the pause after each failed one.
    static constexpr int kPingTries = 10;
    static constexpr std::chrono::milliseconds kPingPause{50};
    // Lets the device take in "X" before the port closes under it.
    static constexpr std::chrono::milliseconds kDisconnectPause{100};
    // The device's loader and flasher take core and media data in blocks.
    static constexpr int kCoreBlockSize = 260;
    static constexpr int kMediaBlockSize = 512;
    static constexpr int kCoreAttempts = 3;
    static constexpr int kLoaderPolls = 5;
    static constexpr std::chrono::milliseconds kLoaderPollPause{50};
    static constexpr std::chrono::milliseconds kAfterCorePause{100};
    // Lets the device settle between the core, media and clock steps.
    static constexpr std::chrono::milliseconds kStepPause{250};
    // After a block's reply wait runs out in silence, the device may still be
    // writing a slow flash page: its acknowledgement is awaited this much
    // longer before the block is sent again (or, for a media block, given up).
    // Slow pages were seen to take up to about 620 ms; a block sent twice is
    // stored twice, since core blocks carry no number.
    static constexpr int kLateAckGrace = 1500;

    // Sets up the port the way the device link uses it: 1,000,000 baud, 8N1,
    // 2,048-byte input buffer, the write thread one step above normal.
    static void ConfigurePort(serial::TSpComPort& comm);

    DeviceSession(serial::TSpComPort& comm, DeviceHost& host, const KVF_TYPE& package);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Command layer. Expected below 0: no wait; 0: collect for the whole
    // interval; n > 0: exactly n characters. Never throws.
    bool SendCommand(const std::string& command, int expected);
    bool SendDataCommand(const std::string& command, const std::uint8_t* data, std::size_t count, int expected);
    bool WaitReply(int interval, int expected);
    void RestartTimeout();
    void TimeOutTimer();
    void Comm1DataReceived();

    // Discovery and connection.
    bool PingDevice(const std::string& command);
    bool ProbePort(const std::string& name);
    bool FindDevice();
    bool ConnectDevice();
    void DisconnectDevice();
    void BeginBusy();
    void EndBusy();

    // Operations.
    bool ReadDeviceInfo();
    bool SyncClock();
    bool UpdateCore();
    bool UpdateMedia();
    bool WriteCoreBlocks(const Bytes& image, int count);
    bool WriteMediaBlocks(const Bytes& image, int first, int count);
    // False when no device was found or the operation failed; the window
    // ignores the result, the command line turns it into its exit status.
    bool ToolInfoClick();
    bool ToolTimeClick();
    // The whole update, after the user's confirmation; true when it succeeded.
    bool ToolFullFlashClick();

    // True while an operation holds the link: the toolbar must not start
    // another, and the window must not close.
    bool InOperation() const { return Busy || searching_; }
    // True while core or media blocks are being written: stopping now leaves
    // the device with an incomplete image.
    bool InTransfer() const { return transferring_; }
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

    std::string RxText;
    std::string PortName;
    bool TimedOut = false;
    bool Busy = false;
    bool Aborted = false;

private:
    // Connects, takes the busy state, runs `operation`, and ends the busy state on every way out.
    bool RunBusy(bool (DeviceSession::*operation)());
    // Forgets the stop request and program error of an earlier operation.
    void BeginOperation();
    // Aborted is cleared at every connection and probe, except that a stop
    // request or a program error of the running operation stays in force.
    void ClearAbort() { Aborted = stopRequested_ || faulted_; }
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
    const KVF_TYPE& Package;
    std::array<int, kToolButtonCount> tags_{};  // each button's state before the busy state
    bool searching_ = false;
    bool transferring_ = false;
    bool stopRequested_ = false;
    bool stopLogged_ = false;
    bool faulted_ = false;
    bool lastWaitSilent_ = false;  // the latest reply wait ran out with nothing received
    int timeoutInterval_ = kReplyInterval;
    std::optional<DeviceHost::Clock::time_point> timeoutDeadline_;  // set while the reply timer runs
};

}  // namespace kt
