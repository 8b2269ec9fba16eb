// A simulated ТЕЛВИКС on a pseudo-terminal: the program under test opens
// SlavePath() like any serial port, as often as it likes, and the device
// answers from a worker thread, at the speed of its line.
#pragma once

#include "DeviceEngine.h"
#include "SimOptions.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kt::sim {

// Line pacing (options.baud > 0): every character takes 10 bit times each
// way. A received character counts as arrived one character time after it was
// read or after the previous one arrived, whichever is later; the reply starts
// when the frame's last character has arrived (plus any configured delay) and
// goes out in chunks of about a millisecond of line time, each written when its
// last character would have left the line. All times are absolute deadlines,
// so sleeping late never adds up.
//
// Throws std::system_error when the pseudo-terminal cannot be made.
// The control calls (Stop, Vanish, destruction) are for one thread at a time;
// the accessors may be called from any thread while the device runs.
class PtyDevice {
public:
    explicit PtyDevice(SimOptions options = {});
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // The /dev/pts/N path for the program under test.
    const std::string& SlavePath() const;

    // Ends the worker; the port stays, silent. Idempotent.
    void Stop();
    // Stops and closes the pseudo-terminal: whoever holds the port sees a hang-up.
    void Vanish();
    // True once the device vanished, by Vanish() or by a configured fault.
    bool Vanished() const;

    Bytes CoreImage() const;
    Bytes MediaImage() const;
    std::vector<std::string> Frames() const;
    bool InLoader() const;
    std::optional<ClockSetting> LastClockSet() const;
    // For every acknowledgement (a one-character answer) the program answered
    // with a new frame: the time from the answer leaving the device to the
    // frame's first character reaching it, as the device sees the line.
    std::vector<std::chrono::nanoseconds> Turnarounds() const;

    // Waits until at least `count` frames were received, for commands that get
    // no reply; false when `timeout` passes first.
    bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until the device vanished; false when `timeout` passes first.
    bool WaitForVanish(std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kt::sim
