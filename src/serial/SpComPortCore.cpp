#include "serial/SpComPortCore.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "serial/SerialDevice.h"
#include "serial/SpComPortEventThread.h"
#include "serial/SpComPortWriteThread.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

using Clock = std::chrono::steady_clock;

// Closing first lets queued output reach the line (a last command written just
// before Close must not be thrown away). A full 2048-byte ring takes 180 ms at
// 115200 baud; a line stalled by flow control or a pulled adapter must not hold
// Close longer than this.
constexpr auto kCloseFlushTimeout = std::chrono::milliseconds(500);
// Interval at which closing looks at the driver's output queue, which signals nothing.
constexpr auto kOutputQueuePoll = std::chrono::milliseconds(2);

std::string format(std::string_view pattern, const std::string& name)
{
    std::string text(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, name);
    return text;
}

// What a device that gives no reason of its own is taken to mean by its status.
constexpr std::string_view kNoSuchDeviceDetail = "no such device";
constexpr std::string_view kBusyDetail = "held by another program";

[[noreturn]] void throwOpenError(const std::string& message, const SerialDevice& device, PortOpenFailure byStatus,
                                 std::string_view detailByStatus)
{
    if (device.openFailure() != PortOpenFailure::None)
        throw ESpComPortCoreError(message, device.openFailure(), device.openFailureDetail());
    throw ESpComPortCoreError(message, byStatus, std::string(detailByStatus));
}

// Bits one character takes on the line: start, data, parity and stop bits
// (1.5 stop bits counted as 2); 10 for the application's 8N1.
std::uint64_t characterBits(const Dcb& dcb)
{
    const std::uint64_t parity = dcb.parity == kNoParity ? 0 : 1;
    const std::uint64_t stop = dcb.stopBits == kOneStopBit ? 1 : 2;
    return 1 + dcb.byteSize + parity + stop;
}

}  // namespace

TSpComPortCore::TSpComPortCore() = default;

TSpComPortCore::~TSpComPortCore()
{
    ClosePort();
}

bool TSpComPortCore::OpenPort(const std::string& name)
{
    if (opened_)
        return false;
    portName_ = name;
    auto device = deviceFactory_ ? deviceFactory_() : SerialDevice::create();
    switch (device->open(name)) {
    case SerialDevice::OpenStatus::Opened:
        break;
    case SerialDevice::OpenStatus::NotFound:
        throwOpenError(format("Invalid port number (%s)", name), *device, PortOpenFailure::NoSuchDevice,
                       kNoSuchDeviceDetail);
    case SerialDevice::OpenStatus::Busy:
        throwOpenError(format("Can't open device %s", name), *device, PortOpenFailure::Busy, kBusyDetail);
    }
    device_ = std::move(device);
    try {
        openSequence();
    } catch (...) {
        closeSequence();
        throw;
    }
    opened_ = true;
    return true;
}

void TSpComPortCore::openSequence()
{
    writeThread_.reset();
    eventThread_.reset();
    if (!device_->setTimeouts())
        throw ESpComPortCoreError("Error setting timeouts");
    if (!device_->setupQueues(inQueueSize_, outQueueSize_))
        throw ESpComPortCoreError("Error initializing buffers");
    if (!device_->setEventMask(eventMask_))
        throw ESpComPortCoreError(" Error setting EventMask");
    applySettings();
    {
        std::lock_guard lock(portLock_);
        lineErrors_ = 0;
    }
    outputDrained_ = false;

    try {
        writeThread_ = std::make_unique<TSpComPortWriteThread>(*this, *device_, outQueueSize_);
        writeThread_->Start();
    } catch (const std::system_error&) {
        throw ESpComPortCoreError("Error creating threads");
    }
    if (!writeThread_->WaitStarted())
        throw ESpComPortCoreError("Error creating threads");
    writeThread_->SetPriority(writeThreadPriority_);
    active_ = true;

    try {
        eventThread_ = std::make_unique<TSpComPortEventThread>(*this, *device_, callback_);
        eventThread_->Start();
    } catch (const std::system_error&) {
        throw ESpComPortCoreError("Error creating threads");
    }
    if (!eventThread_->WaitStarted())
        throw ESpComPortCoreError("Error creating threads");
    eventThread_->SetPriority(eventThreadPriority_);
}

void TSpComPortCore::applySettings()
{
    if (device_->setState(dcb_))
        return;
    device_->getState(dcb_);
    throw ESpComPortCoreError("Error setting parameters from DCB");
}

void TSpComPortCore::ClosePort()
{
    if (!opened_)
        return;
    closeSequence();
    opened_ = false;
}

void TSpComPortCore::closeSequence()
{
    if (!device_)
        return;
    active_ = false;
    // Output that went out completely is left alone; only what is stuck is purged.
    const bool drained = flushBeforeClose();
    if (drained && writeThread_)
        writeThread_->KeepDriverQueueOnStop();
    device_->purge(drained ? (kPurgeRxAbort | kPurgeRxClear)
                           : (kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear));
    // The port lock is not held while the workers stop: the event thread's
    // input poll takes it, and waiting for that thread under it could deadlock.
    if (writeThread_) {
        writeThread_->StopThread();
        writeThread_.reset();
    }
    if (eventThread_) {
        eventThread_->StopThread();
        eventThread_.reset();
    }
    std::lock_guard lock(portLock_);
    device_->close();
    device_.reset();
}

bool TSpComPortCore::flushBeforeClose()
{
    if (!writeThread_)
        return false;
    const auto deadline = Clock::now() + kCloseFlushTimeout;
    TSpComPortWriteThread& writer = *writeThread_;
    if (!ServeSyncCallsUntil([&writer] { return writer.Idle(); }, deadline))
        return false;
    for (;;) {
        std::uint32_t errors = 0;
        ComStat stat;
        {
            std::lock_guard lock(portLock_);
            if (!device_->clearCommError(errors, stat))
                return false;
            if (stat.outQueue == 0)
                return writer.RingEmpty();
            lineErrors_ |= errors;
        }
        if (Clock::now() >= deadline)
            return false;
        ServeSyncCallsUntil([] { return false; }, Clock::now() + kOutputQueuePoll);
    }
}

void TSpComPortCore::signalOutputDrained()
{
    if (reportsOutputFree_) {
        outputDrained_ = true;
        device_->wakeEventWait();
    }
    NotifySyncWaiters();
}

ComStat TSpComPortCore::GetComStat()
{
    if (!active_)
        return {};
    std::lock_guard lock(portLock_);
    std::uint32_t errors = 0;
    ComStat stat;
    device_->clearCommError(errors, stat);
    lineErrors_ |= errors;
    return stat;
}

std::uint32_t TSpComPortCore::TakeErrors()
{
    if (!active_)
        return 0;
    std::lock_guard lock(portLock_);
    return std::exchange(lineErrors_, 0);
}

int TSpComPortCore::ReadData(char* buffer, int count)
{
    if (!active_)
        return -1;
    std::lock_guard lock(portLock_);
    return device_->read(buffer, count);
}

bool TSpComPortCore::WriteData(const char* buffer, int count)
{
    if (!active_ || !writeThread_)
        return false;
    bool sentAll = false;
    bool queued = false;
    {
        std::lock_guard lock(writeLock_);
        queued = writeThread_->QueueData(buffer, count, sentAll);
    }
    if (sentAll)
        signalOutputDrained();
    return queued;
}

bool TSpComPortCore::WriteDataWhenRoom(const char* buffer, int count)
{
    if (!active_ || !writeThread_)
        return false;
    TSpComPortWriteThread& writer = *writeThread_;
    int ringUsed = 0;
    bool sentAll = false;
    {
        std::unique_lock lock(writeLock_);
        if (writer.QueueData(buffer, count, sentAll)) {
            // Told after the write lock is let go, as the write thread tells it.
            lock.unlock();
            if (sentAll)
                signalOutputDrained();
            return true;
        }
        // No wait makes room for a block larger than the whole ring.
        if (count < 1 || count > writer.Capacity())
            return false;
        ringUsed = writer.Capacity() - writer.BufFree();
    }
    // Before the write lock is taken again: the driver's queue is read under the port lock.
    const auto deadline = Clock::now() + roomWaitLimit(ringUsed);
    std::unique_lock lock(writeLock_);
    bool room = false;
    // Whatever ends the wait early leaves the room missing for good (until the
    // next open or the next queued data): waiting on would only delay the error.
    roomChanged_.wait_until(lock, deadline, [&] {
        room = writer.BufFree() >= count;
        return room || !active_ || writer.Ended() || writer.RefusesOutput() || device_->HungUp();
    });
    if (!room || !writer.QueueData(buffer, count, sentAll))
        return false;
    lock.unlock();
    if (sentAll)
        signalOutputDrained();
    return true;
}

std::chrono::milliseconds TSpComPortCore::roomWaitLimit(int ringUsed)
{
    // Bytes the driver already holds leave the line before any of the ring's.
    const std::uint64_t bytes = static_cast<std::uint64_t>(std::max(ringUsed, 0)) + GetComStat().outQueue;
    const std::uint64_t baud = std::max<std::uint32_t>(dcb_.baudRate, 1);
    const std::uint64_t lineMs = (bytes * characterBits(dcb_) * 1000 + baud - 1) / baud;
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(lineMs)) + kWriteRoomSlack;
}

void TSpComPortCore::signalRoomChanged()
{
    {
        std::lock_guard lock(writeLock_);
    }
    roomChanged_.notify_all();
}

void TSpComPortCore::signalHungUp()
{
    // A write waiting for room gives up at once rather than at its deadline.
    signalRoomChanged();
    // Nothing is handed over for a hang-up: the main thread learns of it from
    // HungUp() after its wait, so that wait is ended here, whichever way the
    // host waits (WaitSyncCalls, its own loop through the waker, ServeSyncCallsUntil).
    NotifySyncWaiters();
    WakeSyncMainThread();
}

bool TSpComPortCore::HungUp() const
{
    return opened_ && device_ && device_->HungUp();
}

int TSpComPortCore::OutBufFree()
{
    if (!active_ || !writeThread_)
        return 0;
    std::lock_guard lock(writeLock_);
    return writeThread_->BufFree();
}

void TSpComPortCore::SetDCB(const Dcb& dcb)
{
    dcb_ = dcb;
    if (active_)
        applySettings();
}

bool TSpComPortCore::EscapeComm(EscapeFunction function)
{
    return active_ && device_->escape(function);
}

void TSpComPortCore::SetEventThreadPriority(TThreadPriority priority)
{
    eventThreadPriority_ = priority;
    if (active_ && eventThread_)
        eventThread_->SetPriority(priority);
}

void TSpComPortCore::SetWriteThreadPriority(TThreadPriority priority)
{
    writeThreadPriority_ = priority;
    if (active_ && writeThread_)
        writeThread_->SetPriority(priority);
}

}  // namespace kt::serial
