// A resolved port: what a port of the program, or a device named on its own,
// stands for once the environment, the remembered bindings and the defaults
// have had their say. The port table (ports/port_table.h) makes one from a
// port argument once; the port class opens exactly the device it holds and
// names it by its label, so nothing below resolves or parses the name again.
//
// Plain values: any thread; nothing here fails (a network name that does not
// parse is kept with the reason, and the opening fails with it).
#pragma once

#include <optional>
#include <string>

#include "network/network_port.h"

namespace dravel {

// What gives a port its device.
enum class DeviceOrigin {
    Environment,  // DRAVEL_COM<n>
    Binding,      // the device the port dialog keeps for the port
    Default,      // the platform's own port n
    Named,        // the device was named itself, not a port of the program
};

struct ResolvedPort {
    // How traces and events name the port: "COM1" for a port of the
    // program, the name as given for anything else.
    std::string label;
    // What the line opens: a path, COM7, rfc2217://HOST:PORT, socket://HOST:PORT.
    std::string device;
    DeviceOrigin origin = DeviceOrigin::Default;
    // The port of the program the device stands for (COM<n> included); 0
    // for a device named itself.
    int portNumber = 0;
    // For a network device: its parsed name, or, when the name does not
    // parse, nothing and the reason in `problem`.
    std::optional<NetworkPort> network;
    std::string problem;

    bool IsNetwork() const;
};

// A port of these parts. A network device's name is parsed here, the one
// place where it is.
ResolvedPort MakeResolvedPort(std::string label, std::string device, DeviceOrigin origin, int portNumber);

// The system's own port n as the platform names it (/dev/ttyS<n-1>, COM<n>),
// labelled COM<n>: what a port is when nobody resolved it.
ResolvedPort SystemPort(int portNumber);

// A device as it stands, labelled by its own name; a network name is parsed.
ResolvedPort PortOfDevice(std::string device);

}  // namespace dravel
