// The opening gate fed the first answer in every way a driver can cut it.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "comm/opening_gate.h"

namespace dravel {
namespace {

class Gate : public ::testing::Test {
protected:
    void SetUp() override { testing::ResetReceiveGate(); }
    void TearDown() override { testing::ResetReceiveGate(); }

    // Feeds the reads one after the other; returns what passed of each.
    std::vector<std::string> Feed(std::initializer_list<std::string_view> reads) {
        std::vector<std::string> passed;
        for (std::string_view read : reads) {
            const auto bytes = gate.Pass({reinterpret_cast<const uint8_t*>(read.data()), read.size()});
            passed.emplace_back(bytes.begin(), bytes.end());
        }
        return passed;
    }

    OpeningGate gate;
};

using Passed = std::vector<std::string>;

TEST_F(Gate, AnswerSplitOverReadsOpensItOnTheCompletingRead) {
    EXPECT_EQ(Feed({"U", "A\n"}), (Passed{"", "UA\n"}));
    EXPECT_TRUE(testing::ReceiveGateOpen());
    testing::ResetReceiveGate();
    EXPECT_EQ(Feed({"UA", "\n"}), (Passed{"", "UA\n"}));
    EXPECT_TRUE(testing::ReceiveGateOpen());
    testing::ResetReceiveGate();
    EXPECT_EQ(Feed({"U", "A", "\n"}), (Passed{"", "", "UA\n"}));
    EXPECT_TRUE(testing::ReceiveGateOpen());
}

TEST_F(Gate, BytesBehindTheAnswerInTheCompletingReadPassWithIt) {
    EXPECT_EQ(Feed({"U", "A\nUN\n"}), (Passed{"", "UA\nUN\n"}));
    // Open for good: later reads pass as they are, whatever they begin with.
    EXPECT_EQ(Feed({"x", "U"}), (Passed{"x", "U"}));
}

TEST_F(Gate, AnythingButTheOpeningAnswerIsDropped) {
    EXPECT_EQ(Feed({"U", "A", "x"}), (Passed{"", "", ""}));
    EXPECT_EQ(Feed({"U", "N\n"}), (Passed{"", ""}));
    EXPECT_EQ(Feed({"UAx", "UN\n", "xUA\n"}), (Passed{"", "", ""}));
    EXPECT_FALSE(testing::ReceiveGateOpen());
    EXPECT_EQ(gate.Gathered(), 0u);
}

TEST_F(Gate, StrayByteAheadOfTheAnswerIsDroppedAndTheAnswerStillOpens) {
    EXPECT_EQ(Feed({"x", "UA\n"}), (Passed{"", "UA\n"}));
    EXPECT_TRUE(testing::ReceiveGateOpen());
}

TEST_F(Gate, ReadThatBeginsWithTheWholeAnswerOpensEvenAfterABrokenPiece) {
    // The gathered "U" is noise once "UA\n" follows it; the read on its own
    // is the answer, as it always was.
    EXPECT_EQ(Feed({"U", "UA\nrest"}), (Passed{"", "UA\nrest"}));
    EXPECT_TRUE(testing::ReceiveGateOpen());
}

}  // namespace
}  // namespace dravel
