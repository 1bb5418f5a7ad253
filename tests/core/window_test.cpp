// The headless window side: the contract every window side keeps, its message
// boxes, and the timer scale both front ends read.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <thread>

#include "window/headless_window.h"
#include "tests/support/window_side_contract.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;

// The headless loop is its own thread: the test thread only has to wait, and
// holds the loop with a call of its own that blocks there.
struct HeadlessTraits {
    static std::unique_ptr<WindowSide> Make(double timerScale) {
        HeadlessWindow::Options options;
        options.timerScale = timerScale;
        return std::make_unique<HeadlessWindow>(options);
    }

    static bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return done();
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    class Hold {
    public:
        explicit Hold(WindowSide& side) {
            std::promise<void> started;
            auto running = started.get_future();
            m_thread = std::thread([&side, started = std::move(started), letGo = m_letGo.get_future()]() mutable {
                side.Invoke([&] {
                    started.set_value();
                    letGo.wait();
                });
            });
            running.wait();
        }
        ~Hold() { Release(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        void Release() {
            if (!m_thread.joinable()) return;
            m_letGo.set_value();
            m_thread.join();
        }

    private:
        std::promise<void> m_letGo;
        std::thread m_thread;
    };

    // Shutdown joins the loop, so it comes from a thread of its own while the
    // loop is held.
    static std::future<void> BeginShutdown(WindowSide& side) {
        return std::async(std::launch::async, [&side] { side.Shutdown(); });
    }
};

}  // namespace
}  // namespace dravel

namespace dravel::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(HeadlessWindow, WindowSideContract, HeadlessTraits);
}  // namespace dravel::contract

namespace dravel {
namespace {

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

TEST(TimerScale, ComesOnlyFromAValidEnvironmentValueAndNeverLengthensTimers) {
    SetEnv("DRAVEL_TIMER_SCALE", "0.05");
    EXPECT_DOUBLE_EQ(TimerScaleFromEnvironment(), 0.05);
    SetEnv("DRAVEL_TIMER_SCALE", "1");
    EXPECT_DOUBLE_EQ(TimerScaleFromEnvironment(), 1.0);
    for (const char* bad : {"", "0", "-1", "2", "fast", "0.5x", "nan", "inf"}) {
        SetEnv("DRAVEL_TIMER_SCALE", bad);
        EXPECT_DOUBLE_EQ(TimerScaleFromEnvironment(), 1.0) << bad;
    }
    SetEnv("DRAVEL_TIMER_SCALE", nullptr);
    EXPECT_DOUBLE_EQ(TimerScaleFromEnvironment(), 1.0);

    EXPECT_DOUBLE_EQ(NormalizeTimerScale(0.25), 0.25);
    for (const double bad : {0.0, -0.5, 1.5, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity()}) {
        EXPECT_DOUBLE_EQ(NormalizeTimerScale(bad), 1.0) << bad;
    }
}

}  // namespace
}  // namespace dravel
