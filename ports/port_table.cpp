#include "ports/port_table.h"

#include <cstdlib>

#include "line/line_contract.h"

namespace dravel {

namespace {

// DRAVEL_COM<n> when it is set and not empty.
std::optional<std::string> DeviceFromEnvironment(int portNumber)
{
    if (portNumber < 1) return std::nullopt;
    const std::string variable = "DRAVEL_COM" + std::to_string(portNumber);
    if (const char* device = std::getenv(variable.c_str()); device != nullptr && *device != '\0') {
        return std::string(device);
    }
    return std::nullopt;
}

bool IsDigits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

PortTable::PortTable(std::filesystem::path file, PortBindings bindings)
    : m_file(std::move(file)), m_bindings(std::move(bindings))
{
}

PortTable PortTable::Load(const std::filesystem::path& file)
{
    LoadedBindings loaded = LoadPortBindings(file);
    PortTable table(file, std::move(loaded.bindings));
    table.m_note = std::move(loaded.note);
    return table;
}

PortTable PortTable::Load() { return Load(PortBindingsFile()); }

std::string PortTable::DefaultDevice(int portNumber) { return SystemPort(portNumber).device; }

void PortTable::Choose(int portNumber, std::string device)
{
    if (DeviceFromEnvironment(portNumber)) return;
    if (device == DefaultDevice(portNumber)) device.clear();
    m_bindings.Bind(portNumber, std::move(device));
}

bool PortTable::Save(std::string& error) const { return SavePortBindings(m_file, m_bindings, error); }

ResolvedPort PortTable::Resolve(int portNumber) const
{
    const std::string label = "COM" + std::to_string(portNumber);
    if (std::optional<std::string> device = DeviceFromEnvironment(portNumber)) {
        return MakeResolvedPort(label, std::move(*device), DeviceOrigin::Environment, portNumber);
    }
    if (std::string device = m_bindings.Device(portNumber); !device.empty()) {
        return MakeResolvedPort(label, std::move(device), DeviceOrigin::Binding, portNumber);
    }
    return SystemPort(portNumber);
}

std::optional<ResolvedPort> PortTable::Resolve(std::string_view argument, std::string& error) const
{
    if (argument.empty()) {
        error = "a port needs a number from 1 to 4 or a device name";
        return std::nullopt;
    }
    if (IsDigits(argument)) {
        if (argument.size() == 1 && argument[0] >= '1' && argument[0] <= '0' + kBindablePorts) {
            return Resolve(argument[0] - '0');
        }
        error = "a port is 1 to 4 or a device name, not " + std::string(argument);
        return std::nullopt;
    }
    if (const std::optional<int> number = ParsePortName(argument)) {
        ResolvedPort port = Resolve(*number);
        port.label = std::string(argument);
        return port;
    }
    ResolvedPort port = PortOfDevice(std::string(argument));
    if (port.IsNetwork() && !port.network) {
        error = port.device + ": " + port.problem;
        return std::nullopt;
    }
    return port;
}

PortProbe PortTable::Probe(int portNumber) const
{
    const ResolvedPort port = Resolve(portNumber);
    if (port.device.empty()) return {port.device, PortAvailability::Missing, "no port " + std::to_string(portNumber)};
    return ProbeDevice(port.device);
}

}  // namespace dravel
