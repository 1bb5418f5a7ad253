#include "serial/port_names.h"

#include <charconv>
#include <cstdlib>
#include <mutex>
#include <utility>

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

namespace {

std::mutex g_lookupMutex;
PortDeviceLookup g_lookup;

}  // namespace

std::optional<std::string> PortDeviceFromEnvironment(int portNumber)
{
    if (portNumber < 1) return std::nullopt;
    const std::string variable = "DRAVEL_COM" + std::to_string(portNumber);
    if (const char* device = std::getenv(variable.c_str()); device != nullptr && *device != '\0') {
        return std::string(device);
    }
    return std::nullopt;
}

void SetPortDeviceLookup(PortDeviceLookup lookup)
{
    std::lock_guard lock(g_lookupMutex);
    g_lookup = std::move(lookup);
}

std::string ResolvePortDevice(int portNumber)
{
    if (portNumber < 1) return {};
    if (std::optional<std::string> device = PortDeviceFromEnvironment(portNumber)) return std::move(*device);
    PortDeviceLookup lookup;
    {
        // A copy, so that the lookup runs without the lock and may be
        // replaced meanwhile.
        std::lock_guard lock(g_lookupMutex);
        lookup = g_lookup;
    }
    if (lookup) {
        if (std::string device = lookup(portNumber); !device.empty()) return device;
    }
    return LocalDefaultDevice(portNumber);
}

std::string ResolvePortName(std::string_view name)
{
    if (const std::optional<int> number = ParsePortName(name)) return ResolvePortDevice(*number);
    return std::string(name);
}

PortProbe ProbePort(int portNumber)
{
    PortProbe probe;
    probe.device = ResolvePortDevice(portNumber);
    if (probe.device.empty()) {
        probe.availability = PortAvailability::Missing;
        probe.detail = "no port " + std::to_string(portNumber);
        return probe;
    }
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
