#include "frame_parser.h"

#include <algorithm>
#include <cstring>

#include "protocol/crc32.h"

namespace dravel::devsim {

const char* ToString(BadFrameReason reason) {
    switch (reason) {
    case BadFrameReason::CrcMismatch: return "crc";
    case BadFrameReason::LengthTooLarge: return "length";
    case BadFrameReason::Incomplete: return "incomplete";
    }
    return "unknown";
}

FrameParser::FrameParser(FrameSink& sink, std::chrono::nanoseconds idleGap)
    : m_sink(sink), m_idleGap(idleGap) {}

void FrameParser::Reset() {
    m_state = State::Hunting;
    m_size = 0;
    m_dropped = 0;
    m_noise = 0;
}

std::size_t FrameParser::Announced(std::size_t offset) const {
    return static_cast<std::size_t>(m_buffer[offset + 3]) |
           (static_cast<std::size_t>(m_buffer[offset + 4]) << 8);
}

void FrameParser::Feed(std::span<const uint8_t> bytes, Clock::time_point now) {
    if (bytes.empty()) return;
    m_lastByte = now;
    while (!bytes.empty()) {
        switch (m_state) {
        case State::Hunting: Hunt(bytes); break;
        case State::Collecting: Collect(bytes); break;
        case State::Discarding: Discard(bytes); break;
        }
    }
}

void FrameParser::Hunt(std::span<const uint8_t>& bytes) {
    const auto* sync = static_cast<const uint8_t*>(std::memchr(bytes.data(), kSyncByte, bytes.size()));
    if (sync == nullptr) {
        m_noise += bytes.size();
        bytes = {};
        return;
    }
    const auto skipped = static_cast<std::size_t>(sync - bytes.data());
    m_noise += skipped;
    FlushNoise();
    m_buffer[0] = kSyncByte;
    m_size = 1;
    m_dropped = 0;
    m_state = State::Collecting;
    bytes = bytes.subspan(skipped + 1);
}

void FrameParser::Collect(std::span<const uint8_t>& bytes) {
    const std::size_t need = m_size < kFrameHeaderSize ? kFrameHeaderSize : Announced(0) + kFrameOverhead;
    const std::size_t take = std::min(need - m_size, bytes.size());
    std::memcpy(m_buffer.data() + m_size, bytes.data(), take);
    m_size += take;
    bytes = bytes.subspan(take);
    if (m_size < need) return;

    if (m_size == kFrameHeaderSize) {
        if (Announced(0) > kMaxPayload) StartDiscarding(BadFrameReason::LengthTooLarge);
        return;  // the header decided the size; the next round collects the rest
    }
    if (Crc32(std::span<const uint8_t>(m_buffer.data(), m_size)) == 0) {
        ReportFrame(0, 0);
    } else {
        StartDiscarding(BadFrameReason::CrcMismatch);
    }
}

void FrameParser::StartDiscarding(BadFrameReason reason) {
    m_reason = reason;
    m_state = State::Discarding;
}

void FrameParser::Discard(std::span<const uint8_t>& bytes) {
    if (m_size == m_buffer.size()) {
        // Only the tail can still hold a resynced frame.
        const std::size_t drop = m_size - kMaxFrame;
        std::memmove(m_buffer.data(), m_buffer.data() + drop, kMaxFrame);
        m_size = kMaxFrame;
        m_dropped += drop;
    }
    const std::size_t take = std::min(m_buffer.size() - m_size, bytes.size());
    std::memcpy(m_buffer.data() + m_size, bytes.data(), take);
    m_size += take;
    bytes = bytes.subspan(take);
}

void FrameParser::FlushNoise() {
    if (m_noise == 0) return;
    const std::size_t count = m_noise;
    m_noise = 0;
    m_sink.OnNoise(count);
}

std::optional<FrameParser::Clock::time_point> FrameParser::Deadline() const {
    if (m_state == State::Hunting && m_noise == 0) return std::nullopt;
    return m_lastByte + m_idleGap;
}

void FrameParser::Advance(Clock::time_point now) {
    if (Hunting() || now - m_lastByte < m_idleGap) return;
    if (m_state == State::Hunting) {
        FlushNoise();
        return;
    }
    if (m_state == State::Collecting && m_size == 1) {
        Reset();
        m_sink.OnProbe();
        return;
    }
    if (ReportResyncedFrame()) return;
    const BadFrame bad{m_state == State::Collecting ? BadFrameReason::Incomplete : m_reason, m_size + m_dropped};
    Reset();
    m_sink.OnBadFrame(bad);
}

bool FrameParser::ReportResyncedFrame() {
    // The host went quiet right after its frame, so a good frame can only
    // sit at the very end of the burst.
    for (std::size_t offset = 0; offset + kFrameOverhead <= m_size; ++offset) {
        if (m_buffer[offset] != kSyncByte) continue;
        const std::size_t length = Announced(offset);
        if (length > kMaxPayload || m_size - offset != length + kFrameOverhead) continue;
        if (Crc32(std::span<const uint8_t>(m_buffer.data() + offset, m_size - offset)) != 0) continue;
        ReportFrame(offset, m_dropped + offset);
        return true;
    }
    return false;
}

void FrameParser::ReportFrame(std::size_t offset, std::size_t skipped) {
    ParsedFrame frame;
    frame.sequence = m_buffer[offset + 1];
    frame.command = m_buffer[offset + 2];
    frame.length = static_cast<uint16_t>(Announced(offset));
    frame.payload = std::span<const uint8_t>(m_buffer.data() + offset + kFrameHeaderSize, frame.length);
    const uint8_t* crc = m_buffer.data() + offset + kFrameHeaderSize + frame.length;
    frame.crc = (static_cast<uint32_t>(crc[0]) << 24) | (static_cast<uint32_t>(crc[1]) << 16) |
                (static_cast<uint32_t>(crc[2]) << 8) | static_cast<uint32_t>(crc[3]);
    frame.skippedBytes = skipped;
    m_sink.OnFrame(frame);
    // The payload span pointed into the window; only now may it be reused.
    m_state = State::Hunting;
    m_size = 0;
    m_dropped = 0;
}

}  // namespace dravel::devsim
