// Frame parser of the simulated loader: turns the bytes a host sends into
// probes, checked frames and bad frames.
//
// What it owns: one fixed window of received bytes (a frame in progress, or
// the tail of a failed one) and the time the last byte arrived. It does no
// I/O and reads no clock: the caller passes the time with every call, so the
// same bytes and times always give the same events (a fuzz target feeds it).
//
// How it finds its way back after noise: the host waits for an answer after
// every frame, so silence on the line marks the end of whatever was sent.
// A lone sync byte followed by silence is a probe. A frame that fails its
// CRC, announces more than 1024 payload bytes or stops short is not answered
// at once: the parser keeps swallowing bytes until the line has been quiet
// for the idle gap, then reports one bad frame - unless the swallowed bytes
// end in a complete, good frame (noise with a sync byte in it ahead of a real
// frame), which is then reported instead. Either way exactly one event per
// burst, so the device never answers twice for one frame.
//
// Threads: one owner thread; the sink is called synchronously from Feed()
// and Advance(), and the payload span it gets is valid only during the call.
//
// Failures: none; every byte sequence is accepted.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/answer.h"
#include "protocol/frame.h"

namespace dravel::devsim {

inline constexpr std::size_t kMaxPayload = kBlockBufferSize;
inline constexpr std::size_t kMaxFrame = kMaxPayload + kFrameOverhead;

enum class BadFrameReason : uint8_t {
    CrcMismatch,     // all bytes arrived, the CRC does not match
    LengthTooLarge,  // the length field announces more than 1024 bytes
    Incomplete,      // the line went quiet before the frame was complete
};

const char* ToString(BadFrameReason reason);

struct ParsedFrame {
    uint8_t sequence = 0;
    uint8_t command = 0;
    uint16_t length = 0;                // the length field, also the payload size
    std::span<const uint8_t> payload;   // valid only inside the sink call
    uint32_t crc = 0;
    std::size_t skippedBytes = 0;       // noise swallowed ahead of it while resyncing
};

struct BadFrame {
    BadFrameReason reason = BadFrameReason::Incomplete;
    std::size_t bytes = 0;              // everything swallowed up to the quiet line
};

class FrameSink {
public:
    virtual void OnProbe() = 0;
    virtual void OnFrame(const ParsedFrame& frame) = 0;
    virtual void OnBadFrame(const BadFrame& bad) = 0;
    // Bytes that came while no frame was started (no sync byte) and were dropped.
    virtual void OnNoise(std::size_t count) = 0;

protected:
    ~FrameSink() = default;
};

class FrameParser {
public:
    using Clock = std::chrono::steady_clock;

    FrameParser(FrameSink& sink, std::chrono::nanoseconds idleGap);

    // Bytes that arrived at `now`. A good frame is reported as soon as its
    // last byte is in; nothing else is decided here.
    void Feed(std::span<const uint8_t> bytes, Clock::time_point now);

    // The caller saw no bytes waiting at `now`. Once the line has been quiet
    // for the idle gap since the last byte, a pending probe, bad or resynced
    // frame is reported and the parser hunts for the next sync byte.
    void Advance(Clock::time_point now);

    // When Advance() would next have something to decide, if anything.
    std::optional<Clock::time_point> Deadline() const;

    // Drops whatever is pending without reporting it.
    void Reset();

    bool Hunting() const { return m_state == State::Hunting && m_noise == 0; }

private:
    enum class State : uint8_t { Hunting, Collecting, Discarding };

    void Hunt(std::span<const uint8_t>& bytes);
    void Collect(std::span<const uint8_t>& bytes);
    void Discard(std::span<const uint8_t>& bytes);
    void StartDiscarding(BadFrameReason reason);
    void FlushNoise();
    bool ReportResyncedFrame();
    void ReportFrame(std::size_t offset, std::size_t skipped);
    std::size_t Announced(std::size_t offset) const;

    FrameSink& m_sink;
    std::chrono::nanoseconds m_idleGap;
    State m_state = State::Hunting;
    BadFrameReason m_reason = BadFrameReason::Incomplete;
    // Twice a frame: a failed burst keeps its last kMaxFrame bytes, which is
    // all a resynced frame can span.
    std::array<uint8_t, 2 * kMaxFrame> m_buffer{};
    std::size_t m_size = 0;
    std::size_t m_dropped = 0;  // bytes of the current burst pushed out of the window
    std::size_t m_noise = 0;
    Clock::time_point m_lastByte{};
};

}  // namespace dravel::devsim
