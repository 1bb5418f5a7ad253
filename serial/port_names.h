// Port names and the system's serial devices: "COM<n>" as a name, a look at
// a device without disturbing it, and the list of the serial devices the
// system has. Which device stands behind a port of the program is the port
// table's business (ports/port_table.h), not this room's.
//
// Everything here may be called from any thread; nothing is cached.
//
// ListSerialDevices() is the one part that differs by platform
// (port_names_linux.cpp with libudev, port_names_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/low_latency.h"
#include "line/line_contract.h"

namespace dravel {

// "COM3" -> 3; anything that is not COM followed by a number >= 1 -> nullopt.
std::optional<int> ParsePortName(std::string_view name);

// Network: a port across the network, which a listing does not connect to
// (a connection could take the port over from whoever uses it).
enum class PortAvailability { Free, Missing, NotATerminal, Busy, Denied, Unusable, Network };

struct PortProbe {
    std::string device;
    PortAvailability availability = PortAvailability::Missing;
    std::string detail;  // the system's words when it is not free
};

// Looks at a device without disturbing it: the same checks as an opening,
// without changing any line setting or modem line, and without keeping it.
// A network port is not connected to.
PortProbe ProbeDevice(const std::string& device);

const char* ToString(PortAvailability availability);

// A serial device the system knows, whether or not a port names it.
struct SerialDeviceInfo {
    std::string device;        // /dev/ttyUSB0, COM7
    std::string driver;        // ftdi_sio, cp210x, serial8250, ...
    std::string stableName;    // a name that survives replugging (/dev/serial/by-id/...)
    std::string usbId;         // vendor:product of a USB adapter, "0403:6001"
    std::string manufacturer;
    std::string product;       // on Windows the name Device Manager shows
    std::string serialNumber;
    PortAvailability availability = PortAvailability::Missing;
    std::string detail;        // the system's words when it is not free, and a hint
    std::optional<LatencyTimer> latencyTimer;  // a USB adapter's, where the system shows it
};

// Every serial device with a driver behind it and hardware present, in name
// order; each looked at as ProbeDevice() does. Empty when the system tells
// nothing.
std::vector<SerialDeviceInfo> ListSerialDevices();

// The names in the system's own list of serial ports, without looking at any
// of them (Windows: the serial device map and the DOS names of COM ports, in
// number order). Linux has no such list (the device folder is it): empty.
std::vector<std::string> ListedPortNames();

// What a probe's result means for a listing.
PortAvailability AvailabilityOf(SerialResult result);

}  // namespace dravel
