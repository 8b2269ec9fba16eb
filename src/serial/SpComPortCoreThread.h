// Base of the port core's two workers: a thread with a stop request, a
// started handshake, and an end the main thread waits for while it serves
// hand-overs. Private to the port core.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/Thread.h"
#include "serial/SerialTypes.h"

namespace kt::serial {

class SerialDevice;
class TSpComPortCore;

// True for the error an event receiver throws to drop an event without a trace.
bool isSilentAbort(const std::exception_ptr& error);

class TSpComPortCoreThread {
public:
    TSpComPortCoreThread(TSpComPortCore& core, SerialDevice& device) : core_(core), device_(device) {}
    virtual ~TSpComPortCoreThread() = default;
    TSpComPortCoreThread(const TSpComPortCoreThread&) = delete;
    TSpComPortCoreThread& operator=(const TSpComPortCoreThread&) = delete;

    void Start();
    // False when the worker did not reach its loop in time: the open fails.
    bool WaitStarted();
    void SetPriority(TThreadPriority priority);
    // Asks the worker to end and joins it, serving hand-overs meanwhile.
    virtual void StopThread();
    // Errors of the worker itself are shown on the main thread.
    virtual void HandleException(const std::exception_ptr& error);

protected:
    virtual void Execute() = 0;
    virtual void signalStop() = 0;
    // On the worker, after it finished (finished_ is set), however Execute ended.
    virtual void signalFinished() {}

    bool Terminated() const { return terminated_.load(); }
    bool running() const { return thread_.joinable() && !finished_.load(); }
    void signalStarted();
    // For destructors of subclasses: stop and join if the core did not.
    void stopIfRunning()
    {
        if (thread_.joinable())
            StopThread();
    }

    TSpComPortCore& core_;
    SerialDevice& device_;

private:
    bool started();
    void run();

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<platform::ThreadId> threadId_{0};
    std::mutex startMutex_;
    std::condition_variable startCv_;
    bool started_ = false;
};

}  // namespace kt::serial
