#include "com_port_server.h"

#include "network/com_port_client.h"

namespace dravel::devsim {

namespace {

using namespace telnet;
using namespace rfc2217;

// The commands a client of ours never sends, but other clients do.
constexpr uint8_t SIGNATURE = 0;
constexpr uint8_t SET_LINESTATE_MASK = 10;
constexpr uint8_t SET_MODEMSTATE_MASK = 11;

constexpr char kServerSignature[] = "dravel-devsim";

void Answer(uint8_t command, std::span<const uint8_t> value, std::vector<uint8_t>& reply)
{
    std::vector<uint8_t> payload{static_cast<uint8_t>(command + kServerOffset)};
    payload.insert(payload.end(), value.begin(), value.end());
    AppendSubnegotiation(kOptionComPort, payload, reply);
}

void Answer(uint8_t command, uint8_t value, std::vector<uint8_t>& reply)
{
    const uint8_t one[] = {value};
    Answer(command, one, reply);
}

}  // namespace

std::string ControlName(uint8_t value)
{
    switch (value) {
    case 0: return "ask flow control";
    case 1: return "no flow control";
    case 2: return "XON/XOFF flow control";
    case 3: return "hardware flow control";
    case 4: return "ask BREAK";
    case 5: return "BREAK on";
    case 6: return "BREAK off";
    case 7: return "ask DTR";
    case 8: return "DTR on";
    case 9: return "DTR off";
    case 10: return "ask RTS";
    case 11: return "RTS on";
    case 12: return "RTS off";
    case 13: return "ask inbound flow control";
    case 14: return "no inbound flow control";
    case 15: return "XON/XOFF inbound flow control";
    case 16: return "hardware inbound flow control";
    case 17: return "DCD flow control";
    case 18: return "DTR flow control";
    case 19: return "DSR flow control";
    default: return "value " + std::to_string(value);
    }
}

ComPortServer::ComPortServer()
{
    m_options.Want(kOptionBinary, true, true);
    m_options.Want(kOptionSuppressGoAhead, true, true);
    // The client is the one that does the COM port option; the server asks.
    m_options.Want(kOptionComPort, false, true);
}

std::vector<uint8_t> ComPortServer::Start()
{
    std::vector<uint8_t> out;
    m_options.AppendRequests(out);
    return out;
}

bool ComPortServer::ComPortAgreed() const { return m_options.Remote(kOptionComPort) == Options::State::Yes; }

void ComPortServer::Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& data, std::vector<uint8_t>& reply,
                            std::vector<ComPortRequest>& requests)
{
    m_events.clear();
    m_decoder.Receive(bytes, data, m_events);
    for (const Event& event : m_events) {
        if (event.kind == Event::Kind::Negotiation) {
            m_options.Handle(event.command, event.option, reply);
        } else if (event.kind == Event::Kind::Subnegotiation && event.option == kOptionComPort) {
            HandleComPort(event, reply, requests);
        }
    }
}

uint8_t ComPortServer::Control(uint8_t value)
{
    switch (value) {
    case 0: return m_outboundFlow;
    case 1:
    case 2:
    case 3:
    case 17:
    case 19: m_outboundFlow = value; return value;
    case 4: return m_break ? 5 : 6;
    case 5:
    case 6: m_break = value == 5; return value;
    case 7: return m_dtr ? 8 : 9;
    case 8:
    case 9: m_dtr = value == 8; return value;
    case 10: return m_rts ? 11 : 12;
    case 11:
    case 12: m_rts = value == 11; return value;
    case 13: return m_inboundFlow;
    case 14:
    case 15:
    case 16:
    case 18: m_inboundFlow = value; return value;
    default: return m_outboundFlow;
    }
}

void ComPortServer::HandleComPort(const Event& event, std::vector<uint8_t>& reply, std::vector<ComPortRequest>& requests)
{
    if (event.payload.empty()) return;
    const uint8_t command = event.payload[0];
    const std::span<const uint8_t> value = std::span<const uint8_t>(event.payload).subspan(1);
    const bool one = value.size() == 1;
    switch (command) {
    case SIGNATURE:
        // An empty signature asks for ours; a client's own is only noted.
        if (value.empty()) {
            const std::string_view signature = kServerSignature;
            Answer(command, std::span(reinterpret_cast<const uint8_t*>(signature.data()), signature.size()), reply);
        }
        return;
    case SET_BAUDRATE: {
        if (value.size() != 4) return;
        const uint32_t rate = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) |
                              uint32_t{value[3]};
        if (rate != 0) m_baudRate = rate;
        const uint8_t now[] = {static_cast<uint8_t>(m_baudRate >> 24), static_cast<uint8_t>(m_baudRate >> 16),
                               static_cast<uint8_t>(m_baudRate >> 8), static_cast<uint8_t>(m_baudRate)};
        Answer(command, now, reply);
        return;
    }
    case SET_DATASIZE:
        if (!one) return;
        if (value[0] >= 5 && value[0] <= 8) m_dataSize = value[0];
        Answer(command, m_dataSize, reply);
        return;
    case SET_PARITY:
        if (!one) return;
        if (value[0] >= 1 && value[0] <= 5) m_parity = value[0];
        Answer(command, m_parity, reply);
        return;
    case SET_STOPSIZE:
        if (!one) return;
        if (value[0] >= 1 && value[0] <= 3) m_stopSize = value[0];
        Answer(command, m_stopSize, reply);
        return;
    case SET_CONTROL:
        if (!one) return;
        requests.push_back({command, value[0]});
        Answer(command, Control(value[0]), reply);
        return;
    case FLOWCONTROL_SUSPEND:
    case FLOWCONTROL_RESUME: return;
    case SET_LINESTATE_MASK:
        if (!one) return;
        m_lineStateMask = value[0];
        Answer(command, m_lineStateMask, reply);
        return;
    case SET_MODEMSTATE_MASK:
        if (!one) return;
        m_modemStateMask = value[0];
        Answer(command, m_modemStateMask, reply);
        return;
    case PURGE_DATA:
        if (!one || value[0] < 1 || value[0] > 3) return;
        requests.push_back({command, value[0]});
        Answer(command, value[0], reply);
        return;
    default: return;
    }
}

}  // namespace dravel::devsim
