#include "host/config_folder.h"

#include <vector>

#include "os/windows_api.h"

namespace dravel {

std::filesystem::path UserConfigFolder()
{
    // The roaming application data as %APPDATA% names it: the variable is
    // what a technician can see and what the tests redirect. Read wide from
    // the process's environment, so that a user name outside the code page
    // survives and a change made through the C runtime is seen.
    const DWORD needed = ::GetEnvironmentVariableW(L"APPDATA", nullptr, 0);
    if (needed <= 1) return {};
    std::vector<wchar_t> value(needed);
    const DWORD length = ::GetEnvironmentVariableW(L"APPDATA", value.data(), needed);
    if (length == 0 || length >= needed) return {};
    const std::filesystem::path base(std::wstring(value.data(), length));
    if (!base.is_absolute()) return {};
    return base / "dravel";
}

}  // namespace dravel
