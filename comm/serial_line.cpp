#include "comm/serial_line.h"

#include "line/line_transport.h"
#include "network/network_line.h"
#include "serial/local_line.h"

// The choice of the line behind a device's name; every call is passed on.

namespace dravel {

// ---------------------------------------------------------------- the contract

SerialLine::SerialLine() : m_transport(MakeLocalLine()) {}

SerialLine::~SerialLine()
{
    // Whoever listened may be gone before the line is: a close in the
    // destructor tells nobody.
    m_transport->SetNoteObserver(nullptr);
}

SerialResult SerialLine::Open(const std::string& device) { return Open(PortOfDevice(device)); }

SerialResult SerialLine::Open(const ResolvedPort& port)
{
    // A network line is made for its one port; a local line serves any device.
    const bool network = port.IsNetwork();
    if (network || m_transport->IsNetwork()) {
        m_transport->Close();
        m_transport = network ? MakeNetworkLine(port.network, port.problem) : MakeLocalLine();
    }
    m_transport->SetNoteObserver(m_notes);
    return m_transport->Open(port.device);
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
SerialResult SerialLine::SetModemLines(bool dtr, bool rts) { return m_transport->SetModemLines(dtr, rts); }
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
