#include "platform/Memory.h"

namespace kt::platform {

// Large pages on Windows need a privilege that ordinary users lack, and
// memory for them must come from VirtualAlloc; a std::vector's buffer stays
// on ordinary pages.
void AdviseLargePages(void*, std::size_t)
{}

}  // namespace kt::platform
