// The answer classifier as a pure function: what the held bytes give, and
// how many of them are used up.

#include <gtest/gtest.h>

#include <string_view>

#include "protocol/answer.h"

namespace dravel {
namespace {

Classification Classify(std::string_view held) {
    return ClassifyAnswer({reinterpret_cast<const uint8_t*>(held.data()), held.size()});
}

TEST(ClassifyAnswer, CompleteLineGivesItsLetterAndUsesUpTheWholeBatch) {
    EXPECT_EQ(Classify("UA\n").status, XFER_ACK);
    EXPECT_EQ(Classify("UN\n").status, XFER_NAK);
    EXPECT_EQ(Classify("UT\n").status, XFER_END);
    EXPECT_EQ(Classify("U?\n").status, XFER_OTHER);
    // Byte 0 is never examined.
    EXPECT_EQ(Classify("xA\n").status, XFER_ACK);
    const Classification two = Classify("UA\nUN\n");
    EXPECT_EQ(two.status, XFER_ACK);
    EXPECT_EQ(two.drop, 6u) << "a second line in the same batch goes with the first";
}

TEST(ClassifyAnswer, IncompleteLineIsKeptWhole) {
    for (std::string_view held : {"", "U", "UA", "A\n"}) {
        const Classification result = Classify(held);
        EXPECT_FALSE(result.status.has_value()) << held;
        EXPECT_EQ(result.drop, 0u) << held;
    }
}

TEST(ClassifyAnswer, NoiseIsDroppedUpToItsLineFeedAndNeverBecomesAnAnswer) {
    // A stray byte ahead of an answer breaks that line: never an acceptance.
    const Classification stray = Classify("?UA\n");
    EXPECT_FALSE(stray.status.has_value());
    EXPECT_EQ(stray.drop, 4u);
    // Noise without a line feed goes entirely.
    EXPECT_EQ(Classify("\x12\x34\x56\x78").drop, 4u);
    // After the noise's line feed the next line is found in the same batch.
    const Classification after = Classify("???\n?\nUT\n");
    EXPECT_EQ(after.status, XFER_END);
    // Noise followed by the start of a line keeps that start.
    const Classification start = Classify("???\nUA");
    EXPECT_FALSE(start.status.has_value());
    EXPECT_EQ(start.drop, 4u);
}

}  // namespace
}  // namespace dravel
