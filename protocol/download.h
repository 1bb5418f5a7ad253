// dravel::CMainFrame, the protocol side of the main frame: the object a
// download runs on. (The desktop program's window, dravel::gui::CMainFrame in
// app/, owns one of these; the command line makes one of its own.)
//
// It owns the protocol state - sequence number, CRC table, transmit and block
// buffers, transfer status, the port of the running transfer, the file path
// and the port configuration - and talks to the screen only through a
// WindowSide and a FormView, so the same object serves the desktop window and
// the command line.
//
// Threads:
//  - user-interface thread: SetFormView, StartTransfer, OpenCommPort, the
//    handlers OnCommReceived and OnTimer (delivered through the window side),
//    SetPortConfig, Shutdown;
//  - the transfer worker (one per transfer, owned and joined by this object):
//    TransferThreadProc, SendFrame, ShowStatusText;
//  - any thread: SetFilePath / SetImage / FilePath, the transfer status,
//    WaitUntilIdle.
// The transfer status is the one value the worker and the handlers share; it
// is atomic. Status texts and message boxes go through the window side and
// block only the worker.
//
// Beyond the original design a transfer can be stopped (window closed, Ctrl+C
// on the command line) and ends by itself when its line hangs up; both end as
// an error end does, without an end frame.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/comm.h"
#include "comm/port_config.h"
#include "protocol/board_hooks.h"
#include "window/window_side.h"
#include "protocol/answer.h"
#include "protocol/crc32.h"
#include "protocol/form_view.h"
#include "protocol/frame.h"
#include "protocol/trace.h"
#include "protocol/transfer.h"

namespace dravel {

class CMainFrame {
public:
    using ProgressObserver = std::function<void(const TransferProgress&)>;

    explicit CMainFrame(WindowSide& window);
    ~CMainFrame();
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // --- frames and CRC (worker thread): the frame format itself is in
    // protocol/frame.h; these build into this object's transmit buffer ---
    void InitCrcTable();
    uint32_t UpdateCrc32(uint32_t crcRegister, const uint8_t* data, int32_t count) const;
    uint32_t AppendCrc(int32_t position);
    void SendFrame(uint8_t command, int32_t length);

    // --- answers and timers (user-interface thread); the answer format is in
    // protocol/answer.h ---
    long OnCommReceived(uintptr_t wParam, intptr_t lParam);
    void OnTimer(uintptr_t timerId);

    // --- port and transfer ---
    int OpenCommPort();
    void SetFormView(FormView* form);
    void StartTransfer();
    void ShowStatusText(std::string text);
    static int TransferThreadProc(CMainFrame* frame);

    // Stops a running transfer (no end frame) and waits for its worker. Safe
    // from the user-interface thread when the window side has been shut down
    // or when the worker is not blocked in it.
    void StopTransfer();
    // Asks a running transfer to stop, without waiting (any thread).
    void RequestStop() {
        m_stopRequested.store(true);
        WakeWorker();
    }
    // The window goes: close the port under a running transfer, release the
    // window side, stop and join the worker. After this nothing touches the
    // window side or the form.
    void Shutdown();

    // --- shared settings ---
    void SetPortConfig(const PortConfig& config);
    PortConfig GetPortConfig() const;
    // What the next transfer sends, taken when it has synchronised: the file
    // at `path`, read as it goes, or (SetImage) bytes already in memory, such
    // as an image converted from the file a person chose. displayName stands
    // where the path would in every text, and FilePath() gives it back. Each
    // call replaces what the other set.
    void SetFilePath(const std::string& path);
    void SetImage(std::string displayName, std::vector<uint8_t> bytes);
    std::string FilePath() const;
    void SetProgressObserver(ProgressObserver observer);
    // Called for every probe, frame, answer, timer expiry, resend and the
    // port's open and close (see protocol/trace.h for the threads).
    void SetTraceObserver(TraceObserver observer);
    // Bounds for the next transfers; none by default.
    void SetLimits(const TransferLimits& limits);
    TransferLimits Limits() const;
    // The board's steps around the next transfers (reset, confirmation,
    // attempts); none by default. Set while no transfer runs; the hooks
    // outlive the transfers.
    void SetBoardHooks(BoardHooks* hooks) { m_boardHooks = hooks; }

    // --- state for front ends and tests ---
    int32_t TransferStatus() const { return m_transferStatus.load(); }
    // Also wakes the worker that waits for it.
    void SetTransferStatus(int32_t status);
    // The worker's wait for the transfer status: returns when a handler has
    // set it or a stop is asked, at the latest after `limit`. A sleep of the
    // whole poll period would cost every frame the time from the answer to
    // the next period's end, and more where the system's timer ticks
    // coarsely (15.6 ms on Windows unless asked otherwise).
    void AwaitStatusChange(std::chrono::milliseconds limit);
    int32_t SequenceNumber() const { return m_sequenceNumber; }
    void SetSequenceNumber(int32_t sequence) { m_sequenceNumber = sequence; }
    std::span<uint8_t, kBlockBufferSize> BlockBuffer() { return m_blockBuffer; }
    std::span<const uint8_t, kTransmitBufferSize> TransmitBuffer() const { return m_transmitBuffer; }
    bool HasPort() const;
    std::shared_ptr<CComm> Port() const;  // the running transfer's port, if any
    // Makes `port` the frame's port without opening anything (tests, tools).
    void AdoptPort(std::shared_ptr<CComm> port);
    bool TransferRunning() const;
    TransferOutcome LastOutcome() const;
    // Blocks until no transfer runs. False when the timeout ran out first.
    bool WaitUntilIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

private:
    // The transfer's steps work on this object's protocol state.
    friend class TransferRun;

    void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // After the end frame: what arrives, but the loader's answer, to the hooks.
    void TapReceived(CComm& port, std::span<const uint8_t> held);
    void ReleasePort();
    void EnableSend();
    void Publish(const TransferProgress& progress);
    void Trace(const TraceEvent& event) const;
    void Finish(TransferOutcome outcome);
    void WakeWorker();
    // The path and, when set, the bytes that stand for it, read together.
    std::pair<std::string, std::shared_ptr<const std::vector<uint8_t>>> FileToSend() const;

    WindowSide& m_window;

    // Protocol state, in the order the protocol describes it. The CRC table
    // is shared by every frame of the process (protocol/crc32.h).
    int32_t m_sequenceNumber = -1;
    std::array<uint8_t, kTransmitBufferSize> m_transmitBuffer{};
    std::array<uint8_t, kBlockBufferSize> m_blockBuffer{};
    std::atomic<int32_t> m_transferStatus{XFER_WAIT};
    std::mutex m_statusMutex;  // only so that a wake between look and wait is not lost
    std::condition_variable m_statusChanged;

    mutable std::mutex m_portMutex;  // guards the pointer, never held while closing
    std::shared_ptr<CComm> m_port;

    mutable std::mutex m_settingsMutex;
    std::string m_filePath;
    std::shared_ptr<const std::vector<uint8_t>> m_image;  // none: the file at m_filePath is read
    PortConfig m_portConfig;
    ProgressObserver m_progressObserver;
    TraceObserver m_traceObserver;
    TransferLimits m_limits;

    std::atomic<FormView*> m_form{nullptr};
    BoardHooks* m_boardHooks = nullptr;
    // After the end frame: what arrives goes to the board's hooks.
    std::atomic<bool> m_tapReceived{false};
    std::atomic<bool> m_loaderAnswerPending{false};

    std::thread m_worker;
    std::atomic<bool> m_stopRequested{false};
    mutable std::mutex m_stateMutex;
    std::condition_variable m_idle;
    bool m_running = false;
    TransferOutcome m_outcome = TransferOutcome::None;
};

// The texts of the port opening and of the form's send, as the system shows them.
namespace text {
inline constexpr const char* kTransmitting = "Transmitting .... ";
inline constexpr const char* kFailToStart = "Fail to start thread";
inline constexpr const char* kCantOpenPort = "Can't Open Port.. Check and try again";
inline constexpr const char* kPortOpenError = "CommPort Open Error";
}  // namespace text

}  // namespace dravel
