// The port core's write thread: drains the write ring into the device,
// straight from the ring's storage.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "serial/SpCircularBuffer.h"
#include "serial/SpComPortCoreThread.h"

namespace kt::serial {

class TSpComPortWriteThread final : public TSpComPortCoreThread {
public:
    TSpComPortWriteThread(TSpComPortCore& core, SerialDevice& device, int capacity)
        : TSpComPortCoreThread(core, device), ring_(capacity)
    {}
    ~TSpComPortWriteThread() override { stopIfRunning(); }

    // Main thread; the core's write lock is held. When nothing waits in the
    // ring and the thread is idle, a device that allows it takes the data from
    // the calling thread, which saves the thread's wake-up for every frame;
    // what it does not take at once is queued behind. `sentAll` tells that
    // everything left this way (the core then tells that the output drained).
    bool QueueData(const char* buffer, int count, bool& sentAll);

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
    bool PurgeOutput();

    void StopThread() override;

    // Closing after everything went out: the stop must not purge the driver's
    // queue, since on a pseudo-terminal that drops what the far end has not read yet.
    void KeepDriverQueueOnStop() { keepDriverQueue_ = true; }

    bool RingEmpty();

protected:
    void Execute() override;
    void signalStop() override;

private:
    // Writes until the ring is empty, the device fails, or a purge or stop comes.
    void sendQueued();
    // True when the ring is now empty.
    bool finishWrite(int written);
    bool interrupted();
    void signalFinished() override;
    // Done here rather than by the caller so that the ring is never cleared
    // under a write that is reading from it.
    void servePurge();

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

}  // namespace kt::serial
