#include "ports/resolved_port.h"

#include "line/line_contract.h"
#include "serial/local_line.h"

namespace dravel {

bool ResolvedPort::IsNetwork() const { return IsNetworkPort(device); }

ResolvedPort MakeResolvedPort(std::string label, std::string device, DeviceOrigin origin, int portNumber)
{
    ResolvedPort port;
    port.label = std::move(label);
    port.device = std::move(device);
    port.origin = origin;
    port.portNumber = portNumber;
    if (port.IsNetwork()) port.network = ParseNetworkPort(port.device, port.problem);
    return port;
}

ResolvedPort SystemPort(int portNumber)
{
    // There is no port 0: an empty device fails at its opening, and a
    // listing says so.
    return MakeResolvedPort("COM" + std::to_string(portNumber),
                            portNumber < 1 ? std::string() : LocalDefaultDevice(portNumber), DeviceOrigin::Default,
                            portNumber);
}

ResolvedPort PortOfDevice(std::string device)
{
    std::string label = device;
    return MakeResolvedPort(std::move(label), std::move(device), DeviceOrigin::Named, 0);
}

}  // namespace dravel
