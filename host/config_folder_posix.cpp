#include "host/config_folder.h"

#include <cstdlib>

namespace dravel {

std::filesystem::path UserConfigFolder()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        const std::filesystem::path base(xdg);
        if (base.is_absolute()) return base / "dravel";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::filesystem::path(home) / ".config" / "dravel";
    }
    return {};
}

}  // namespace dravel
