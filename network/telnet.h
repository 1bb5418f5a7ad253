// Telnet, as far as a serial port across the network needs it: the byte
// stream of RFC 854 (IAC commands, option negotiation, subnegotiation) and
// the option bookkeeping of RFC 1143, which answers every request once and
// so can never loop with a server that repeats itself.
//
// A pure state machine: bytes in, data and events out, no sockets, no
// threads, no clock. The decoder undoubles IAC IAC in data and in
// subnegotiations; AppendEscaped() doubles 0xFF on the way out, so no layer
// above ever sees a doubled 0xFF.
//
// A misbehaving server can neither crash nor stall it: every byte is looked
// at once, a subnegotiation longer than kMaxSubnegotiation is cut short
// (and reported as such), and unknown commands are skipped.
//
// Threads: an object belongs to one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dravel::telnet {

inline constexpr uint8_t SE = 240;
inline constexpr uint8_t NOP = 241;
inline constexpr uint8_t GA = 249;
inline constexpr uint8_t SB = 250;
inline constexpr uint8_t WILL = 251;
inline constexpr uint8_t WONT = 252;
inline constexpr uint8_t DO = 253;
inline constexpr uint8_t DONT = 254;
inline constexpr uint8_t IAC = 255;

inline constexpr uint8_t kOptionBinary = 0;
inline constexpr uint8_t kOptionEcho = 1;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionComPort = 44;

inline constexpr std::size_t kMaxSubnegotiation = 64;

// Data for the wire: every 0xFF doubled.
void AppendEscaped(std::span<const uint8_t> data, std::vector<uint8_t>& out);
// IAC <command> <option>.
void AppendNegotiation(uint8_t command, uint8_t option, std::vector<uint8_t>& out);
// IAC SB <option> <payload, escaped> IAC SE.
void AppendSubnegotiation(uint8_t option, std::span<const uint8_t> payload, std::vector<uint8_t>& out);

// "WILL", "DONT", ... and "BINARY", "COM-PORT-OPTION", ... for traces.
std::string CommandName(uint8_t command);
std::string OptionName(uint8_t option);

struct Event {
    enum class Kind { Negotiation, Subnegotiation };
    Kind kind = Kind::Negotiation;
    uint8_t command = 0;  // WILL, WONT, DO or DONT for a negotiation
    uint8_t option = 0;
    std::vector<uint8_t> payload;  // a subnegotiation's bytes after the option, undoubled
    bool truncated = false;            // the subnegotiation was longer than kMaxSubnegotiation
};

// The receive side of the stream.
class Decoder {
public:
    // Data bytes go to `data`; every complete command to `events`. A command
    // split over several calls is reassembled.
    void Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& data, std::vector<Event>& events);

private:
    enum class State { Data, Command, Option, SubOption, SubData, SubCommand };
    State m_state = State::Data;
    uint8_t m_command = 0;
    uint8_t m_subOption = 0;
    std::size_t m_subLength = 0;
    bool m_subTruncated = false;
    std::array<uint8_t, kMaxSubnegotiation> m_sub{};
};

// Which options are on, on each side, negotiated as RFC 1143 says.
class Options {
public:
    enum class State : uint8_t { No, Yes, WantNo, WantYes };

    // What this side offers to do itself (WILL) and asks the server to do (DO).
    void Want(uint8_t option, bool local, bool remote);

    // The requests for everything wanted, marked as asked.
    void AppendRequests(std::vector<uint8_t>& out);

    // The answer to a server's WILL/WONT/DO/DONT (possibly nothing).
    void Handle(uint8_t command, uint8_t option, std::vector<uint8_t>& reply);

    State Local(uint8_t option) const { return m_local[option]; }
    State Remote(uint8_t option) const { return m_remote[option]; }
    // The server turned down a request of ours.
    bool RefusedLocal(uint8_t option) const { return m_refusedLocal[option]; }
    bool RefusedRemote(uint8_t option) const { return m_refusedRemote[option]; }

private:
    std::array<State, 256> m_local{};
    std::array<State, 256> m_remote{};
    std::array<bool, 256> m_wantLocal{};
    std::array<bool, 256> m_wantRemote{};
    std::array<bool, 256> m_refusedLocal{};
    std::array<bool, 256> m_refusedRemote{};
};

}  // namespace dravel::telnet
