#include "cli/port_list.h"

#include <cstdio>

namespace dravel::cli {

namespace {

std::string State(PortAvailability availability, const std::string& detail) {
    std::string text = ToString(availability);
    if (!detail.empty() && availability != PortAvailability::Free) text += ": " + detail;
    return text;
}

// Each answer of the device waits this long in the adapter: worth a hint
// when it is more than the line itself takes.
std::string LatencyLine(const LatencyTimer& timer) {
    std::string line = "    latency timer " + std::to_string(timer.milliseconds) + " ms";
    if (timer.milliseconds > kLatencyTimerWorthLoweringMs) {
        line += ": every answer waits that long in the adapter; for full speed: echo 1 | sudo tee " +
                timer.settingPath;
    }
    return line + "\n";
}

std::string Origin(DeviceOrigin origin, std::size_t port) {
    switch (origin) {
        case DeviceOrigin::Environment: return "  [DRAVEL_COM" + std::to_string(port) + "]";
        case DeviceOrigin::Binding: return "  [remembered]";
        case DeviceOrigin::Default:
        case DeviceOrigin::Named: break;
    }
    return {};
}

}  // namespace

std::string FormatPortList(const std::vector<PortProbe>& ports, const std::vector<SerialDeviceInfo>& devices,
                           const std::vector<DeviceOrigin>& origins) {
    std::string text;
    char line[512];
    for (std::size_t i = 0; i < ports.size(); ++i) {
        std::snprintf(line, sizeof line, "port %zu  COM%zu  %-24s %s", i + 1, i + 1, ports[i].device.c_str(),
                      State(ports[i].availability, ports[i].detail).c_str());
        text += line;
        text += Origin(i < origins.size() ? origins[i] : DeviceOrigin::Default, i + 1) + "\n";
    }
    text += "\nSerial devices of this system";
    text += devices.empty() ? ": none found\n" : " (use one with --port DEVICE):\n";
    for (const SerialDeviceInfo& device : devices) {
        std::snprintf(line, sizeof line, "  %-16s %s\n", device.device.c_str(),
                      State(device.availability, device.detail).c_str());
        text += line;
        std::string about = device.driver;
        if (!device.usbId.empty()) about += "  USB " + device.usbId;
        for (const std::string* part : {&device.manufacturer, &device.product}) {
            if (!part->empty()) about += "  " + *part;
        }
        if (!device.serialNumber.empty()) about += "  serial " + device.serialNumber;
        text += "    " + about + "\n";
        if (!device.stableName.empty()) text += "    " + device.stableName + "\n";
        if (device.latencyTimer) text += LatencyLine(*device.latencyTimer);
    }
    return text;
}

int ListPorts(const PortTable& table) {
    std::vector<PortProbe> ports;
    std::vector<DeviceOrigin> origins;
    for (int port = 1; port <= kBindablePorts; ++port) {
        ports.push_back(table.Probe(port));
        origins.push_back(table.OriginOf(port));
    }
    const std::string text = FormatPortList(ports, ListSerialDevices(), origins);
    std::fputs(text.c_str(), stdout);
    return 0;
}

}  // namespace dravel::cli
