#include "platform/config_folder.h"

#include <cstdlib>

namespace dravel {

std::filesystem::path UserConfigFolder()
{
    // The roaming application data, as %APPDATA% names it: the variable is
    // what a technician can see and what the tests redirect.
    // Wide, so that a user name outside the code page survives.
    if (const wchar_t* appData = ::_wgetenv(L"APPDATA"); appData != nullptr && *appData != L'\0') {
        const std::filesystem::path base(appData);
        if (base.is_absolute()) return base / "dravel";
    }
    return {};
}

}  // namespace dravel
