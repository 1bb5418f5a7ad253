#include "os/wake_signal.h"

#include "os/windows_api.h"

namespace dravel {

// kNone is -1, which is also INVALID_HANDLE_VALUE: no event is ever mistaken
// for it, since CreateEvent fails with a null handle.

bool WakeSignal::Create()
{
    if (IsReady()) return true;
    HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset: a wait consumes it
    if (event == nullptr) return false;
    m_handle = reinterpret_cast<intptr_t>(event);
    return true;
}

void WakeSignal::Close()
{
    if (!IsReady()) return;
    ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = kNone;
}

void WakeSignal::Raise()
{
    if (IsReady()) ::SetEvent(reinterpret_cast<HANDLE>(m_handle));
}

void WakeSignal::Consume() {}

}  // namespace dravel
