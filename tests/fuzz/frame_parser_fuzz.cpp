// The simulated loader's frame parser under arbitrary bytes and timing.
//
// Input: records of a timing byte and 1 to 64 bytes fed together; the timing
// byte says how much time passes first (none, 1 ms, half the idle gap, or
// more than the gap, after which the caller reports a quiet line). Checked:
// every byte fed is accounted for exactly once (frames with the noise they
// skipped, probes, bad frames, noise); every frame reported is a good frame
// that really sits at that place in the stream; and after any input and a
// quiet line, a clean frame is recognised again.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "frame_parser.h"
#include "fuzz_check.h"
#include "protocol/crc32.h"

namespace {

using namespace dravel;
using namespace dravel::devsim;
using namespace std::chrono_literals;

constexpr auto kIdleGap = 30ms;

struct Recorder final : FrameSink {
    const std::vector<uint8_t>* stream = nullptr;
    std::size_t accounted = 0;
    std::size_t frames = 0;
    uint8_t lastSequence = 0;

    void OnProbe() override {
        FUZZ_CHECK((*stream)[accounted] == kSyncByte);
        accounted += 1;
    }
    void OnFrame(const ParsedFrame& frame) override {
        FUZZ_CHECK(frame.length <= kMaxPayload);
        FUZZ_CHECK(frame.payload.size() == frame.length);
        std::vector<uint8_t> bytes = {kSyncByte, frame.sequence, frame.command, static_cast<uint8_t>(frame.length),
                                      static_cast<uint8_t>(frame.length >> 8)};
        bytes.insert(bytes.end(), frame.payload.begin(), frame.payload.end());
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(frame.crc >> shift));
        FUZZ_CHECK(Crc32(bytes) == 0);
        const std::size_t start = accounted + frame.skippedBytes;
        FUZZ_CHECK(start + bytes.size() <= stream->size());
        FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), stream->begin() + static_cast<std::ptrdiff_t>(start)));
        accounted = start + bytes.size();
        ++frames;
        lastSequence = frame.sequence;
    }
    void OnBadFrame(const BadFrame& bad) override {
        FUZZ_CHECK(bad.bytes > 0);
        accounted += bad.bytes;
    }
    void OnNoise(std::size_t count) override {
        FUZZ_CHECK(count > 0);
        accounted += count;
    }
};

std::vector<uint8_t> CleanFrame(uint8_t sequence) {
    std::vector<uint8_t> frame = {kSyncByte, sequence, 0x36, 3, 0, 'a', 'b', 'c'};
    const uint32_t crc = Crc32(frame);
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(crc >> shift));
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> stream;
    Recorder recorder;
    recorder.stream = &stream;
    FrameParser parser(recorder, kIdleGap);
    auto now = FrameParser::Clock::time_point{} + 1h;

    std::size_t at = 0;
    while (at < size) {
        const uint8_t timing = data[at++];
        switch (timing & 3) {
            case 0: break;
            case 1: now += 1ms; break;
            case 2: now += kIdleGap / 2; break;
            default:
                now += kIdleGap + 1ms;
                parser.Advance(now);
                break;
        }
        const std::size_t length = std::min<std::size_t>(1 + (timing >> 2) % 64, size - at);
        if (length == 0) break;
        stream.insert(stream.end(), data + at, data + at + length);
        parser.Feed(std::span<const uint8_t>(data + at, length), now);
        at += length;
    }
    now += kIdleGap + 1ms;
    parser.Advance(now);
    FUZZ_CHECK(parser.Hunting());
    FUZZ_CHECK(!parser.Deadline());
    FUZZ_CHECK(recorder.accounted == stream.size());

    // Whatever came before, a quiet line and then a clean frame is a frame.
    const std::size_t framesBefore = recorder.frames;
    const std::vector<uint8_t> clean = CleanFrame(0x5A);
    stream.insert(stream.end(), clean.begin(), clean.end());
    now += 1ms;
    parser.Feed(clean, now);
    now += kIdleGap + 1ms;
    parser.Advance(now);
    FUZZ_CHECK(recorder.frames == framesBefore + 1);
    FUZZ_CHECK(recorder.lastSequence == 0x5A);
    FUZZ_CHECK(recorder.accounted == stream.size());
    return 0;
}
