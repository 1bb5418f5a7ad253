// HeadlessWindow: the window side without a toolkit.
//
// It runs its own event-loop thread, which plays the user-interface thread:
// messages, Invoke'd functions and timer expiries all run there, in order.
// Message boxes do not wait for a person: they are handed to a sink (the
// command line prints them, tests record them) and return at once.
//
// Timer periods can be scaled down for tests (0.01 turns the 20000 ms answer
// timer into 200 ms, see timer_scale.h); the product always runs with scale 1.
//
// The loop thread is started by the constructor and stopped and joined by
// Shutdown() or the destructor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "window/window_side.h"

namespace dravel {

class HeadlessWindow final : public WindowSide {
public:
    struct Options {
        double timerScale = 1.0;
        // Called on the calling thread; the box "closes" when it returns.
        std::function<void(std::string_view text, std::string_view caption)> onMessageBox;
        std::function<void(std::string_view text)> onCause;
        // Called instead of ending the process (tests); must not return
        // normally if the caller relies on [[noreturn]] - see EndProcess.
        std::function<void(int exitCode)> onEndProcess;
    };

    HeadlessWindow();
    explicit HeadlessWindow(Options options);
    ~HeadlessWindow() override;

    void SetMessageHandler(MessageHandler handler) override;
    bool SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam,
                     SendGate* gate = nullptr) override;
    bool Invoke(const std::function<void()>& fn) override;
    void SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void MessageBox(std::string_view text, std::string_view caption = {}) override;
    void ReportCause(std::string_view text) override;
    [[noreturn]] void EndProcess(int exitCode) override;
    bool IsUiThread() const override;
    void Shutdown() override;

private:
    struct Timer {
        std::chrono::steady_clock::duration period;
        std::chrono::steady_clock::time_point due;
    };

    bool PostTask(std::function<void()> task);
    void Loop();

    Options m_options;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    std::map<uint32_t, Timer> m_timers;  // touched on the loop thread only
    MessageHandler m_handler;            // touched on the loop thread only
    bool m_stopping = false;
    std::thread m_thread;
    std::thread::id m_loopId;
    UiCalls m_calls;  // queues to m_tasks
};

}  // namespace dravel
