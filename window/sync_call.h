// Synchronous calls into the user-interface thread that can be released.
//
// A SyncCall is one request that a thread hands to the user-interface thread
// and waits for. It is in one of four states: pending (queued), running (the
// user-interface thread has started it), done, or released (its caller was let
// go without it). Only a pending call can be released, so a handler that has
// begun always finishes before its caller goes on: the caller's data stays
// alive while the handler uses it. The one exception is a call whose function
// owns everything it touches (a message box): its caller may be let go while
// it runs.
//
// A SendGate belongs to the sender (the port's reader). Closing it releases the
// call the sender is blocked in, if that call has not started, and refuses all
// later ones. A port that closes on the user-interface thread closes its gate
// first, so it never waits for a notification that only that same thread could
// deliver.
//
// UiCalls is the whole algorithm a window side needs on top of these: it owns
// the set of calls other threads wait on, queues each one to the user-interface
// thread through the side's own means (a loop's queue, a toolkit's CallAfter),
// and releases them all at Shutdown. Any thread may call it. After Shutdown
// every call that has not started, and every later one, returns false at once
// (also on the user-interface thread); tasks still queued hold only shared
// state and do nothing when they run, also after the UiCalls has gone.
#pragma once

#include <condition_variable>
#include <functional>
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
    // Any thread: lets the caller go whatever the state. Only for a function
    // that owns its data: if it runs, it runs to its end without its caller.
    void LetGo();
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

class UiCalls {
public:
    // Queues a task to run on the user-interface thread, in order with the
    // others; false if that thread takes no more tasks.
    using PostTask = std::function<bool(std::function<void()> task)>;
    // True on the user-interface thread.
    using UiThreadTest = std::function<bool()>;

    UiCalls(PostTask post, UiThreadTest isUiThread);
    ~UiCalls();  // shuts down
    UiCalls(const UiCalls&) = delete;
    UiCalls& operator=(const UiCalls&) = delete;

    // Runs fn on the user-interface thread and returns after it has returned;
    // fn may use the caller's stack. On that thread itself it runs in place.
    // With a gate, closing the gate releases the call if fn has not started.
    // True if fn ran.
    bool Run(const std::function<void()>& fn, SendGate* gate = nullptr);

    // Run for a function that owns everything it touches and may take long:
    // Shutdown lets its caller go even while it runs.
    bool RunDetachable(std::function<void()> fn);

    // Runs fn on the user-interface thread later, without waiting, unless
    // Shutdown has come by then.
    void Post(std::function<void()> fn);

    // Releases every waiting call and refuses later ones. Idempotent.
    void Shutdown();
    bool IsShutDown() const;

private:
    struct Shared;

    bool Await(std::function<void()> fn, SendGate* gate, bool detachable);

    std::shared_ptr<Shared> m_shared;
};

}  // namespace dravel
