// Port names: which device stands behind "COM<n>".
//
// The system opens its ports by the name "COM%d". The environment variable
// DRAVEL_COM<n> names the device for port n (DRAVEL_COM1=/dev/ttyUSB0 on
// Linux, DRAVEL_COM1=COM7 on Windows); without it port n is the platform's
// own n-th port (/dev/ttyS<n-1> on Linux, COM<n> on Windows).
//
// Everything here may be called from any thread; nothing is cached, so a
// changed variable takes effect at the next opening.
//
// ListSystemPorts() is the one part that differs by platform
// (port_names_posix.cpp, port_names_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravel {

// "COM3" -> 3; anything that is not COM followed by a number >= 1 -> nullopt.
std::optional<int> ParsePortName(std::string_view name);

// The device for port n.
std::string ResolvePortDevice(int portNumber);

// The device for "COM<n>"; a name that is not of that form is taken as a
// device as it stands.
std::string ResolvePortName(std::string_view name);

enum class PortAvailability { Free, Missing, NotATerminal, Busy, Unusable };

struct PortProbe {
    std::string device;
    PortAvailability availability = PortAvailability::Missing;
    std::string detail;  // the system's words when it is not free
};

// Looks at port n without disturbing it: the same checks as an opening,
// without changing any line setting or modem line, and without keeping it.
PortProbe ProbePort(int portNumber);

const char* ToString(PortAvailability availability);

// A serial port the system itself knows of: the name it is opened by (COM7)
// and what the system says stands behind it (\Device\Serial0).
struct SystemPort {
    std::string name;
    std::string detail;
};

// The serial ports the system knows of, in the order of their names; empty
// where the platform keeps no such list.
std::vector<SystemPort> ListSystemPorts();

}  // namespace dravel
