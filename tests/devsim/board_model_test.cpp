// The simulated board's reset wiring and banner, with the caller's clock:
// which DTR/RTS histories reset it, into what, and when its banner is due.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_model.h"

namespace dravel::devsim {
namespace {

using namespace std::chrono_literals;
using Reset = BoardModel::Reset;
using Clock = BoardModel::Clock;

constexpr uint8_t kDtrOn = 8, kDtrOff = 9, kRtsOn = 11, kRtsOff = 12, kNoFlow = 1;

struct Step {
    int ms;
    uint8_t value;
    Reset reset = Reset::None;
};

struct Case {
    const char* name;
    bool loaderOnReset;
    std::vector<Step> steps;
    bool loaderRunning;
};

TEST(BoardModel, OnlyALongEnoughDtrPulseResetsAndRtsChoosesWhatStarts) {
    const Case cases[] = {
        {"opening the port is no reset", true, {{0, kNoFlow}, {0, kDtrOn}, {0, kRtsOn}}, false},
        {"a late first DTR on is no reset either", true, {{0, kRtsOn}, {500, kDtrOn}}, false},
        {"a short pulse is none", true, {{0, kDtrOn}, {0, kRtsOn}, {100, kDtrOff}, {179, kDtrOn}}, false},
        {"80 ms with RTS on: the loader", true, {{0, kDtrOn}, {0, kRtsOn}, {100, kDtrOff}, {180, kDtrOn, Reset::IntoLoader}},
         true},
        {"U01 then U11 from a fresh connection", true, {{0, kDtrOff}, {0, kRtsOn}, {100, kDtrOn, Reset::IntoLoader}}, true},
        {"RTS off: the application", true,
         {{0, kDtrOn}, {10, kRtsOff}, {20, kDtrOff}, {120, kDtrOn, Reset::IntoApplication}}, false},
        {"RTS counts when DTR comes back", true,
         {{0, kDtrOn}, {0, kRtsOff}, {10, kDtrOff}, {50, kRtsOn}, {100, kDtrOn, Reset::IntoLoader}}, true},
        {"a second DTR off keeps the first one's time", true,
         {{0, kDtrOn}, {0, kRtsOn}, {10, kDtrOff}, {60, kDtrOff}, {90, kDtrOn, Reset::IntoLoader}}, true},
        {"the application, then the loader again", true,
         {{0, kDtrOn}, {0, kRtsOff}, {0, kDtrOff}, {90, kDtrOn, Reset::IntoApplication}, {100, kRtsOn}, {100, kDtrOff},
          {200, kDtrOn, Reset::IntoLoader}},
         true},
        {"without --loader-on-reset the loader is always there", false,
         {{0, kDtrOn}, {0, kRtsOff}, {10, kDtrOff}, {100, kDtrOn, Reset::IntoApplication}}, true},
    };
    const Clock::time_point start{};
    for (const Case& c : cases) {
        BoardModel board({c.loaderOnReset, "", false});
        board.OnConnected(start);
        for (const Step& step : c.steps) {
            EXPECT_EQ(board.OnControl(step.value, start + std::chrono::milliseconds(step.ms)), step.reset)
                << c.name << ", value " << int{step.value} << " at " << step.ms << " ms";
        }
        EXPECT_EQ(board.LoaderRunning(), c.loaderRunning) << c.name;
    }
}

std::string Said(BoardModel& board, Clock::time_point now) {
    const auto bytes = board.TakeOutput(now);
    return {bytes.begin(), bytes.end()};
}

TEST(BoardModel, TheBannerComesAfterTheEndFrameOrAfterAResetIntoTheApplication) {
    const Clock::time_point t0{};
    {
        BoardModel board({true, "v2 up", false});
        board.OnConnected(t0);
        board.OnControl(kRtsOn, t0);
        board.OnControl(kDtrOff, t0);
        ASSERT_EQ(board.OnControl(kDtrOn, t0 + 100ms), Reset::IntoLoader);
        board.OnEndFrame(t0 + 1s);
        EXPECT_FALSE(board.LoaderRunning()) << "the loader hands over to the application it wrote";
        EXPECT_EQ(board.Deadline(), t0 + 1s + kBannerDelay);
        EXPECT_EQ(Said(board, t0 + 1s + kBannerDelay - 1ms), "");
        EXPECT_EQ(Said(board, t0 + 1s + kBannerDelay), "v2 up\r\n");
        EXPECT_EQ(Said(board, t0 + 5s), "") << "said twice";
        EXPECT_EQ(board.Deadline(), std::nullopt);
    }
    {
        BoardModel board({true, "v2 up", true});
        board.OnConnected(t0);
        board.OnControl(kRtsOn, t0);
        board.OnControl(kDtrOff, t0);
        board.OnControl(kDtrOn, t0 + 100ms);
        board.OnEndFrame(t0 + 1s);
        EXPECT_TRUE(board.LoaderRunning()) << "only a reset starts the application";
        EXPECT_EQ(board.Deadline(), std::nullopt);
        board.OnControl(kRtsOff, t0 + 2s);
        board.OnControl(kDtrOff, t0 + 2s);
        ASSERT_EQ(board.OnControl(kDtrOn, t0 + 2100ms), Reset::IntoApplication);
        EXPECT_EQ(board.Deadline(), t0 + 2100ms + kBannerDelay);
        // Reset into the loader before the application got to speak: silence.
        board.OnControl(kRtsOn, t0 + 2150ms);
        board.OnControl(kDtrOff, t0 + 2150ms);
        ASSERT_EQ(board.OnControl(kDtrOn, t0 + 2250ms), Reset::IntoLoader);
        EXPECT_EQ(Said(board, t0 + 10s), "");
    }
}

}  // namespace
}  // namespace dravel::devsim
