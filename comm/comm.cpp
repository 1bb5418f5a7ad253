#include "comm/comm.h"

#include "serial/port_holder.h"

#include <algorithm>
#include <cstring>

namespace dravel {

CComm::CComm() = default;

CComm::~CComm() { CloseAll(); }

void CComm::SetCommParams(uint8_t portNo, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity) {
    SetCommParams(portNo, LineSettings{baudRate, byteSize, static_cast<Parity>(parity), static_cast<StopBits>(stopBits)});
}

void CComm::SetCommParams(uint8_t portNo, const LineSettings& settings) {
    m_portNo = portNo;
    m_settings = settings;
}

void CComm::SetPort(ResolvedPort port) { m_port = std::move(port); }

std::string CComm::PortName() const { return m_port ? m_port->label : "COM" + std::to_string(m_portNo); }

void CComm::SetNotifyWnd(WindowSide* window) { m_owner.store(window); }

int CComm::CreateEvents() { return m_line.CreateEvents() ? 1 : 0; }

int CComm::OpenPort() {
    const ResolvedPort port = m_port ? *m_port : SystemPort(m_portNo);
    m_devicePath = port.device;
    const SerialResult opened = m_line.Open(port);
    if (opened != SerialResult::Ok) {
        m_lastError = PortName() + (PortName() == m_devicePath ? "" : " (" + m_devicePath + ")") + ": " + m_line.LastError();
        // Who holds it, and the usual way out: the cause a person acts on.
        if (opened == SerialResult::Busy) m_lastError += "; " + DescribeBusyPort(FindPortHolders(m_devicePath));
        if (opened == SerialResult::Denied) {
            if (const std::string fix = PermissionFix(m_devicePath); !fix.empty()) m_lastError += "; " + fix;
        }
        return 0;
    }
    // Only what was received before: output still queued on this line is the
    // previous transfer's end frame on its way, not ours to throw away.
    m_line.PurgeInput();
    const int configured = SetupDCB();
    if (!configured) {
        m_lastError = PortName() + (PortName() == m_devicePath ? "" : " (" + m_devicePath + ")") + ": " + m_line.LastError();
        m_run.store(false);
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
    // Configure() raises DTR and RTS as part of the fixed line set-up.
    return m_line.Configure(m_settings) == SerialResult::Ok ? 1 : 0;
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
            owner->MessageBox(text::kReadError);
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
    m_line.Wake();
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

std::span<const uint8_t> CComm::Received() const {
    return std::span<const uint8_t>(m_receiveBuffer).first(static_cast<std::size_t>(m_receiveCount));
}

void CComm::DropReceived(std::size_t n) {
    const auto held = static_cast<std::size_t>(m_receiveCount);
    const std::size_t dropped = std::min(n, held);
    const std::size_t kept = held - dropped;
    if (kept > 0) std::memmove(m_receiveBuffer.data(), m_receiveBuffer.data() + dropped, kept);
    // The classifier relies on zeros behind the held bytes.
    std::fill(m_receiveBuffer.begin() + static_cast<std::ptrdiff_t>(kept), m_receiveBuffer.end(), 0);
    m_receiveCount = static_cast<int32_t>(kept);
}

int CComm::ClosePort() {
    std::lock_guard closing(m_closeMutex);
    return ClosePortLocked();
}

int CComm::ClosePortLocked() {
    if (!m_run.load() && !m_reader.joinable() && !m_line.IsOpen()) return 1;
    // The last frame (the end frame) is usually still on its way: let it leave
    // before the queues are emptied, within the write timeout.
    LetOutputLeave();
    m_run.store(false);
    // A reader blocked in its notification is released, so a close on the
    // user-interface thread does not wait for itself.
    m_gate.Close();
    m_line.Wake();
    if (m_reader.joinable()) m_reader.join();
    std::lock_guard lock(m_outputMutex);
    // Lowers DTR and discards what is left, as the close of a port does.
    m_line.Close();
    m_outputBegin = m_outputEnd = 0;
    return 1;
}

int CComm::CloseAll() {
    std::lock_guard closing(m_closeMutex);
    ClosePortLocked();
    m_line.CloseEvents();
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

void CComm::FlushOutput() {
    std::lock_guard lock(m_outputMutex);
    if (m_outputBegin != m_outputEnd && m_line.IsOpen() && !m_lineLost.load()) {
        std::size_t taken = 0;
        const SerialResult result = m_line.Write(
            std::span<const uint8_t>(m_output.data() + m_outputBegin, m_outputEnd - m_outputBegin), taken);
        if (result == SerialResult::HungUp) MarkLineLost(m_line.LastError());
        m_outputBegin += taken;
    }
    if (m_outputBegin == m_outputEnd || std::chrono::steady_clock::now() >= m_outputDeadline) {
        m_outputBegin = m_outputEnd = 0;
    }
}

void CComm::LetOutputLeave() {
    // What the driver has not taken yet, within the write timeout. The closing
    // thread writes it itself: the reader may be held up in a notification.
    for (;;) {
        FlushOutput();
        {
            std::lock_guard lock(m_outputMutex);
            if (m_outputBegin == m_outputEnd || !m_line.IsOpen() || m_lineLost.load()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Then what the driver still holds, also within the write timeout.
    if (m_line.IsOpen() && !m_lineLost.load()) m_line.WaitForOutput(std::chrono::milliseconds(kWriteTimeoutMs));
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
        // A lost line is not waited on any more: it would report itself ready
        // for ever.
        const bool watchLine = !m_lineLost.load();
        auto timeout = std::chrono::milliseconds(-1);
        if (outputWaiting) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            timeout = std::max(left, std::chrono::milliseconds(0)) + std::chrono::milliseconds(1);
        }
        LineEvents events;
        if (m_line.Wait(LineInterest{watchLine, watchLine && outputWaiting}, timeout, events) != SerialResult::Ok) {
            MarkLineLost(m_line.LastError());
            continue;
        }
        if (!m_run.load()) break;
        if (outputWaiting) FlushOutput();
        if (events.input) Drain();
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
