// Test support: the contract every window side keeps, as one typed suite.
//
// The protocol relies on these promises whichever window it runs on, so both
// window sides are held to the same cases: a call from another thread runs on
// the user-interface thread and returns after it; a call from that thread runs
// in place; a closed gate lets a sender go whose message has not started;
// Shutdown lets every waiter go and refuses later calls; timers fire on the
// user-interface thread until killed, shortened but never lengthened by the
// timer scale.
//
// A test file instantiates the suite with a Traits type that knows how its
// window side is driven:
//   static std::unique_ptr<WindowSide> Make(double timerScale);
//   static bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
//       lets the user-interface thread work until done() holds; returns done()
//   class Hold { explicit Hold(WindowSide&); void Release(); };
//       while it holds, nothing queued to the user-interface thread runs
//   static std::future<void> BeginShutdown(WindowSide&);
//       calls Shutdown where its owner would, also while a Hold holds
//
// Threads: the test's own thread starts workers for the calls that must come
// from elsewhere and joins every one before the case ends. Every wait is
// bounded, except a call that a broken window side never lets go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "window/window_side.h"

namespace dravel::contract {

using namespace std::chrono_literals;

template <class Traits>
class WindowSideContract : public ::testing::Test {
protected:
    static std::unique_ptr<WindowSide> Make(double timerScale = 1.0) { return Traits::Make(timerScale); }

    static bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
        return Traits::WaitUntil(done, timeout);
    }

    static void WaitFor(std::chrono::milliseconds duration) {
        const auto until = std::chrono::steady_clock::now() + duration;
        Traits::WaitUntil([until] { return std::chrono::steady_clock::now() >= until; }, duration + 1s);
    }

    template <class T>
    static bool Ready(const std::future<T>& result, std::chrono::milliseconds timeout = 0ms) {
        return result.wait_for(timeout) == std::future_status::ready;
    }

    // Runs fn on a worker thread while the user-interface thread works, and
    // returns what it returned.
    template <class Fn>
    static auto FromWorker(Fn fn) {
        auto result = std::async(std::launch::async, std::move(fn));
        EXPECT_TRUE(WaitUntil([&] { return Ready(result); })) << "a call from a worker did not return";
        return result.get();
    }
};

TYPED_TEST_SUITE_P(WindowSideContract);

TYPED_TEST_P(WindowSideContract, CallsFromAnotherThreadRunOnTheUiThreadAndReturnAfterIt) {
    std::atomic<int> handled{0};
    std::atomic<bool> handlerOnUi{false};
    std::atomic<std::thread::id> handlerThread{};
    std::atomic<uint32_t> seenMessage{0};
    std::atomic<uintptr_t> seenWParam{0};
    std::atomic<intptr_t> seenLParam{0};
    std::atomic<bool> finished{false};
    auto side = this->Make();
    side->SetMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        handlerOnUi = side->IsUiThread();
        handlerThread = std::this_thread::get_id();
        seenMessage = message;
        seenWParam = wParam;
        seenLParam = lParam;
        std::this_thread::sleep_for(20ms);
        ++handled;
    });

    typename TypeParam::Hold hold(*side);
    auto sender = std::async(std::launch::async, [&] {
        EXPECT_FALSE(side->IsUiThread());
        const bool sent = side->SendMessage(WM_USER + 1, 7, -3);
        const int seenBySender = handled.load();
        EXPECT_NE(handlerThread.load(), std::this_thread::get_id());
        finished = true;
        return std::make_pair(sent, seenBySender);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(finished.load()) << "the sender went on before the user-interface thread ran its message";
    hold.Release();
    ASSERT_TRUE(this->WaitUntil([&] { return this->Ready(sender); }));
    const auto [sent, seenBySender] = sender.get();
    EXPECT_TRUE(sent);
    EXPECT_EQ(seenBySender, 1) << "the sender did not wait for the handler";
    EXPECT_TRUE(handlerOnUi.load());
    EXPECT_EQ(seenMessage.load(), WM_USER + 1);
    EXPECT_EQ(seenWParam.load(), 7u);
    EXPECT_EQ(seenLParam.load(), -3);

    std::atomic<bool> invokedOnUi{false};
    EXPECT_TRUE(this->FromWorker([&] { return side->Invoke([&] { invokedOnUi = side->IsUiThread(); }); }));
    EXPECT_TRUE(invokedOnUi.load());
}

TYPED_TEST_P(WindowSideContract, CallsFromTheUiThreadRunInPlace) {
    std::atomic<int> handled{0};
    bool nested = false;
    bool handledBeforeReturn = false;
    auto side = this->Make();
    side->SetMessageHandler([&](uint32_t, uintptr_t, intptr_t) { ++handled; });
    // Waiting for the queue from the thread that empties it would never end.
    EXPECT_TRUE(this->FromWorker([&] {
        return side->Invoke([&] {
            EXPECT_TRUE(side->Invoke([&] { nested = true; }));
            EXPECT_TRUE(side->SendMessage(WM_USER + 1, 1, 0));
            handledBeforeReturn = handled.load() == 1;
        });
    }));
    EXPECT_TRUE(nested);
    EXPECT_TRUE(handledBeforeReturn);
}

TYPED_TEST_P(WindowSideContract, AClosedGateReleasesASenderWhoseHandlerHasNotStarted) {
    std::atomic<int> handled{0};
    SendGate gate;
    auto side = this->Make();
    side->SetMessageHandler([&](uint32_t, uintptr_t, intptr_t) { ++handled; });

    typename TypeParam::Hold hold(*side);
    auto sender = std::async(std::launch::async, [&] { return side->SendMessage(WM_USER + 1, 1, 0, &gate); });
    EXPECT_FALSE(this->Ready(sender, 50ms));
    gate.Close();
    ASSERT_TRUE(this->Ready(sender, 2s)) << "closing the gate did not let the sender go";
    EXPECT_FALSE(sender.get());
    auto late = std::async(std::launch::async, [&] { return side->SendMessage(WM_USER + 1, 1, 0, &gate); });
    ASSERT_TRUE(this->Ready(late, 2s));
    EXPECT_FALSE(late.get()) << "a closed gate let a later send through";
    hold.Release();
    this->WaitFor(50ms);
    EXPECT_EQ(handled.load(), 0) << "a released message was delivered after all";

    gate.Reopen();
    EXPECT_TRUE(this->FromWorker([&] { return side->SendMessage(WM_USER + 1, 1, 0, &gate); }));
    EXPECT_EQ(handled.load(), 1);
}

TYPED_TEST_P(WindowSideContract, ShutdownReleasesEveryWaiterAndRefusesLaterCalls) {
    std::atomic<int> handled{0};
    std::atomic<bool> ran{false};
    SendGate gate;
    auto side = this->Make();
    side->SetMessageHandler([&](uint32_t, uintptr_t, intptr_t) { ++handled; });

    typename TypeParam::Hold hold(*side);
    auto invoker = std::async(std::launch::async, [&] { return side->Invoke([&] { ran = true; }); });
    auto sender = std::async(std::launch::async, [&] { return side->SendMessage(WM_USER + 1, 1, 0, &gate); });
    EXPECT_FALSE(this->Ready(invoker, 50ms));
    EXPECT_FALSE(this->Ready(sender));
    auto closing = TypeParam::BeginShutdown(*side);
    ASSERT_TRUE(this->Ready(invoker, 2s)) << "Shutdown left a caller of Invoke waiting";
    ASSERT_TRUE(this->Ready(sender, 2s)) << "Shutdown left a sender waiting";
    EXPECT_FALSE(invoker.get());
    EXPECT_FALSE(sender.get());
    hold.Release();
    ASSERT_TRUE(this->Ready(closing, 5s));
    closing.get();

    // Refused at once, from any thread, and nothing runs any more.
    EXPECT_FALSE(side->Invoke([&] { ran = true; }));
    auto late = std::async(std::launch::async, [&] {
        const bool invoked = side->Invoke([&] { ran = true; });
        const bool sent = side->SendMessage(WM_USER + 1, 1, 0);
        side->SetTimer(2, 10);
        return invoked || sent;
    });
    ASSERT_TRUE(this->Ready(late, 2s)) << "a call after Shutdown waited";
    EXPECT_FALSE(late.get());
    this->WaitFor(100ms);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(handled.load(), 0);
}

TYPED_TEST_P(WindowSideContract, TimersFireOnTheUiThreadUntilKilled) {
    std::atomic<int> syncExpiries{0};
    std::atomic<int> answerExpiries{0};
    std::atomic<bool> offUiThread{false};
    auto side = this->Make(0.02);  // 1000 ms -> 20 ms, 1500 ms -> 30 ms
    side->SetMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t) {
        if (!side->IsUiThread()) offUiThread = true;
        if (message == WM_TIMER && wParam == 2) ++syncExpiries;
        if (message == WM_TIMER && wParam == 3) ++answerExpiries;
    });

    this->FromWorker([&] {
        side->SetTimer(2, 1000);
        side->SetTimer(3, 1500);
        return true;
    });
    EXPECT_TRUE(this->WaitUntil([&] { return syncExpiries.load() >= 3 && answerExpiries.load() >= 2; }, 3s))
        << "timers did not go on firing";

    this->FromWorker([&] {
        side->KillTimer(2);
        return true;
    });
    const int afterKill = syncExpiries.load();
    const int answerAtKill = answerExpiries.load();
    this->WaitFor(150ms);
    EXPECT_EQ(syncExpiries.load(), afterKill) << "a killed timer went on firing";
    EXPECT_GT(answerExpiries.load(), answerAtKill) << "killing one timer stopped another";
    side->KillTimer(3);
    EXPECT_FALSE(offUiThread.load());
}

TYPED_TEST_P(WindowSideContract, TheTimerScaleShortensTimersButNeverLengthensThem) {
    // How long after SetTimer the first expiry of timer 2 arrives.
    const auto firstExpiry = [this](double scale, uint32_t periodMs) {
        std::atomic<bool> fired{false};
        std::atomic<std::chrono::steady_clock::time_point> firedAt{};
        auto side = this->Make(scale);
        side->SetMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t) {
            if (message == WM_TIMER && wParam == 2 && !fired.exchange(true)) firedAt = std::chrono::steady_clock::now();
        });
        const auto armedAt = std::chrono::steady_clock::now();
        this->FromWorker([&] {
            side->SetTimer(2, periodMs);
            return true;
        });
        EXPECT_TRUE(this->WaitUntil([&] { return fired.load(); }, 5s)) << "scale " << scale;
        side->KillTimer(2);
        return std::chrono::duration_cast<std::chrono::milliseconds>(firedAt.load() - armedAt);
    };
    const auto shortened = firstExpiry(0.01, 20000);  // 200 ms
    EXPECT_GE(shortened, 100ms);
    EXPECT_LT(shortened, 2000ms);
    const auto unchanged = firstExpiry(10.0, 200);  // 200 ms, never 2000 ms
    EXPECT_GE(unchanged, 100ms);
    EXPECT_LT(unchanged, 1500ms);
}

REGISTER_TYPED_TEST_SUITE_P(WindowSideContract, CallsFromAnotherThreadRunOnTheUiThreadAndReturnAfterIt,
                            CallsFromTheUiThreadRunInPlace, AClosedGateReleasesASenderWhoseHandlerHasNotStarted,
                            ShutdownReleasesEveryWaiterAndRefusesLaterCalls, TimersFireOnTheUiThreadUntilKilled,
                            TheTimerScaleShortensTimersButNeverLengthensThem);

}  // namespace dravel::contract
