#include "os/system_text.h"

#include <cstring>

namespace dravel {

std::string SystemText(unsigned long code)
{
    return code == 0 ? std::string() : std::string(std::strerror(static_cast<int>(code)));
}

}  // namespace dravel
