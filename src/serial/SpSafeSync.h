// Main-thread dispatcher: lets a worker run a registered callback on the main thread and wait for it.
//
// The "main thread" is the thread that first calls RegisterSyncObj, or the one
// that called SetSyncMainThread before that. Callbacks run only there, inside
// ServeSyncCalls. The host plugs the dispatcher into its own loop:
//   - an event loop (Qt window): SetSyncWaker with a function that posts a
//     queued call of ServeSyncCalls to the main thread;
//   - no event loop (command line, tests): loop on WaitSyncCalls(deadline)
//     followed by ServeSyncCalls.
// Registration, enabling and releasing belong to the main thread; workers only
// call CallSyncObj. The table lock is never held while a callback runs, so a
// callback may register, enable or release slots, or close a port.
//
// Several devices at once: a thread that holds a SyncThreadScope is the main
// thread of a dispatcher of its own. Ports it opens hand over to it, and
// their workers carry that dispatcher (CurrentSyncDispatcher when started,
// UseSyncDispatcher on the worker), so each device's thread serves only its
// own port and one device's wait never holds up another's.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace kt::serial {

class SyncDispatcher;
using SyncDispatcherRef = std::shared_ptr<SyncDispatcher>;

// Makes the calling thread the main thread of a new dispatcher for the
// scope's life; every call below made on this thread then goes to it. Ports
// used on the thread must be created and destroyed inside the scope.
class SyncThreadScope {
public:
    SyncThreadScope();
    ~SyncThreadScope();
    SyncThreadScope(const SyncThreadScope&) = delete;
    SyncThreadScope& operator=(const SyncThreadScope&) = delete;

private:
    SyncDispatcherRef previous_;
};

// The dispatcher the calls of this thread go to: its scope's, the one it was
// given, or the program's.
SyncDispatcherRef CurrentSyncDispatcher();
// A worker takes the dispatcher of the thread that started it.
void UseSyncDispatcher(SyncDispatcherRef dispatcher);

// Receives the slot number, 1..64.
using SyncCallback = std::function<void(int slot)>;

// Slot identifier, or 0 when all 64 slots are taken. New slots start disabled.
std::uint32_t RegisterSyncObj(SyncCallback callback);
// Releases the slot; a worker waiting on it returns false at once.
bool UnregisterSyncObj(std::uint32_t id);
// False when no slot has that identifier. Disabling releases waiting workers at once.
bool EnableSyncObj(std::uint32_t id, bool enabled);
// Worker side: runs the slot's callback on the main thread and waits up to
// timeoutMs for it. True when, afterwards, the slot still exists and is enabled;
// a timed-out hand-over is dropped and never runs later.
bool CallSyncObj(std::uint32_t id, std::uint32_t timeoutMs);

// Called on the worker's thread each time a hand-over starts (or a worker error
// needs showing); the host must then arrange a call of ServeSyncCalls on the main thread.
void SetSyncWaker(std::function<void()> wake);
// Main thread only: runs every pending hand-over now and releases its worker.
// Returns how many callbacks and error displays ran; 0 on any other thread.
int ServeSyncCalls();
// Main thread only: blocks without spinning until something is pending, a
// WakeSyncMainThread comes, or the deadline passes. True unless the deadline passed.
bool WaitSyncCalls(std::chrono::steady_clock::time_point deadline);
// Any thread: ends the main thread's current or next wait with nothing to run,
// for a change the main thread only learns of by asking (a device gone). Ends
// a WaitSyncCalls, and calls the waker for a host that waits in its own loop.
// The wake is used up by the next WaitSyncCalls or ServeSyncCalls.
void WakeSyncMainThread();

// Where exceptions escaping a callback go (the standard exception display).
// Always called on the main thread. Default: what() to stderr.
void SetSyncExceptionHandler(std::function<void(std::exception_ptr)> handler);
// Shows an error from any thread through the standard display: at once on the
// main thread, else at its next ServeSyncCalls.
void ShowSyncException(std::exception_ptr error);
// What an error says: its what(), or "unknown exception".
std::string ExceptionText(const std::exception_ptr& error);

void SetSyncMainThread();
bool IsSyncMainThread();

// Waits until done() is true, serving hand-overs meanwhile when called on the
// main thread. done() is re-checked after every NotifySyncWaiters() and every
// hand-over. Returns done() at the end.
bool ServeSyncCallsUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
// Makes ServeSyncCallsUntil re-check its condition; call after changing what it tests.
void NotifySyncWaiters();

}  // namespace kt::serial
