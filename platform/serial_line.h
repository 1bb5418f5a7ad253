// Serial line: one RS-232 device on Linux through termios.
//
// What it owns: one open file descriptor of a terminal device, locked for
// this process alone, and the line settings put on it. It stands in for the
// handful of Windows communication calls the port class was written against:
// exclusive open, line settings with DTR/RTS held on, "how many bytes wait",
// a read of only those bytes, a write that never blocks, a purge of both
// queues, and DTR lowered at close.
//
// Threads: one thread reads, one thread writes, any thread may Close() once
// the reader has been stopped (the owner joins its reader first). Nothing in
// here starts a thread.
//
// Failures: every call returns a SerialResult; the operating system's text
// for the last failure is kept in LastError() so that the place that reports
// it can show the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

namespace dravel {

enum class SerialResult {
    Ok,
    NoDevice,      // nothing at that path
    NotATerminal,  // a regular file, a directory, a device that is no tty
    Busy,          // another program holds the line
    Refused,       // the driver refused the settings
    WouldBlock,    // nothing could be done without waiting
    HungUp,        // the device is gone (unplugged, other side closed)
    Failed,        // any other system error, see LastError()
};

const char* ToString(SerialResult result);

struct LineSettings {
    uint32_t baudRate = 115200;
    uint8_t byteSize = 8;   // 5 to 8; anything else is refused
    uint8_t parity = 0;     // 0 none, 1 odd, 2 even
    uint8_t stopBits = 0;   // 0 one, 1 one and a half (taken as two), 2 two
};

class SerialLine {
public:
    SerialLine() = default;
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Opens the device read/write, non-blocking, without becoming its
    // controlling terminal, and takes it for this process alone (flock, then
    // TIOCEXCL). The path must name a terminal; nothing is written to it
    // before that has been checked. A line already open is closed first.
    SerialResult Open(const std::string& devicePath);

    // Raw mode, the given character format, receiver on, no flow control of
    // any kind, DTR and RTS raised. Rates without a B-constant (33600) go
    // through the kernel's arbitrary-rate interface.
    SerialResult Configure(const LineSettings& settings);

    // Raises or lowers DTR / RTS. A line without modem lines (a
    // pseudo-terminal) answers Ok and remembers that it has none.
    SerialResult SetDtr(bool on);
    SerialResult SetRts(bool on);
    bool HasModemLines() const { return m_hasModemLines; }

    // Number of received bytes waiting in the driver (0 on failure).
    std::size_t InputWaiting();

    // Reads at most buffer.size() bytes that are already waiting; never waits.
    // Returns the number read in `count`; HungUp when the device has gone.
    SerialResult Read(std::span<uint8_t> buffer, std::size_t& count);

    // Writes as many bytes as the driver takes now; never waits. The number
    // taken is returned in `count`.
    SerialResult Write(std::span<const uint8_t> bytes, std::size_t& count);

    // Bytes written but not yet sent out of the driver's transmit queue.
    std::size_t OutputPending();

    // Throws away what waits in both directions.
    SerialResult Purge();
    // Throws away what was received and not yet read.
    SerialResult PurgeInput();
    // Throws away what was received, and output only if it is still stuck in
    // the driver (the caller has let it leave first, within its time limit).
    SerialResult DiscardAtClose();

    // Lowers DTR, purges, releases the lock and closes. Safe to call twice.
    void Close();

    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    // A copy: the reader and the writer may both fail at the same moment.
    std::string LastError() const;
    const std::string& DevicePath() const { return m_path; }

private:
    SerialResult Fail(SerialResult result, const std::string& what, int error);
    SerialResult SetModemLine(int line, bool on);
    SerialResult SetArbitraryRate(uint32_t baudRate);

    int m_fd = -1;
    bool m_hasModemLines = true;
    std::string m_path;
    mutable std::mutex m_errorMutex;
    std::string m_lastError;  // guarded by m_errorMutex
};

}  // namespace dravel
