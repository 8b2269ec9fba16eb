// A simulated ТЕЛВИКС inside the program: a port given Factory() opens
// PortName() and talks to the device through calls, with no operating-system
// device and no thread of its own.
#pragma once

#include "DeviceEngine.h"
#include "SimOptions.h"
#include "serial/SerialDevice.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kt::sim {

// Line pacing (options.baud > 0), as on PtyDevice: every character takes 10
// bit times each way. A character the port writes arrives one character time
// after it was written or after the previous one arrived, whichever is later,
// and the device takes it then; the reply starts when the frame's last
// character has arrived (plus any configured delay), and each of its
// characters can be read once it has crossed the line. The port's writes are
// taken while fewer than a tty's queue of characters are still on their way.
//
// Every character carries the moment it arrives, so the device does what is
// due whenever the port or an accessor looks, which comes to the same as doing
// it on time; a port waiting for an event sleeps until the next such moment.
//
// The device keeps its modes, memories and frames from one open of its port to
// the next; one port holds it at a time, a second open is Busy, any other name
// NotFound. Every member may be called from any thread. Ports made by
// Factory() may outlive the device, which vanishes when destroyed.
class InProcessDevice {
public:
    static constexpr const char* kPortName = "SIM";

    explicit InProcessDevice(SimOptions options = {}, std::string portName = kPortName);
    ~InProcessDevice();
    InProcessDevice(const InProcessDevice&) = delete;
    InProcessDevice& operator=(const InProcessDevice&) = delete;

    // The name a port opens the device by.
    const std::string& PortName() const;
    // Makes the serial devices through which a port reaches this device.
    serial::SerialDeviceFactory Factory() const;

    // The device goes silent: what arrives from now on is neither taken nor
    // answered, and replies not yet sent are dropped; the port stays. Idempotent.
    void Stop();
    // The device goes away: whoever holds the port sees a hang-up, and the
    // name opens no more.
    void Vanish();
    // True once the device vanished, by Vanish() or by a configured fault.
    bool Vanished() const;

    Bytes CoreImage() const;
    Bytes MediaImage() const;
    std::vector<std::string> Frames() const;
    bool InLoader() const;
    std::optional<ClockSetting> LastClockSet() const;

    // Waits until at least `count` frames were received, for commands that get
    // no reply; false when `timeout` passes first or the device vanishes.
    bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until the device vanished; false when `timeout` passes first.
    bool WaitForVanish(std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    class Port;
    std::shared_ptr<Impl> impl_;
};

}  // namespace kt::sim
