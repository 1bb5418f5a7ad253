#include "protocol/main_frame.h"

#include <algorithm>
#include <cstring>

namespace dravel {

CMainFrame::CMainFrame(WindowSide& window) : m_window(window) {
    InitCrcTable();
    m_transferStatus.store(XFER_WAIT);
    m_sequenceNumber = -1;
    m_window.SetMessageHandler(
        [this](uint32_t message, uintptr_t wParam, intptr_t lParam) { HandleMessage(message, wParam, lParam); });
}

CMainFrame::~CMainFrame() {
    StopTransfer();
    m_window.SetMessageHandler(nullptr);
}

void CMainFrame::HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == WM_COMM_RECEIVED) {
        OnCommReceived(wParam, lParam);
    } else if (message == WM_TIMER) {
        OnTimer(wParam);
    }
}

// ---------------------------------------------------------------- frames

void CMainFrame::InitCrcTable() { dravel::InitCrcTable(m_crcTable); }

uint32_t CMainFrame::UpdateCrc32(uint32_t crcRegister, const uint8_t* data, int32_t count) const {
    return dravel::UpdateCrc32(m_crcTable, crcRegister, data, count);
}

uint32_t CMainFrame::AppendCrc(int32_t position) {
    // The CRC needs four bytes behind the protected ones.
    position = std::clamp<int32_t>(position, 0, static_cast<int32_t>(kTransmitBufferSize - kFrameCrcSize));
    const uint32_t crc = UpdateCrc32(0, m_transmitBuffer.data(), position);
    const auto at = static_cast<std::size_t>(position);
    m_transmitBuffer[at + 0] = static_cast<uint8_t>(crc >> 24);
    m_transmitBuffer[at + 1] = static_cast<uint8_t>(crc >> 16);
    m_transmitBuffer[at + 2] = static_cast<uint8_t>(crc >> 8);
    m_transmitBuffer[at + 3] = static_cast<uint8_t>(crc);
    return crc;
}

void CMainFrame::SendFrame(uint8_t command, int32_t length) {
    // A length outside the block buffer is cut to it rather than read or
    // written past either buffer.
    const auto n = static_cast<std::size_t>(std::clamp<int32_t>(length, 0, static_cast<int32_t>(kBlockBufferSize)));
    m_transmitBuffer.fill(0);
    m_transmitBuffer[0] = kSyncByte;
    m_transmitBuffer[1] = static_cast<uint8_t>(m_sequenceNumber & 0xFF);
    m_transmitBuffer[2] = command;
    if (n > 0) std::memcpy(m_transmitBuffer.data() + kFrameHeaderSize, m_blockBuffer.data(), n);

    std::size_t frameLength = 0;
    if (command == CMD_BLOCK_5 || command == CMD_BLOCK_7) {
        m_transmitBuffer[3] = 0x00;
        m_transmitBuffer[4] = 0x04;
        AppendCrc(static_cast<int32_t>(kFrameHeaderSize + kBlockBufferSize));
        frameLength = kTransmitBufferSize;
    } else if (command == CMD_BLOCK_6 || command == CMD_B) {
        m_transmitBuffer[3] = static_cast<uint8_t>(n % 256);
        m_transmitBuffer[4] = static_cast<uint8_t>(n / 256);
        AppendCrc(static_cast<int32_t>(kFrameHeaderSize + n));
        frameLength = n + kFrameOverhead;
    } else {
        m_transmitBuffer[3] = static_cast<uint8_t>(kShortPayloadSize);
        m_transmitBuffer[4] = 0x00;
        AppendCrc(static_cast<int32_t>(kFrameHeaderSize + kShortPayloadSize));
        frameLength = kShortPayloadSize + kFrameOverhead;
    }
    if (const auto port = Port()) port->WriteComm(m_transmitBuffer.data(), static_cast<uint32_t>(frameLength));
}

// ---------------------------------------------------------------- answers

long CMainFrame::OnCommReceived(uintptr_t, intptr_t) {
    // Runs inside the reader's notification, so the reader waits while the
    // receive buffer is read and emptied here.
    const auto port = Port();
    if (!port) return 1;
    auto buffer = port->ReceiveBuffer();
    int32_t& count = port->ReceiveCount();
    count = std::clamp<int32_t>(count, 0, static_cast<int32_t>(kReceiveBufferSize));

    // An answer line is three bytes with a line feed last. When the bytes at
    // the front cannot be one (a stray byte ahead of an answer, noise), they are
    // thrown away up to and including the next line feed, and what follows is
    // examined the same way. A line with noise in it is never classified - the
    // wait runs out and the frame goes again - so noise cannot become an
    // acceptance, while one bad byte no longer blocks every later answer.
    std::size_t start = 0;
    const auto held = static_cast<std::size_t>(count);
    while (held - start >= 3 && buffer[start + 2] != ANSWER_LINE_END) {
        const auto* first = buffer.data() + start;
        const auto* lineEnd = static_cast<const uint8_t*>(std::memchr(first, ANSWER_LINE_END, held - start));
        start = lineEnd ? static_cast<std::size_t>(lineEnd - buffer.data()) + 1 : held;
    }
    if (held - start >= 3) {
        switch (buffer[start + 1]) {
            case ANSWER_ACK: m_transferStatus.store(XFER_ACK); break;
            case ANSWER_NAK: m_transferStatus.store(XFER_NAK); break;
            case ANSWER_END: m_transferStatus.store(XFER_END); break;
            default: m_transferStatus.store(XFER_OTHER); break;
        }
        // Whatever came behind the answer line in the same batch goes with it.
        std::fill(buffer.begin(), buffer.end(), 0);
        count = 0;
        return 1;
    }
    if (start > 0) {
        // Keep the (at most two) bytes that may begin the next answer line.
        const std::size_t kept = held - start;
        std::memmove(buffer.data(), buffer.data() + start, kept);
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(kept), buffer.end(), 0);
        count = static_cast<int32_t>(kept);
    }
    return 1;
}

void CMainFrame::OnTimer(uintptr_t timerId) {
    if (timerId == TIMER_SYNC) {
        m_transferStatus.store(XFER_TIMEOUT);
    } else if (timerId == TIMER_ANSWER) {
        m_transferStatus.store(XFER_TIMEOUT);
        m_window.KillTimer(TIMER_ANSWER);
    }
}

// ---------------------------------------------------------------- port and transfer

int CMainFrame::OpenCommPort() {
    auto port = std::make_shared<CComm>();
    const PortConfig config = GetPortConfig();
    port->SetNotificationTag(1);
    port->SetCommParams(static_cast<uint8_t>(config.portNumber & 0xFF), config.baudRate, config.byteSize,
                        config.stopBits, config.parity);
    port->CreateEvents();
    CComm* raw = port.get();
    {
        std::lock_guard lock(m_portMutex);
        m_port = std::move(port);
    }
    if (raw->OpenPort() != 1) {
        const std::string cause = raw->LastError();
        raw->CloseAll();
        m_window.ReportCause(cause);
        m_window.MessageBox(text::kPortOpenError);
        m_window.EndProcess(1);
    }
    raw->SetNotifyWnd(&m_window);
    return 1;
}

void CMainFrame::SetFormView(FormView* form) { m_form.store(form); }

void CMainFrame::StartTransfer() {
    // One transfer at a time; the form's disabled send button is the guard,
    // this only collects the worker of the previous transfer.
    if (m_worker.joinable()) m_worker.join();
    OpenCommPort();
    {
        std::lock_guard lock(m_stateMutex);
        m_running = true;
        m_outcome = TransferOutcome::Running;
    }
    m_stopRequested.store(false);
    try {
        m_worker = std::thread(&CMainFrame::TransferThreadProc, this);
    } catch (const std::system_error& error) {
        // Left alone, the form would show "Transmitting .... " for ever with
        // its send button disabled: say so, give the port back, allow a retry.
        m_window.ReportCause(std::string("cannot start the transfer thread: ") + error.what());
        m_window.MessageBox(text::kFailToStart);
        ReleasePort();
        EnableSend();
        Finish(TransferOutcome::NotStarted);
    }
}

void CMainFrame::ShowStatusText(std::string statusText) {
    m_window.Invoke([this, &statusText] {
        if (FormView* form = m_form.load()) form->SetStatusText(statusText);
    });
}

void CMainFrame::EnableSend() {
    m_window.Invoke([this] {
        if (FormView* form = m_form.load()) form->EnableSendButton(true);
    });
}

void CMainFrame::ReleasePort() {
    std::shared_ptr<CComm> port;
    {
        std::lock_guard lock(m_portMutex);
        port = std::move(m_port);
    }
    // Closed outside the lock: the close waits for the reader, whose last
    // notification may still be looking the port up.
    if (port) port->CloseAll();
}

void CMainFrame::StopTransfer() {
    m_stopRequested.store(true);
    if (m_worker.joinable()) m_worker.join();
}

void CMainFrame::Shutdown() {
    m_stopRequested.store(true);
    // Release whatever the worker or the reader waits for on this thread first;
    // then the port can close and the worker finish without anyone waiting here.
    m_window.Shutdown();
    if (const auto port = Port()) port->CloseAll();
    if (m_worker.joinable()) m_worker.join();
    ReleasePort();
}

void CMainFrame::Finish(TransferOutcome outcome) {
    {
        std::lock_guard lock(m_stateMutex);
        m_running = false;
        m_outcome = outcome;
    }
    m_idle.notify_all();
}

void CMainFrame::Publish(const TransferProgress& progress) {
    ProgressObserver observer;
    {
        std::lock_guard lock(m_settingsMutex);
        observer = m_progressObserver;
    }
    if (observer) observer(progress);
}

// ---------------------------------------------------------------- settings and state

void CMainFrame::SetPortConfig(const PortConfig& config) {
    std::lock_guard lock(m_settingsMutex);
    m_portConfig = config;
}

PortConfig CMainFrame::GetPortConfig() const {
    std::lock_guard lock(m_settingsMutex);
    return m_portConfig;
}

void CMainFrame::SetFilePath(const std::string& path) {
    std::lock_guard lock(m_settingsMutex);
    m_filePath = path;
}

std::string CMainFrame::FilePath() const {
    std::lock_guard lock(m_settingsMutex);
    return m_filePath;
}

void CMainFrame::SetProgressObserver(ProgressObserver observer) {
    std::lock_guard lock(m_settingsMutex);
    m_progressObserver = std::move(observer);
}

void CMainFrame::AdoptPort(std::shared_ptr<CComm> port) {
    std::lock_guard lock(m_portMutex);
    m_port = std::move(port);
}

bool CMainFrame::HasPort() const { return Port() != nullptr; }

std::shared_ptr<CComm> CMainFrame::Port() const {
    std::lock_guard lock(m_portMutex);
    return m_port;
}

bool CMainFrame::TransferRunning() const {
    std::lock_guard lock(m_stateMutex);
    return m_running;
}

TransferOutcome CMainFrame::LastOutcome() const {
    std::lock_guard lock(m_stateMutex);
    return m_outcome;
}

bool CMainFrame::WaitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_stateMutex);
    if (timeout == std::chrono::milliseconds::max()) {
        m_idle.wait(lock, [this] { return !m_running; });
        return true;
    }
    return m_idle.wait_for(lock, timeout, [this] { return !m_running; });
}

}  // namespace dravel
