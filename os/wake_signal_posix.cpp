#include "os/wake_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace dravel {

bool WakeSignal::Create()
{
    if (IsReady()) return true;
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return false;
    m_handle = fd;
    return true;
}

void WakeSignal::Close()
{
    if (!IsReady()) return;
    ::close(static_cast<int>(m_handle));
    m_handle = kNone;
}

void WakeSignal::Raise()
{
    if (!IsReady()) return;
    const uint64_t one = 1;
    // A full counter already wakes the waiter; nothing else can go wrong here.
    [[maybe_unused]] const ssize_t written = ::write(static_cast<int>(m_handle), &one, sizeof one);
}

void WakeSignal::Consume()
{
    if (!IsReady()) return;
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t got = ::read(static_cast<int>(m_handle), &value, sizeof value);
}

}  // namespace dravel
