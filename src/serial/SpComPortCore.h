// One open serial device with its two worker threads: the event thread and the write thread.
//
// All operations belong to the main thread. The core knows nothing of the main
// thread's loop: it reports everything through one callback, called on the
// event thread; the port component carries those events over.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "serial/Component.h"
#include "serial/SerialDevice.h"
#include "serial/SerialTypes.h"

namespace kt::serial {

enum TSpCoreEvent {
    ceOutFree,       // data 0: a completed write left the write ring empty
    ceLineEvent,     // data: the kEv* bits that occurred
    ceNeedReadData,  // data: bytes waiting in the input queue, seen by the 200 ms poll
    ceException,     // data 0; the error travels in the callback's error argument
};

// error is set only with ceException; the receiver then owns it.
using TSpCPTCoreEvent = std::function<void(EventSender& sender, TSpCoreEvent eventKind, std::uint32_t data,
                                           const std::exception_ptr& error)>;

class ESpComPortCoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // A port that could not be opened, and why.
    ESpComPortCoreError(const std::string& message, PortOpenFailure failure, const std::string& detail)
        : std::runtime_error(message), failure_(failure), detail_(std::make_shared<const std::string>(detail))
    {}

    // Why the port could not be opened; None for every other error.
    PortOpenFailure Failure() const { return failure_; }
    // That reason for the user ("no such device", "held by another program:
    // minicom (PID 4242)"); empty with None.
    const std::string& Detail() const { return detail_ ? *detail_ : noDetail(); }

private:
    static const std::string& noDetail()
    {
        static const std::string none;
        return none;
    }

    PortOpenFailure failure_ = PortOpenFailure::None;
    // Shared, as runtime_error keeps its message, so that copying the exception cannot throw.
    std::shared_ptr<const std::string> detail_;
};

// Thrown by an event receiver to drop the event without a trace.
class SilentAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

// How much longer than the line needs for the bytes ahead of it a write waits
// for room in the write ring (WriteDataWhenRoom). The line time alone is not
// enough: on a loaded machine the write thread can be held up between handing
// bytes to the driver and releasing them from the ring, while the device
// already has them and has answered. A second covers such a hold-up many times
// over; with the line time of a full ring at the application's 1,000,000 baud
// (about 20 ms) the wait stays below the 2 s for which an event waits for the
// main thread, so no event is dropped while a write waits.
inline constexpr std::chrono::milliseconds kWriteRoomSlack{1000};

class TSpComPortEventThread;
class TSpComPortWriteThread;

class TSpComPortCore : public EventSender {
public:
    TSpComPortCore();
    ~TSpComPortCore() override;
    TSpComPortCore(const TSpComPortCore&) = delete;
    TSpComPortCore& operator=(const TSpComPortCore&) = delete;

    // False, and nothing else, when already opened; failures throw ESpComPortCoreError.
    bool OpenPort(const std::string& name);
    // Stops both workers and closes the device; nothing when not opened.
    void ClosePort();

    ComStat GetComStat();
    std::uint32_t TakeErrors();
    // -1 when not active, else the bytes read (never blocks).
    int ReadData(char* buffer, int count);
    // Queues all count bytes or none; false when not active or the ring lacks room.
    bool WriteData(const char* buffer, int count);
    // As WriteData, but a block that fits the ring (count up to its capacity)
    // is not refused while the write thread is still releasing the room it
    // needs: waits for that room, at most the line time of the bytes ahead of
    // it (in the ring and in the driver) plus kWriteRoomSlack. Gives up early,
    // with false, when the port is not active, the write thread ends, the
    // device refuses output or has gone. A larger block fails at once. Serves
    // no hand-overs meanwhile: no event handler runs inside a write.
    bool WriteDataWhenRoom(const char* buffer, int count);
    int OutBufFree();
    // True once the open port's device has gone (see SerialDevice::HungUp);
    // false when not opened.
    bool HungUp() const;
    // Stores the block; when active also applies it (throws, and re-reads the
    // block from the device, when the device refuses it).
    void SetDCB(const Dcb& dcb);
    const Dcb& DCB() const { return dcb_; }
    bool EscapeComm(EscapeFunction function);

    void SetInQueueSize(int size) { inQueueSize_ = size; }
    void SetOutQueueSize(int size) { outQueueSize_ = size; }
    // Where the next OpenPort gets its device; an empty factory restores the platform's.
    void SetDeviceFactory(SerialDeviceFactory factory) { deviceFactory_ = std::move(factory); }
    void SetEventThreadPriority(TThreadPriority priority);
    void SetWriteThreadPriority(TThreadPriority priority);
    // Taken by the event thread when the port opens.
    void SetOnCoreEvent(TSpCPTCoreEvent callback) { callback_ = std::move(callback); }
    // Whether ceOutFree events are wanted; when not, a write that empties the
    // ring wakes no worker. Set before the port opens.
    void SetReportsOutputFree(bool reports) { reportsOutputFree_ = reports; }

    bool Active() const { return active_.load(); }
    bool Opened() const { return opened_; }
    const std::string& PortName() const { return portName_; }

private:
    friend class TSpComPortEventThread;
    friend class TSpComPortWriteThread;

    void openSequence();
    void closeSequence();
    // Lets queued output reach the line; true when all of it did.
    bool flushBeforeClose();
    void applySettings();
    // Write thread: the ring just became empty.
    void signalOutputDrained();
    // Write thread: it released ring room, gave up on the device, or ended.
    // The change is made before the call; the lock taken here keeps a waiter
    // from missing it.
    void signalRoomChanged();
    // Event thread: the device has gone.
    void signalHungUp();
    // Longest wait of WriteDataWhenRoom for room behind ringUsed queued bytes.
    std::chrono::milliseconds roomWaitLimit(int ringUsed);

    std::string portName_;
    Dcb dcb_{};
    std::uint32_t eventMask_ = kAllLineEvents;
    SerialDeviceFactory deviceFactory_;
    std::unique_ptr<SerialDevice> device_;
    std::atomic<bool> active_{false};
    bool opened_ = false;
    std::uint32_t lineErrors_ = 0;  // guarded by portLock_
    // The driver queues asked for at open unless the owner sets others.
    static constexpr int kDefaultInQueueSize = 8192;
    static constexpr int kDefaultOutQueueSize = 4096;
    int inQueueSize_ = kDefaultInQueueSize;
    int outQueueSize_ = kDefaultOutQueueSize;
    TSpCPTCoreEvent callback_;
    TThreadPriority writeThreadPriority_ = tpHigher;
    TThreadPriority eventThreadPriority_ = tpNormal;

    // Lock order: portLock_ before writeLock_. A write waiting for ring room
    // holds neither while it waits (roomChanged_ releases writeLock_).
    std::mutex portLock_;                  // error collection, reads, closing the device
    std::mutex writeLock_;                 // the write ring
    std::condition_variable roomChanged_;  // with writeLock_: see signalRoomChanged
    std::atomic<bool> outputDrained_{false};
    bool reportsOutputFree_ = true;

    std::unique_ptr<TSpComPortWriteThread> writeThread_;
    std::unique_ptr<TSpComPortEventThread> eventThread_;
};

}  // namespace kt::serial
