// Line rates outside the B-constants, through the kernel's termios2 (BOTHER).
// Kept in a translation unit of its own because <asm/termbits.h> and
// <termios.h> define the same names differently.
//
// Threads: any. Failures: SetArbitraryRate returns the errno value (0 = ok);
// ReadRate returns 0 when the rate cannot be read.
#pragma once

#include <cstdint>

namespace dravel::devsim {

int SetArbitraryRate(int fd, uint32_t baud);
uint32_t ReadRate(int fd);

}  // namespace dravel::devsim
