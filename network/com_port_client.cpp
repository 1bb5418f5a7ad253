#include "network/com_port_client.h"

#include <cstdio>

namespace dravel::rfc2217 {

namespace {

using namespace telnet;

std::string Hex(uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string ControlName(uint8_t value)
{
    switch (value) {
    case kControlNoFlowControl: return "no flow control";
    case kControlDtrOn: return "DTR on";
    case kControlDtrOff: return "DTR off";
    case kControlRtsOn: return "RTS on";
    case kControlRtsOff: return "RTS off";
    default: return "value " + std::to_string(value);
    }
}

}  // namespace

uint8_t ParityCode(Parity parity)
{
    switch (parity) {
    case Parity::Odd: return 2;
    case Parity::Even: return 3;
    default: return 1;
    }
}

uint8_t StopSizeCode(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::Two: return 2;
    case StopBits::OneAndHalf: return 3;
    default: return 1;
    }
}

Client::Client()
{
    m_options.Want(kOptionBinary, true, true);
    m_options.Want(kOptionSuppressGoAhead, true, true);
    m_options.Want(kOptionComPort, true, false);
}

std::vector<uint8_t> Client::Start()
{
    std::vector<uint8_t> out;
    m_options.AppendRequests(out);
    return out;
}

Client::ComPort Client::ComPortState() const
{
    if (m_options.Local(kOptionComPort) == Options::State::Yes) return ComPort::Agreed;
    if (m_options.RefusedLocal(kOptionComPort)) return ComPort::Refused;
    return ComPort::Pending;
}

bool Client::BinaryRefused() const
{
    return m_options.RefusedLocal(kOptionBinary) || m_options.RefusedRemote(kOptionBinary);
}

void Client::Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& data, std::vector<uint8_t>& reply,
                     std::vector<std::string>& log)
{
    m_events.clear();
    m_decoder.Receive(bytes, data, m_events);
    for (const Event& event : m_events) {
        if (event.kind == Event::Kind::Negotiation) {
            ++m_negotiations;
            const std::size_t before = reply.size();
            m_options.Handle(event.command, event.option, reply);
            std::string line = "server " + CommandName(event.command) + " " + OptionName(event.option);
            if (reply.size() > before) {
                line += ", answered " + CommandName(reply[before + 1]);
            }
            log.push_back(std::move(line));
        } else if (event.kind == Event::Kind::Overlong) {
            m_protocolError = "the server's subnegotiation of " + OptionName(event.option) + " runs past " +
                              std::to_string(kMaxSubnegotiation) + " bytes without an end";
            log.push_back(m_protocolError);
        } else if (event.option == kOptionComPort) {
            HandleComPort(event, log);
        } else {
            log.push_back("server subnegotiation of " + OptionName(event.option) + " ignored");
        }
    }
}

void Client::HandleComPort(const Event& event, std::vector<std::string>& log)
{
    if (event.payload.empty()) {
        log.push_back("server COM-PORT-OPTION subnegotiation without a command, ignored");
        return;
    }
    const uint8_t command = event.payload[0];
    const std::span<const uint8_t> value = std::span<const uint8_t>(event.payload).subspan(1);
    const bool one = value.size() == 1;
    switch (command) {
    case kServerOffset + SET_BAUDRATE:
        if (value.size() != 4) break;
        m_answers.baudRate = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) |
                             uint32_t{value[3]};
        log.push_back("server SET-BAUDRATE " + std::to_string(*m_answers.baudRate));
        return;
    case kServerOffset + SET_DATASIZE:
        if (!one) break;
        m_answers.dataSize = value[0];
        log.push_back("server SET-DATASIZE " + std::to_string(value[0]));
        return;
    case kServerOffset + SET_PARITY:
        if (!one) break;
        m_answers.parity = value[0];
        log.push_back("server SET-PARITY " + std::to_string(value[0]));
        return;
    case kServerOffset + SET_STOPSIZE:
        if (!one) break;
        m_answers.stopSize = value[0];
        log.push_back("server SET-STOPSIZE " + std::to_string(value[0]));
        return;
    case kServerOffset + SET_CONTROL:
        if (!one) break;
        // A server answers with the state it now has; the flow-control
        // answer of RFC 2217 covers values 0 to 3.
        if (value[0] <= 3) m_answers.flowControl = true;
        if (value[0] == kControlDtrOn || value[0] == kControlDtrOff) m_answers.dtr = true;
        if (value[0] == kControlRtsOn || value[0] == kControlRtsOff) m_answers.rts = true;
        log.push_back("server SET-CONTROL " + ControlName(value[0]));
        return;
    case kServerOffset + NOTIFY_LINESTATE:
        if (!one) break;
        log.push_back("server NOTIFY-LINESTATE " + Hex(value[0]));
        return;
    case kServerOffset + NOTIFY_MODEMSTATE:
        if (!one) break;
        log.push_back("server NOTIFY-MODEMSTATE " + Hex(value[0]));
        return;
    case kServerOffset + FLOWCONTROL_SUSPEND:
        ++m_flowSuspends;
        log.push_back("server FLOWCONTROL-SUSPEND (no flow control on this line: nothing waits for it)");
        return;
    case kServerOffset + FLOWCONTROL_RESUME: log.push_back("server FLOWCONTROL-RESUME"); return;
    case kServerOffset + PURGE_DATA:
        m_answers.purge = true;
        log.push_back("server PURGE-DATA");
        return;
    default: break;
    }
    log.push_back("server COM-PORT-OPTION command " + std::to_string(command) + " with " +
                  std::to_string(value.size()) + " bytes ignored");
}

std::vector<uint8_t> Client::RequestSettings(const LineSettings& settings)
{
    m_answers = {};
    std::vector<uint8_t> out;
    const uint32_t rate = settings.baudRate;
    const uint8_t baud[] = {SET_BAUDRATE, static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                            static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
    AppendSubnegotiation(kOptionComPort, baud, out);
    const uint8_t size[] = {SET_DATASIZE, settings.byteSize};
    AppendSubnegotiation(kOptionComPort, size, out);
    const uint8_t parity[] = {SET_PARITY, ParityCode(settings.parity)};
    AppendSubnegotiation(kOptionComPort, parity, out);
    const uint8_t stop[] = {SET_STOPSIZE, StopSizeCode(settings.stopBits)};
    AppendSubnegotiation(kOptionComPort, stop, out);
    for (const uint8_t control : {kControlNoFlowControl, kControlDtrOn, kControlRtsOn}) {
        const uint8_t request[] = {SET_CONTROL, control};
        AppendSubnegotiation(kOptionComPort, request, out);
    }
    const uint8_t purge[] = {PURGE_DATA, kPurgeBoth};
    AppendSubnegotiation(kOptionComPort, purge, out);
    return out;
}

bool Client::SettingsAnswered() const
{
    return m_answers.baudRate && m_answers.dataSize && m_answers.parity && m_answers.stopSize && m_answers.purge;
}

bool Client::AllAnswered() const
{
    return SettingsAnswered() && m_answers.flowControl && m_answers.dtr && m_answers.rts;
}

std::vector<uint8_t> Client::RequestDtrOff() const
{
    std::vector<uint8_t> out;
    const uint8_t request[] = {SET_CONTROL, kControlDtrOff};
    AppendSubnegotiation(kOptionComPort, request, out);
    return out;
}

}  // namespace dravel::rfc2217
