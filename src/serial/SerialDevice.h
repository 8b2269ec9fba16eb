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

#include "serial/SerialTypes.h"

namespace kt::serial {

class SerialDevice {
public:
    enum class OpenStatus { Opened, NotFound, Busy };
    enum class WaitStatus { Event, Woken, Timeout, HungUp };
    enum class WriteWait { Writable, Woken, Failed };

    static std::unique_ptr<SerialDevice> create();

    virtual ~SerialDevice() = default;

    // Exclusive open for reading and writing; NotFound when no device has that name.
    virtual OpenStatus open(const std::string& name) = 0;
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
};

// Makes the device that a port opens: the platform's (SerialDevice::create)
// unless a port is given another, such as a simulated device in this process.
using SerialDeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

}  // namespace kt::serial
