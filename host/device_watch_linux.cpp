// The devices matching a pattern on Linux: the system's own glob over the
// file system, then a look at what each name leads to (no opening: opening a
// tty raises its modem lines, which resets some boards).

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>

#include "host/device_watch.h"

namespace dravel {

std::vector<std::string> FindMatchingDevices(const std::vector<std::string>& patterns,
                                             const std::set<std::string>& inUse)
{
    std::set<std::string> found;
    for (const std::string& pattern : patterns) {
        glob_t matches{};
        if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string path = matches.gl_pathv[i];
                struct stat info{};
                if (inUse.count(path) != 0 || (::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode))) {
                    found.insert(path);
                }
            }
        }
        ::globfree(&matches);
    }
    return {found.begin(), found.end()};
}

}  // namespace dravel
