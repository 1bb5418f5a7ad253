// Port names: which device file stands behind "COM<n>".
//
// The system opens its ports by the name "COM%d". On Linux the environment
// variable DRAVEL_COM<n> names the device for port n (for example
// DRAVEL_COM1=/dev/ttyUSB0); without it port n is /dev/ttyS<n-1>.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dravel {

// "COM3" -> 3; anything that is not COM followed by a number >= 1 -> nullopt.
std::optional<int> ParsePortName(std::string_view name);

// The device path for port n.
std::string ResolvePortDevice(int portNumber);

// The device path for "COM<n>"; a name that is not of that form is taken as a
// path as it stands.
std::string ResolvePortName(std::string_view name);

enum class PortAvailability { Free, Missing, NotATerminal, Busy, Unusable };

struct PortProbe {
    std::string device;
    PortAvailability availability = PortAvailability::Missing;
    std::string detail;  // the system's words when it is not free
};

// Looks at port n without disturbing it: opens it briefly and tries the lock,
// without changing any line setting or modem line.
PortProbe ProbePort(int portNumber);

const char* ToString(PortAvailability availability);

}  // namespace dravel
