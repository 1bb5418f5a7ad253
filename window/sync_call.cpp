#include "window/sync_call.h"

#include <map>
#include <utility>

namespace dravel {

bool SyncCall::TryStart() {
    std::lock_guard lock(m_mutex);
    if (m_state != State::Pending) return false;
    m_state = State::Running;
    return true;
}

void SyncCall::Finish() {
    {
        std::lock_guard lock(m_mutex);
        // A caller that was let go stays let go.
        if (m_state == State::Running) m_state = State::Done;
    }
    m_changed.notify_all();
}

bool SyncCall::Release() {
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Running) return false;
        if (m_state == State::Pending) m_state = State::Released;
    }
    m_changed.notify_all();
    return true;
}

void SyncCall::LetGo() {
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Pending || m_state == State::Running) m_state = State::Released;
    }
    m_changed.notify_all();
}

bool SyncCall::Wait() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_state == State::Done || m_state == State::Released; });
    return m_state == State::Done;
}

bool SendGate::Attach(const std::shared_ptr<SyncCall>& call) {
    std::lock_guard lock(m_mutex);
    if (m_closed) return false;
    m_current = call;
    return true;
}

void SendGate::Detach() {
    std::lock_guard lock(m_mutex);
    m_current.reset();
}

void SendGate::Close() {
    std::shared_ptr<SyncCall> current;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        current = m_current;
    }
    if (current) current->Release();
}

void SendGate::Reopen() {
    std::lock_guard lock(m_mutex);
    m_closed = false;
}

bool SendGate::IsClosed() {
    std::lock_guard lock(m_mutex);
    return m_closed;
}

// Queued tasks hold this, not the UiCalls: a toolkit may run them after the
// window side has gone.
struct UiCalls::Shared {
    PostTask post;
    UiThreadTest isUiThread;
    mutable std::mutex mutex;
    bool stopped = false;
    // Every call a thread waits on, and whether Shutdown may let its caller go
    // while it runs.
    std::map<std::shared_ptr<SyncCall>, bool> waiting;

    bool Stopped() const {
        std::lock_guard lock(mutex);
        return stopped;
    }
};

UiCalls::UiCalls(PostTask post, UiThreadTest isUiThread) : m_shared(std::make_shared<Shared>()) {
    m_shared->post = std::move(post);
    m_shared->isUiThread = std::move(isUiThread);
}

UiCalls::~UiCalls() { Shutdown(); }

bool UiCalls::Run(const std::function<void()>& fn, SendGate* gate) {
    if (m_shared->isUiThread()) {
        if (IsShutDown()) return false;
        fn();
        return true;
    }
    return Await(fn, gate, false);
}

bool UiCalls::RunDetachable(std::function<void()> fn) {
    if (m_shared->isUiThread()) {
        if (IsShutDown()) return false;
        fn();
        return true;
    }
    return Await(std::move(fn), nullptr, true);
}

bool UiCalls::Await(std::function<void()> fn, SendGate* gate, bool detachable) {
    // The waiter keeps the shared state, so Shutdown and the end of the UiCalls
    // may come while it waits.
    const auto shared = m_shared;
    auto call = std::make_shared<SyncCall>();
    if (gate && !gate->Attach(call)) return false;
    bool queued = false;
    {
        std::lock_guard lock(shared->mutex);
        if (!shared->stopped) {
            shared->waiting.emplace(call, detachable);
            queued = true;
        }
    }
    // fn may refer to the caller's stack: it runs only while the caller still
    // waits (a released call never starts), and the caller goes on only after
    // a started call has finished - unless fn owns its data (detachable).
    if (queued) {
        queued = shared->post([shared, call, fn = std::move(fn)] {
            if (shared->Stopped()) return;
            if (call->TryStart()) {
                fn();
                call->Finish();
            }
        });
    }
    const bool ran = queued && call->Wait();
    {
        std::lock_guard lock(shared->mutex);
        shared->waiting.erase(call);
    }
    if (gate) gate->Detach();
    return ran;
}

void UiCalls::Post(std::function<void()> fn) {
    const auto shared = m_shared;
    if (shared->Stopped()) return;
    shared->post([shared, fn = std::move(fn)] {
        if (!shared->Stopped()) fn();
    });
}

void UiCalls::Shutdown() {
    std::map<std::shared_ptr<SyncCall>, bool> waiting;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopped = true;
        waiting = m_shared->waiting;
    }
    for (const auto& [call, detachable] : waiting) {
        if (detachable) {
            call->LetGo();
        } else {
            call->Release();
        }
    }
}

bool UiCalls::IsShutDown() const { return m_shared->Stopped(); }

}  // namespace dravel
