// Frames built by the tool, read back by the simulated loader's parser: two
// independent readings of the wire format must agree on every frame.
//
// Input: the sequence byte, the command, then the payload (any length; the
// builder cuts it to a block). Checked: the frame fits the transmit buffer,
// closes with a CRC that makes the whole frame check to zero, and the parser
// reports exactly it - sequence, command, the length the command announces
// and the payload zero-filled to that length - and nothing else.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "frame_parser.h"
#include "fuzz_check.h"
#include "protocol/crc32.h"
#include "protocol/frame.h"

namespace {

using namespace dravel;
using namespace dravel::devsim;

struct Recorder final : FrameSink {
    std::vector<ParsedFrame> frames;
    std::vector<std::vector<uint8_t>> payloads;
    std::size_t others = 0;
    void OnProbe() override { ++others; }
    void OnFrame(const ParsedFrame& frame) override {
        frames.push_back(frame);
        payloads.emplace_back(frame.payload.begin(), frame.payload.end());
    }
    void OnBadFrame(const BadFrame&) override { ++others; }
    void OnNoise(std::size_t) override { ++others; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t sequence = data[0];
    const uint8_t command = data[1];
    const std::span<const uint8_t> payload(data + 2, size - 2);

    std::array<uint8_t, kTransmitBufferSize> out{};
    const std::size_t length = BuildFrame(out, sequence, command, payload);
    FUZZ_CHECK(length >= kFrameOverhead && length <= out.size());
    const std::span<const uint8_t> frame(out.data(), length);
    FUZZ_CHECK(Crc32(frame) == 0);

    Recorder recorder;
    FrameParser parser(recorder, std::chrono::milliseconds(30));
    const auto now = FrameParser::Clock::time_point{} + std::chrono::hours(1);
    parser.Feed(frame, now);
    FUZZ_CHECK(recorder.frames.size() == 1 && recorder.others == 0);
    const ParsedFrame& parsed = recorder.frames.front();
    FUZZ_CHECK(parsed.sequence == sequence && parsed.command == command && parsed.skippedBytes == 0);
    const std::size_t n = std::min(payload.size(), kBlockBufferSize);
    const std::size_t announced =
        (command == CMD_BLOCK_6 || command == CMD_B) ? n : FramePayloadSize(command, n);
    FUZZ_CHECK(parsed.length == announced);
    std::vector<uint8_t> expected(announced, 0);
    std::copy_n(payload.begin(), std::min(n, announced), expected.begin());
    FUZZ_CHECK(recorder.payloads.front() == expected);
    return 0;
}
