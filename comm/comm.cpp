#include "comm/comm.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "comm/opening_gate.h"
#include "platform/port_names.h"

namespace dravel {

namespace {

void Signal(int fd) {
    if (fd < 0) return;
    const uint64_t one = 1;
    // A full counter already wakes the reader; nothing else can go wrong here.
    [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
}

void Clear(int fd) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t got = ::read(fd, &value, sizeof value);
}

}  // namespace

CComm::CComm() = default;

CComm::~CComm() { CloseAll(); }

void CComm::SetCommParams(uint8_t portNo, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity) {
    m_portNo = portNo;
    m_baudRate = baudRate;
    m_byteSize = byteSize;
    m_stopBits = stopBits;
    m_parity = parity;
}

void CComm::SetNotifyWnd(WindowSide* window) { m_owner.store(window); }

int CComm::CreateEvents() {
    if (m_readEvent >= 0 || m_writeEvent >= 0) return 1;
    m_readEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_readEvent < 0) return 0;
    m_writeEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_writeEvent < 0) {
        ::close(m_readEvent);
        m_readEvent = -1;
        return 0;
    }
    return 1;
}

int CComm::OpenPort() {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", static_cast<int>(m_portNo));
    m_devicePath = ResolvePortName(name);
    const SerialResult opened = m_line.Open(m_devicePath);
    if (opened != SerialResult::Ok) {
        m_lastError = std::string(name) + " (" + m_devicePath + "): " + m_line.LastError();
        return 0;
    }
    // Only what was received before: output still queued on this line is the
    // previous transfer's end frame on its way, not ours to throw away.
    m_line.PurgeInput();
    const int configured = SetupDCB();
    if (!configured) {
        m_lastError = std::string(name) + " (" + m_devicePath + "): " + m_line.LastError();
        m_run.store(false);
        m_line.Close();
        return 0;
    }
    if (m_readEvent < 0 && !CreateEvents()) {
        m_lastError = std::string(name) + ": cannot create the port's events: " + std::strerror(errno);
        m_line.Close();
        return 0;
    }
    {
        std::lock_guard lock(m_outputMutex);
        m_outputBegin = m_outputEnd = 0;
    }
    m_lineLost.store(false);
    m_gate.Reopen();
    m_run.store(true);
    m_reader = std::thread(&CComm::CommReadThreadProc, this);
    return configured;
}

int CComm::SetupDCB() {
    LineSettings settings;
    settings.baudRate = m_baudRate;
    settings.byteSize = m_byteSize;
    settings.parity = m_parity;
    settings.stopBits = m_stopBits;
    // Configure() raises DTR and RTS as part of the fixed line set-up.
    return m_line.Configure(settings) == SerialResult::Ok ? 1 : 0;
}

int CComm::ReadComm(uint8_t* buffer, uint32_t maximum) {
    const std::size_t waiting = m_line.InputWaiting();
    const std::size_t wanted = std::min<std::size_t>(maximum, waiting);
    if (wanted == 0) return 0;
    std::size_t count = 0;
    const SerialResult result = m_line.Read(std::span<uint8_t>(buffer, wanted), count);
    if (result == SerialResult::HungUp) {
        MarkLineLost(m_line.LastError());
        return 0;
    }
    if (result != SerialResult::Ok && result != SerialResult::WouldBlock) {
        if (WindowSide* owner = m_owner.load()) {
            owner->ReportCause(m_devicePath + ": " + m_line.LastError());
            owner->MessageBox("Read error ");
        }
        return 0;
    }
    return static_cast<int>(count);
}

int CComm::WriteComm(const uint8_t* bytes, uint32_t count) {
    if (count == 0) return 0;
    std::lock_guard lock(m_outputMutex);
    if (!m_run.load() || !m_line.IsOpen()) return 0;
    const auto now = std::chrono::steady_clock::now();
    if (m_outputBegin != m_outputEnd && now >= m_outputDeadline) {
        // The previous write ran out of its 1000 ms; what is left of it is lost,
        // as a write that timed out would be.
        m_outputBegin = m_outputEnd = 0;
    }
    std::size_t taken = 0;
    if (m_outputBegin == m_outputEnd) {
        const SerialResult result = m_line.Write(std::span<const uint8_t>(bytes, count), taken);
        if (result == SerialResult::HungUp) {
            MarkLineLost(m_line.LastError());
            return 0;
        }
        if (taken == count) return 1;
        m_outputBegin = m_outputEnd = 0;
        m_outputDeadline = now + std::chrono::milliseconds(kWriteTimeoutMs);
    }
    // The caller may reuse its buffer at once: the rest is copied here and the
    // reader thread sends it as the driver takes it.
    const std::size_t rest = count - taken;
    const std::size_t room = m_output.size() - m_outputEnd;
    const std::size_t queued = std::min(rest, room);
    std::memcpy(m_output.data() + m_outputEnd, bytes + taken, queued);
    m_outputEnd += queued;
    Signal(m_writeEvent);
    return 0;
}

void CComm::AppendReceived(int count, const uint8_t* chunk) {
    if (count <= 0) return;
    const std::span<const uint8_t> passed =
        m_openingGate.Pass(std::span<const uint8_t>(chunk, static_cast<std::size_t>(count)));
    if (passed.empty()) return;
    const int32_t oldCount = std::clamp<int32_t>(m_receiveCount, 0, kReceiveBufferSize);
    const std::size_t room = kReceiveBufferSize - static_cast<std::size_t>(oldCount);
    const std::size_t stored = std::min(passed.size(), room);
    if (stored < passed.size()) m_droppedBytes += passed.size() - stored;
    std::memcpy(m_receiveBuffer.data() + oldCount, passed.data(), stored);
    m_receiveCount = oldCount + static_cast<int32_t>(stored);
    if (WindowSide* owner = m_owner.load()) {
        owner->SendMessage(WM_COMM_RECEIVED, m_notificationTag, 0, &m_gate);
    }
}

int CComm::ClosePort() {
    std::lock_guard closing(m_closeMutex);
    return ClosePortLocked();
}

int CComm::ClosePortLocked() {
    if (!m_run.load() && !m_reader.joinable() && !m_line.IsOpen()) return 1;
    // The last frame (the end frame) is usually still on its way: let it leave
    // before the queues are emptied, within the write timeout.
    FlushOutput(true);
    m_run.store(false);
    // A reader blocked in its notification is released, so a close on the
    // user-interface thread does not wait for itself.
    m_gate.Close();
    Signal(m_readEvent);
    if (m_reader.joinable()) m_reader.join();
    std::lock_guard lock(m_outputMutex);
    m_line.SetDtr(false);
    m_line.DiscardAtClose();
    m_line.Close();
    m_outputBegin = m_outputEnd = 0;
    return 1;
}

int CComm::CloseAll() {
    std::lock_guard closing(m_closeMutex);
    ClosePortLocked();
    if (m_readEvent >= 0) {
        ::close(m_readEvent);
        m_readEvent = -1;
    }
    if (m_writeEvent >= 0) {
        ::close(m_writeEvent);
        m_writeEvent = -1;
    }
    return 1;
}

std::string CComm::LineLostCause() const {
    std::lock_guard lock(m_causeMutex);
    return m_lineLostCause;
}

void CComm::MarkLineLost(const std::string& cause) {
    {
        std::lock_guard lock(m_causeMutex);
        if (m_lineLost.load()) return;
        m_lineLostCause = m_devicePath + ": " + (cause.empty() ? std::string("the line hung up") : cause);
    }
    m_lineLost.store(true, std::memory_order_release);
}

void CComm::FlushOutput(bool closing) {
    std::lock_guard lock(m_outputMutex);
    while (m_outputBegin != m_outputEnd && m_line.IsOpen() && !m_lineLost.load()) {
        std::size_t taken = 0;
        const SerialResult result = m_line.Write(
            std::span<const uint8_t>(m_output.data() + m_outputBegin, m_outputEnd - m_outputBegin), taken);
        if (result == SerialResult::HungUp) {
            MarkLineLost(m_line.LastError());
            break;
        }
        m_outputBegin += taken;
        if (m_outputBegin == m_outputEnd) break;
        const auto now = std::chrono::steady_clock::now();
        if (now >= m_outputDeadline) break;
        if (!closing) return;  // the reader comes back when the driver has room
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_outputDeadline - now);
        pollfd out{m_line.Descriptor(), POLLOUT, 0};
        ::poll(&out, 1, static_cast<int>(std::max<int64_t>(1, left.count())));
    }
    if (m_outputBegin == m_outputEnd || std::chrono::steady_clock::now() >= m_outputDeadline) {
        m_outputBegin = m_outputEnd = 0;
    }
    if (closing) {
        // Then what the driver still holds, also within the write timeout.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
        while (m_line.IsOpen() && !m_lineLost.load() && m_line.OutputPending() > 0 &&
               std::chrono::steady_clock::now() < deadline) {
            ::usleep(2000);
        }
    }
}

int CComm::CommReadThreadProc(CComm* port) {
    if (port == nullptr) return -1;
    port->ReaderLoop();
    return 1;
}

void CComm::ReaderLoop() {
    while (m_run.load()) {
        bool outputWaiting = false;
        std::chrono::steady_clock::time_point deadline{};
        {
            std::lock_guard lock(m_outputMutex);
            outputWaiting = m_outputBegin != m_outputEnd;
            deadline = m_outputDeadline;
        }
        const bool watchLine = !m_lineLost.load();
        pollfd fds[3] = {
            {m_readEvent, POLLIN, 0},
            {m_writeEvent, POLLIN, 0},
            {watchLine ? m_line.Descriptor() : -1,
             static_cast<short>(POLLIN | (outputWaiting ? POLLOUT : 0)), 0},
        };
        int timeout = -1;
        if (outputWaiting) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<int64_t>(0, left.count()) + 1);
        }
        const int ready = ::poll(fds, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            MarkLineLost(std::string("waiting for the line failed: ") + std::strerror(errno));
            continue;
        }
        if (fds[0].revents & POLLIN) Clear(m_readEvent);
        if (fds[1].revents & POLLIN) Clear(m_writeEvent);
        if (!m_run.load()) break;
        if (outputWaiting) FlushOutput(false);
        const short lineEvents = fds[2].revents;
        if (lineEvents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            Drain();
            if (lineEvents & (POLLHUP | POLLERR | POLLNVAL)) {
                // Nothing left to read and the line reports a hang-up: stop
                // waiting on it, or poll() would return at once forever.
                if (m_line.InputWaiting() == 0) MarkLineLost(lineEvents & POLLNVAL ? "the line was closed" : "the line hung up");
            }
        }
    }
}

void CComm::Drain() {
    uint8_t chunk[kReadChunkSize];
    bool readAnything = false;
    while (m_run.load()) {
        std::memset(chunk, 0, sizeof chunk);
        const int count = ReadComm(chunk, kReadChunkSize);
        if (count == 0) break;
        readAnything = true;
        AppendReceived(count, chunk);
    }
    if (!readAnything && m_run.load() && !m_lineLost.load()) {
        // Woken but nothing waits: either a spurious wake or the end of the
        // line. A one-byte read tells them apart without losing a byte.
        std::size_t count = 0;
        std::memset(chunk, 0, sizeof chunk);
        const SerialResult result = m_line.Read(std::span<uint8_t>(chunk, 1), count);
        if (result == SerialResult::HungUp) {
            MarkLineLost(m_line.LastError());
        } else if (result == SerialResult::Ok && count > 0) {
            AppendReceived(static_cast<int>(count), chunk);
        }
    }
}

}  // namespace dravel
