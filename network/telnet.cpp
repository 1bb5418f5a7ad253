#include "network/telnet.h"

namespace dravel::telnet {

void AppendEscaped(std::span<const uint8_t> data, std::vector<uint8_t>& out)
{
    for (const uint8_t byte : data) {
        out.push_back(byte);
        if (byte == IAC) out.push_back(IAC);
    }
}

void AppendNegotiation(uint8_t command, uint8_t option, std::vector<uint8_t>& out)
{
    out.insert(out.end(), {IAC, command, option});
}

void AppendSubnegotiation(uint8_t option, std::span<const uint8_t> payload, std::vector<uint8_t>& out)
{
    out.insert(out.end(), {IAC, SB, option});
    AppendEscaped(payload, out);
    out.insert(out.end(), {IAC, SE});
}

std::string CommandName(uint8_t command)
{
    switch (command) {
    case WILL: return "WILL";
    case WONT: return "WONT";
    case DO: return "DO";
    case DONT: return "DONT";
    default: return "command " + std::to_string(command);
    }
}

std::string OptionName(uint8_t option)
{
    switch (option) {
    case kOptionBinary: return "BINARY";
    case kOptionEcho: return "ECHO";
    case kOptionSuppressGoAhead: return "SUPPRESS-GO-AHEAD";
    case kOptionComPort: return "COM-PORT-OPTION";
    default: return "option " + std::to_string(option);
    }
}

void Decoder::Receive(std::span<const uint8_t> bytes, std::vector<uint8_t>& data, std::vector<Event>& events)
{
    for (const uint8_t byte : bytes) {
        switch (m_state) {
        case State::Data:
            if (byte == IAC) {
                m_state = State::Command;
            } else {
                data.push_back(byte);
            }
            break;
        case State::Command:
            switch (byte) {
            case IAC:
                data.push_back(IAC);
                m_state = State::Data;
                break;
            case WILL:
            case WONT:
            case DO:
            case DONT:
                m_command = byte;
                m_state = State::Option;
                break;
            case SB: m_state = State::SubOption; break;
            default:
                // NOP, GA, a stray SE and the commands of a terminal (break,
                // interrupt, ...) mean nothing on a serial port.
                m_state = State::Data;
                break;
            }
            break;
        case State::Option: {
            Event event;
            event.kind = Event::Kind::Negotiation;
            event.command = m_command;
            event.option = byte;
            events.push_back(std::move(event));
            m_state = State::Data;
            break;
        }
        case State::SubOption:
            m_subOption = byte;
            m_subLength = 0;
            m_state = State::SubData;
            break;
        case State::SubData:
            if (byte == IAC) {
                m_state = State::SubCommand;
            } else {
                KeepSubByte(byte, events);
            }
            break;
        case State::SubCommand:
            if (byte == IAC) {
                m_state = State::SubData;
                KeepSubByte(IAC, events);
            } else if (byte == SE) {
                Event event;
                event.kind = Event::Kind::Subnegotiation;
                event.option = m_subOption;
                event.payload.assign(m_sub.begin(), m_sub.begin() + static_cast<std::ptrdiff_t>(m_subLength));
                events.push_back(std::move(event));
                m_state = State::Data;
            } else {
                // IAC followed by anything but IAC or SE inside a
                // subnegotiation: the server broke it off. What follows is
                // taken as the command it began, so the stream goes on.
                m_state = State::Command;
                m_subLength = 0;
                const uint8_t again[] = {byte};
                Receive(again, data, events);
            }
            break;
        case State::Broken: return;
        }
    }
}

void Decoder::KeepSubByte(uint8_t byte, std::vector<Event>& events)
{
    if (m_subLength < m_sub.size()) {
        m_sub[m_subLength++] = byte;
        return;
    }
    Event event;
    event.kind = Event::Kind::Overlong;
    event.option = m_subOption;
    events.push_back(std::move(event));
    m_state = State::Broken;
}

void Options::Want(uint8_t option, bool local, bool remote)
{
    m_wantLocal[option] = local;
    m_wantRemote[option] = remote;
    m_saidWont[option] = false;
    m_saidDont[option] = false;
}

void Options::AppendRequests(std::vector<uint8_t>& out)
{
    for (std::size_t i = 0; i < 256; ++i) {
        const auto option = static_cast<uint8_t>(i);
        if (m_wantLocal[i] && m_local[i] == State::No) {
            m_local[i] = State::WantYes;
            AppendNegotiation(WILL, option, out);
        }
        if (m_wantRemote[i] && m_remote[i] == State::No) {
            m_remote[i] = State::WantYes;
            AppendNegotiation(DO, option, out);
        }
    }
}

void Options::Handle(uint8_t command, uint8_t option, std::vector<uint8_t>& reply)
{
    switch (command) {
    case WILL: {
        State& him = m_remote[option];
        if (him == State::No) {
            if (m_wantRemote[option]) {
                him = State::Yes;
                m_saidDont[option] = false;
                AppendNegotiation(DO, option, reply);
            } else if (!m_saidDont[option]) {
                m_saidDont[option] = true;
                AppendNegotiation(DONT, option, reply);
            }
        } else if (him == State::WantYes) {
            him = State::Yes;
        } else if (him == State::WantNo) {
            him = State::No;
        }
        break;
    }
    case WONT: {
        State& him = m_remote[option];
        if (him == State::Yes) {
            him = State::No;
            AppendNegotiation(DONT, option, reply);
        } else if (him == State::WantYes) {
            him = State::No;
            m_refusedRemote[option] = true;
        } else if (him == State::WantNo) {
            him = State::No;
        }
        break;
    }
    case DO: {
        State& us = m_local[option];
        if (us == State::No) {
            if (m_wantLocal[option]) {
                us = State::Yes;
                m_saidWont[option] = false;
                AppendNegotiation(WILL, option, reply);
            } else if (!m_saidWont[option]) {
                m_saidWont[option] = true;
                AppendNegotiation(WONT, option, reply);
            }
        } else if (us == State::WantYes) {
            us = State::Yes;
        } else if (us == State::WantNo) {
            us = State::No;
        }
        break;
    }
    case DONT: {
        State& us = m_local[option];
        if (us == State::Yes) {
            us = State::No;
            AppendNegotiation(WONT, option, reply);
        } else if (us == State::WantYes) {
            us = State::No;
            m_refusedLocal[option] = true;
        } else if (us == State::WantNo) {
            us = State::No;
        }
        break;
    }
    default: break;
    }
}

}  // namespace dravel::telnet
