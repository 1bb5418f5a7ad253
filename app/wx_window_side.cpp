#include "app/wx_window_side.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <wx/app.h>
#include <wx/msgdlg.h>
#include <wx/thread.h>

#include "protocol/download.h"

namespace dravel::gui {
namespace {

bool PostToUiThread(std::function<void()> task) {
    if (wxTheApp == nullptr) return false;
    wxTheApp->CallAfter(std::move(task));
    return true;
}

}  // namespace

WxWindowSide::WxWindowSide() : WxWindowSide(Options{}) {}

WxWindowSide::WxWindowSide(Options options)
    : m_options(std::move(options)),
      m_state(std::make_shared<State>(PostToUiThread, [] { return wxThread::IsMain(); })) {
    m_options.timerScale = NormalizeTimerScale(m_options.timerScale);
    m_state->presentBox = m_options.presentBox;
}

WxWindowSide::~WxWindowSide() {
    Shutdown();
    m_timers.clear();
}

void WxWindowSide::SetBoxParent(wxWindow* parent) { m_state->boxParent = parent; }

bool WxWindowSide::IsShutDown() const { return m_state->calls.IsShutDown(); }

uint32_t WxWindowSide::ScaledPeriod(uint32_t periodMs) const {
    const double scaled = std::round(static_cast<double>(periodMs) * m_options.timerScale);
    return static_cast<uint32_t>(std::max(1.0, scaled));
}

bool WxWindowSide::TimerRunning(uint32_t id) const {
    const auto found = m_timers.find(id);
    return found != m_timers.end() && found->second->IsRunning();
}

void WxWindowSide::Post(std::function<void()> fn) { m_state->calls.Post(std::move(fn)); }

void WxWindowSide::SetMessageHandler(MessageHandler handler) {
    if (IsUiThread()) {
        // Also after shutdown: the core clears its handler as it goes.
        m_state->handler = std::move(handler);
        return;
    }
    m_state->calls.Run([this, &handler] { m_state->handler = std::move(handler); });
}

bool WxWindowSide::SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, SendGate* gate) {
    const auto state = m_state;
    return state->calls.Run(
        [state, message, wParam, lParam] {
            // A copy: the handler may replace itself while it runs.
            if (auto handler = state->handler) handler(message, wParam, lParam);
        },
        gate);
}

bool WxWindowSide::Invoke(const std::function<void()>& fn) { return m_state->calls.Run(fn); }

void WxWindowSide::SetTimer(uint32_t id, uint32_t periodMs) {
    const int period = static_cast<int>(std::min<uint32_t>(ScaledPeriod(periodMs), 0x7FFFFFFF));
    m_state->calls.Run([this, id, period] {
        auto& timer = m_timers[id];
        if (!timer) timer = std::make_unique<ProtocolTimer>(m_state, id);
        timer->Start(period, wxTIMER_CONTINUOUS);
    });
}

void WxWindowSide::KillTimer(uint32_t id) {
    m_state->calls.Run([this, id] {
        const auto found = m_timers.find(id);
        if (found != m_timers.end()) found->second->Stop();
    });
}

void WxWindowSide::ProtocolTimer::Notify() {
    if (m_state->calls.IsShutDown()) return;
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
    // The box holds its own copies of everything it shows, so Shutdown may let
    // its caller go while it is still on the screen.
    state->calls.RunDetachable(
        [state, boxText = WithCause(text), boxCaption = std::string(caption.empty() ? kApplicationName : caption)] {
            ShowBox(*state, boxText, boxCaption);
        });
}

void WxWindowSide::ReportCause(std::string_view text) {
    std::cerr << "dravel: " << text << std::endl;
    std::lock_guard lock(m_causeMutex);
    m_causeThread = std::this_thread::get_id();
    m_cause = text;
}

std::string WxWindowSide::WithCause(std::string_view text) {
    std::string cause;
    {
        std::lock_guard lock(m_causeMutex);
        if (m_causeThread != std::this_thread::get_id()) return std::string(text);
        cause = std::move(m_cause);
        m_cause.clear();
        m_causeThread = {};
    }
    if (cause.empty() || text != text::kPortOpenError) return std::string(text);
    return std::string(text) + "\n" + cause;
}

void WxWindowSide::EndProcess(int exitCode) {
    if (m_options.onEndProcess) m_options.onEndProcess(exitCode);
    std::fflush(nullptr);
    std::exit(exitCode);
}

bool WxWindowSide::IsUiThread() const { return wxThread::IsMain(); }

void WxWindowSide::Shutdown() {
    m_state->calls.Shutdown();
    if (IsUiThread()) {
        for (auto& [id, timer] : m_timers) timer->Stop();
    }
}

}  // namespace dravel::gui
