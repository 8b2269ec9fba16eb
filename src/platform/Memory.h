// Hints to the system about how a large buffer will be used.
#pragma once

#include <cstddef>

namespace kt::platform {

// Asks for [data, data + size) to be backed by large pages where the system
// offers them, before the buffer is first written: an image of tens of MiB
// then costs a few page faults instead of thousands. Best effort, and nothing
// where the system has no such pages for ordinary programs.
void AdviseLargePages(void* data, std::size_t size);

}  // namespace kt::platform
