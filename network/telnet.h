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
// A misbehaving server can neither crash nor stall it, nor make it hold or
// owe without bound: every byte is looked at once, a subnegotiation that runs
// past kMaxSubnegotiation is a broken stream (reported once, after which the
// decoder takes nothing more), unknown commands are skipped, and each
// option is answered at most once per change of its state, so a server that
// repeats a request forever gets one answer.
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

// COM-PORT-OPTION's longest message is a few bytes (a signature text at most
// a few dozen): a subnegotiation longer than this is no serial port talking.
inline constexpr std::size_t kMaxSubnegotiation = 256;

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
    // Overlong: a subnegotiation of `option` ran past kMaxSubnegotiation
    // without its end; the stream after it is not taken in.
    enum class Kind { Negotiation, Subnegotiation, Overlong };
    Kind kind = Kind::Negotiation;
    uint8_t command = 0;  // WILL, WONT, DO or DONT for a negotiation
    uint8_t option = 0;
    std::vector<uint8_t> payload;  // a subnegotiation's bytes after the option, undoubled
};

// The receive side of the stream.
class Decoder {
public:
    // Data bytes go to `data`; every complete command to `events`. A command
    // split over several calls is reassembled.
    // After an Overlong event every byte is dropped: where the server's
    // commands begin again can no longer be told.
    void Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& data, std::vector<Event>& events);
    bool Broken() const { return m_state == State::Broken; }

private:
    enum class State { Data, Command, Option, SubOption, SubData, SubCommand, Broken };
    void KeepSubByte(uint8_t byte, std::vector<Event>& events);

    State m_state = State::Data;
    uint8_t m_command = 0;
    uint8_t m_subOption = 0;
    std::size_t m_subLength = 0;
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

    // The answer to a server's WILL/WONT/DO/DONT (possibly nothing). A
    // refusal is said once: asked again for an option it already refused,
    // this side stays silent, as the option's state has not changed.
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
    // This side has refused the server's offer (WONT said, DONT said) and
    // owes it nothing more until the option's state changes.
    std::array<bool, 256> m_saidWont{};
    std::array<bool, 256> m_saidDont{};
};

}  // namespace dravel::telnet
