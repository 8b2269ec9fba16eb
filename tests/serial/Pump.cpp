#include "Pump.h"

#include "serial/SpSafeSync.h"

#include <algorithm>

namespace kt::serial::test {
namespace {

using Clock = std::chrono::steady_clock;

// Keeps a pump responsive to conditions that no hand-over signals (bytes at
// the far end, a closed flag).
constexpr auto kPumpSlice = std::chrono::milliseconds(5);

}  // namespace

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        ServeSyncCalls();
        if (done())
            return true;
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        WaitSyncCalls(std::min(deadline, now + kPumpSlice));
    }
}

void pumpFor(std::chrono::milliseconds duration)
{
    pumpUntil([] { return false; }, duration);
}

}  // namespace kt::serial::test
