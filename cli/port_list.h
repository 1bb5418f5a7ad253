// --list-ports: the program's four ports and every serial device of the
// system, each with what it is and whether it is free to use.
#pragma once

#include <string>
#include <vector>

#include "ports/port_table.h"

namespace dravel::cli {

// Ports 1 to 4 first, a line each, then the system's devices. A port whose
// device is not its default says where the device comes from (origins, one
// per port; missing ones count as the default).
std::string FormatPortList(const std::vector<PortProbe>& ports, const std::vector<SerialDeviceInfo>& devices,
                           const std::vector<DeviceOrigin>& origins = {});

// Prints the list for ports 1 to 4 as `ports` resolves them.
int ListPorts(const PortTable& ports);

}  // namespace dravel::cli
