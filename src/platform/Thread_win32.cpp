#include "platform/Thread.h"

#include <windows.h>

namespace kt::platform {

ThreadId CurrentThreadId()
{
    return static_cast<ThreadId>(::GetCurrentThreadId());
}

bool SetThreadPriority(ThreadId thread, ThreadPriority priority)
{
    static constexpr int kPriority[] = {
        THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
        THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL};
    const HANDLE handle = ::OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(thread));
    if (handle == nullptr)
        return false;
    const bool set = ::SetThreadPriority(handle, kPriority[static_cast<int>(priority)]) != 0;
    ::CloseHandle(handle);
    return set;
}

}  // namespace kt::platform
