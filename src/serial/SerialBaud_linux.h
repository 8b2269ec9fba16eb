// Arbitrary line speeds through termios2; kept apart because <asm/termbits.h> clashes with <termios.h>.
#pragma once

#include <cstdint>

namespace kt::serial {

// Sets both directions of an open tty to baud (BOTHER); false when the driver refuses.
bool setCustomBaud(int fd, std::uint32_t baud);
// The output speed the driver reports; false when it cannot be read.
bool readCustomBaud(int fd, std::uint32_t& baud);

}  // namespace kt::serial
