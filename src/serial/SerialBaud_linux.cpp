#include "serial/SerialBaud_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kt::serial {

bool setCustomBaud(int fd, std::uint32_t baud)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool readCustomBaud(int fd, std::uint32_t& baud)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    baud = tio.c_ospeed;
    return true;
}

}  // namespace kt::serial
