// The port configuration chosen in the port settings dialog and read at every
// port opening: which port, and the line settings to open it with. Every
// configuration the dialog can produce is 115200 baud, 8 data bits, no
// parity, one stop bit, on port 1 to 4.
#pragma once

#include <cstdint>
#include <string>

#include "comm/serial_line.h"

namespace dravel {

struct PortConfig {
    int32_t portNumber = 1;
    // A device to open instead of the port's own (the command line's
    // --port /dev/ttyUSB0); empty: the device of "COM<portNumber>".
    std::string device;
    LineSettings line;
};

}  // namespace dravel
