// --reset/--run sequences: what the parser takes and turns down (and how it
// says so), and the order in which the runner drives a line.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "board/modem_sequence.h"

namespace dravel::board {
namespace {

using namespace std::chrono_literals;

struct GoodCase {
    const char* text;
    std::vector<ModemStep> steps;
    const char* canonical;
};

TEST(ModemSequence, TakesEveryFormOfStep) {
    const GoodCase cases[] = {
        {"D0", {ModemStep::SetDtr(false)}, "D0"},
        {"D1|R0|R1", {ModemStep::SetDtr(true), ModemStep::SetRts(false), ModemStep::SetRts(true)}, "D1|R0|R1"},
        {"U01|W0.1|U11", {ModemStep::SetBoth(false, true), ModemStep::Pause(100ms), ModemStep::SetBoth(true, true)},
         "U01|W0.1|U11"},
        {" D0 | W.05 |\tD1 ", {ModemStep::SetDtr(false), ModemStep::Pause(50ms), ModemStep::SetDtr(true)},
         "D0|W0.05|D1"},
        {"W2", {ModemStep::Pause(2000ms)}, "W2"},
        {"W1.5|W0.125|W0", {ModemStep::Pause(1500ms), ModemStep::Pause(125ms), ModemStep::Pause(0ms)},
         "W1.5|W0.125|W0"},
        {"W60", {ModemStep::Pause(60000ms)}, "W60"},
        {"W000030.", {ModemStep::Pause(30000ms)}, "W30"},
        {"U10", {ModemStep::SetBoth(true, false)}, "U10"},
    };
    for (const GoodCase& c : cases) {
        const ModemSequence parsed = ParseModemSequence(c.text);
        ASSERT_TRUE(parsed) << c.text << ": " << parsed.error;
        EXPECT_EQ(parsed.steps, c.steps) << c.text;
        EXPECT_EQ(ToString(parsed.steps), c.canonical) << c.text;
        EXPECT_EQ(ParseModemSequence(ToString(parsed.steps)).steps, c.steps) << c.text;
    }
}

TEST(ModemSequence, TurnsDownMalformedSequencesNamingTheStep) {
    struct BadCase {
        const char* text;
        const char* mentions;
    };
    const BadCase cases[] = {
        {"", "empty"},
        {"   ", "empty"},
        {"D2", "bad step \"D2\" (step 1 of \"D2\")"},
        {"D0|X1", "bad step \"X1\" (step 2"},
        {"D0||D1", "bad step \"\" (step 2"},
        {"D0|", "(step 2"},
        {"d0", "bad step \"d0\""},
        {"D01", "bad step \"D01\""},
        {"U2", "U takes two digits"},
        {"U012", "U takes two digits"},
        {"W", "bad step \"W\""},
        {"W.", "bad step \"W.\""},
        {"W-1", "bad step \"W-1\""},
        {"W1e3", "bad step \"W1e3\""},
        {"W0.1s", "bad step \"W0.1s\""},
        {"W0.0001", "to the millisecond"},
        {"W60.001", "at most 60 s"},
        {"W99999999999999999999", "at most 60 s"},
        {"W40|W30", "add up to 70 s"},
        {"D0 D1", "bad step \"D0 D1\""},
    };
    for (const BadCase& c : cases) {
        const ModemSequence parsed = ParseModemSequence(c.text);
        EXPECT_FALSE(parsed) << c.text;
        EXPECT_TRUE(parsed.steps.empty()) << c.text;
        EXPECT_NE(parsed.error.find(c.mentions), std::string::npos) << c.text << " -> " << parsed.error;
    }
    std::string many = "D0";
    for (std::size_t i = 0; i < kMaxModemSteps; ++i) many += "|D1";
    EXPECT_NE(ParseModemSequence(many).error.find("more than 64 steps"), std::string::npos);
    // A long sequence is quoted in part: the message stays one short line.
    const std::string error = ParseModemSequence(std::string(500, 'D')).error;
    EXPECT_LT(error.size(), 250u) << error;
}

// Records the calls; refuses the request named in `refuse`.
class RecordingLine final : public ModemControl {
public:
    bool SetDtr(bool on, std::string& cause) override { return Take(on ? "D1" : "D0", cause); }
    bool SetRts(bool on, std::string& cause) override { return Take(on ? "R1" : "R0", cause); }
    bool SetBoth(bool dtr, bool rts, std::string& cause) override {
        return Take(std::string("U") + (dtr ? '1' : '0') + (rts ? '1' : '0'), cause);
    }
    bool Wait(std::chrono::milliseconds span) override {
        calls.push_back("W" + std::to_string(span.count()) + "ms");
        return !interruptWaits;
    }

    std::vector<std::string> calls;
    std::string refuse;
    bool interruptWaits = false;

private:
    bool Take(const std::string& call, std::string& cause) {
        calls.push_back(call);
        if (call != refuse) return true;
        cause = "/dev/pts/7 has no modem lines";
        return false;
    }
};

TEST(ModemSequence, RunnerDrivesTheLineInOrderAndStopsWhereItIsRefused) {
    const auto steps = ParseModemSequence("U01|W0.1|D1|R0|W0.25").steps;
    {
        RecordingLine line;
        const ModemRun run = ApplyModemSequence(steps, line);
        EXPECT_EQ(run.end, ModemRun::End::Done);
        EXPECT_EQ(run.step, steps.size());
        EXPECT_EQ(line.calls, (std::vector<std::string>{"U01", "W100ms", "D1", "R0", "W250ms"}));
    }
    {
        RecordingLine line;
        line.refuse = "R0";
        const ModemRun run = ApplyModemSequence(steps, line);
        EXPECT_EQ(run.end, ModemRun::End::Refused);
        EXPECT_EQ(run.step, 3u);
        EXPECT_EQ(run.cause, "RTS off refused (step 4, R0): /dev/pts/7 has no modem lines");
        EXPECT_EQ(line.calls.back(), "R0") << "went on after a refusal";
    }
    {
        RecordingLine line;
        line.interruptWaits = true;
        const ModemRun run = ApplyModemSequence(steps, line);
        EXPECT_EQ(run.end, ModemRun::End::Interrupted);
        EXPECT_EQ(run.step, 1u);
        EXPECT_EQ(line.calls, (std::vector<std::string>{"U01", "W100ms"}));
    }
}

TEST(ModemSequence, AWaitEndsEarlyWhenInterruptedFromAnotherThreadAndStaysInterrupted) {
    ModemWait wait;
    EXPECT_TRUE(wait.For(1ms));
    std::thread canceller([&wait] {
        std::this_thread::sleep_for(20ms);
        wait.Interrupt();
    });
    EXPECT_FALSE(wait.For(60s));
    canceller.join();
    EXPECT_FALSE(wait.For(60s)) << "an interrupt between two waits was lost";
    wait.Reset();
    EXPECT_TRUE(wait.For(1ms));
}

}  // namespace
}  // namespace dravel::board
