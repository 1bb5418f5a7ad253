// The devices matching a pattern on Windows: the names in the system's list
// of serial ports (the device map every serial driver enters its ports in,
// and the DOS names of those that do not), each one present only when it can
// be opened. Under Wine the list holds every port the prefix maps, with or
// without a device behind it, so the opening is what tells.

#include <algorithm>
#include <vector>

#include "platform/device_watch.h"
#include "platform/serial_line.h"
#include "platform/windows_api.h"

namespace dravel {

namespace {

void FromDeviceMap(std::set<std::string>& names)
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
        names.insert(reinterpret_cast<const char*>(name));
    }
    ::RegCloseKey(key);
}

void FromDosDevices(std::set<std::string>& names)
{
    std::vector<char> list(64 * 1024);
    const DWORD length = ::QueryDosDeviceA(nullptr, list.data(), static_cast<DWORD>(list.size()));
    if (length == 0) return;
    for (const char* name = list.data(); *name != '\0' && name < list.data() + length;
         name += std::string_view(name).size() + 1) {
        const std::string_view entry(name);
        if (entry.size() < 4 || (entry.substr(0, 3) != "COM" && entry.substr(0, 3) != "com")) continue;
        if (entry.find_first_not_of("0123456789", 3) != std::string_view::npos) continue;
        names.insert("COM" + std::string(entry.substr(3)));
    }
}

}  // namespace

std::vector<std::string> FindMatchingDevices(const std::vector<std::string>& patterns,
                                             const std::set<std::string>& inUse)
{
    std::set<std::string> names;
    FromDeviceMap(names);
    FromDosDevices(names);
    std::vector<std::string> found;
    for (const std::string& name : names) {
        const bool wanted = std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
            return MatchesGlob(pattern, name, true);
        });
        if (!wanted) continue;
        if (inUse.count(name) != 0 || SerialLine::Probe(name).result != SerialResult::NoDevice) found.push_back(name);
    }
    // A port named outright that no list holds (a virtual port) still counts
    // once it opens.
    for (const std::string& pattern : patterns) {
        const bool listed = std::any_of(names.begin(), names.end(),
                                        [&](const std::string& name) { return MatchesGlob(pattern, name, true); });
        if (HasWildcard(pattern) || listed) continue;
        if (inUse.count(pattern) != 0 || SerialLine::Probe(pattern).result != SerialResult::NoDevice) {
            found.push_back(pattern);
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

}  // namespace dravel
