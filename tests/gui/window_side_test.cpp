// The wx window side: the contract every window side keeps, and what only this
// side has: scaled and rounded timer periods, message boxes that block only
// their caller (and let it go at Shutdown while still on screen), and Post.
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <wx/evtloop.h>
#include <wx/thread.h>

#include "app/wx_window_side.h"
#include "tests/gui/gui_test_support.h"
#include "tests/support/window_side_contract.h"

namespace dravel::gui {
namespace {

using namespace guitest;

// A message box stand-in that stays "on screen" (in a nested loop, as a
// modal box would) until the test lets it close.
struct HeldBoxes {
    std::vector<std::pair<std::string, std::string>> shown;
    bool release = false;
    std::function<void()> whileShown;  // runs once inside the box's loop

    WxWindowSide::BoxPresenter Presenter() {
        return [this](const std::string& text, const std::string& caption, wxWindow*) {
            shown.emplace_back(text, caption);
            if (whileShown) WhenIdle(std::exchange(whileShown, nullptr));
            wxGUIEventLoop loop;
            wxEventLoopActivator active(&loop);
            PumpUntil([this] { return release; }, 20s);
        };
    }
};

TEST(WxWindowSide, TimerPeriodsAreScaledAndRoundedAndTimersRunOnlyWhileArmed) {
    WxWindowSide::Options options;
    options.timerScale = 0.02;  // 1000 ms -> 20 ms
    WxWindowSide side(options);
    EXPECT_EQ(side.ScaledPeriod(1000), 20u);
    EXPECT_EQ(side.ScaledPeriod(20000), 400u);
    EXPECT_EQ(side.ScaledPeriod(10), 1u) << "a period never rounds down to nothing";

    std::atomic<bool> armed{false};
    std::thread worker([&] {
        side.SetTimer(2, 1000);
        armed = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return armed.load(); }));
    worker.join();
    EXPECT_TRUE(side.TimerRunning(2));
    EXPECT_FALSE(side.TimerRunning(3));

    std::atomic<bool> killed{false};
    std::thread killer([&] {
        side.KillTimer(2);
        killed = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return killed.load(); }));
    killer.join();
    EXPECT_FALSE(side.TimerRunning(2));
}

TEST(WxWindowSide, MessageBoxesCarryTheApplicationNameAndBlockOnlyTheirCaller) {
    HeldBoxes boxes;
    WxWindowSide::Options options;
    options.presentBox = boxes.Presenter();
    WxWindowSide side(options);

    std::atomic<bool> returned{false};
    bool waitedWhileShown = false;
    // The user-interface thread goes on while the box is up; the worker waits.
    boxes.whileShown = [&] {
        PumpFor(50ms);
        waitedWhileShown = side.BoxesShowing() == 1 && !returned.load();
        boxes.release = true;
    };
    std::thread worker([&] {
        side.MessageBox("Transfer Completed ");
        returned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(waitedWhileShown);

    side.MessageBox("Select file first!", "own caption");
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0], std::make_pair(std::string("Transfer Completed "), std::string("Z/A Vovode")));
    EXPECT_EQ(boxes.shown[1].second, "own caption");
}

TEST(WxWindowSide, APortThatCannotBeOpenedIsNamedWithItsCauseInTheBox) {
    std::vector<std::string> texts;
    WxWindowSide::Options options;
    options.presentBox = [&](const std::string& text, const std::string&, wxWindow*) { texts.push_back(text); };
    WxWindowSide side(options);

    side.ReportCause("COM2 (/dev/ttyUSB0): open /dev/ttyUSB0: No such file or directory");
    side.MessageBox("CommPort Open Error");
    // Every other box keeps its text, also right after a cause.
    side.ReportCause("line 3: no answer");
    side.MessageBox("Transfer Error !! ");
    // A cause is used once, and only by the thread that reported it.
    side.MessageBox("CommPort Open Error");
    std::thread([&] { side.ReportCause("another thread's cause"); }).join();
    side.MessageBox("CommPort Open Error");

    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "CommPort Open Error\nCOM2 (/dev/ttyUSB0): open /dev/ttyUSB0: No such file or directory");
    EXPECT_EQ(texts[1], "Transfer Error !! ");
    EXPECT_EQ(texts[2], "CommPort Open Error");
    EXPECT_EQ(texts[3], "CommPort Open Error");
}

TEST(WxWindowSide, ShutdownReleasesAWorkerWhoseBoxIsStillOnScreen) {
    HeldBoxes boxes;
    WxWindowSide::Options options;
    options.presentBox = boxes.Presenter();
    WxWindowSide side(options);

    std::atomic<bool> returned{false};
    bool releasedInsideBox = false;
    // Inside the box's own loop, as a close of the window would come.
    boxes.whileShown = [&] {
        side.Shutdown();
        releasedInsideBox = PumpUntil([&] { return returned.load(); }, 3s);
        boxes.release = true;
    };
    std::thread worker([&] {
        side.MessageBox("Transfer Error !! ");
        returned = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return returned.load() && boxes.release; }, 10s));
    worker.join();
    EXPECT_TRUE(releasedInsideBox) << "the worker waited for the box although the window side was shut down";

    // Later calls are refused at once, from any thread.
    EXPECT_FALSE(side.Invoke([] {}));
    std::atomic<bool> refused{false};
    std::thread late([&] {
        refused = !side.Invoke([] {}) && !side.SendMessage(1025, 1, 0);
        side.MessageBox("never shown");
        side.SetTimer(3, 20000);
    });
    late.join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(side.TimerRunning(3));
}

TEST(WxWindowSide, NothingPostedRunsAfterShutdown) {
    WxWindowSide side;
    bool queuedBefore = false;
    bool postedAfter = false;
    side.Post([&] { queuedBefore = true; });  // still queued: nothing has pumped
    side.Shutdown();
    side.Post([&] { postedAfter = true; });
    PumpFor(100ms);
    EXPECT_FALSE(queuedBefore);
    EXPECT_FALSE(postedAfter);
}

TEST(WxWindowSide, PostedNotificationsRunLaterWithoutBlockingTheSender) {
    WxWindowSide side;
    std::atomic<int> runs{0};
    std::thread sender([&] {
        for (int i = 0; i < 5; ++i) side.Post([&] { ++runs; });
    });
    sender.join();  // returns without anyone pumping
    EXPECT_EQ(runs.load(), 0);
    EXPECT_TRUE(PumpUntil([&] { return runs.load() == 5; }));
}

// The test's thread is the user-interface thread: what is queued to it runs
// only while the test pumps, so holding it is not pumping.
struct WxTraits {
    static std::unique_ptr<WindowSide> Make(double timerScale) {
        WxWindowSide::Options options;
        options.timerScale = timerScale;
        return std::make_unique<WxWindowSide>(options);
    }

    static bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return PumpUntil(done, timeout);
    }

    class Hold {
    public:
        explicit Hold(WindowSide&) {}
        void Release() {}
    };

    // The frame shuts its window side down on the user-interface thread.
    static std::future<void> BeginShutdown(WindowSide& side) {
        side.Shutdown();
        std::promise<void> done;
        done.set_value();
        return done.get_future();
    }
};

}  // namespace
}  // namespace dravel::gui

namespace dravel::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(WxWindowSide, WindowSideContract, gui::WxTraits);
}  // namespace dravel::contract
