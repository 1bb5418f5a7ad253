// The port configuration chosen in the port settings dialog and read at every
// port opening. Every configuration the dialog can produce is 115200 baud,
// 8 data bits, no parity, one stop bit, on port 1 to 4.
#pragma once

#include <cstdint>

namespace dravel {

struct PortConfig {
    int32_t portNumber = 1;
    uint32_t baudRate = 115200;
    uint8_t byteSize = 8;
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even
    uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
};

}  // namespace dravel
