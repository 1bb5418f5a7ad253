#include "line/line_transport.h"

// What every kind of line shares: the names of the results, the text of the
// last failure and where notes go.

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

bool IsNetworkPort(std::string_view device)
{
    return device.starts_with("rfc2217://") || device.starts_with("socket://");
}

SerialResult LineTransport::SetModemLines(bool dtr, bool rts)
{
    const SerialResult first = SetDtr(dtr);
    if (first != SerialResult::Ok) return first;
    return SetRts(rts);
}

std::string LineTransport::LastError() const
{
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

SerialResult LineTransport::Fail(SerialResult result, const std::string& what, const std::string& cause)
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

std::string LineTransport::BeginOpen(const std::string& device)
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

void LineTransport::Note(LineNote::Level level, std::string text) const
{
    if (m_notes) m_notes(LineNote{level, std::move(text)});
}

}  // namespace dravel
