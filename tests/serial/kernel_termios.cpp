#include "kernel_termios.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace dravel::testing {

KernelSpeeds ReadKernelSpeeds(int fd)
{
    KernelSpeeds speeds;
    struct termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return speeds;
    speeds.ok = true;
    speeds.arbitrary = (tio.c_cflag & CBAUD) == BOTHER;
    speeds.input = tio.c_ispeed;
    speeds.output = tio.c_ospeed;
    return speeds;
}

}  // namespace dravel::testing
