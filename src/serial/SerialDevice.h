// What the port core needs from the platform: one open serial device and its waits.
//
// Each operation corresponds to one Win32 communications call
// (CreateFile, SetCommTimeouts, SetupComm, SetCommMask, SetCommState,
// GetCommState, WaitCommEvent, ClearCommError, ReadFile, WriteFile, PurgeComm,
// EscapeCommFunction, CloseHandle). The implementation for this platform lives
// in SerialDevice_<platform>.cpp, chosen by CMake.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "serial/SerialTypes.h"

namespace kt::serial {

// Why a port could not be opened.
enum class PortOpenFailure {
    None,          // it opened, or the device did not say
    NoSuchDevice,  // nothing under that name
    NoPermission,  // the user may not open it
    Busy,          // another program, or another port of this one, holds it
    NotATerminal,  // a file or a device under that name, but no serial port
    Other,
};

class SerialDevice {
public:
    enum class OpenStatus { Opened, NotFound, Busy };
    enum class WaitStatus { Event, Woken, Timeout, HungUp };
    enum class WriteWait { Writable, Woken, Failed };

    static std::unique_ptr<SerialDevice> create();

    virtual ~SerialDevice() = default;

    // Exclusive open for reading and writing. NotFound when no serial port has
    // that name, Busy when there is one that cannot be opened now; openFailure()
    // and openFailureDetail() then tell why.
    virtual OpenStatus open(const std::string& name) = 0;
    // Why the last open() failed, and the same for the user in a few words
    // without the port's name ("held by another program: minicom (PID 4242)").
    // None and empty after an open that succeeded, and from devices that do not tell.
    PortOpenFailure openFailure() const { return openFailure_; }
    const std::string& openFailureDetail() const { return openFailureDetail_; }
    // Reads return at once with what is already queued.
    virtual bool setTimeouts() = 0;
    virtual bool setupQueues(int inQueueSize, int outQueueSize) = 0;
    // Events that waitEvent reports (kEv* bits). A mask of 0 ends a pending waitEvent.
    virtual bool setEventMask(std::uint32_t mask) = 0;
    virtual bool setState(const Dcb& dcb) = 0;
    virtual bool getState(Dcb& dcb) = 0;

    // Event thread only. Waits up to timeout for an event of the mask (reported
    // in mask; each received character is reported once, not again while it
    // stays unread), for wakeEventWait(), or for the device to go away: the
    // first wait after HungUp() turned true returns HungUp, once.
    virtual WaitStatus waitEvent(std::uint32_t& mask, std::chrono::milliseconds timeout) = 0;
    // Any thread: makes the current or the next waitEvent return Woken.
    virtual void wakeEventWait() = 0;

    // Returns and clears the accumulated line error bits (kCe*) and fills the queue counts.
    virtual bool clearCommError(std::uint32_t& errors, ComStat& stat) = 0;
    // Never blocks: the bytes already received, up to count; 0 when none or on failure.
    virtual int read(char* buffer, int count) = 0;
    // Never blocks: bytes accepted (0 when the device cannot take any now), -1 on failure.
    virtual int write(const char* buffer, int count) = 0;
    // True when write() may also be called by the thread that queues data
    // while the write thread is idle, so that a frame leaves at once.
    virtual bool writesFromAnyThread() const { return false; }
    // Write thread only: waits until the device can take output, or wakeWriter().
    virtual WriteWait waitWritable() = 0;
    // Any thread: makes the current or the next waitWritable return Woken.
    virtual void wakeWriter() = 0;

    // Any thread: true once the device behind the open handle has gone (a
    // pulled USB adapter, a closed pseudo-terminal master); it stays gone until
    // the next open.
    virtual bool HungUp() const = 0;

    virtual bool purge(std::uint32_t flags) = 0;
    virtual bool escape(EscapeFunction function) = 0;
    virtual void close() = 0;

protected:
    // For open(): records why it failed and returns the status that goes with the reason.
    OpenStatus refuseOpen(PortOpenFailure reason, std::string detail)
    {
        openFailure_ = reason;
        openFailureDetail_ = std::move(detail);
        const bool noPort = reason == PortOpenFailure::NoSuchDevice || reason == PortOpenFailure::NotATerminal;
        return noPort ? OpenStatus::NotFound : OpenStatus::Busy;
    }
    // For open(): forgets the reason of the open before.
    void clearOpenFailure()
    {
        openFailure_ = PortOpenFailure::None;
        openFailureDetail_.clear();
    }

private:
    PortOpenFailure openFailure_ = PortOpenFailure::None;
    std::string openFailureDetail_;
};

// Makes the device that a port opens: the platform's (SerialDevice::create)
// unless a port is given another, such as a simulated device in this process.
using SerialDeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

}  // namespace kt::serial
