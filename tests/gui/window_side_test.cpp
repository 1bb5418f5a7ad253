// The wx window side: calls from other threads run on the user-interface
// thread and wait; timers fire there and stop when killed; Shutdown and a
// closed gate let every waiting caller go, also one whose box is on screen.
#include <atomic>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <wx/evtloop.h>
#include <wx/thread.h>

#include "app/wx_window_side.h"
#include "tests/gui/gui_test_support.h"

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

TEST(WxWindowSide, CallsFromAWorkerRunOnTheUiThreadAndWaitForIt) {
    WxWindowSide side;
    std::vector<std::tuple<uint32_t, uintptr_t, bool>> messages;
    side.SetMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t) {
        messages.emplace_back(message, wParam, wxThread::IsMain());
    });

    // On the user-interface thread a call runs in place, before it returns.
    EXPECT_TRUE(side.SendMessage(1025, 1, 0));
    ASSERT_EQ(messages.size(), 1u);

    std::atomic<bool> invoked{false}, sent{false}, finished{false};
    bool ranOnUi = false;
    std::thread worker([&] {
        invoked = side.Invoke([&] { ranOnUi = wxThread::IsMain(); });
        sent = side.SendMessage(1025, 7, 0);
        finished = true;
    });
    // The worker cannot get on until this thread runs the event loop.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(finished.load());
    EXPECT_TRUE(PumpUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_TRUE(invoked);
    EXPECT_TRUE(sent);
    EXPECT_TRUE(ranOnUi);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(std::get<1>(messages[1]), 7u);
    EXPECT_TRUE(std::get<2>(messages[1]));
}

TEST(WxWindowSide, TimersFireOnTheUiThreadUntilKilledWhoeverArmsThem) {
    WxWindowSide::Options options;
    options.timerScale = 0.02;  // 1000 ms -> 20 ms
    WxWindowSide side(options);
    EXPECT_EQ(side.ScaledPeriod(1000), 20u);
    EXPECT_EQ(side.ScaledPeriod(20000), 400u);
    int syncExpiries = 0;
    bool offUiThread = false;
    side.SetMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t) {
        if (!wxThread::IsMain()) offUiThread = true;
        if (message == WM_TIMER && wParam == 2) ++syncExpiries;
    });

    std::atomic<bool> armed{false};
    std::thread worker([&] {
        side.SetTimer(2, 1000);
        armed = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return armed.load(); }));
    worker.join();
    EXPECT_TRUE(side.TimerRunning(2));
    EXPECT_TRUE(PumpUntil([&] { return syncExpiries >= 3; }, 3s));

    std::atomic<bool> killed{false};
    std::thread killer([&] {
        side.KillTimer(2);
        killed = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return killed.load(); }));
    killer.join();
    const int afterKill = syncExpiries;
    PumpFor(150ms);
    EXPECT_EQ(syncExpiries, afterKill) << "a killed timer went on firing";
    EXPECT_FALSE(side.TimerRunning(2));
    EXPECT_FALSE(offUiThread);
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

TEST(WxWindowSide, ShutdownAndAClosedGateDropCallsThatHaveNotStarted) {
    WxWindowSide side;
    int handled = 0;
    side.SetMessageHandler([&](uint32_t, uintptr_t, intptr_t) { ++handled; });

    // A reader blocked in its notification while nothing pumps: closing its
    // gate lets it go, and the message is dropped.
    SendGate gate;
    std::atomic<int> sendResult{-1};
    std::thread reader([&] { sendResult = side.SendMessage(1025, 1, 0, &gate) ? 1 : 0; });
    std::this_thread::sleep_for(50ms);
    gate.Close();
    reader.join();
    EXPECT_EQ(sendResult.load(), 0);

    // A worker waiting in Invoke is let go by Shutdown; its function never runs.
    bool ran = false;
    std::atomic<int> invokeResult{-1};
    std::thread worker([&] { invokeResult = side.Invoke([&] { ran = true; }) ? 1 : 0; });
    std::this_thread::sleep_for(50ms);
    side.Shutdown();
    worker.join();
    EXPECT_EQ(invokeResult.load(), 0);

    bool posted = false;
    side.Post([&] { posted = true; });
    PumpFor(100ms);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(posted);
    EXPECT_EQ(handled, 0);
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

}  // namespace
}  // namespace dravel::gui
