// Port names: which device stands behind "COM<n>".
//
// The system opens its ports by the name "COM%d". The environment variable
// DRAVEL_COM<n> names the device for port n (DRAVEL_COM1=/dev/ttyUSB0 on
// Linux, DRAVEL_COM1=COM7 on Windows); without it, the device a front end
// remembers for that port (SetPortDeviceLookup); without that, the
// platform's own n-th port (/dev/ttyS<n-1> on Linux, COM<n> on Windows).
//
// Everything here may be called from any thread; nothing is cached, so a
// changed variable takes effect at the next opening.
//
// ListSerialDevices() is the one part that differs by platform
// (port_names_linux.cpp with libudev, port_names_win32.cpp).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/low_latency.h"
#include "line/line_contract.h"

namespace dravel {

// "COM3" -> 3; anything that is not COM followed by a number >= 1 -> nullopt.
std::optional<int> ParsePortName(std::string_view name);

// The device for port n.
std::string ResolvePortDevice(int portNumber);

// DRAVEL_COM<n> when it is set and not empty.
std::optional<std::string> PortDeviceFromEnvironment(int portNumber);

// Where a front end's remembered devices come in, between the environment
// and the platform's default: the device for port n, or empty for "none".
// The core itself keeps no such memory; an empty function removes it.
using PortDeviceLookup = std::function<std::string(int portNumber)>;
void SetPortDeviceLookup(PortDeviceLookup lookup);

// The device for "COM<n>"; a name that is not of that form is taken as a
// device as it stands.
std::string ResolvePortName(std::string_view name);

// Network: a port across the network, which a listing does not connect to
// (a connection could take the port over from whoever uses it).
enum class PortAvailability { Free, Missing, NotATerminal, Busy, Denied, Unusable, Network };

struct PortProbe {
    std::string device;
    PortAvailability availability = PortAvailability::Missing;
    std::string detail;  // the system's words when it is not free
};

// Looks at port n without disturbing it: the same checks as an opening,
// without changing any line setting or modem line, and without keeping it.
PortProbe ProbePort(int portNumber);

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
// order; each looked at as ProbePort() does. Empty when the system tells
// nothing.
std::vector<SerialDeviceInfo> ListSerialDevices();

// The names in the system's own list of serial ports, without looking at any
// of them (Windows: the serial device map and the DOS names of COM ports, in
// number order). Linux has no such list (the device folder is it): empty.
std::vector<std::string> ListedPortNames();

// What a probe's result means for a listing.
PortAvailability AvailabilityOf(SerialResult result);

}  // namespace dravel
