#include "tty_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace dravel::devsim {

int SetArbitraryRate(int fd, uint32_t baud) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return errno;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
    if (::ioctl(fd, TCSETS2, &settings) != 0) return errno;
    return 0;
}

uint32_t ReadRate(int fd) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return 0;
    return settings.c_ospeed;
}

}  // namespace dravel::devsim
