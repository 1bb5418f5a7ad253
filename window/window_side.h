// The window side: what the protocol needs of the window it runs on.
//
// The protocol was designed around one frame window: the port's reader sends
// it a message and waits until the handler has run; the transfer worker arms
// window timers on it and shows message boxes that block only the worker;
// progress texts are applied on the window's own thread before the call
// returns. This interface keeps exactly those semantics, so the core never
// needs a toolkit. Two implementations exist: HeadlessWindow (its own event
// loop thread; used by the command line and the tests) and the desktop one.
//
// Threads: every call may come from any thread. Handlers (messages, timer
// expiries, Invoke'd functions) always run on the user-interface thread, one
// at a time. A call made on the user-interface thread itself runs in place.
//
// Shutdown: after Shutdown() no handler runs any more; every synchronous call
// that is still waiting, and every later one, returns false at once. That is
// what lets a window close while a worker or a reader is blocked in it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "window/sync_call.h"
#include "window/timer_scale.h"

namespace dravel {

// Message numbers, as the protocol knows them.
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_USER = 0x0400;

// Caption of every message box of the system.
inline constexpr std::string_view kApplicationName = "Z/A Vovode";

class WindowSide {
public:
    // Runs on the user-interface thread for every message and every timer
    // expiry (WM_TIMER with the timer id as wParam).
    using MessageHandler = std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)>;

    virtual ~WindowSide() = default;

    // The handler that receives SendMessage's messages and the timer expiries.
    // Set it before anything can send; clearing it drops later messages.
    virtual void SetMessageHandler(MessageHandler handler) = 0;

    // Delivers the message to the handler on the user-interface thread and
    // returns after it has returned. With a gate, a Close() of that gate
    // releases the call if the handler has not started yet; the message is
    // then dropped. Returns true if the handler ran.
    virtual bool SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam,
                             SendGate* gate = nullptr) = 0;

    // Runs fn on the user-interface thread and waits for it. True if it ran.
    virtual bool Invoke(const std::function<void()>& fn) = 0;

    // Arms (or re-arms) window timer `id` to fire every periodMs (times the
    // side's timer scale) until killed; KillTimer stops it. Both take effect on the user-interface thread before
    // they return, so no expiry of a killed timer is delivered afterwards.
    virtual void SetTimer(uint32_t id, uint32_t periodMs) = 0;
    virtual void KillTimer(uint32_t id) = 0;

    // A modal message box with an OK button; blocks the calling thread only,
    // until it is closed. An empty caption means the application's name.
    virtual void MessageBox(std::string_view text, std::string_view caption = {}) = 0;

    // The cause behind a failure (an operating-system text, a hint), for the
    // person who has to fix it. Never one of the system's own texts.
    virtual void ReportCause(std::string_view text) = 0;

    // Ends the process after a fatal failure whose message has been shown.
    [[noreturn]] virtual void EndProcess(int exitCode) = 0;

    // True on the user-interface thread.
    virtual bool IsUiThread() const = 0;

    virtual void Shutdown() = 0;
};

}  // namespace dravel
