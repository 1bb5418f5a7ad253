// The port configuration chosen in the port settings dialog and read at every
// port opening: which port, what it stands for, and the line settings to open
// it with. Every configuration the dialog can produce is 115200 baud, 8 data
// bits, no parity, one stop bit, on port 1 to 4.
#pragma once

#include <cstdint>
#include <optional>

#include "comm/serial_line.h"
#include "ports/resolved_port.h"

namespace dravel {

struct PortConfig {
    int32_t portNumber = 1;
    // What the port opens, resolved once by the front end from its port
    // table (the dialog's port at the send, the command line's --port);
    // none: the system's own port portNumber.
    std::optional<ResolvedPort> resolved;
    LineSettings line;

    ResolvedPort Target() const { return resolved ? *resolved : SystemPort(portNumber); }
};

}  // namespace dravel
