// CComm: one serial port for the length of one transfer.
//
// It opens the port it is given (a port the port table resolved once,
// ports/port_table.h; without one, the system's own "COM<n>") with the
// chosen line settings, and neither resolves nor parses its name again. It
// runs one reader thread
// (CommReadThreadProc) that waits for received characters, reads them in
// chunks of at most 80 bytes, appends each chunk to the receive buffer and
// hands it to the owner window synchronously (WM_COMM_RECEIVED, tag, 0).
// Writes never block the caller: what the driver does not take at once is
// copied into the port's own output queue and sent by the reader thread in
// the background, or dropped when the 1000 ms write timeout runs out.
//
// Until the device has answered the first time, the receive path drops
// everything: a process-wide gate opens on the first 'U', 'A', line feed
// (gathered over several reads if the driver hands it over in pieces) and
// stays open for the rest of the process.
//
// Threads: the user-interface thread opens the port and, inside the reader's
// notification only, reads and empties the receive buffer; the transfer
// worker writes; the reader thread reads. ClosePort() may be called from any
// thread but the reader's: it stops and joins the reader before the device is
// closed, and releases a notification the reader is blocked in, so a close on
// the user-interface thread cannot deadlock. The destructor closes whatever is
// still open; no thread outlives the object.
//
// Failures: OpenPort() returns 0 with the system's words in LastError(). A
// line that hangs up (device unplugged, the other end of a pseudo-terminal
// closed) is not waited on any more; IsLineLost() tells the owner, with the
// cause in LineLostCause().
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "comm/opening_gate.h"
#include "comm/serial_line.h"
#include "ports/resolved_port.h"
#include "window/sync_call.h"
#include "window/window_side.h"

namespace dravel {

inline constexpr uint32_t WM_COMM_RECEIVED = WM_USER + 1;  // 1025

inline constexpr std::size_t kReceiveBufferSize = 1300;
inline constexpr std::size_t kReadChunkSize = 80;
inline constexpr std::size_t kOutputQueueSize = 4096;
inline constexpr uint32_t kWriteTimeoutMs = 1000;

namespace text {
inline constexpr const char* kReadError = "Read error ";
}  // namespace text

class CComm {
public:
    CComm();
    virtual ~CComm();
    CComm(const CComm&) = delete;
    CComm& operator=(const CComm&) = delete;

    // Stores the port and its line settings for OpenPort(), without a check.
    // Stop bits and parity are the codes of StopBits and Parity.
    void SetCommParams(uint8_t portNo, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity);
    void SetCommParams(uint8_t portNo, const LineSettings& settings);
    // Opens this port instead of the system's own port portNo.
    void SetPort(ResolvedPort port);
    // The port's label: "COM<n>", or the device named instead.
    std::string PortName() const;
    void SetNotifyWnd(WindowSide* window);
    // Where the line's notes go (a network port's negotiation, a setting a
    // driver would not take); set before OpenPort().
    void SetLineNoteObserver(LineNoteObserver observer) { m_line.SetNoteObserver(std::move(observer)); }
    void SetNotificationTag(uint32_t tag) { m_notificationTag = tag; }

    int CreateEvents();
    int OpenPort();
    int SetupDCB();
    int ReadComm(uint8_t* buffer, uint32_t maximum);
    int WriteComm(const uint8_t* bytes, uint32_t count);
    void AppendReceived(int count, const uint8_t* chunk);
    int ClosePort();
    int CloseAll();

    static int CommReadThreadProc(CComm* port);

    // The receive buffer as the answer classifier sees it. Only inside the
    // handler of this port's WM_COMM_RECEIVED (the reader waits meanwhile).
    std::span<const uint8_t> Received() const;
    std::span<const uint8_t, kReceiveBufferSize> ReceiveBuffer() const { return m_receiveBuffer; }
    int32_t ReceiveCount() const { return m_receiveCount; }
    // Removes the first n held bytes (all of them when n is larger); what
    // stays moves to the front and the rest of the buffer is zero again.
    void DropReceived(std::size_t n);

    // The modem lines of the open port, for a board wired to be reset
    // through them; the transfer worker calls them between frames. A line
    // without modem lines answers Ok and HasModemLines() turns false.
    SerialResult SetDtr(bool on) { return m_line.SetDtr(on); }
    SerialResult SetRts(bool on) { return m_line.SetRts(on); }
    SerialResult SetModemLines(bool dtr, bool rts) { return m_line.SetModemLines(dtr, rts); }
    bool HasModemLines() const { return m_line.HasModemLines(); }
    std::string LineError() const { return m_line.LastError(); }
    // The transfer worker: waits (within the write timeout) until what was
    // written has left, so that a reset after the last frame cannot cut it off.
    void DrainOutput() { LetOutputLeave(); }

    bool IsOpen() const { return m_run.load(); }
    bool IsLineLost() const { return m_lineLost.load(std::memory_order_acquire); }
    std::string LineLostCause() const;
    const std::string& LastError() const { return m_lastError; }
    std::string DevicePath() const { return m_devicePath; }
    uint8_t PortNumber() const { return m_portNo; }
    const LineSettings& Settings() const { return m_settings; }
    // Received bytes dropped because the receive buffer was full.
    uint64_t DroppedBytes() const { return m_droppedBytes.load(); }

private:
    void ReaderLoop();
    void Drain();
    void FlushOutput();
    void LetOutputLeave();
    void MarkLineLost(const std::string& cause);
    int ClosePortLocked();

    SerialLine m_line;                       // the port handle
    uint32_t m_notificationTag = 0;
    std::atomic<bool> m_run{false};
    std::array<uint8_t, kReceiveBufferSize> m_receiveBuffer{};
    int32_t m_receiveCount = 0;
    std::atomic<WindowSide*> m_owner{nullptr};
    uint8_t m_portNo = 0;
    std::optional<ResolvedPort> m_port;  // none: the system's own port m_portNo
    LineSettings m_settings;
    OpeningGate m_openingGate;  // reader thread only

    std::thread m_reader;
    SendGate m_gate;
    std::mutex m_closeMutex;

    // Output the driver did not take at once; guarded by m_outputMutex.
    std::mutex m_outputMutex;
    std::array<uint8_t, kOutputQueueSize> m_output{};
    std::size_t m_outputBegin = 0;
    std::size_t m_outputEnd = 0;
    std::chrono::steady_clock::time_point m_outputDeadline{};

    std::atomic<bool> m_lineLost{false};
    mutable std::mutex m_causeMutex;
    std::string m_lineLostCause;
    std::string m_lastError;
    std::string m_devicePath;
    std::atomic<uint64_t> m_droppedBytes{0};
};

}  // namespace dravel
