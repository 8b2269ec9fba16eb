#include "serial/PlainEventLoop.h"

#include "serial/SpSafeSync.h"

namespace kt {

PlainEventLoop::PlainEventLoop()
{
    serial::SetSyncMainThread();
    serial::SetSyncWaker([this] { Wake(); });
}

PlainEventLoop::~PlainEventLoop()
{
    serial::SetSyncWaker(nullptr);
}

void PlainEventLoop::Wake()
{
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wakeUp_.notify_all();
}

void PlainEventLoop::ProcessEvents(std::chrono::steady_clock::time_point deadline)
{
    if (serial::ServeSyncCalls() > 0)
        return;
    // A deadline already passed only looks: no wait, no system call.
    if (deadline <= std::chrono::steady_clock::now())
        return;
    {
        std::unique_lock lock(mutex_);
        wakeUp_.wait_until(lock, deadline, [this] { return woken_; });
        woken_ = false;
    }
    serial::ServeSyncCalls();
}

}  // namespace kt
