// Serial line: the transport between the port class and the operating system.
//
// This header is the whole contract. Behind it stands one kind of line,
// chosen by the device's name at Open() (line/line_transport.h); the port
// class hands over a port resolved once (ports/resolved_port.h), whose
// network name is already parsed:
// - a local serial device (serial/), one file per platform: serial_line_posix.cpp
//   (termios, poll and an eventfd) and serial_line_win32.cpp (the Win32
//   communications calls with overlapped records);
// - a serial port across the network, "rfc2217://HOST:PORT" (a telnet
//   server with the COM port option, such as ser2net or a terminal server)
//   or "socket://HOST:PORT" (raw TCP): network/network_line.cpp, over the platform's
//   sockets (tcp_socket_posix.cpp, tcp_socket_win32.cpp).
// Nothing above comm/ knows which one runs.
//
// What it owns: one open serial device or connection, taken for this process
// alone, with the line settings put on it; the objects its waits need; the
// text of its last failure.
//
// Principles of operation
// - Open() looks before it touches: a path that is missing, is no terminal
//   (a regular file, a directory, /dev/null) or is held by another program is
//   refused with the system's words, and nothing is written to it or changed
//   on it. Probe() makes the same checks and never keeps the device.
// - Configure() puts the line in raw mode with the given character format,
//   no flow control of any kind, DTR and RTS raised.
// - Read() returns only bytes that are already waiting and never waits.
// - Write() never waits: it hands over what the driver takes now (and says
//   how much), copying it, so the caller may reuse its buffer at once.
// - Wait() is the reader's one blocking call: it returns when bytes arrive,
//   when the driver takes output again (if asked), when Wake() is called from
//   any thread, or when the time is up. Once Read() has reported a hang-up,
//   the caller stops asking for input, so a dead line never makes it spin.
// - Close() lowers DTR, lets nothing stuck linger (see DiscardAtClose) and
//   gives the device back. It is safe to call twice.
//
// Threads: one reader thread (Wait, InputWaiting, Read), one writer thread
// (Write, OutputPending, WaitForOutput); Wake() and LastError() from any
// thread. Open, Configure, Close and the purges belong to the owner, while no
// other thread uses the line (the owner joins its reader before Close).
// Nothing in here starts a thread.
//
// Failures: every call returns a SerialResult; the operating system's text
// for the last failure is kept in LastError() so that the place that reports
// it can show the cause.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "line/line_contract.h"
#include "ports/resolved_port.h"

namespace dravel {

class LineTransport;

class SerialLine {
public:
    SerialLine();
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Opens the device read/write without sharing and takes it for this
    // process alone. The path must name a serial line; nothing is written to
    // it before that has been checked. A line already open is closed first.
    // A network port is connected to (within 10 s) instead.
    SerialResult Open(const ResolvedPort& port);
    // A device as it stands (a network name is parsed here).
    SerialResult Open(const std::string& device);

    // Where this line's notes go, from the next Open() on.
    void SetNoteObserver(LineNoteObserver observer);

    // The device the platform itself calls port n: /dev/ttyS<n-1>, COM<n>.
    static std::string DefaultDevice(int portNumber);

    // Looks at a device as Open() would, without changing any setting or
    // modem line and without keeping it. A network port is not connected to
    // (a connection could take the port over from its user): Ok, with a
    // detail that says so.
    static DeviceProbe Probe(const std::string& device);

    // Raw mode, the given character format, receiver on, no flow control of
    // any kind, DTR and RTS raised.
    SerialResult Configure(const LineSettings& settings);

    // Raises or lowers DTR / RTS. A line without modem lines (a
    // pseudo-terminal) answers Ok and remembers that it has none.
    SerialResult SetDtr(bool on);
    SerialResult SetRts(bool on);
    // Both at once where the line has one request for it (TIOCMSET, one
    // SetCommState); over RFC 2217 DTR's command, then RTS's.
    SerialResult SetModemLines(bool dtr, bool rts);
    bool HasModemLines() const;

    // Number of received bytes waiting in the driver (0 on failure).
    std::size_t InputWaiting();

    // Reads at most buffer.size() bytes that are already waiting; never waits.
    // Returns the number read in `count`; HungUp when the device has gone.
    SerialResult Read(std::span<uint8_t> buffer, std::size_t& count);

    // Hands the driver as many bytes as it takes now; never waits. The number
    // taken is returned in `count`.
    SerialResult Write(std::span<const uint8_t> bytes, std::size_t& count);

    // Bytes written but not yet sent out of the driver's transmit queue.
    std::size_t OutputPending();
    // Waits until everything written has left the driver, or the limit has
    // run out. Ok when nothing is pending any more.
    SerialResult WaitForOutput(std::chrono::milliseconds limit);

    // The reader's wait (see the principles above). A negative timeout waits
    // without limit. Failed only when the wait itself cannot be made.
    SerialResult Wait(LineInterest interest, std::chrono::milliseconds timeout, LineEvents& events);
    // Any thread: makes the current or the next Wait() return with `woken`.
    void Wake();

    // The objects Wait() and Wake() need. Open() makes them when they do not
    // exist yet; the port class makes them ahead so that it can fail early.
    bool CreateEvents();
    void CloseEvents();

    // Throws away what waits in both directions.
    SerialResult Purge();
    // Throws away what was received and not yet read.
    SerialResult PurgeInput();
    // Throws away what was received, and output only if it is still stuck in
    // the driver (the caller has let it leave first, within its time limit).
    SerialResult DiscardAtClose();

    // Lowers DTR, discards as DiscardAtClose() does, gives the device back
    // and closes it. Safe to call twice.
    void Close();

    bool IsOpen() const;
    // The descriptor or handle, for tools that watch the line themselves.
    intptr_t NativeHandle() const;
    // A copy: the reader and the writer may both fail at the same moment.
    std::string LastError() const;
    const std::string& DevicePath() const;

private:
    // A local line until Open() is given a network port (and back again).
    std::unique_ptr<LineTransport> m_transport;
    LineNoteObserver m_notes;
};

}  // namespace dravel
