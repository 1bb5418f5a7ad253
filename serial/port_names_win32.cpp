#include "serial/local_line.h"
#include "serial/port_names.h"

#include <algorithm>
#include <map>
#include <string_view>

#include "os/windows_api.h"

#include <setupapi.h>

namespace dravel {

namespace {

// Every serial port driver enters its ports here, value name the kernel
// device, value data the COM name.
void FromDeviceMap(std::vector<SerialDeviceInfo>& ports)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        char device[256];
        DWORD deviceLength = sizeof device;
        BYTE name[256];
        DWORD nameLength = sizeof name - 1;
        DWORD type = 0;
        const LONG result = ::RegEnumValueA(key, index, device, &deviceLength, nullptr, &type, name, &nameLength);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        name[nameLength] = 0;
        SerialDeviceInfo port;
        port.device = reinterpret_cast<const char*>(name);
        port.driver = std::string(device, deviceLength);
        ports.push_back(std::move(port));
    }
    ::RegCloseKey(key);
}

// Ports that a driver created a DOS name for without entering them above
// (some virtual ports do).
void FromDosDevices(std::vector<SerialDeviceInfo>& ports)
{
    std::vector<char> names(64 * 1024);
    const DWORD length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (length == 0) return;
    for (const char* name = names.data(); *name != '\0' && name < names.data() + length;
         name += std::string_view(name).size() + 1) {
        const std::string_view entry(name);
        if (entry.size() < 4 || (entry.substr(0, 3) != "COM" && entry.substr(0, 3) != "com")) continue;
        if (entry.find_first_not_of("0123456789", 3) != std::string_view::npos) continue;
        std::string upper = "COM" + std::string(entry.substr(3));
        if (std::any_of(ports.begin(), ports.end(), [&](const SerialDeviceInfo& port) { return port.device == upper; })) {
            continue;
        }
        char target[512];
        const DWORD targetLength = ::QueryDosDeviceA(name, target, sizeof target);
        SerialDeviceInfo port;
        port.device = upper;
        if (targetLength > 0) port.driver = target;
        ports.push_back(std::move(port));
    }
}

// The names Device Manager shows for the ports ("USB Serial Port (COM7)"),
// by COM name: what tells a technician which adapter a number is.
std::map<std::string, std::string> FriendlyNames()
{
    // The class of COM and LPT ports, GUID_DEVCLASS_PORTS.
    static const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    std::map<std::string, std::string> names;
    HDEVINFO set = ::SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char port[64] = {};
        DWORD size = sizeof port - 1;
        DWORD type = 0;
        const LONG read = ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
        ::RegCloseKey(key);
        if (read != ERROR_SUCCESS || type != REG_SZ) continue;
        char friendly[256] = {};
        if (::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type,
                                                reinterpret_cast<BYTE*>(friendly), sizeof friendly - 1, nullptr) &&
            type == REG_SZ) {
            names[port] = friendly;
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return names;
}

int NumberOf(const std::string& name)
{
    const std::optional<int> number = ParsePortName(name);
    return number ? *number : 0;
}

// The system's list, in number order, nothing looked at yet.
std::vector<SerialDeviceInfo> ListedPorts()
{
    std::vector<SerialDeviceInfo> ports;
    FromDeviceMap(ports);
    FromDosDevices(ports);
    std::stable_sort(ports.begin(), ports.end(), [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) {
        const int left = NumberOf(a.device);
        const int right = NumberOf(b.device);
        return left != right ? left < right : a.device < b.device;
    });
    return ports;
}

}  // namespace

std::vector<std::string> ListedPortNames()
{
    std::vector<std::string> names;
    for (const SerialDeviceInfo& port : ListedPorts()) names.push_back(port.device);
    return names;
}

std::vector<SerialDeviceInfo> ListSerialDevices()
{
    std::vector<SerialDeviceInfo> ports = ListedPorts();
    // Looked at as an opening would, so the list says which are free; a name
    // with no hardware behind it (a phantom of an unplugged adapter) is left out.
    std::vector<SerialDeviceInfo> present;
    const std::map<std::string, std::string> friendly = FriendlyNames();
    for (SerialDeviceInfo& port : ports) {
        if (const auto name = friendly.find(port.device); name != friendly.end()) port.product = name->second;
        const DeviceProbe probe = ProbeLocalDevice(port.device);
        if (probe.result == SerialResult::NoDevice) continue;
        port.availability = AvailabilityOf(probe.result);
        port.detail = probe.detail;
        present.push_back(std::move(port));
    }
    return present;
}

}  // namespace dravel
