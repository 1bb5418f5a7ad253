#include "os/system_text.h"

#include "os/windows_api.h"

namespace dravel {

std::string SystemText(unsigned long code)
{
    if (code == 0) return {};
    char buffer[512];
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' || buffer[length - 1] == ' ' ||
                          buffer[length - 1] == '.')) {
        --length;
    }
    std::string text(buffer, length);
    if (text.empty()) return "error " + std::to_string(code);
    return text + " (error " + std::to_string(code) + ")";
}

}  // namespace dravel
