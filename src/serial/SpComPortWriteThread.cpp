#include "serial/SpComPortWriteThread.h"

#include "serial/SerialDevice.h"
#include "serial/SpComPortCore.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

// Closing waits this long for the write thread to acknowledge the purge of a
// pending write; past it the write is left to the device purge.
constexpr auto kPurgeAckTimeout = std::chrono::milliseconds(2000);

}  // namespace

bool TSpComPortWriteThread::QueueData(const char* buffer, int count, bool& sentAll)
{
    sentAll = false;
    // Only data that would fit the ring whole: a write refused for want of
    // room must send nothing at all. The thread is idle with an empty ring
    // only between its writes, and it starts the next one only once data is
    // queued under the write lock this caller holds.
    if (count > 0 && count <= ring_.BufFree() && ring_.BufUsed() == 0 && idle_.load() && running() &&
        device_.writesFromAnyThread()) {
        const int written = device_.write(buffer, count);
        if (written == count) {
            sentAll = true;
            return true;
        }
        if (written > 0) {
            buffer += written;
            count -= written;
        }
    }
    if (!ring_.Write(buffer, count))
        return false;
    idle_ = false;
    {
        std::lock_guard lock(signalMutex_);
        dataQueued_ = true;
    }
    signal_.notify_all();
    return true;
}

bool TSpComPortWriteThread::PurgeOutput()
{
    if (!running())
        return false;
    std::unique_lock lock(signalMutex_);
    purgeRequest_ = true;
    purgeAcked_ = false;
    lock.unlock();
    signal_.notify_all();
    device_.wakeWriter();
    lock.lock();
    if (!signal_.wait_for(lock, kPurgeAckTimeout, [&] { return purgeAcked_; }))
        return false;
    return purgeResult_;
}

void TSpComPortWriteThread::StopThread()
{
    PurgeOutput();
    TSpComPortCoreThread::StopThread();
}

bool TSpComPortWriteThread::RingEmpty()
{
    std::lock_guard lock(core_.writeLock_);
    return ring_.BufUsed() == 0;
}

void TSpComPortWriteThread::Execute()
{
    signalStarted();
    for (;;) {
        {
            std::unique_lock lock(signalMutex_);
            signal_.wait(lock, [&] { return Terminated() || purgeRequest_ || dataQueued_; });
            if (Terminated())
                break;
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

void TSpComPortWriteThread::signalStop()
{
    {
        std::lock_guard lock(signalMutex_);
    }
    signal_.notify_all();
    device_.wakeWriter();
}

void TSpComPortWriteThread::sendQueued()
{
    for (;;) {
        const char* block = nullptr;
        int length = 0;
        {
            std::lock_guard lock(core_.writeLock_);
            length = ring_.LinearUsed();
            block = ring_.ReadPtr();
        }
        if (length == 0)
            return;
        // No lock here: callers only fill free space and only this thread removes.
        const int written = device_.write(block, length);
        if (written > 0) {
            // Partial writes are normal for a non-blocking tty: the rest
            // goes out in the next turn of this loop.
            if (finishWrite(written))
                return;
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
        if (interrupted())
            return;
    }
}

bool TSpComPortWriteThread::finishWrite(int written)
{
    bool empty = false;
    {
        std::lock_guard lock(core_.writeLock_);
        ring_.Remove(written);
        empty = ring_.BufUsed() == 0;
        if (empty)
            idle_ = true;
    }
    core_.roomChanged_.notify_all();
    if (empty)
        core_.signalOutputDrained();
    return empty;
}

bool TSpComPortWriteThread::interrupted()
{
    std::lock_guard lock(signalMutex_);
    return Terminated() || purgeRequest_;
}

void TSpComPortWriteThread::signalFinished()
{
    core_.signalRoomChanged();
}

void TSpComPortWriteThread::servePurge()
{
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
        purged = (keepDriverQueue_ && !queued) || device_.purge(kPurgeTxAbort | kPurgeTxClear);
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

}  // namespace kt::serial
