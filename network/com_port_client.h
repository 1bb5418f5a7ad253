// The client side of RFC 2217 (telnet COM-PORT-OPTION): what a serial port
// across the network says and is told, as a pure state machine over the
// telnet layer (network/telnet.h). Bytes from the server go in, the serial
// data and the answers to send go out; no sockets, threads or clocks, so the
// network line (network_line.cpp) owns the waiting and every rule here can be
// tested and fuzzed on its own.
//
// The conversation: Start() offers BINARY and SUPPRESS-GO-AHEAD both ways
// and COM-PORT-OPTION; once the server agrees to the COM port option,
// RequestSettings() puts the whole line set-up in one batch (rate, data
// size, parity, stop bits, no flow control, DTR and RTS on, purge both
// ways), so opening costs one round trip and settings are never sent again.
// RequestDtrOff() is the close. Everything the server sends besides is taken
// in: answers are kept, notifications of line and modem state consumed,
// unknown options refused (once each). A stream that cannot be a serial port
// talking (a subnegotiation without an end) is a protocol error: from then on
// nothing more is taken in, and the owner ends the connection with the cause.
//
// Threads: an object belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "line/line_contract.h"
#include "network/telnet.h"

namespace dravel::rfc2217 {

// Client-to-server commands of the COM port option; the server answers with
// the same number plus 100.
inline constexpr uint8_t SET_BAUDRATE = 1;
inline constexpr uint8_t SET_DATASIZE = 2;
inline constexpr uint8_t SET_PARITY = 3;
inline constexpr uint8_t SET_STOPSIZE = 4;
inline constexpr uint8_t SET_CONTROL = 5;
inline constexpr uint8_t NOTIFY_LINESTATE = 6;
inline constexpr uint8_t NOTIFY_MODEMSTATE = 7;
inline constexpr uint8_t FLOWCONTROL_SUSPEND = 8;
inline constexpr uint8_t FLOWCONTROL_RESUME = 9;
inline constexpr uint8_t PURGE_DATA = 12;
inline constexpr uint8_t kServerOffset = 100;

// Values of SET-CONTROL and PURGE-DATA that the client uses.
inline constexpr uint8_t kControlNoFlowControl = 1;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kPurgeBoth = 3;

// The wire codes of a parity and a stop size.
uint8_t ParityCode(Parity parity);
uint8_t StopSizeCode(StopBits stopBits);

class Client {
public:
    enum class ComPort { Pending, Agreed, Refused };

    // What the server said to the settings, as far as it has answered.
    struct Answers {
        std::optional<uint32_t> baudRate;
        std::optional<uint8_t> dataSize;
        std::optional<uint8_t> parity;     // wire code
        std::optional<uint8_t> stopSize;   // wire code
        bool flowControl = false;          // SET-CONTROL "no flow control" answered
        bool dtr = false;                  // SET-CONTROL "DTR on" answered
        bool rts = false;                  // SET-CONTROL "RTS on" answered
        bool purge = false;
    };

    Client();

    // The opening offers.
    std::vector<uint8_t> Start();

    // Bytes from the server: the serial data goes to `data`, what must be
    // answered to `reply`, and a line per negotiation step to `log`.
    void Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& data, std::vector<uint8_t>& reply,
                 std::vector<std::string>& log);

    // WILL, WONT, DO and DONT received so far, of any option.
    uint64_t Negotiations() const { return m_negotiations; }
    // Why the server's stream cannot be followed any further, or empty.
    const std::string& ProtocolError() const { return m_protocolError; }

    ComPort ComPortState() const;
    // The server declined binary transmission in either direction: a byte
    // such as CR would then not arrive as it was sent.
    bool BinaryRefused() const;

    // The whole line set-up, once. Answers already kept are forgotten.
    std::vector<uint8_t> RequestSettings(const LineSettings& settings);
    const Answers& SettingsAnswers() const { return m_answers; }
    // Everything but the modem lines has been answered.
    bool SettingsAnswered() const;
    // So have the modem lines and the flow control.
    bool AllAnswered() const;

    std::vector<uint8_t> RequestDtrOff() const;

    // How often the server asked to stop sending for a while; without flow
    // control on the line nothing waits for it, but a trace shows it.
    int FlowSuspends() const { return m_flowSuspends; }

private:
    void HandleComPort(const telnet::Event& event, std::vector<std::string>& log);

    telnet::Decoder m_decoder;
    telnet::Options m_options;
    std::vector<telnet::Event> m_events;  // reused between calls
    Answers m_answers;
    int m_flowSuspends = 0;
    uint64_t m_negotiations = 0;
    std::string m_protocolError;
};

}  // namespace dravel::rfc2217
