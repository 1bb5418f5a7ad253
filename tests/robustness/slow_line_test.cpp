// Lines on which the device's answers arrive a byte or two at a time: a slow
// rate, and a driver that hands bytes over as they come. The first answer
// must be heard on the first probe the device answers, and the image must
// arrive whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/files.h"
#include "tests/support/line_bench.h"

namespace dravel::testing {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

void ExpectHeardOnTheFirstProbe(const TransferRun& run) {
    EXPECT_EQ(run.cliOut.find("No Answer"), std::string::npos) << run.cliOut;
    EXPECT_EQ(Count(run.simLog, "probe"), 1u) << run.simLog;
}

TEST(SlowLine, At9600BaudThe64KiBImageArrivesWhole) {
    TransferSetup setup;
    setup.relayOptions = {"--baud", "9600"};
    setup.imageSize = 64 * 1024;
    setup.timerScale = 0.25;
    setup.deadline = std::chrono::seconds(150);
    const TransferRun run = RunTransfer(setup);
    ASSERT_EQ(run.cliExit, 0) << run.cliOut << run.cliErr;
    EXPECT_TRUE(run.Said("Transfer Completed "));
    ASSERT_TRUE(run.stored.has_value());
    EXPECT_EQ(*run.stored, Padded(run.image));
    ExpectHeardOnTheFirstProbe(run);
}

TEST(SlowLine, OneByteAtATimeAt115200Baud) {
    TransferSetup setup;
    setup.relayOptions = {"--baud", "115200", "--direction", "down", "--chunk", "1"};
    setup.imageSize = 4 * 1024 + 7;
    const TransferRun run = RunTransfer(setup);
    ASSERT_EQ(run.cliExit, 0) << run.cliOut << run.cliErr;
    ASSERT_TRUE(run.stored.has_value());
    EXPECT_EQ(*run.stored, Padded(run.image));
    ExpectHeardOnTheFirstProbe(run);
}

}  // namespace
}  // namespace dravel::testing
