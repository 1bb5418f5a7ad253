#include "platform/serial_line.h"

#include "platform/line_transport.h"

// What every kind of line shares: the names of the results, the text of the
// last failure, and the choice of the line behind a device's name.

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

// ---------------------------------------------------------------- the shared base

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

// ---------------------------------------------------------------- the contract

SerialLine::SerialLine() : m_transport(MakeLocalLine()) {}

SerialLine::~SerialLine()
{
    // Whoever listened may be gone before the line is: a close in the
    // destructor tells nobody.
    m_transport->SetNoteObserver(nullptr);
}

SerialResult SerialLine::Open(const std::string& device)
{
    const bool network = IsNetworkPort(device);
    if (m_transport->IsNetwork() != network) {
        m_transport->Close();
        m_transport = network ? MakeNetworkLine() : MakeLocalLine();
    }
    m_transport->SetNoteObserver(m_notes);
    return m_transport->Open(device);
}

void SerialLine::SetNoteObserver(LineNoteObserver observer)
{
    m_notes = std::move(observer);
    m_transport->SetNoteObserver(m_notes);
}

std::string SerialLine::DefaultDevice(int portNumber) { return LocalDefaultDevice(portNumber); }

DeviceProbe SerialLine::Probe(const std::string& device)
{
    if (IsNetworkPort(device)) return {SerialResult::Ok, "a network port, not connected to for a look"};
    return ProbeLocalDevice(device);
}

SerialResult SerialLine::Configure(const LineSettings& settings) { return m_transport->Configure(settings); }
SerialResult SerialLine::SetDtr(bool on) { return m_transport->SetDtr(on); }
SerialResult SerialLine::SetRts(bool on) { return m_transport->SetRts(on); }
bool SerialLine::HasModemLines() const { return m_transport->HasModemLines(); }
std::size_t SerialLine::InputWaiting() { return m_transport->InputWaiting(); }

SerialResult SerialLine::Read(std::span<uint8_t> buffer, std::size_t& count)
{
    return m_transport->Read(buffer, count);
}

SerialResult SerialLine::Write(std::span<const uint8_t> bytes, std::size_t& count)
{
    return m_transport->Write(bytes, count);
}

std::size_t SerialLine::OutputPending() { return m_transport->OutputPending(); }
SerialResult SerialLine::WaitForOutput(std::chrono::milliseconds limit) { return m_transport->WaitForOutput(limit); }

SerialResult SerialLine::Wait(LineInterest interest, std::chrono::milliseconds timeout, LineEvents& events)
{
    return m_transport->Wait(interest, timeout, events);
}

void SerialLine::Wake() { m_transport->Wake(); }
bool SerialLine::CreateEvents() { return m_transport->CreateEvents(); }
void SerialLine::CloseEvents() { m_transport->CloseEvents(); }
SerialResult SerialLine::Purge() { return m_transport->Purge(); }
SerialResult SerialLine::PurgeInput() { return m_transport->PurgeInput(); }
SerialResult SerialLine::DiscardAtClose() { return m_transport->DiscardAtClose(); }
void SerialLine::Close() { m_transport->Close(); }
bool SerialLine::IsOpen() const { return m_transport->IsOpen(); }
intptr_t SerialLine::NativeHandle() const { return m_transport->NativeHandle(); }
std::string SerialLine::LastError() const { return m_transport->LastError(); }
const std::string& SerialLine::DevicePath() const { return m_transport->DevicePath(); }

}  // namespace dravel
