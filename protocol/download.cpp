#include "protocol/download.h"

#include <algorithm>
#include <new>

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

void CMainFrame::InitCrcTable() { SharedCrcTable(); }

uint32_t CMainFrame::UpdateCrc32(uint32_t crcRegister, const uint8_t* data, int32_t count) const {
    return dravel::UpdateCrc32(SharedCrcTable(), crcRegister, data, count);
}

uint32_t CMainFrame::AppendCrc(int32_t position) { return dravel::AppendCrc(m_transmitBuffer, position); }

void CMainFrame::SendFrame(uint8_t command, int32_t length) {
    // A length outside the block buffer is cut to it rather than read or
    // written past either buffer.
    const auto n = static_cast<std::size_t>(std::clamp<int32_t>(length, 0, static_cast<int32_t>(kBlockBufferSize)));
    const std::size_t frameLength = BuildFrame(m_transmitBuffer, static_cast<uint8_t>(m_sequenceNumber & 0xFF), command,
                                               std::span<const uint8_t>(m_blockBuffer).first(n));
    Trace(TraceEvent::Of(TraceEvent::Kind::Frame, std::span<const uint8_t>(m_transmitBuffer).first(frameLength)));
    if (const auto port = Port()) port->WriteComm(m_transmitBuffer.data(), static_cast<uint32_t>(frameLength));
}

// ---------------------------------------------------------------- answers

long CMainFrame::OnCommReceived(uintptr_t, intptr_t) {
    // Runs inside the reader's notification, so the reader waits while the
    // receive buffer is read and emptied here.
    const auto port = Port();
    if (!port) return 1;
    const std::span<const uint8_t> held = port->Received();
    if (m_tapReceived.load() && m_boardHooks) {
        TapReceived(*port, held);
        return 1;
    }
    const Classification answer = ClassifyAnswer(held);
    if (answer.status) {
        SetTransferStatus(*answer.status);
        if (answer.line > 0) Trace(TraceEvent::Of(TraceEvent::Kind::Noise, held.first(answer.line)));
        Trace(TraceEvent::Of(TraceEvent::Kind::Answer, held.subspan(answer.line, kAnswerLineSize), *answer.status));
        if (answer.line + kAnswerLineSize < held.size()) {
            Trace(TraceEvent::Of(TraceEvent::Kind::Noise, held.subspan(answer.line + kAnswerLineSize)));
        }
    } else if (answer.drop > 0) {
        Trace(TraceEvent::Of(TraceEvent::Kind::Noise, held.first(answer.drop)));
    }
    if (answer.drop > 0) port->DropReceived(answer.drop);
    return 1;
}

void CMainFrame::TapReceived(CComm& port, std::span<const uint8_t> held) {
    // The loader's answer to the end frame is not the board's first words:
    // a silent board must not be said to have answered "UA".
    std::size_t skip = 0;
    std::size_t skipFrom = 0;
    if (m_loaderAnswerPending.load()) {
        const Classification answer = ClassifyAnswer(held);
        if (answer.status) {
            Trace(TraceEvent::Of(TraceEvent::Kind::Answer, held.subspan(answer.line, kAnswerLineSize), *answer.status));
            skipFrom = answer.line;
            skip = kAnswerLineSize;
            m_loaderAnswerPending.store(false);
        } else if (held.size() < kAnswerLineSize) {
            return;  // perhaps the start of the answer: wait for the rest
        } else {
            m_loaderAnswerPending.store(false);
        }
    }
    m_boardHooks->Received(held.first(skipFrom));
    m_boardHooks->Received(held.subspan(skipFrom + skip));
    port.DropReceived(held.size());
}

void CMainFrame::OnTimer(uintptr_t timerId) {
    if (timerId == TIMER_SYNC || timerId == TIMER_ANSWER) {
        Trace(TraceEvent::Timer(static_cast<uint32_t>(timerId)));
    }
    if (timerId == TIMER_SYNC) {
        SetTransferStatus(XFER_TIMEOUT);
    } else if (timerId == TIMER_ANSWER) {
        SetTransferStatus(XFER_TIMEOUT);
        m_window.KillTimer(TIMER_ANSWER);
    }
}

void CMainFrame::SetTransferStatus(int32_t status) {
    m_transferStatus.store(status);
    WakeWorker();
}

void CMainFrame::WakeWorker() {
    // Through the lock: a worker that has looked at the status but not yet
    // begun to wait cannot miss the change.
    { std::lock_guard lock(m_statusMutex); }
    m_statusChanged.notify_all();
}

void CMainFrame::AwaitStatusChange(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_statusMutex);
    m_statusChanged.wait_for(lock, limit,
                             [this] { return m_transferStatus.load() != XFER_WAIT || m_stopRequested.load(); });
}

// ---------------------------------------------------------------- port and transfer

int CMainFrame::OpenCommPort() {
    std::shared_ptr<CComm> port;
    try {
        port = std::make_shared<CComm>();
    } catch (const std::bad_alloc&) {
        m_window.MessageBox(text::kCantOpenPort);
        m_window.EndProcess(1);
    }
    const PortConfig config = GetPortConfig();
    port->SetNotificationTag(1);
    port->SetCommParams(static_cast<uint8_t>(config.portNumber & 0xFF), config.line);
    port->SetPort(config.Target());
    port->SetLineNoteObserver([this](const LineNote& note) {
        Trace(TraceEvent::Port(TraceEvent::Kind::LineNote, note.text));
        if (note.level == LineNote::Level::Warning) m_window.ReportCause(note.text);
    });
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
    Trace(TraceEvent::Port(TraceEvent::Kind::PortOpened, raw->PortName() + " " + raw->DevicePath()));
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

int CMainFrame::TransferThreadProc(CMainFrame* frame) {
    // Without its frame the worker has nowhere to report to; StartTransfer
    // never passes none.
    if (frame == nullptr) return 0;
    TransferRun(*frame).Run();
    return 0;
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
    if (!port) return;
    port->CloseAll();
    Trace(TraceEvent::Port(TraceEvent::Kind::PortClosed, port->PortName() + " " + port->DevicePath()));
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
    m_image.reset();
}

void CMainFrame::SetImage(std::string displayName, std::vector<uint8_t> bytes) {
    // Shared with a running transfer, which may still hold the image set before.
    auto image = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    std::lock_guard lock(m_settingsMutex);
    m_filePath = std::move(displayName);
    m_image = std::move(image);
}

std::pair<std::string, std::shared_ptr<const std::vector<uint8_t>>> CMainFrame::FileToSend() const {
    std::lock_guard lock(m_settingsMutex);
    return {m_filePath, m_image};
}

std::string CMainFrame::FilePath() const {
    std::lock_guard lock(m_settingsMutex);
    return m_filePath;
}

void CMainFrame::SetTraceObserver(TraceObserver observer) {
    std::lock_guard lock(m_settingsMutex);
    m_traceObserver = std::move(observer);
}

void CMainFrame::Trace(const TraceEvent& event) const {
    TraceObserver observer;
    {
        std::lock_guard lock(m_settingsMutex);
        observer = m_traceObserver;
    }
    if (observer) observer(event);
}

void CMainFrame::SetLimits(const TransferLimits& limits) {
    std::lock_guard lock(m_settingsMutex);
    m_limits = limits;
}

TransferLimits CMainFrame::Limits() const {
    std::lock_guard lock(m_settingsMutex);
    return m_limits;
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
