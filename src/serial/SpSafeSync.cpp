#include "serial/SpSafeSync.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kt::serial {
namespace {

constexpr int kSlotCount = 64;

struct Slot {
    bool enabled = false;
    SyncCallback callback;
    std::uint32_t id = 0;
};

// One worker's hand-over, shared between the worker and the main thread so
// that either may give up on it without leaving the other a dangling reference.
struct Request {
    std::uint32_t id = 0;
    bool done = false;       // the worker may return
    bool abandoned = false;  // the worker gave up waiting; do not run it
};

void printException(std::exception_ptr error)
{
    std::fprintf(stderr, "%s\n", ExceptionText(error).c_str());
}

}  // namespace

class SyncDispatcher {
public:
    std::uint32_t registerSlot(SyncCallback callback)
    {
        std::lock_guard lock(mutex_);
        if (!mainThread_)
            mainThread_ = std::this_thread::get_id();
        if (!callback)
            return 0;
        for (Slot& slot : slots_) {
            if (slot.callback)
                continue;
            slot.enabled = false;
            slot.callback = std::move(callback);
            slot.id = nextIdentifier();
            return slot.id;
        }
        return 0;
    }

    bool unregisterSlot(std::uint32_t id)
    {
        SyncCallback released;  // destroyed after the lock is let go
        {
            std::lock_guard lock(mutex_);
            Slot* slot = find(id);
            if (!slot || slot->id == 0)
                return false;
            released = std::move(slot->callback);
            slot->callback = nullptr;
            slot->id = 0;
            releaseWaiters(id);
        }
        return true;
    }

    bool enableSlot(std::uint32_t id, bool enabled)
    {
        std::lock_guard lock(mutex_);
        Slot* slot = find(id);
        if (!slot || !slot->callback)
            return false;
        slot->enabled = enabled;
        if (!enabled)
            releaseWaiters(id);
        return true;
    }

    bool call(std::uint32_t id, std::uint32_t timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        auto request = std::make_shared<Request>();
        request->id = id;
        std::function<void()> waker;
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            Slot* slot = find(id);
            if (!slot || !slot->callback || !slot->enabled)
                return false;
            index = static_cast<int>(slot - slots_.data());
            pending_.push_back(request);
            active_.push_back(request);
            waker = waker_;
        }
        mainWait_.notify_all();
        if (waker)
            waker();

        std::unique_lock lock(mutex_);
        workerWait_.wait_until(lock, deadline, [&] { return request->done; });
        if (!request->done)
            request->abandoned = true;
        forget(request);
        const Slot& slot = slots_[static_cast<std::size_t>(index)];
        return slot.id == id && slot.callback && slot.enabled;
    }

    void setWaker(std::function<void()> wake)
    {
        std::lock_guard lock(mutex_);
        waker_ = std::move(wake);
    }

    void setExceptionHandler(std::function<void(std::exception_ptr)> handler)
    {
        std::lock_guard lock(mutex_);
        exceptionHandler_ = std::move(handler);
    }

    void show(std::exception_ptr error)
    {
        if (isMainThread()) {
            display(error);
            return;
        }
        std::function<void()> waker;
        {
            std::lock_guard lock(mutex_);
            errors_.push_back(error);
            waker = waker_;
        }
        mainWait_.notify_all();
        if (waker)
            waker();
    }

    int serve()
    {
        if (!isMainThread())
            return 0;
        int ran = 0;
        std::unique_lock lock(mutex_);
        // Whatever a wake stands for is looked at by the caller after this serve.
        wakeRequested_ = false;
        // Only what is pending now: a busy worker must not keep the main thread here.
        std::size_t budget = pending_.size();
        while (budget-- > 0 && !pending_.empty()) {
            std::shared_ptr<Request> request = pending_.front();
            pending_.pop_front();
            if (request->abandoned || request->done)
                continue;
            Slot* slot = find(request->id);
            if (!slot || !slot->enabled || !slot->callback) {
                finish(*request);
                continue;
            }
            const int number = static_cast<int>(slot - slots_.data()) + 1;
            SyncCallback callback = slot->callback;  // a copy survives a release during the call
            lock.unlock();
            try {
                callback(number);
            } catch (...) {
                display(std::current_exception());
            }
            ++ran;
            lock.lock();
            finish(*request);
        }
        std::vector<std::exception_ptr> errors;
        errors.swap(errors_);
        lock.unlock();
        for (const auto& error : errors) {
            display(error);
            ++ran;
        }
        return ran;
    }

    bool wait(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock lock(mutex_);
        const bool woken = mainWait_.wait_until(lock, deadline, [&] { return somethingPending() || wakeRequested_; });
        wakeRequested_ = false;
        return woken;
    }

    void wakeMain()
    {
        std::function<void()> waker;
        {
            std::lock_guard lock(mutex_);
            wakeRequested_ = true;
            waker = waker_;
        }
        mainWait_.notify_all();
        if (waker)
            waker();
    }

    bool serveUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline)
    {
        const bool serving = isMainThread();
        for (;;) {
            if (serving)
                serve();
            std::unique_lock lock(mutex_);
            if (done())
                return true;
            const bool woken =
                mainWait_.wait_until(lock, deadline, [&] { return done() || (serving && somethingPending()); });
            if (!woken)
                return done();
        }
    }

    void notifyWaiters()
    {
        // Taking the lock orders the caller's change before a waiter's re-check.
        {
            std::lock_guard lock(mutex_);
        }
        mainWait_.notify_all();
    }

    void setMainThread()
    {
        std::lock_guard lock(mutex_);
        mainThread_ = std::this_thread::get_id();
    }

    bool isMainThread()
    {
        std::lock_guard lock(mutex_);
        return mainThread_ && *mainThread_ == std::this_thread::get_id();
    }

private:
    std::uint32_t nextIdentifier()
    {
        ++counter_;
        if (counter_ == 0)
            ++counter_;
        return counter_;
    }

    Slot* find(std::uint32_t id)
    {
        if (id == 0)
            return nullptr;
        auto it = std::find_if(slots_.begin(), slots_.end(), [id](const Slot& s) { return s.id == id; });
        return it == slots_.end() ? nullptr : &*it;
    }

    bool somethingPending() const { return !pending_.empty() || !errors_.empty(); }

    // Lock held. Lets every worker waiting on this slot go; none of them runs later.
    void releaseWaiters(std::uint32_t id)
    {
        for (const auto& request : active_) {
            if (request->id == id) {
                request->done = true;
                request->abandoned = true;
            }
        }
        workerWait_.notify_all();
    }

    // Lock held.
    void finish(Request& request)
    {
        request.done = true;
        workerWait_.notify_all();
    }

    // Lock held.
    void forget(const std::shared_ptr<Request>& request)
    {
        std::erase(pending_, request);
        std::erase(active_, request);
    }

    void display(std::exception_ptr error)
    {
        std::function<void(std::exception_ptr)> handler;
        {
            std::lock_guard lock(mutex_);
            handler = exceptionHandler_;
        }
        try {
            if (handler)
                handler(error);
            else
                printException(error);
        } catch (...) {
            // The display itself failed; there is nowhere left to report it.
        }
    }

    std::mutex mutex_;
    std::condition_variable mainWait_;
    std::condition_variable workerWait_;
    std::array<Slot, kSlotCount> slots_{};
    std::uint32_t counter_ = 0;
    std::deque<std::shared_ptr<Request>> pending_;  // waiting to be run
    std::vector<std::shared_ptr<Request>> active_;  // every hand-over whose worker still waits
    std::vector<std::exception_ptr> errors_;
    std::function<void()> waker_;
    bool wakeRequested_ = false;  // WakeSyncMainThread came; ends one WaitSyncCalls
    std::function<void(std::exception_ptr)> exceptionHandler_;
    std::optional<std::thread::id> mainThread_;
};

namespace {

// The program's dispatcher, serving its main thread. Never destroyed: port
// components may still release their slots while static objects are being
// torn down at program end.
const SyncDispatcherRef& programDispatcher()
{
    static const auto* instance = new SyncDispatcherRef(std::make_shared<SyncDispatcher>());
    return *instance;
}

// Set on a thread inside a SyncThreadScope, and on the workers its ports start.
thread_local SyncDispatcherRef threadDispatcher;

SyncDispatcher& dispatcher()
{
    return threadDispatcher ? *threadDispatcher : *programDispatcher();
}

}  // namespace

SyncThreadScope::SyncThreadScope() : previous_(threadDispatcher)
{
    threadDispatcher = std::make_shared<SyncDispatcher>();
    threadDispatcher->setMainThread();
}

SyncThreadScope::~SyncThreadScope()
{
    threadDispatcher = std::move(previous_);
}

SyncDispatcherRef CurrentSyncDispatcher()
{
    return threadDispatcher ? threadDispatcher : programDispatcher();
}

void UseSyncDispatcher(SyncDispatcherRef dispatcher)
{
    threadDispatcher = std::move(dispatcher);
}

std::uint32_t RegisterSyncObj(SyncCallback callback)
{
    return dispatcher().registerSlot(std::move(callback));
}
bool UnregisterSyncObj(std::uint32_t id)
{
    return dispatcher().unregisterSlot(id);
}
bool EnableSyncObj(std::uint32_t id, bool enabled)
{
    return dispatcher().enableSlot(id, enabled);
}
bool CallSyncObj(std::uint32_t id, std::uint32_t timeoutMs)
{
    return dispatcher().call(id, timeoutMs);
}
void SetSyncWaker(std::function<void()> wake)
{
    dispatcher().setWaker(std::move(wake));
}
int ServeSyncCalls()
{
    return dispatcher().serve();
}
bool WaitSyncCalls(std::chrono::steady_clock::time_point deadline)
{
    return dispatcher().wait(deadline);
}
void SetSyncExceptionHandler(std::function<void(std::exception_ptr)> handler)
{
    dispatcher().setExceptionHandler(std::move(handler));
}
void ShowSyncException(std::exception_ptr error)
{
    dispatcher().show(std::move(error));
}
std::string ExceptionText(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}
void SetSyncMainThread()
{
    dispatcher().setMainThread();
}
bool IsSyncMainThread()
{
    return dispatcher().isMainThread();
}
bool ServeSyncCallsUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline)
{
    return dispatcher().serveUntil(done, deadline);
}
void NotifySyncWaiters()
{
    dispatcher().notifyWaiters();
}
void WakeSyncMainThread()
{
    dispatcher().wakeMain();
}

}  // namespace kt::serial
