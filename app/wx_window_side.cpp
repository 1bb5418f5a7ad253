#include "app/wx_window_side.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>

namespace dravel::gui {

WxWindowSide::WxWindowSide() : WxWindowSide(Options{}) {}

WxWindowSide::WxWindowSide(Options options) : m_options(std::move(options)), m_state(std::make_shared<State>()) {
    m_options.timerScale = NormalizeTimerScale(m_options.timerScale);
    m_state->presentBox = m_options.presentBox;
}

WxWindowSide::~WxWindowSide() {
    Shutdown();
    m_timers.clear();
}

void WxWindowSide::SetBoxParent(wxWindow* parent) { m_state->boxParent = parent; }

bool WxWindowSide::IsShutDown() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->stopped;
}

uint32_t WxWindowSide::ScaledPeriod(uint32_t periodMs) const {
    const double scaled = std::round(static_cast<double>(periodMs) * m_options.timerScale);
    return static_cast<uint32_t>(std::max(1.0, scaled));
}

bool WxWindowSide::TimerRunning(uint32_t id) const {
    const auto found = m_timers.find(id);
    return found != m_timers.end() && found->second->IsRunning();
}

void WxWindowSide::Post(std::function<void()> fn) {
    const auto state = m_state;
    {
        std::lock_guard lock(state->mutex);
        if (state->stopped) return;
    }
    if (wxTheApp == nullptr) return;
    wxTheApp->CallAfter([state, fn = std::move(fn)] {
        {
            std::lock_guard lock(state->mutex);
            if (state->stopped) return;
        }
        fn();
    });
}

bool WxWindowSide::RunSynchronously(std::function<void()> fn, SendGate* gate) {
    const auto state = m_state;
    if (IsUiThread()) {
        if (IsShutDown()) return false;
        fn();
        return true;
    }
    auto call = std::make_shared<SyncCall>();
    if (gate && !gate->Attach(call)) return false;
    {
        std::lock_guard lock(state->mutex);
        if (state->stopped || wxTheApp == nullptr) {
            if (gate) gate->Detach();
            return false;
        }
        state->waiting.insert(call);
    }
    // fn may refer to the caller's stack: it runs only while the caller still
    // waits (a released call never starts), and the caller goes on only after
    // a started call has finished.
    wxTheApp->CallAfter([state, call, fn = std::move(fn)] {
        {
            std::lock_guard lock(state->mutex);
            if (state->stopped) return;
        }
        if (call->TryStart()) {
            fn();
            call->Finish();
        }
    });
    const bool ran = call->Wait();
    {
        std::lock_guard lock(state->mutex);
        state->waiting.erase(call);
    }
    if (gate) gate->Detach();
    return ran;
}

void WxWindowSide::SetMessageHandler(MessageHandler handler) {
    if (IsUiThread()) {
        // Also after shutdown: the core clears its handler as it goes.
        m_state->handler = std::move(handler);
        return;
    }
    RunSynchronously([this, &handler] { m_state->handler = std::move(handler); }, nullptr);
}

bool WxWindowSide::SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, SendGate* gate) {
    const auto state = m_state;
    return RunSynchronously(
        [state, message, wParam, lParam] {
            // A copy: the handler may replace itself while it runs.
            if (auto handler = state->handler) handler(message, wParam, lParam);
        },
        gate);
}

bool WxWindowSide::Invoke(const std::function<void()>& fn) { return RunSynchronously(fn, nullptr); }

void WxWindowSide::SetTimer(uint32_t id, uint32_t periodMs) {
    const int period = static_cast<int>(std::min<uint32_t>(ScaledPeriod(periodMs), 0x7FFFFFFF));
    RunSynchronously(
        [this, id, period] {
            auto& timer = m_timers[id];
            if (!timer) timer = std::make_unique<ProtocolTimer>(m_state, id);
            timer->Start(period, wxTIMER_CONTINUOUS);
        },
        nullptr);
}

void WxWindowSide::KillTimer(uint32_t id) {
    RunSynchronously(
        [this, id] {
            const auto found = m_timers.find(id);
            if (found != m_timers.end()) found->second->Stop();
        },
        nullptr);
}

void WxWindowSide::ProtocolTimer::Notify() {
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopped) return;
    }
    if (auto handler = m_state->handler) handler(WM_TIMER, m_id, 0);
}

void WxWindowSide::ShowBox(State& state, const std::string& text, const std::string& caption) {
    ++state.boxesShowing;
    wxWindow* parent = state.boxParent.get();
    if (state.presentBox) {
        state.presentBox(text, caption, parent);
    } else {
        wxMessageBox(wxString::FromUTF8(text), wxString::FromUTF8(caption), wxOK | wxICON_EXCLAMATION, parent);
    }
    --state.boxesShowing;
    // Whoever put something off until no box is up looks again at idle time.
    wxWakeUpIdle();
}

void WxWindowSide::MessageBox(std::string_view text, std::string_view caption) {
    const auto state = m_state;
    std::string boxText(text);
    std::string boxCaption(caption.empty() ? kApplicationName : caption);
    if (IsUiThread()) {
        if (!IsShutDown()) ShowBox(*state, boxText, boxCaption);
        return;
    }
    // The caller waits on its own flag rather than on a SyncCall: a box that
    // is on the screen has started, and Shutdown must still let its caller go.
    auto closed = std::make_shared<bool>(false);
    {
        std::lock_guard lock(state->mutex);
        if (state->stopped || wxTheApp == nullptr) return;
    }
    wxTheApp->CallAfter([state, closed, boxText, boxCaption] {
        {
            std::lock_guard lock(state->mutex);
            if (state->stopped) return;
        }
        ShowBox(*state, boxText, boxCaption);
        {
            std::lock_guard lock(state->mutex);
            *closed = true;
        }
        state->changed.notify_all();
    });
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return *closed || state->stopped; });
}

void WxWindowSide::ReportCause(std::string_view text) { std::cerr << "dravel: " << text << std::endl; }

void WxWindowSide::EndProcess(int exitCode) {
    if (m_options.onEndProcess) m_options.onEndProcess(exitCode);
    std::fflush(nullptr);
    std::exit(exitCode);
}

bool WxWindowSide::IsUiThread() const { return wxThread::IsMain(); }

void WxWindowSide::Shutdown() {
    const auto state = m_state;
    std::set<std::shared_ptr<SyncCall>> waiting;
    {
        std::lock_guard lock(state->mutex);
        state->stopped = true;
        waiting = state->waiting;
    }
    for (const auto& call : waiting) call->Release();
    state->changed.notify_all();
    if (IsUiThread()) {
        for (auto& [id, timer] : m_timers) timer->Stop();
    }
}

}  // namespace dravel::gui
