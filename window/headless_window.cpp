#include "window/headless_window.h"

#include <cstdio>
#include <cstdlib>  // std::exit
#include <iostream>

namespace dravel {

HeadlessWindow::HeadlessWindow() : HeadlessWindow(Options{}) {}

HeadlessWindow::HeadlessWindow(Options options)
    : m_options(std::move(options)),
      m_calls([this](std::function<void()> task) { return PostTask(std::move(task)); },
              [this] { return IsUiThread(); }) {
    m_options.timerScale = NormalizeTimerScale(m_options.timerScale);
    m_thread = std::thread([this] { Loop(); });
    // Set before any task is queued; the loop reads it only inside tasks,
    // which it takes from the queue under the lock.
    m_loopId = m_thread.get_id();
}

HeadlessWindow::~HeadlessWindow() { Shutdown(); }

void HeadlessWindow::SetMessageHandler(MessageHandler handler) {
    Invoke([this, &handler] { m_handler = std::move(handler); });
}

bool HeadlessWindow::PostTask(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return false;
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
    return true;
}

bool HeadlessWindow::SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, SendGate* gate) {
    return m_calls.Run(
        [this, message, wParam, lParam] {
            if (m_handler) m_handler(message, wParam, lParam);
        },
        gate);
}

bool HeadlessWindow::Invoke(const std::function<void()>& fn) { return m_calls.Run(fn); }

void HeadlessWindow::SetTimer(uint32_t id, uint32_t periodMs) {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(periodMs * m_options.timerScale));
    Invoke([this, id, period] {
        m_timers[id] = Timer{period, std::chrono::steady_clock::now() + period};
    });
}

void HeadlessWindow::KillTimer(uint32_t id) {
    Invoke([this, id] { m_timers.erase(id); });
}

void HeadlessWindow::MessageBox(std::string_view text, std::string_view caption) {
    if (caption.empty()) caption = kApplicationName;
    if (m_options.onMessageBox) {
        m_options.onMessageBox(text, caption);
    } else {
        std::cout << text << std::endl;
    }
}

void HeadlessWindow::ReportCause(std::string_view text) {
    if (m_options.onCause) {
        m_options.onCause(text);
    } else {
        std::cerr << "dravel: " << text << std::endl;
    }
}

void HeadlessWindow::EndProcess(int exitCode) {
    if (m_options.onEndProcess) m_options.onEndProcess(exitCode);
    std::fflush(nullptr);
    // Other threads may still be blocked in this window; they go with the
    // process. The normal run-time exit still runs the registered handlers.
    std::exit(exitCode);
}

bool HeadlessWindow::IsUiThread() const { return std::this_thread::get_id() == m_loopId; }

void HeadlessWindow::Shutdown() {
    // Callers first: whatever is still queued then does nothing if it runs.
    m_calls.Shutdown();
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping && !m_thread.joinable()) return;
        m_stopping = true;
        dropped.swap(m_tasks);
    }
    m_wake.notify_all();
    if (m_thread.joinable() && !IsUiThread()) m_thread.join();
}

void HeadlessWindow::Loop() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (!m_tasks.empty()) {
            auto task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        // Timers are only touched on this thread, so reading them while the
        // queue lock is held is only for choosing how long to sleep.
        const auto now = std::chrono::steady_clock::now();
        auto next = std::chrono::steady_clock::time_point::max();
        uint32_t dueId = 0;
        bool due = false;
        for (auto& [id, timer] : m_timers) {
            if (timer.due <= now && !due) {
                due = true;
                dueId = id;
            }
            if (timer.due < next) next = timer.due;
        }
        if (due) {
            auto& timer = m_timers[dueId];
            // A late loop does not make a periodic timer fire in a burst.
            timer.due = std::max(timer.due + timer.period, now);
            lock.unlock();
            if (m_handler) m_handler(WM_TIMER, dueId, 0);
            lock.lock();
            continue;
        }
        if (next == std::chrono::steady_clock::time_point::max()) {
            m_wake.wait(lock);
        } else {
            m_wake.wait_until(lock, next);
        }
    }
}

}  // namespace dravel
