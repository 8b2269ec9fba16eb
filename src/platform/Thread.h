// The calling thread's identity and scheduling priority, as the system knows them.
#pragma once

#include <cstdint>

namespace kt::platform {

using ThreadId = std::int64_t;

// Seven steps from idle to time-critical, in the order Windows names them.
enum class ThreadPriority { Idle, Lowest, BelowNormal, Normal, AboveNormal, Highest, TimeCritical };

// The calling thread's system-wide identity.
ThreadId CurrentThreadId();
// Best effort: false when the system refused (raising a priority may need
// privileges the process lacks).
bool SetThreadPriority(ThreadId thread, ThreadPriority priority);

}  // namespace kt::platform
