#include "protocol/trace.h"

#include <cstdio>

#include "protocol/answer.h"
#include "protocol/frame.h"

namespace dravel {

namespace {

std::string Hex(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : " %02X", byte);
        text += pair;
    }
    return text;
}

}  // namespace

const char* StatusName(int32_t status) {
    switch (status) {
        case XFER_WAIT: return "WAIT";
        case XFER_ACK: return "ACK";
        case XFER_NAK: return "NAK";
        case XFER_OTHER: return "OTHER";
        case XFER_TIMEOUT: return "TIMEOUT";
        case XFER_END: return "END";
        default: return "?";
    }
}

std::string FormatTraceEvent(const TraceEvent& event) {
    char line[160];
    switch (event.kind) {
        case TraceEvent::Kind::PortOpened: return "port open " + event.text;
        case TraceEvent::Kind::PortClosed: return "port close " + event.text;
        case TraceEvent::Kind::Probe: return "probe " + Hex(event.bytes);
        case TraceEvent::Kind::Frame: {
            const auto& b = event.bytes;
            if (b.size() < kFrameOverhead) return "frame (short) " + Hex(b);
            const unsigned length = b[3] | (b[4] << 8);
            const std::size_t crcAt = b.size() - kFrameCrcSize;
            const uint32_t crc = (uint32_t{b[crcAt]} << 24) | (uint32_t{b[crcAt + 1]} << 16) |
                                 (uint32_t{b[crcAt + 2]} << 8) | b[crcAt + 3];
            const char shown = b[2] >= 0x20 && b[2] < 0x7F ? static_cast<char>(b[2]) : '.';
            std::snprintf(line, sizeof line, "frame seq=%02X cmd=%02X '%c' len=%u crc=%08X wire=%zu", b[1], b[2],
                          shown, length, crc, b.size());
            return line;
        }
        case TraceEvent::Kind::Answer:
            return "answer " + Hex(event.bytes) + " -> " + StatusName(event.status);
        case TraceEvent::Kind::Noise: return "noise " + Hex(event.bytes) + " dropped";
        case TraceEvent::Kind::TimerExpired:
            std::snprintf(line, sizeof line, "timer %u expired -> TIMEOUT", static_cast<unsigned>(event.timerId));
            return line;
        case TraceEvent::Kind::Resend:
            std::snprintf(line, sizeof line, "resend seq=%02X sending %d", event.sequence, static_cast<int>(event.attempt));
            return line;
        case TraceEvent::Kind::LineNote: return "line " + event.text;
    }
    return "?";
}

}  // namespace dravel
