// WxWindowSide: the window side of the core on top of wxWidgets.
//
// What it owns: the protocol's two window timers (ids 2 and 3) as wxTimers,
// the message handler the core installs, and the calls other threads wait on
// (UiCalls, which queues them with CallAfter).
//
// Threads: it is constructed, destroyed and shut down on the user-interface
// thread (the wx main thread). Every other call may come from any thread. A
// call from the user-interface thread runs in place; a call from another
// thread is queued to the user-interface thread with CallAfter and the caller
// waits for it (SendMessage, Invoke, SetTimer, KillTimer, MessageBox).
//
// Causes: a person has no standard error to read, so the box that ends the
// program when a port cannot be opened carries the cause reported just
// before it (on the same thread) as a second line. Other boxes keep their
// texts as they are; every cause still goes to standard error.
//
// Failure and shutdown: Shutdown() stops the timers and releases every caller
// that is still waiting - including a worker whose message box is on the
// screen - and refuses every later call (false, or no effect). Queued calls
// hold only shared state, so they are harmless when they run after this
// object has gone. Nothing here throws.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <string_view>
#include <utility>

#include <wx/timer.h>
#include <wx/weakref.h>
#include <wx/window.h>

#include "window/window_side.h"

namespace dravel::gui {

class WxWindowSide final : public WindowSide {
public:
    // Shows one message box and returns when it is closed; runs on the
    // user-interface thread. Tests replace the real box with their own.
    using BoxPresenter = std::function<void(const std::string& text, const std::string& caption, wxWindow* parent)>;

    struct Options {
        double timerScale = 1.0;      // tests shorten the answer timers with it (timer_scale.h)
        BoxPresenter presentBox;      // empty: wxMessageBox
        std::function<void(int)> onEndProcess;  // tests: called before the exit
    };

    WxWindowSide();
    explicit WxWindowSide(Options options);
    ~WxWindowSide() override;
    WxWindowSide(const WxWindowSide&) = delete;
    WxWindowSide& operator=(const WxWindowSide&) = delete;

    // The window message boxes belong to (user-interface thread). It is held
    // weakly: a box shown after that window has gone has no parent.
    void SetBoxParent(wxWindow* parent);

    // Runs fn on the user-interface thread later, without waiting, unless the
    // window side has been shut down by then. For notifications that must
    // never block their sender (the progress of a transfer).
    void Post(std::function<void()> fn);

    bool IsShutDown() const;
    // User-interface thread: how many message boxes are on the screen now.
    int BoxesShowing() const { return m_state->boxesShowing; }
    // Timer periods as they are armed, after scaling (for tests).
    uint32_t ScaledPeriod(uint32_t periodMs) const;
    bool TimerRunning(uint32_t id) const;  // user-interface thread

    void SetMessageHandler(MessageHandler handler) override;
    bool SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, SendGate* gate = nullptr) override;
    bool Invoke(const std::function<void()>& fn) override;
    void SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void MessageBox(std::string_view text, std::string_view caption = {}) override;
    void ReportCause(std::string_view text) override;
    [[noreturn]] void EndProcess(int exitCode) override;
    bool IsUiThread() const override;
    void Shutdown() override;

private:
    // Everything a queued call may touch, shared with it so that it outlives
    // this object.
    struct State {
        explicit State(UiCalls::PostTask post, UiCalls::UiThreadTest isUiThread)
            : calls(std::move(post), std::move(isUiThread)) {}
        UiCalls calls;
        // User-interface thread only:
        MessageHandler handler;
        wxWeakRef<wxWindow> boxParent;
        BoxPresenter presentBox;
        int boxesShowing = 0;
    };

    class ProtocolTimer final : public wxTimer {
    public:
        ProtocolTimer(std::shared_ptr<State> state, uint32_t id) : m_state(std::move(state)), m_id(id) {}
        void Notify() override;

    private:
        std::shared_ptr<State> m_state;
        uint32_t m_id;
    };

    static void ShowBox(State& state, const std::string& text, const std::string& caption);

    // The box text with the cause this thread reported last, if the box is
    // one that a person needs the cause on; forgets that cause either way.
    std::string WithCause(std::string_view text);

    Options m_options;
    std::shared_ptr<State> m_state;
    std::mutex m_causeMutex;
    std::thread::id m_causeThread;
    std::string m_cause;
    std::map<uint32_t, std::unique_ptr<ProtocolTimer>> m_timers;  // user-interface thread only
};

}  // namespace dravel::gui
