// A wake-up for a thread that waits on a device: another thread raises it,
// and the waiter's poll() (POSIX: an eventfd) or WaitForMultipleObjects
// (Windows: an auto-reset event) returns. The serial line and the TCP socket
// each keep one for their reader.
//
// Raise() from any thread, also before the wait starts (the wait then
// returns at once); Consume() by the waiter after the signal ended its wait.
// Create() and Close() belong to the owner while no thread waits.
// One file per platform: wake_signal_posix.cpp, wake_signal_win32.cpp.
#pragma once

#include <cstdint>

namespace dravel {

class WakeSignal {
public:
    WakeSignal() = default;
    ~WakeSignal() { Close(); }
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // True when the signal exists (made now or before); false when the
    // system would not make one (the cause is in errno / GetLastError()).
    bool Create();
    void Close();
    bool IsReady() const { return m_handle != kNone; }

    void Raise();
    void Consume();

    // What the wait waits on: the descriptor, or the event's HANDLE.
    intptr_t Handle() const { return m_handle; }

private:
    static constexpr intptr_t kNone = -1;
    intptr_t m_handle = kNone;
};

}  // namespace dravel
