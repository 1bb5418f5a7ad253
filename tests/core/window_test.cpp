// The headless window side: synchronous delivery, and the releases that let a
// window close while other threads are blocked in it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/headless_window.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;

TEST(HeadlessWindow, MessagesRunOnTheWindowThreadBeforeSendReturns) {
    HeadlessWindow window;
    std::thread::id handlerThread;
    std::atomic<int> handled{0};
    window.SetMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        handlerThread = std::this_thread::get_id();
        EXPECT_TRUE(window.IsUiThread());
        EXPECT_EQ(message, WM_USER + 1);
        EXPECT_EQ(wParam, 1u);
        EXPECT_EQ(lParam, 0);
        std::this_thread::sleep_for(20ms);
        ++handled;
    });
    EXPECT_TRUE(window.SendMessage(WM_USER + 1, 1, 0));
    EXPECT_EQ(handled.load(), 1) << "the sender waits for the handler";
    EXPECT_NE(handlerThread, std::this_thread::get_id());
    EXPECT_FALSE(window.IsUiThread());
}

TEST(HeadlessWindow, ClosedGateReleasesAWaitingSenderWithoutRunningTheHandler) {
    HeadlessWindow window;
    std::promise<void> uiBusy;
    std::promise<void> letUiGo;
    std::atomic<int> handled{0};
    window.SetMessageHandler([&](uint32_t, uintptr_t, intptr_t) { ++handled; });
    // Keep the window thread busy so the notification stays queued.
    auto busy = std::async(std::launch::async, [&] {
        window.Invoke([&] {
            uiBusy.set_value();
            letUiGo.get_future().wait();
        });
    });
    uiBusy.get_future().wait();
    SendGate gate;
    auto sender = std::async(std::launch::async, [&] { return window.SendMessage(WM_USER + 1, 1, 0, &gate); });
    EXPECT_EQ(sender.wait_for(50ms), std::future_status::timeout);
    gate.Close();
    ASSERT_EQ(sender.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(sender.get());
    EXPECT_FALSE(window.SendMessage(WM_USER + 1, 1, 0, &gate)) << "a closed gate refuses later sends";
    letUiGo.set_value();
    busy.get();
    EXPECT_EQ(handled.load(), 0);
    gate.Reopen();
    EXPECT_TRUE(window.SendMessage(WM_USER + 1, 1, 0, &gate));
    EXPECT_EQ(handled.load(), 1);
}

TEST(HeadlessWindow, ShutdownReleasesEveryWaiterAndRefusesLaterCalls) {
    HeadlessWindow window;
    std::promise<void> uiBusy;
    std::promise<void> letUiGo;
    auto busy = std::async(std::launch::async, [&] {
        window.Invoke([&] {
            uiBusy.set_value();
            letUiGo.get_future().wait();
        });
    });
    uiBusy.get_future().wait();
    auto waiter = std::async(std::launch::async, [&] { return window.Invoke([] {}); });
    EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    std::thread closer([&] { window.Shutdown(); });
    ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
    letUiGo.set_value();
    busy.get();
    closer.join();
    EXPECT_FALSE(window.Invoke([] { FAIL() << "runs after shutdown"; }));
}

TEST(HeadlessWindow, CallsFromTheWindowThreadRunInPlace) {
    HeadlessWindow window;
    bool nested = false;
    window.Invoke([&] { window.Invoke([&] { nested = true; }); });
    EXPECT_TRUE(nested);
}

TEST(HeadlessWindow, MessageBoxesGoToTheSinkWithTheApplicationCaption) {
    std::vector<std::pair<std::string, std::string>> boxes;
    HeadlessWindow::Options options;
    options.onMessageBox = [&](std::string_view text, std::string_view caption) {
        boxes.emplace_back(std::string(text), std::string(caption));
    };
    HeadlessWindow window(options);
    window.MessageBox("Transfer Completed ");
    window.MessageBox("Failed to create event for thread!", "comm Error!");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].second, "Z/A Vovode");
    EXPECT_EQ(boxes[1].second, "comm Error!");
}

// Sets, or with nullptr removes, a variable of this process's environment.
void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");  // an empty value removes it there
#else
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
#endif
}

TEST(HeadlessWindow, TimerScaleComesOnlyFromAValidEnvironmentValue) {
    SetEnv("DRAVEL_TIMER_SCALE", "0.05");
    EXPECT_DOUBLE_EQ(HeadlessWindow::TimerScaleFromEnvironment(), 0.05);
    for (const char* bad : {"", "0", "-1", "2", "fast", "0.5x"}) {
        SetEnv("DRAVEL_TIMER_SCALE", bad);
        EXPECT_DOUBLE_EQ(HeadlessWindow::TimerScaleFromEnvironment(), 1.0) << bad;
    }
    SetEnv("DRAVEL_TIMER_SCALE", nullptr);
    EXPECT_DOUBLE_EQ(HeadlessWindow::TimerScaleFromEnvironment(), 1.0);
}

}  // namespace
}  // namespace dravel
