// Reads a line's speeds through the kernel's own termios2 header, kept in a
// translation unit of its own because that header clashes with <termios.h>.
// It checks the line code's hand-made description of the same interface.
#pragma once

#include <cstdint>

namespace dravel::testing {

struct KernelSpeeds {
    bool ok = false;
    bool arbitrary = false;  // BOTHER set in c_cflag
    uint32_t input = 0;
    uint32_t output = 0;
};

KernelSpeeds ReadKernelSpeeds(int fd);

}  // namespace dravel::testing
