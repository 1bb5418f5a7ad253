#include "platform/serial_line.h"

// What every platform's line shares: the names of the results and the text
// of the last failure.

namespace dravel {

const char* ToString(SerialResult result)
{
    switch (result) {
    case SerialResult::Ok: return "ok";
    case SerialResult::NoDevice: return "no such device";
    case SerialResult::NotATerminal: return "not a terminal";
    case SerialResult::Busy: return "busy";
    case SerialResult::Denied: return "permission denied";
    case SerialResult::Refused: return "settings refused";
    case SerialResult::WouldBlock: return "would block";
    case SerialResult::HungUp: return "hung up";
    case SerialResult::Failed: return "failed";
    }
    return "unknown";
}

std::string SerialLine::LastError() const
{
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

SerialResult SerialLine::Fail(SerialResult result, const std::string& what, const std::string& cause)
{
    std::string text = what;
    if (!cause.empty()) {
        text += ": ";
        text += cause;
    }
    std::lock_guard lock(m_errorMutex);
    m_lastError = std::move(text);
    return result;
}

std::string SerialLine::BeginOpen(const std::string& device)
{
    Close();
    m_path = device;
    m_hasModemLines = true;
    {
        std::lock_guard lock(m_errorMutex);
        m_lastError.clear();
    }
    return "open " + device;
}

}  // namespace dravel
