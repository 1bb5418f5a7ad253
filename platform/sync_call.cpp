#include "platform/sync_call.h"

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
        m_state = State::Done;
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

}  // namespace dravel
