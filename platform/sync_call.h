// Synchronous calls into the user-interface thread that can be released.
//
// A SyncCall is one request that a thread hands to the user-interface thread
// and waits for. It is in one of four states: pending (queued), running (the
// user-interface thread has started it), done, or released (dropped before it
// started). Only a pending call can be released, so a handler that has begun
// always finishes before its caller goes on: the caller's data stays alive
// while the handler uses it.
//
// A SendGate belongs to the sender (the port's reader). Closing it releases the
// call the sender is blocked in, if that call has not started, and refuses all
// later ones. A port that closes on the user-interface thread closes its gate
// first, so it never waits for a notification that only that same thread could
// deliver.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

namespace dravel {

class SyncCall {
public:
    enum class State { Pending, Running, Done, Released };

    // User-interface thread: true if the call may run now (it was pending).
    bool TryStart();
    // User-interface thread: the handler has returned.
    void Finish();
    // Any thread: drops the call if it has not started. True if it was dropped
    // or had already ended.
    bool Release();
    // Caller: blocks until the call is done or released; true if it ran.
    bool Wait();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    State m_state = State::Pending;
};

class SendGate {
public:
    // Registers the call the sender is about to wait for. False if the gate
    // is closed: the call must not be queued.
    bool Attach(const std::shared_ptr<SyncCall>& call);
    void Detach();

    // Releases the attached call if it has not started; refuses later ones.
    void Close();
    // Lets calls through again (a port that is opened anew).
    void Reopen();
    bool IsClosed();

private:
    std::mutex m_mutex;
    bool m_closed = false;
    std::shared_ptr<SyncCall> m_current;
};

}  // namespace dravel
