// A serial port across the network, behind the serial-line contract: a TCP
// connection to a terminal server or ser2net, raw (socket://) or speaking
// telnet with the COM port option (rfc2217://).
//
// The reader thread's calls (Wait, InputWaiting, Read) receive and decode;
// the writer's (Write) encode and send. Both may send - the reader answers
// the server's negotiation - so everything that leaves goes through one
// output queue under one lock, in whole encoded pieces: a doubled 0xFF is
// never split between two owners. Whatever the queue holds when the system
// takes no more is sent by the reader's next wait, which then also waits for
// the socket to take output.
//
// Nothing a server sends makes the line hold or owe without bound. Toward
// the port, decoded bytes wait in a queue of kHeldInputLimit; when it is
// full the socket is not read until the port has taken some, so TCP's own
// window holds the server back. That was chosen over dropping here because
// the port's reader takes everything as it comes and its own receive buffer
// already drops what no answer can use: this queue fills only while the
// port's owner is held up for a moment, and then a device behind a fast
// server must not lose the bytes of its answer. The negotiation is the one
// time nobody reads the data, and it is thrown away once the line is set
// up: then the socket is read on and the data past what the cause may quote
// is dropped, so the answers arrive behind it. A call takes in at most
// kReceiveBudget, so a server that never pauses cannot keep a waiting caller
// from its clock, and the answers owed to a server that negotiates without
// reading them end the connection beyond kOwedAnswersLimit.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "network/com_port_client.h"
#include "line/line_transport.h"
#include "network/network_port.h"
#include "network/tcp_socket.h"

namespace dravel {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kConnectLimit{10000};
// The server's answers to the whole negotiation, at most.
constexpr milliseconds kNegotiationLimit{3000};
// Once the line settings are answered, the modem lines get this long, or a
// few times what the settings took, before they count as unanswered: some
// servers never answer them, and the rest answer with the settings.
constexpr milliseconds kModemLineGrace{150};
// A close lets queued output leave for this long, then waits as long for the
// server to close its side, so that no byte sent is lost to a reset.
constexpr milliseconds kCloseLimit{1000};
// Bytes received and not yet read, and bytes queued and not yet sent, beyond
// which the connection is left to TCP's own flow control.
constexpr std::size_t kHeldInputLimit = 64 * 1024;
constexpr std::size_t kQueuedOutputLimit = 64 * 1024;
constexpr std::size_t kReceiveChunk = 4096;
// What one call takes in from the socket, at most.
constexpr std::size_t kReceiveBudget = 64 * 1024;
// While opening: the server's data kept for the cause of a failure (a
// banner such as "Port already in use").
constexpr std::size_t kOpeningDataKept = 512;
// Answers to the server's negotiation that may wait behind a full output
// queue. A real server negotiates a handful of options once; more owed than
// this is a server that asks without reading.
constexpr std::size_t kOwedAnswersLimit = 4 * 1024;
// Negotiation steps traced while opening; a server that goes on for ever
// would otherwise flood the trace.
constexpr std::size_t kOpeningTraceLines = 200;

class NetworkLine final : public LineTransport {
public:
    NetworkLine(std::optional<NetworkPort> port, std::string problem)
        : m_port(std::move(port)), m_problem(std::move(problem))
    {
    }
    ~NetworkLine() override
    {
        Close();
        CloseEvents();
    }

    bool IsNetwork() const override { return true; }
    SerialResult Open(const std::string& device) override;
    SerialResult Configure(const LineSettings& settings) override;
    SerialResult SetDtr(bool on) override;
    SerialResult SetRts(bool on) override;
    std::size_t InputWaiting() override;
    SerialResult Read(std::span<uint8_t> buffer, std::size_t& count) override;
    SerialResult Write(std::span<const uint8_t> bytes, std::size_t& count) override;
    std::size_t OutputPending() override;
    SerialResult WaitForOutput(milliseconds limit) override;
    SerialResult Wait(LineInterest interest, milliseconds timeout, LineEvents& events) override;
    void Wake() override { m_socket.Wake(); }
    bool CreateEvents() override { return m_socket.CreateEvents(); }
    void CloseEvents() override { m_socket.CloseEvents(); }
    SerialResult Purge() override { return PurgeInput(); }
    SerialResult PurgeInput() override;
    // Queued output is never thrown away: a part of it would leave the
    // server in the middle of a telnet command.
    SerialResult DiscardAtClose() override { return PurgeInput(); }
    void Close() override;
    bool IsOpen() const override { return m_socket.IsOpen(); }
    intptr_t NativeHandle() const override { return m_socket.NativeHandle(); }

private:
    bool Telnet() const { return m_client.has_value(); }
    std::size_t Held() const { return m_in.size() - m_inBegin; }
    std::string Since() const;
    // Reader side: takes in what has arrived, without waiting.
    void ReceiveWaiting();
    // Gives back the room of what the port has read, once that is at least
    // as much as what is still held: each byte moves at most once on average.
    void CompactInput();
    // The answers to the server's negotiation, within kOwedAnswersLimit.
    void QueueAnswers(const std::vector<uint8_t>& answers);
    void TraceOpening(const std::vector<std::string>& log);
    // One wait of the negotiation for the server's bytes, bounded by `until`.
    SerialResult Pump(Clock::time_point until);
    // With m_outMutex held: as much of the queue as the system takes.
    SerialResult SendQueuedLocked();
    void Queue(const std::vector<uint8_t>& bytes);
    void MarkLost(const std::string& cause);
    std::string LostCause() const;
    // The cause of a loss while opening, with what the server said before it
    // closed ("Port already in use"), which is often the real reason.
    std::string OpeningLossCause() const;
    SerialResult SettingsFailure(const rfc2217::Client::Answers& answers, const LineSettings& settings);

    TcpSocket m_socket;
    const std::optional<NetworkPort> m_port;
    const std::string m_problem;  // why there is no port
    std::optional<rfc2217::Client> m_client;  // for rfc2217:// only
    Clock::time_point m_connectStart{};
    Clock::time_point m_negotiationStart{};
    bool m_opening = false;  // the negotiation's steps go to the notes
    std::size_t m_openingTraced = 0;

    // Received and decoded, not yet read: reader thread (and the owner while
    // no reader runs).
    std::vector<uint8_t> m_in;
    std::size_t m_inBegin = 0;

    std::mutex m_outMutex;
    std::vector<uint8_t> m_out;  // encoded, not yet taken by the system

    std::atomic<bool> m_lost{false};
    mutable std::mutex m_lostMutex;
    std::string m_lostCause;
};

std::string NetworkLine::Since() const
{
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - m_connectStart).count();
    char text[32];
    std::snprintf(text, sizeof text, "+%.1f ms ", ms);
    return text;
}

SerialResult NetworkLine::Open(const std::string& device)
{
    const std::string what = BeginOpen(device);
    if (!m_port) return Fail(SerialResult::NoDevice, what, m_problem);
    std::string error;
    m_in.clear();
    m_inBegin = 0;
    {
        std::lock_guard lock(m_outMutex);
        m_out.clear();
    }
    m_lost.store(false);
    {
        std::lock_guard lock(m_lostMutex);
        m_lostCause.clear();
    }
    m_client.reset();
    m_opening = true;
    m_openingTraced = 0;
    m_connectStart = Clock::now();
    Note(LineNote::Level::Trace, "connect to " + m_port->host + " port " + std::to_string(m_port->port));
    const SerialResult connected = m_socket.Connect(m_port->host, m_port->port, kConnectLimit, error);
    if (connected != SerialResult::Ok) {
        m_opening = false;
        return Fail(connected, what, error);
    }
    m_negotiationStart = Clock::now();
    Note(LineNote::Level::Trace, Since() + "connected (TCP_NODELAY, keep-alive)");
    if (m_port->protocol == NetworkPort::Protocol::Raw) {
        // A raw port has no modem lines to speak of and no say over the
        // line: the server's configuration sets it.
        m_hasModemLines = false;
        return SerialResult::Ok;
    }
    m_client.emplace();
    Queue(m_client->Start());
    Note(LineNote::Level::Trace, Since() + "sent WILL/DO BINARY, WILL/DO SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION");
    return SerialResult::Ok;
}

SerialResult NetworkLine::Configure(const LineSettings& settings)
{
    const std::string what = "configure " + m_path;
    if (!m_socket.IsOpen()) return Fail(SerialResult::Failed, what, "not connected");
    if (!Telnet()) {
        Note(LineNote::Level::Trace, Since() + "raw TCP: the line settings are the server's");
        m_opening = false;
        return SerialResult::Ok;
    }
    const Clock::time_point deadline = m_negotiationStart + kNegotiationLimit;
    while (m_client->ComPortState() == rfc2217::Client::ComPort::Pending && Clock::now() < deadline) {
        if (const SerialResult pumped = Pump(deadline); pumped != SerialResult::Ok) return Fail(pumped, what, OpeningLossCause());
    }
    switch (m_client->ComPortState()) {
    case rfc2217::Client::ComPort::Refused:
        return Fail(SerialResult::Refused, what,
                    "the server refuses the COM port option (RFC 2217); for a raw TCP port use socket://");
    case rfc2217::Client::ComPort::Pending: {
        // A server that talked all along without agreeing is told apart
        // from one that never answered.
        const uint64_t said = m_client->Negotiations();
        return Fail(SerialResult::Failed, what,
                    "no answer to the COM port option (RFC 2217) within 3 s" +
                        (said > 0 ? ", though the server sent " + std::to_string(said) + " negotiations" : std::string()) +
                        "; for a raw TCP port use socket://");
    }
    case rfc2217::Client::ComPort::Agreed: break;
    }
    if (m_client->BinaryRefused()) {
        return Fail(SerialResult::Refused, what,
                    "the server refuses binary transmission, so the image would not arrive as it was sent");
    }

    Queue(m_client->RequestSettings(settings));
    const Clock::time_point sent = Clock::now();
    Note(LineNote::Level::Trace, Since() + "sent SET-BAUDRATE " + std::to_string(settings.baudRate) +
                                     ", SET-DATASIZE " + std::to_string(settings.byteSize) + ", SET-PARITY " +
                                     std::to_string(rfc2217::ParityCode(settings.parity)) + ", SET-STOPSIZE " +
                                     std::to_string(rfc2217::StopSizeCode(settings.stopBits)) +
                                     ", SET-CONTROL no flow control, DTR on, RTS on, PURGE-DATA both");
    while (!m_client->SettingsAnswered() && Clock::now() < deadline) {
        if (const SerialResult pumped = Pump(deadline); pumped != SerialResult::Ok) return Fail(pumped, what, OpeningLossCause());
    }
    if (m_client->SettingsAnswered() && !m_client->AllAnswered()) {
        const auto took = Clock::now() - sent;
        const Clock::time_point grace =
            std::min(deadline, Clock::now() + std::max<Clock::duration>(kModemLineGrace, 4 * took));
        while (!m_client->AllAnswered() && Clock::now() < grace) {
            if (const SerialResult pumped = Pump(grace); pumped != SerialResult::Ok) return Fail(pumped, what, OpeningLossCause());
        }
    }
    const rfc2217::Client::Answers answers = m_client->SettingsAnswers();
    if (const SerialResult failed = SettingsFailure(answers, settings); failed != SerialResult::Ok) return failed;

    std::string unanswered;
    for (const auto& [answered, name] : {std::pair{answers.flowControl, "no flow control"},
                                         std::pair{answers.dtr, "DTR on"}, std::pair{answers.rts, "RTS on"}}) {
        if (answered) continue;
        unanswered += unanswered.empty() ? "" : ", ";
        unanswered += name;
    }
    if (!unanswered.empty()) {
        // ser2net on a terminal without modem lines, and some terminal
        // servers, never answer these; the data flows all the same.
        Note(LineNote::Level::Warning, m_path + ": the server left SET-CONTROL (" + unanswered +
                                           ") unanswered; going on without it");
    }
    if (!answers.purge) Note(LineNote::Level::Trace, Since() + "PURGE-DATA unanswered");
    // What arrived before the server emptied its queues is from before this
    // connection's line was set up.
    m_in.clear();
    m_inBegin = 0;
    Note(LineNote::Level::Trace, Since() + "line set up");
    m_opening = false;
    return SerialResult::Ok;
}

SerialResult NetworkLine::SettingsFailure(const rfc2217::Client::Answers& answers, const LineSettings& settings)
{
    const std::string what = "configure " + m_path;
    struct Check {
        const char* name;
        std::optional<uint32_t> answer;
        uint32_t wanted;
        const char* unit;
    };
    const Check checks[] = {
        {"SET-BAUDRATE", answers.baudRate, settings.baudRate, " baud"},
        {"SET-DATASIZE", answers.dataSize, settings.byteSize, " data bits"},
        {"SET-PARITY", answers.parity, rfc2217::ParityCode(settings.parity), " (parity code)"},
        {"SET-STOPSIZE", answers.stopSize, rfc2217::StopSizeCode(settings.stopBits), " (stop size code)"},
    };
    for (const Check& check : checks) {
        if (!check.answer) {
            return Fail(SerialResult::Failed, what,
                        std::string("no answer to ") + check.name + " within 3 s, so the line's settings are unknown");
        }
        // Every byte would arrive garbled on a line set otherwise.
        if (*check.answer != check.wanted) {
            return Fail(SerialResult::Refused, what,
                        std::string("the server set ") + std::to_string(*check.answer) + check.unit + " instead of " +
                            std::to_string(check.wanted) + check.unit + " (" + check.name + ")");
        }
    }
    return SerialResult::Ok;
}

SerialResult NetworkLine::Pump(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
    bool queued = false;
    {
        std::lock_guard lock(m_outMutex);
        if (!m_out.empty()) {
            if (SendQueuedLocked() == SerialResult::HungUp) return SerialResult::HungUp;
            queued = !m_out.empty();
        }
    }
    LineEvents events;
    std::string cause;
    if (m_socket.Wait(true, queued, std::max(left, milliseconds(0)), events, cause) != SerialResult::Ok) {
        MarkLost(cause);
        return SerialResult::Failed;
    }
    ReceiveWaiting();
    return m_lost.load() ? SerialResult::HungUp : SerialResult::Ok;
}

void NetworkLine::ReceiveWaiting()
{
    if (m_lost.load() || !m_socket.IsOpen()) return;
    uint8_t chunk[kReceiveChunk];
    std::vector<uint8_t> answers;
    std::vector<std::string> log;
    for (std::size_t taken = 0; taken < kReceiveBudget;) {
        // Telnet never makes more data than bytes came in, so reading no
        // more than the room left keeps the queue within its limit.
        std::size_t room = sizeof chunk;
        if (!m_opening) {
            if (Held() >= kHeldInputLimit) break;
            room = std::min(room, kHeldInputLimit - Held());
        }
        std::size_t received = 0;
        std::string cause;
        const SerialResult result = m_socket.Receive(std::span<uint8_t>(chunk, room), received, cause);
        if (result == SerialResult::WouldBlock) break;
        if (result != SerialResult::Ok) {
            MarkLost(cause);
            break;
        }
        taken += received;
        CompactInput();
        const std::span<const uint8_t> bytes(chunk, received);
        if (Telnet()) {
            m_client->Receive(bytes, m_in, answers, log);
        } else {
            m_in.insert(m_in.end(), bytes.begin(), bytes.end());
        }
        if (m_opening && Held() > kOpeningDataKept) m_in.resize(m_inBegin + kOpeningDataKept);
        if (Telnet() && !m_client->ProtocolError().empty()) {
            MarkLost(m_client->ProtocolError());
            break;
        }
    }
    if (!answers.empty() && !m_lost.load()) QueueAnswers(answers);
    // Once the line is set up the server's chatter (line and modem state)
    // is consumed silently; a trace of every notification would drown the
    // transfer's own lines.
    if (m_opening) TraceOpening(log);
}

void NetworkLine::CompactInput()
{
    if (m_inBegin == 0 || m_inBegin < Held()) return;
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(m_inBegin));
    m_inBegin = 0;
}

void NetworkLine::QueueAnswers(const std::vector<uint8_t>& answers)
{
    std::size_t owed = 0;
    {
        std::lock_guard lock(m_outMutex);
        m_out.insert(m_out.end(), answers.begin(), answers.end());
        if (SendQueuedLocked() != SerialResult::Ok) return;
        if (m_out.size() <= kQueuedOutputLimit + kOwedAnswersLimit) {
            if (!m_out.empty()) m_socket.Wake();
            return;
        }
        owed = m_out.size();
    }
    MarkLost("the server keeps negotiating without reading the answers (" + std::to_string(owed / 1024) +
             " KiB unsent)");
}

void NetworkLine::TraceOpening(const std::vector<std::string>& log)
{
    for (const std::string& line : log) {
        if (m_openingTraced < kOpeningTraceLines) {
            Note(LineNote::Level::Trace, Since() + line);
        } else if (m_openingTraced == kOpeningTraceLines) {
            Note(LineNote::Level::Trace, Since() + "the server goes on negotiating; further steps are not traced");
        } else {
            return;
        }
        ++m_openingTraced;
    }
}

void NetworkLine::Queue(const std::vector<uint8_t>& bytes)
{
    std::lock_guard lock(m_outMutex);
    m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    if (SendQueuedLocked() == SerialResult::Ok && !m_out.empty()) m_socket.Wake();
}

SerialResult NetworkLine::SendQueuedLocked()
{
    if (m_out.empty()) return SerialResult::Ok;
    if (m_lost.load()) return SerialResult::HungUp;
    std::size_t sent = 0;
    std::string cause;
    const SerialResult result = m_socket.Send(m_out, sent, cause);
    m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(sent));
    if (result == SerialResult::Ok || result == SerialResult::WouldBlock) return SerialResult::Ok;
    MarkLost(cause);
    return SerialResult::HungUp;
}

void NetworkLine::MarkLost(const std::string& cause)
{
    std::lock_guard lock(m_lostMutex);
    if (m_lost.load()) return;
    m_lostCause = cause.empty() ? std::string("the connection was lost") : cause;
    m_lost.store(true);
}

std::string NetworkLine::LostCause() const
{
    std::lock_guard lock(m_lostMutex);
    return m_lostCause;
}

std::string NetworkLine::OpeningLossCause() const
{
    std::string said;
    for (std::size_t i = m_inBegin; i < m_in.size() && said.size() < 120; ++i) {
        const auto c = static_cast<char>(m_in[i]);
        if (c == '\r' || c == '\n') {
            if (!said.empty() && said.back() != ' ') said += ' ';
        } else if (c >= ' ' && c <= '~') {
            said += c;
        }
    }
    while (!said.empty() && said.back() == ' ') said.pop_back();
    return said.empty() ? LostCause() : LostCause() + ", saying \"" + said + "\"";
}

SerialResult NetworkLine::SetDtr(bool on)
{
    // Only the opening and the close touch the modem lines: a request in the
    // middle of a transfer would cost the server a round trip.
    if (!Telnet()) return SerialResult::Ok;
    std::vector<uint8_t> request;
    const uint8_t payload[] = {rfc2217::SET_CONTROL, on ? rfc2217::kControlDtrOn : rfc2217::kControlDtrOff};
    telnet::AppendSubnegotiation(telnet::kOptionComPort, payload, request);
    Queue(request);
    return m_lost.load() ? Fail(SerialResult::HungUp, "set DTR on " + m_path, LostCause()) : SerialResult::Ok;
}

SerialResult NetworkLine::SetRts(bool on)
{
    if (!Telnet()) return SerialResult::Ok;
    std::vector<uint8_t> request;
    const uint8_t payload[] = {rfc2217::SET_CONTROL, on ? rfc2217::kControlRtsOn : rfc2217::kControlRtsOff};
    telnet::AppendSubnegotiation(telnet::kOptionComPort, payload, request);
    Queue(request);
    return m_lost.load() ? Fail(SerialResult::HungUp, "set RTS on " + m_path, LostCause()) : SerialResult::Ok;
}

std::size_t NetworkLine::InputWaiting()
{
    ReceiveWaiting();
    return Held();
}

SerialResult NetworkLine::Read(std::span<uint8_t> buffer, std::size_t& count)
{
    count = 0;
    if (!m_socket.IsOpen()) return Fail(SerialResult::Failed, "read " + m_path, "not connected");
    if (buffer.empty()) return SerialResult::Ok;
    if (Held() == 0) ReceiveWaiting();
    if (Held() == 0) {
        if (m_lost.load()) return Fail(SerialResult::HungUp, "read " + m_path, LostCause());
        return SerialResult::WouldBlock;
    }
    count = std::min(buffer.size(), Held());
    std::copy_n(m_in.begin() + static_cast<std::ptrdiff_t>(m_inBegin), count, buffer.begin());
    m_inBegin += count;
    return SerialResult::Ok;
}

SerialResult NetworkLine::Write(std::span<const uint8_t> bytes, std::size_t& count)
{
    count = 0;
    if (!m_socket.IsOpen()) return Fail(SerialResult::Failed, "write " + m_path, "not connected");
    std::lock_guard lock(m_outMutex);
    if (m_lost.load()) return Fail(SerialResult::HungUp, "write " + m_path, LostCause());
    if (bytes.empty()) return SerialResult::Ok;
    // Whole bytes only: a 0xFF and its double go into the queue together.
    for (const uint8_t byte : bytes) {
        const std::size_t size = Telnet() && byte == telnet::IAC ? 2 : 1;
        if (m_out.size() + size > kQueuedOutputLimit) break;
        m_out.push_back(byte);
        if (size == 2) m_out.push_back(byte);
        ++count;
    }
    if (SendQueuedLocked() == SerialResult::HungUp) {
        return Fail(SerialResult::HungUp, "write " + m_path, LostCause());
    }
    // The reader's wait sends the rest as the system takes it.
    if (!m_out.empty()) m_socket.Wake();
    return count > 0 ? SerialResult::Ok : SerialResult::WouldBlock;
}

std::size_t NetworkLine::OutputPending()
{
    std::lock_guard lock(m_outMutex);
    return m_out.size();
}

SerialResult NetworkLine::WaitForOutput(milliseconds limit)
{
    // Sent from here without the socket's wait, which belongs to the reader:
    // a queue left over is small, and the system takes it within a few tries.
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        {
            std::lock_guard lock(m_outMutex);
            if (SendQueuedLocked() == SerialResult::HungUp) return SerialResult::HungUp;
            if (m_out.empty()) return SerialResult::Ok;
        }
        if (Clock::now() >= deadline) return SerialResult::WouldBlock;
        std::this_thread::sleep_for(milliseconds(2));
    }
}

SerialResult NetworkLine::Wait(LineInterest interest, milliseconds timeout, LineEvents& events)
{
    events = {};
    if (interest.input && (Held() > 0 || m_lost.load())) {
        events.input = true;
        return SerialResult::Ok;
    }
    bool queued = false;
    {
        std::lock_guard lock(m_outMutex);
        queued = !m_out.empty() && !m_lost.load();
    }
    LineEvents socketEvents;
    std::string cause;
    if (m_socket.Wait(interest.input, interest.output || queued, timeout, socketEvents, cause) != SerialResult::Ok) {
        return Fail(SerialResult::Failed, "wait for " + m_path, cause);
    }
    events.woken = socketEvents.woken;
    events.input = socketEvents.input;
    if (socketEvents.output) {
        if (queued) {
            std::lock_guard lock(m_outMutex);
            // A failure shows as input: the read that follows reports it.
            if (SendQueuedLocked() == SerialResult::HungUp) events.input = interest.input;
        }
        events.output = interest.output;
    }
    return SerialResult::Ok;
}

SerialResult NetworkLine::PurgeInput()
{
    m_in.clear();
    m_inBegin = 0;
    return SerialResult::Ok;
}

void NetworkLine::Close()
{
    if (!m_socket.IsOpen()) return;
    if (!m_lost.load()) {
        if (Telnet()) {
            Queue(m_client->RequestDtrOff());
            Note(LineNote::Level::Trace, Since() + "sent SET-CONTROL DTR off");
        }
        WaitForOutput(kCloseLimit);
        m_socket.ShutdownSend();
        // The server's last bytes are read and dropped until it closes too:
        // a socket closed with unread input resets the connection, and a
        // reset may cost the server the end of what was sent to it.
        const Clock::time_point deadline = Clock::now() + kCloseLimit;
        uint8_t chunk[kReceiveChunk];
        while (Clock::now() < deadline) {
            LineEvents events;
            std::string cause;
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (m_socket.Wait(true, false, std::max(left, milliseconds(0)), events, cause) != SerialResult::Ok) break;
            std::size_t received = 0;
            const SerialResult result = m_socket.Receive(chunk, received, cause);
            if (result != SerialResult::Ok && result != SerialResult::WouldBlock) break;
        }
    }
    m_socket.Close();
    Note(LineNote::Level::Trace, Since() + "closed");
    m_opening = false;
    m_in.clear();
    m_inBegin = 0;
    std::lock_guard lock(m_outMutex);
    m_out.clear();
}

}  // namespace

std::unique_ptr<LineTransport> MakeNetworkLine(std::optional<NetworkPort> port, std::string problem)
{
    return std::make_unique<NetworkLine>(std::move(port), std::move(problem));
}

}  // namespace dravel
