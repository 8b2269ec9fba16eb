#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

namespace kt::platform {

ThreadId CurrentThreadId()
{
    return ::gettid();
}

bool SetThreadPriority(ThreadId thread, ThreadPriority priority)
{
    // Linux schedules each thread by its own nice value; the seven steps map
    // onto it symmetrically around normal (0), idle and time-critical far out.
    static constexpr int kNice[] = {15, 2, 1, 0, -1, -2, -15};
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), kNice[static_cast<int>(priority)]) == 0;
}

}  // namespace kt::platform
