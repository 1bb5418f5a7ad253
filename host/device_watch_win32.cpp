// The devices matching a pattern on Windows: the names in the system's list
// of serial ports (the device map every serial driver enters its ports in,
// and the DOS names of those that do not), each one present only when it can
// be opened. Under Wine the list holds every port the prefix maps, with or
// without a device behind it, so the opening is what tells.

#include <algorithm>
#include <vector>

#include "host/device_watch.h"
#include "serial/port_names.h"
#include "serial/local_line.h"

namespace dravel {

std::vector<std::string> FindMatchingDevices(const std::vector<std::string>& patterns,
                                             const std::set<std::string>& inUse)
{
    const std::vector<std::string> names = ListedPortNames();
    std::vector<std::string> found;
    for (const std::string& name : names) {
        const bool wanted = std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
            return MatchesGlob(pattern, name, true);
        });
        if (!wanted) continue;
        if (inUse.count(name) != 0 || ProbeLocalDevice(name).result != SerialResult::NoDevice) found.push_back(name);
    }
    // A port named outright that no list holds (a virtual port) still counts
    // once it opens.
    for (const std::string& pattern : patterns) {
        const bool listed = std::any_of(names.begin(), names.end(),
                                        [&](const std::string& name) { return MatchesGlob(pattern, name, true); });
        if (HasWildcard(pattern) || listed) continue;
        if (inUse.count(pattern) != 0 || ProbeLocalDevice(pattern).result != SerialResult::NoDevice) {
            found.push_back(pattern);
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

}  // namespace dravel
