#include "platform/Memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace kt::platform {

void AdviseLargePages(void* data, std::size_t size)
{
    // Only whole 2 MiB pages inside the buffer can be large; the advice needs
    // a page-aligned start, so it covers the buffer's aligned interior.
    constexpr std::uintptr_t kLargePage = 2 * 1024 * 1024;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
    if (data == nullptr || last <= first)
        return;
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // refused: ordinary pages
}

}  // namespace kt::platform
