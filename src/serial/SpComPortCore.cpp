#include "serial/SpComPortCore.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/Thread.h"
#include "serial/SerialDevice.h"
#include "serial/SpCircularBuffer.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

using Clock = std::chrono::steady_clock;

// A worker that has not reached its loop by then will not; the open fails.
constexpr auto kThreadStartTimeout = std::chrono::milliseconds(3000);
// Received bytes left unread are reported again at this interval.
constexpr auto kInputPollInterval = std::chrono::milliseconds(200);
// Closing waits this long for the write thread to acknowledge the purge of a
// pending write; past it the write is left to the device purge.
constexpr auto kPurgeAckTimeout = std::chrono::milliseconds(2000);
// Closing first lets queued output reach the line (a last command written just
// before Close must not be thrown away). A full 2048-byte ring takes 180 ms at
// 115200 baud; a line stalled by flow control or a pulled adapter must not hold
// Close longer than this.
constexpr auto kCloseFlushTimeout = std::chrono::milliseconds(500);
// Interval at which closing looks at the driver's output queue, which signals nothing.
constexpr auto kOutputQueuePoll = std::chrono::milliseconds(2);
// A worker ends within one hand-over timeout (2000 ms) of its stop signal;
// this bound only guards against a broken one before the final join.
constexpr auto kWorkerStopTimeout = std::chrono::seconds(10);

std::string format(std::string_view pattern, const std::string& name) {
    std::string text(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, name);
    return text;
}

// Bits one character takes on the line: start, data, parity and stop bits
// (1.5 stop bits counted as 2); 10 for the application's 8N1.
std::uint64_t characterBits(const Dcb& dcb) {
    const std::uint64_t parity = dcb.parity == kNoParity ? 0 : 1;
    const std::uint64_t stop = dcb.stopBits == kOneStopBit ? 1 : 2;
    return 1 + dcb.byteSize + parity + stop;
}

bool isSilentAbort(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const SilentAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

static_assert(static_cast<int>(platform::ThreadPriority::Idle) == tpIdle &&
                  static_cast<int>(platform::ThreadPriority::TimeCritical) == tpTimeCritical,
              "the port's thread priorities and the platform's are the same seven steps");

// Base of both workers: a thread with a stop request, a started handshake and
// an end that the main thread can wait for while it serves hand-overs.
class TSpComPortCoreThread {
public:
    TSpComPortCoreThread(TSpComPortCore& core, SerialDevice& device) : core_(core), device_(device) {}
    virtual ~TSpComPortCoreThread() = default;
    TSpComPortCoreThread(const TSpComPortCoreThread&) = delete;
    TSpComPortCoreThread& operator=(const TSpComPortCoreThread&) = delete;

    void Start() {
        thread_ = std::thread([this] { run(); });
    }

    bool WaitStarted() {
        std::unique_lock lock(startMutex_);
        return startCv_.wait_for(lock, kThreadStartTimeout, [&] { return started_; });
    }

    void SetPriority(TThreadPriority priority) {
        if (started()) platform::SetThreadPriority(threadId_.load(), static_cast<platform::ThreadPriority>(priority));
    }

    virtual void StopThread() {
        terminated_ = true;
        signalStop();
        if (!thread_.joinable()) return;
        ServeSyncCallsUntil([this] { return finished_.load(); }, Clock::now() + kWorkerStopTimeout);
        thread_.join();
    }

    // Errors of the worker itself are shown on the main thread.
    virtual void HandleException(const std::exception_ptr& error) {
        if (!isSilentAbort(error)) ShowSyncException(error);
    }

protected:
    virtual void Execute() = 0;
    virtual void signalStop() = 0;
    // On the worker, after it finished (finished_ is set), however Execute ended.
    virtual void signalFinished() {}

    bool Terminated() const { return terminated_.load(); }
    bool running() const { return thread_.joinable() && !finished_.load(); }

    void signalStarted() {
        {
            std::lock_guard lock(startMutex_);
            started_ = true;
        }
        startCv_.notify_all();
    }

    // For destructors of subclasses: stop and join if the core did not.
    void stopIfRunning() {
        if (thread_.joinable()) StopThread();
    }

    TSpComPortCore& core_;
    SerialDevice& device_;

private:
    bool started() {
        std::lock_guard lock(startMutex_);
        return started_;
    }

    void run() {
        threadId_ = platform::CurrentThreadId();
        try {
            Execute();
        } catch (...) {
            HandleException(std::current_exception());
        }
        finished_ = true;
        signalFinished();
        NotifySyncWaiters();
    }

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<platform::ThreadId> threadId_{0};
    std::mutex startMutex_;
    std::condition_variable startCv_;
    bool started_ = false;
};

// Waits for communication events and polls the input queue; reports through
// the core's callback, on this thread.
class TSpComPortEventThread final : public TSpComPortCoreThread {
public:
    TSpComPortEventThread(TSpComPortCore& core, SerialDevice& device, TSpCPTCoreEvent callback)
        : TSpComPortCoreThread(core, device), callback_(std::move(callback)) {}
    ~TSpComPortEventThread() override { stopIfRunning(); }

    void StopThread() override {
        // The callback may not run any more once Close is on its way; it is
        // switched off rather than emptied, as it may be running right now.
        callbackEnabled_ = false;
        device_.setEventMask(0);
        device_.purge(PURGE_RXABORT | PURGE_RXCLEAR);
        TSpComPortCoreThread::StopThread();
    }

    void HandleException(const std::exception_ptr& error) override {
        if (isSilentAbort(error)) return;
        if (!callbackEnabled_ || !callback_) {
            ShowSyncException(error);
            return;
        }
        try {
            callback_(core_, ceException, 0, error);
        } catch (...) {
            // Passing the error on failed as well; the thread goes on, and the
            // second error is shown unless it is the silent kind.
            TSpComPortCoreThread::HandleException(std::current_exception());
        }
    }

protected:
    void Execute() override {
        signalStarted();
        while (!Terminated()) {
            std::uint32_t mask = 0;
            const auto status = device_.waitEvent(mask, kInputPollInterval);
            if (Terminated()) break;
            if (status == SerialDevice::WaitStatus::HungUp) core_.signalHungUp();
            if (core_.outputDrained_.exchange(false)) DoEvent(ceOutFree, 0);
            if (status == SerialDevice::WaitStatus::Event && mask != 0) {
                DoEvent(ceLineEvent, mask);
            } else if (status == SerialDevice::WaitStatus::Timeout) {
                const ComStat stat = core_.GetComStat();
                if (stat.inQueue > 0) DoEvent(ceNeedReadData, stat.inQueue);
            }
        }
    }

    void signalStop() override { device_.wakeEventWait(); }

private:
    void DoEvent(TSpCoreEvent kind, std::uint32_t data) {
        if (!callbackEnabled_ || !callback_) return;
        try {
            callback_(core_, kind, data, nullptr);
        } catch (...) {
            HandleException(std::current_exception());
        }
    }

    TSpCPTCoreEvent callback_;
    std::atomic<bool> callbackEnabled_{true};
};

// Drains the write ring into the device, straight from the ring's storage.
class TSpComPortWriteThread final : public TSpComPortCoreThread {
public:
    TSpComPortWriteThread(TSpComPortCore& core, SerialDevice& device, int capacity)
        : TSpComPortCoreThread(core, device), ring_(capacity) {}
    ~TSpComPortWriteThread() override { stopIfRunning(); }

    // Main thread; the core's write lock is held.
    bool QueueData(const char* buffer, int count) {
        if (!ring_.Write(buffer, count)) return false;
        idle_ = false;
        {
            std::lock_guard lock(signalMutex_);
            dataQueued_ = true;
        }
        signal_.notify_all();
        return true;
    }

    // Core's write lock held.
    int BufFree() const { return ring_.BufFree(); }
    int Capacity() const { return ring_.Capacity(); }
    // Core's write lock held: bytes wait in the ring, but the thread gave up on
    // them because the device failed; they leave only with the next queued data.
    bool RefusesOutput() const { return idle_.load() && ring_.BufUsed() > 0; }
    // True once the thread has ended (or never ran); nothing leaves the ring then.
    bool Ended() const { return !running(); }

    // True when nothing waits in the ring, or the device refuses to take it.
    bool Idle() const { return idle_.load(); }

    // Asks the thread to drop every queued byte and abort a pending write.
    // False when it did not acknowledge in time.
    bool PurgeOutput() {
        if (!running()) return false;
        std::unique_lock lock(signalMutex_);
        purgeRequest_ = true;
        purgeAcked_ = false;
        lock.unlock();
        signal_.notify_all();
        device_.wakeWriter();
        lock.lock();
        if (!signal_.wait_for(lock, kPurgeAckTimeout, [&] { return purgeAcked_; })) return false;
        return purgeResult_;
    }

    void StopThread() override {
        PurgeOutput();
        TSpComPortCoreThread::StopThread();
    }

    // Closing after everything went out: the stop must not purge the driver's
    // queue, since on a pseudo-terminal that drops what the far end has not read yet.
    void KeepDriverQueueOnStop() { keepDriverQueue_ = true; }

    bool RingEmpty() {
        std::lock_guard lock(core_.writeLock_);
        return ring_.BufUsed() == 0;
    }

protected:
    void Execute() override {
        signalStarted();
        for (;;) {
            {
                std::unique_lock lock(signalMutex_);
                signal_.wait(lock, [&] { return Terminated() || purgeRequest_ || dataQueued_; });
                if (Terminated()) break;
                if (purgeRequest_) {
                    lock.unlock();
                    servePurge();
                    continue;
                }
                dataQueued_ = false;
            }
            sendQueued();
        }
    }

    void signalStop() override {
        { std::lock_guard lock(signalMutex_); }
        signal_.notify_all();
        device_.wakeWriter();
    }

private:
    // Writes until the ring is empty, the device fails, or a purge or stop comes.
    void sendQueued() {
        for (;;) {
            const char* block = nullptr;
            int length = 0;
            {
                std::lock_guard lock(core_.writeLock_);
                length = ring_.LinearUsed();
                block = ring_.ReadPtr();
            }
            if (length == 0) return;
            // No lock here: callers only fill free space and only this thread removes.
            const int written = device_.write(block, length);
            if (written > 0) {
                // Partial writes are normal for a non-blocking tty: the rest
                // goes out in the next turn of this loop.
                if (finishWrite(written)) return;
                continue;
            }
            if (written < 0 || device_.waitWritable() == SerialDevice::WriteWait::Failed) {
                // The bytes stay queued and go out with the next queued data;
                // closing does not wait for them, nor does a write waiting for room.
                {
                    std::lock_guard lock(core_.writeLock_);
                    idle_ = true;
                }
                core_.roomChanged_.notify_all();
                NotifySyncWaiters();
                return;
            }
            if (interrupted()) return;
        }
    }

    // True when the ring is now empty.
    bool finishWrite(int written) {
        bool empty = false;
        {
            std::lock_guard lock(core_.writeLock_);
            ring_.Remove(written);
            empty = ring_.BufUsed() == 0;
            if (empty) idle_ = true;
        }
        core_.roomChanged_.notify_all();
        if (empty) core_.signalOutputDrained();
        return empty;
    }

    bool interrupted() {
        std::lock_guard lock(signalMutex_);
        return Terminated() || purgeRequest_;
    }

    void signalFinished() override { core_.signalRoomChanged(); }

    // Done here rather than by the caller so that the ring is never cleared
    // under a write that is reading from it.
    void servePurge() {
        bool purged = false;
        {
            std::lock_guard lock(core_.writeLock_);
            const bool queued = ring_.BufUsed() > 0;
            ring_.Clear();
            idle_ = true;
            {
                std::lock_guard signalLock(signalMutex_);
                dataQueued_ = false;
            }
            purged = (keepDriverQueue_ && !queued) || device_.purge(PURGE_TXABORT | PURGE_TXCLEAR);
        }
        core_.roomChanged_.notify_all();
        {
            std::lock_guard lock(signalMutex_);
            purgeRequest_ = false;
            purgeAcked_ = true;
            purgeResult_ = purged;
        }
        signal_.notify_all();
    }

    TSpCircularBuffer ring_;
    std::atomic<bool> idle_{true};
    std::atomic<bool> keepDriverQueue_{false};
    std::mutex signalMutex_;
    std::condition_variable signal_;
    bool dataQueued_ = false;
    bool purgeRequest_ = false;
    bool purgeAcked_ = false;
    bool purgeResult_ = false;
};

TSpComPortCore::TSpComPortCore() = default;

TSpComPortCore::~TSpComPortCore() { ClosePort(); }

bool TSpComPortCore::OpenPort(const std::string& name) {
    if (opened_) return false;
    portName_ = name;
    auto device = deviceFactory_ ? deviceFactory_() : SerialDevice::create();
    switch (device->open(name)) {
        case SerialDevice::OpenStatus::Opened: break;
        case SerialDevice::OpenStatus::NotFound:
            throw ESpComPortCoreError(format("Invalid port number (%s)", name));
        case SerialDevice::OpenStatus::Busy:
            throw ESpComPortCoreError(format("Can't open device %s", name));
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

void TSpComPortCore::openSequence() {
    writeThread_.reset();
    eventThread_.reset();
    if (!device_->setTimeouts()) throw ESpComPortCoreError("Error setting timeouts");
    if (!device_->setupQueues(inQueueSize_, outQueueSize_))
        throw ESpComPortCoreError("Error initializing buffers");
    if (!device_->setEventMask(eventMask_)) throw ESpComPortCoreError(" Error setting EventMask");
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
    if (!writeThread_->WaitStarted()) throw ESpComPortCoreError("Error creating threads");
    writeThread_->SetPriority(writeThreadPriority_);
    active_ = true;

    try {
        eventThread_ = std::make_unique<TSpComPortEventThread>(*this, *device_, callback_);
        eventThread_->Start();
    } catch (const std::system_error&) {
        throw ESpComPortCoreError("Error creating threads");
    }
    if (!eventThread_->WaitStarted()) throw ESpComPortCoreError("Error creating threads");
    eventThread_->SetPriority(eventThreadPriority_);
}

void TSpComPortCore::applySettings() {
    if (device_->setState(dcb_)) return;
    device_->getState(dcb_);
    throw ESpComPortCoreError("Error setting parameters from DCB");
}

void TSpComPortCore::ClosePort() {
    if (!opened_) return;
    closeSequence();
    opened_ = false;
}

void TSpComPortCore::closeSequence() {
    if (!device_) return;
    active_ = false;
    // Output that went out completely is left alone; only what is stuck is purged.
    const bool drained = flushBeforeClose();
    if (drained && writeThread_) writeThread_->KeepDriverQueueOnStop();
    device_->purge(drained ? (PURGE_RXABORT | PURGE_RXCLEAR)
                           : (PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
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

bool TSpComPortCore::flushBeforeClose() {
    if (!writeThread_) return false;
    const auto deadline = Clock::now() + kCloseFlushTimeout;
    TSpComPortWriteThread& writer = *writeThread_;
    if (!ServeSyncCallsUntil([&writer] { return writer.Idle(); }, deadline)) return false;
    for (;;) {
        std::uint32_t errors = 0;
        ComStat stat;
        {
            std::lock_guard lock(portLock_);
            if (!device_->clearCommError(errors, stat)) return false;
            if (stat.outQueue == 0) return writer.RingEmpty();
            lineErrors_ |= errors;
        }
        if (Clock::now() >= deadline) return false;
        ServeSyncCallsUntil([] { return false; }, Clock::now() + kOutputQueuePoll);
    }
}

void TSpComPortCore::signalOutputDrained() {
    outputDrained_ = true;
    device_->wakeEventWait();
    NotifySyncWaiters();
}

ComStat TSpComPortCore::GetComStat() {
    if (!active_) return {};
    std::lock_guard lock(portLock_);
    std::uint32_t errors = 0;
    ComStat stat;
    device_->clearCommError(errors, stat);
    lineErrors_ |= errors;
    return stat;
}

std::uint32_t TSpComPortCore::TakeErrors() {
    if (!active_) return 0;
    std::lock_guard lock(portLock_);
    return std::exchange(lineErrors_, 0);
}

int TSpComPortCore::ReadData(char* buffer, int count) {
    if (!active_) return -1;
    std::lock_guard lock(portLock_);
    return device_->read(buffer, count);
}

bool TSpComPortCore::WriteData(const char* buffer, int count) {
    if (!active_ || !writeThread_) return false;
    std::lock_guard lock(writeLock_);
    return writeThread_->QueueData(buffer, count);
}

bool TSpComPortCore::WriteDataWhenRoom(const char* buffer, int count) {
    if (!active_ || !writeThread_) return false;
    TSpComPortWriteThread& writer = *writeThread_;
    int ringUsed = 0;
    {
        std::lock_guard lock(writeLock_);
        if (writer.QueueData(buffer, count)) return true;
        // No wait makes room for a block larger than the whole ring.
        if (count < 1 || count > writer.Capacity()) return false;
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
    return room && writer.QueueData(buffer, count);
}

std::chrono::milliseconds TSpComPortCore::roomWaitLimit(int ringUsed) {
    // Bytes the driver already holds leave the line before any of the ring's.
    const std::uint64_t bytes = static_cast<std::uint64_t>(std::max(ringUsed, 0)) + GetComStat().outQueue;
    const std::uint64_t baud = std::max<std::uint32_t>(dcb_.baudRate, 1);
    const std::uint64_t lineMs = (bytes * characterBits(dcb_) * 1000 + baud - 1) / baud;
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(lineMs)) + kWriteRoomSlack;
}

void TSpComPortCore::signalRoomChanged() {
    { std::lock_guard lock(writeLock_); }
    roomChanged_.notify_all();
}

void TSpComPortCore::signalHungUp() {
    // A write waiting for room gives up at once rather than at its deadline.
    signalRoomChanged();
    // Nothing is handed over for a hang-up: the main thread learns of it from
    // HungUp() after its wait, so that wait is ended here, whichever way the
    // host waits (WaitSyncCalls, its own loop through the waker, ServeSyncCallsUntil).
    NotifySyncWaiters();
    WakeSyncMainThread();
}

bool TSpComPortCore::HungUp() const { return opened_ && device_ && device_->HungUp(); }

int TSpComPortCore::OutBufFree() {
    if (!active_ || !writeThread_) return 0;
    std::lock_guard lock(writeLock_);
    return writeThread_->BufFree();
}

void TSpComPortCore::SetDCB(const Dcb& dcb) {
    dcb_ = dcb;
    if (active_) applySettings();
}

bool TSpComPortCore::EscapeComm(EscapeFunction function) {
    return active_ && device_->escape(function);
}

void TSpComPortCore::SetEventThreadPriority(TThreadPriority priority) {
    eventThreadPriority_ = priority;
    if (active_ && eventThread_) eventThread_->SetPriority(priority);
}

void TSpComPortCore::SetWriteThreadPriority(TThreadPriority priority) {
    writeThreadPriority_ = priority;
    if (active_ && writeThread_) writeThread_->SetPriority(priority);
}

}  // namespace kt::serial
