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
#include <optional>
#include <string>

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
    // Asks the running operation to stop: the current wait gives up.
    void Abort() { Aborted = true; }

    std::string RxText;
    std::string PortName;
    bool TimedOut = false;
    bool Busy = false;
    bool Aborted = false;

private:
    // Connects, takes the busy state, runs `operation`, and ends the busy state on every way out.
    bool RunBusy(bool (DeviceSession::*operation)());

    serial::TSpComPort& Comm1;
    DeviceHost& host_;
    const KVF_TYPE& Package;
    std::array<int, kToolButtonCount> tags_{};  // each button's state before the busy state
    bool searching_ = false;
    int timeoutInterval_ = kReplyInterval;
    std::optional<DeviceHost::Clock::time_point> timeoutDeadline_;  // set while the reply timer runs
};

}  // namespace kt
