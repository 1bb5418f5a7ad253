// The frame builder as a pure function, beside the main frame that calls it.

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "protocol/crc32.h"
#include "protocol/frame.h"

namespace dravel {
namespace {

std::vector<uint8_t> Build(uint8_t sequence, uint8_t command, const std::vector<uint8_t>& payload) {
    std::array<uint8_t, kTransmitBufferSize> out{};
    out.fill(0xEE);  // whatever the last frame left behind
    const std::size_t length = BuildFrame(out, sequence, command, payload);
    EXPECT_LE(length, out.size());
    // Nothing of the last frame survives behind this one; only payload bytes
    // that a short field cut off may lie there.
    for (std::size_t i = length; i < out.size(); ++i) {
        if (out[i] != 0) {
            EXPECT_LT(i, kFrameHeaderSize + payload.size()) << "stale byte behind the frame at " << i;
        }
    }
    return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)};
}

TEST(BuildFrame, EveryCommandGetsItsFieldSizeLengthFieldAndAClosingCrc) {
    const std::vector<uint8_t> payload(300, 0x5A);
    struct Case {
        uint8_t command;
        std::size_t length;
        uint8_t low, high;
    };
    for (const Case& c : {Case{CMD_BLOCK_5, 1033, 0x00, 0x04}, Case{CMD_BLOCK_7, 1033, 0x00, 0x04},
                          Case{CMD_BLOCK_6, 309, 0x2C, 0x01}, Case{CMD_B, 309, 0x2C, 0x01},
                          Case{CMD_END, 41, 0x20, 0x00}, Case{'1', 41, 0x20, 0x00}}) {
        SCOPED_TRACE(static_cast<int>(c.command));
        const auto frame = Build(0x42, c.command, payload);
        ASSERT_EQ(frame.size(), c.length);
        EXPECT_EQ(frame[0], kSyncByte);
        EXPECT_EQ(frame[1], 0x42);
        EXPECT_EQ(frame[2], c.command);
        EXPECT_EQ(frame[3], c.low);
        EXPECT_EQ(frame[4], c.high);
        EXPECT_EQ(Crc32(frame), 0u);
    }
}

TEST(BuildFrame, PayloadLongerThanABlockIsCutToIt) {
    const std::vector<uint8_t> payload(5000, 0x77);
    const auto frame = Build(0, CMD_BLOCK_6, payload);
    ASSERT_EQ(frame.size(), kTransmitBufferSize);
    EXPECT_EQ(frame[3], 0x00);
    EXPECT_EQ(frame[4], 0x04);
    EXPECT_EQ(Crc32(frame), 0u);
}

}  // namespace
}  // namespace dravel
