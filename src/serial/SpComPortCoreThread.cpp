#include "serial/SpComPortCoreThread.h"

#include "serial/SpComPortCore.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

using Clock = std::chrono::steady_clock;

// A worker that has not reached its loop by then will not; the open fails.
constexpr auto kThreadStartTimeout = std::chrono::milliseconds(3000);
// A worker ends within one hand-over timeout (2000 ms) of its stop signal;
// this bound only guards against a broken one before the final join.
constexpr auto kWorkerStopTimeout = std::chrono::seconds(10);

}  // namespace

static_assert(static_cast<int>(platform::ThreadPriority::Idle) == tpIdle &&
                  static_cast<int>(platform::ThreadPriority::TimeCritical) == tpTimeCritical,
              "the port's thread priorities and the platform's are the same seven steps");

bool isSilentAbort(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const SilentAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

void TSpComPortCoreThread::Start()
{
    // The worker hands over to the thread that started it.
    thread_ = std::thread([this, dispatcher = CurrentSyncDispatcher()]() mutable {
        UseSyncDispatcher(std::move(dispatcher));
        run();
    });
}

bool TSpComPortCoreThread::WaitStarted()
{
    std::unique_lock lock(startMutex_);
    return startCv_.wait_for(lock, kThreadStartTimeout, [&] { return started_; });
}

void TSpComPortCoreThread::SetPriority(TThreadPriority priority)
{
    if (started())
        platform::SetThreadPriority(threadId_.load(), static_cast<platform::ThreadPriority>(priority));
}

void TSpComPortCoreThread::StopThread()
{
    terminated_ = true;
    signalStop();
    if (!thread_.joinable())
        return;
    ServeSyncCallsUntil([this] { return finished_.load(); }, Clock::now() + kWorkerStopTimeout);
    thread_.join();
}

void TSpComPortCoreThread::HandleException(const std::exception_ptr& error)
{
    if (!isSilentAbort(error))
        ShowSyncException(error);
}

void TSpComPortCoreThread::signalStarted()
{
    {
        std::lock_guard lock(startMutex_);
        started_ = true;
    }
    startCv_.notify_all();
}

bool TSpComPortCoreThread::started()
{
    std::lock_guard lock(startMutex_);
    return started_;
}

void TSpComPortCoreThread::run()
{
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

}  // namespace kt::serial
