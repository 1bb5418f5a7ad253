// The server side of RFC 2217 (telnet COM-PORT-OPTION), as a terminal server
// in front of the simulated board plays it: a pure state machine over the
// telnet layer (network/telnet.h), bytes from the client in, the serial
// data, the answers to send and the client's requests out; no sockets, no
// clock.
//
// The conversation: Start() offers BINARY and SUPPRESS-GO-AHEAD both ways
// and asks the client for the COM port option (DO COM-PORT-OPTION); option
// requests are settled as RFC 1143 says, so a client that repeats itself
// never makes it loop. Every COM port command is answered as a real server
// answers it, with the command number plus 100 and the value now in force:
// SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE (0 asks for the
// value), SET-CONTROL (flow control, BREAK, DTR, RTS, and the questions
// about them), PURGE-DATA, SET-LINESTATE-MASK, SET-MODEMSTATE-MASK and
// SIGNATURE. FLOWCONTROL-SUSPEND/RESUME need no answer. Values out of range
// are answered with the value kept, as a server that refuses a setting does.
//
// The client's SET-CONTROL and PURGE-DATA commands are also handed out as
// requests, for the board behind the port to act on and the test to log.
//
// Threads: an object belongs to one thread at a time.
// Failures: none; every byte sequence is taken, a malformed command is
// skipped, and the answers are bounded by the commands received.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "network/telnet.h"

namespace dravel::devsim {

struct ComPortRequest {
    uint8_t command = 0;  // rfc2217::SET_CONTROL or rfc2217::PURGE_DATA (network/com_port_client.h)
    uint8_t value = 0;
};

// "DTR on", "no flow control", "value 42": a SET-CONTROL value in words.
std::string ControlName(uint8_t value);

class ComPortServer {
public:
    ComPortServer();

    // The server's opening offers.
    std::vector<uint8_t> Start();

    // Bytes from the client: serial data to `data`, what to send back to
    // `reply`, the SET-CONTROL and PURGE-DATA commands to `requests`.
    void Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& data, std::vector<uint8_t>& reply,
                 std::vector<ComPortRequest>& requests);

    bool ComPortAgreed() const;
    bool Dtr() const { return m_dtr; }
    bool Rts() const { return m_rts; }
    uint32_t BaudRate() const { return m_baudRate; }

private:
    void HandleComPort(const telnet::Event& event, std::vector<uint8_t>& reply, std::vector<ComPortRequest>& requests);
    uint8_t Control(uint8_t value);

    telnet::Decoder m_decoder;
    telnet::Options m_options;
    std::vector<telnet::Event> m_events;  // reused between calls

    uint32_t m_baudRate = 115200;
    uint8_t m_dataSize = 8;
    uint8_t m_parity = 1;    // none
    uint8_t m_stopSize = 1;  // one
    uint8_t m_outboundFlow = 1;  // none
    uint8_t m_inboundFlow = 14;  // none
    bool m_break = false;
    bool m_dtr = false;
    bool m_rts = false;
    uint8_t m_lineStateMask = 0;
    uint8_t m_modemStateMask = 0;
};

}  // namespace dravel::devsim
