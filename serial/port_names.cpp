#include "serial/port_names.h"

#include <charconv>

#include "serial/local_line.h"

namespace dravel {

std::optional<int> ParsePortName(std::string_view name)
{
    constexpr std::string_view kPrefix = "COM";
    if (!name.starts_with(kPrefix)) return std::nullopt;
    const std::string_view digits = name.substr(kPrefix.size());
    // Only the form "COM%d" writes: no sign, no leading zero, nothing after.
    if (digits.empty() || digits.front() < '1' || digits.front() > '9') return std::nullopt;
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc{} || end != digits.data() + digits.size() || number < 1) return std::nullopt;
    return number;
}

PortProbe ProbeDevice(const std::string& device)
{
    PortProbe probe;
    probe.device = device;
    if (IsNetworkPort(probe.device)) {
        probe.availability = PortAvailability::Network;
        return probe;
    }
    const DeviceProbe look = ProbeLocalDevice(probe.device);
    probe.detail = look.detail;
    probe.availability = AvailabilityOf(look.result);
    return probe;
}

PortAvailability AvailabilityOf(SerialResult result)
{
    switch (result) {
    case SerialResult::Ok: return PortAvailability::Free;
    case SerialResult::NoDevice: return PortAvailability::Missing;
    case SerialResult::NotATerminal: return PortAvailability::NotATerminal;
    case SerialResult::Busy: return PortAvailability::Busy;
    case SerialResult::Denied: return PortAvailability::Denied;
    default: return PortAvailability::Unusable;
    }
}

const char* ToString(PortAvailability availability)
{
    switch (availability) {
    case PortAvailability::Free: return "free";
    case PortAvailability::Missing: return "missing";
    case PortAvailability::NotATerminal: return "not a terminal";
    case PortAvailability::Busy: return "busy";
    case PortAvailability::Denied: return "not yours to open";
    case PortAvailability::Unusable: return "unusable";
    case PortAvailability::Network: return "network port (not connected to for a look)";
    }
    return "unusable";
}

}  // namespace dravel
