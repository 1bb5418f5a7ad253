#include "output/json_events.h"

#include <cmath>

#include "output/exit_codes.h"
#include "output/report.h"
#include "protocol/answer.h"

namespace dravel::output {

namespace {

// No more than about five progress events a second per port.
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);

double Rounded(double value, double scale) { return std::round(value * scale) / scale; }

}  // namespace

double ProgramSeconds() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void EventStream::Emit(const std::string& event, const std::string& port, const nlohmann::ordered_json& fields) {
    nlohmann::ordered_json object;
    object["event"] = event;
    object["port"] = port;
    object["t"] = 0.0;
    if (fields.is_object()) {
        for (const auto& [key, value] : fields.items()) object[key] = value;
    }
    Write(object);
}

bool EventStream::PassOn(const std::string& line, std::string& event) {
    if (line.size() > kLongestPassedEvent) return false;
    nlohmann::ordered_json object = nlohmann::ordered_json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object() || !object.contains("event") || !object["event"].is_string()) {
        return false;
    }
    event = object["event"].get<std::string>();
    object.erase("schema");
    Write(object);
    return true;
}

void EventStream::Write(nlohmann::ordered_json& object) {
    std::lock_guard lock(m_mutex);
    // Stamped under the lock, so that the times of the stream never go back.
    object["t"] = Rounded(ProgramSeconds(), 1000.0);
    if (m_first) {
        // Named right after the fields every event has.
        nlohmann::ordered_json first;
        for (const char* key : {"event", "port", "t"}) {
            if (object.contains(key)) first[key] = object[key];
        }
        first["schema"] = kEventSchema;
        for (const auto& [key, value] : object.items()) {
            if (!first.contains(key)) first[key] = value;
        }
        object = std::move(first);
        m_first = false;
    }
    // Paths from the command line or the file system need not be UTF-8.
    const std::string text = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), m_out);
    std::fflush(m_out);
}

const char* OutcomeName(int exitCode) {
    if (exitCode == kExitCompleted) return "completed";
    if (exitCode == kExitNoAnswer) return "no-answer";
    if (exitCode == kExitNotConfirmed) return "not-confirmed";
    if (IsInterruptedExit(exitCode)) return "cancelled";
    return "error";
}

nlohmann::ordered_json EndEventFields(const TransferEnd& end) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    if (end.board) fields["board"] = *end.board;
    if (end.attempt) fields["attempt"] = *end.attempt;
    fields["outcome"] = OutcomeName(end.exitCode);
    fields["bytes"] = end.bytes;
    fields["seconds"] = Rounded(end.seconds, 1000.0);
    fields["resends"] = end.resends;
    fields["sha256"] = end.sha256 ? nlohmann::ordered_json(*end.sha256) : nullptr;
    fields["format"] = end.format ? nlohmann::ordered_json(*end.format) : nullptr;
    fields["base"] = AddressJson(end.base);
    fields["source_sha256"] = end.sourceSha256 ? nlohmann::ordered_json(*end.sourceSha256) : nullptr;
    if (end.serial) fields["serial"] = *end.serial;
    fields["message"] = end.message;
    if (!end.cause.empty()) fields["cause"] = end.cause;
    fields["exit_code"] = end.exitCode;
    return fields;
}

TransferEvents::TransferEvents(EventStream& stream, std::string port, std::optional<int> board)
    : m_stream(stream), m_port(std::move(port)), m_board(board), m_began(Clock::now()) {}

void TransferEvents::SetSerial(uint64_t serial) {
    std::lock_guard lock(m_mutex);
    m_serial = serial;
}

void TransferEvents::SetImage(const Image& image) {
    std::lock_guard lock(m_mutex);
    m_image = image;
}

nlohmann::ordered_json TransferEvents::Fields() const {
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    if (m_board) fields["board"] = *m_board;
    if (m_attempt) fields["attempt"] = *m_attempt;
    return fields;
}

void TransferEvents::OnTrace(const TraceEvent& event) {
    std::lock_guard lock(m_mutex);
    switch (event.kind) {
        case TraceEvent::Kind::PortOpened: {
            auto fields = Fields();
            // The trace's text is the port's name, then the device.
            const std::size_t space = event.text.find(' ');
            fields["device"] = space == std::string::npos ? event.text : event.text.substr(space + 1);
            m_stream.Emit("open", m_port, fields);
            break;
        }
        case TraceEvent::Kind::Answer:
            m_pendingCause = event.status == XFER_NAK ? "refused" : "other";
            break;
        case TraceEvent::Kind::TimerExpired: m_pendingCause = "timeout"; break;
        case TraceEvent::Kind::Resend: {
            auto fields = Fields();
            fields["block"] = m_latest.blocks;
            fields["cause"] = m_pendingCause;
            fields["sending"] = event.attempt;
            m_stream.Emit("resend", m_port, fields);
            break;
        }
        default: break;
    }
}

void TransferEvents::OnProgress(const TransferProgress& progress) {
    std::lock_guard lock(m_mutex);
    const auto now = Clock::now();
    m_latest = progress;
    if (!progress.synchronised && progress.blocks == 0) m_synchronisedAt.reset();  // an attempt begins again
    if (progress.synchronised && !m_synchronisedAt) {
        m_synchronisedAt = now;
        m_stream.Emit("sync", m_port, Fields());
    }
    if (!progress.synchronised || (progress.blocks == 0 && !progress.fileSize)) return;
    const bool moved = progress.blocks != m_lastBlocksShown;
    const bool due = now - m_lastProgress >= kProgressPeriod;
    // The last block is always shown, so that a reader sees the count reach the total.
    const bool whole = progress.fileSize && KindSendsBlocks(m_image.kind) &&
                       static_cast<uint64_t>(progress.blocks) >= BlocksFor(*progress.fileSize);
    if (!moved || (!due && !whole && !progress.finished)) return;
    EmitProgress(progress, now);
}

void TransferEvents::EmitProgress(const TransferProgress& progress, Clock::time_point now) {
    m_lastProgress = now;
    m_lastBlocksShown = progress.blocks;
    auto fields = Fields();
    fields["blocks"] = progress.blocks;
    if (progress.fileSize && KindSendsBlocks(m_image.kind)) {
        fields["total"] = BlocksFor(*progress.fileSize);
    } else {
        fields["total"] = nullptr;  // lines, or a pipe: not known ahead
    }
    fields["bytes"] = progress.bytesSent;
    const double seconds = std::chrono::duration<double>(now - m_synchronisedAt.value_or(now)).count();
    const double rate = seconds > 0.01 ? static_cast<double>(progress.bytesSent) / seconds : 0.0;
    fields["rate"] = Rounded(rate, 10.0);
    if (progress.fileSize && rate > 0.0) {
        const uint64_t left = *progress.fileSize - std::min(*progress.fileSize, progress.bytesSent);
        fields["eta"] = Rounded(static_cast<double>(left) / rate, 10.0);
    } else {
        fields["eta"] = nullptr;
    }
    m_stream.Emit("progress", m_port, fields);
}

void TransferEvents::SetAttempt(int attempt) {
    std::lock_guard lock(m_mutex);
    m_attempt = attempt;
    m_lastBlocksShown = -1;
}

void TransferEvents::Boot(const std::string& line) {
    std::lock_guard lock(m_mutex);
    auto fields = Fields();
    fields["line"] = line;
    m_stream.Emit("boot", m_port, fields);
}

void TransferEvents::End(int exitCode, const std::string& message, const std::string& cause) {
    std::lock_guard lock(m_mutex);
    if (m_ended) return;
    m_ended = true;
    TransferEnd end;
    end.board = m_board;
    end.attempt = m_attempt;
    end.exitCode = exitCode;
    end.bytes = m_latest.bytesSent;
    end.seconds = std::chrono::duration<double>(Clock::now() - m_began).count();
    end.resends = m_latest.resends;
    end.sha256 = m_image.sha256;
    end.format = m_image.format;
    end.base = m_image.base;
    end.sourceSha256 = m_image.sourceSha256;
    end.serial = m_serial;
    end.message = message;
    end.cause = cause;
    m_stream.Emit("end", m_port, EndEventFields(end));
}

}  // namespace dravel::output
