// The simulator's end of the serial cable: a pseudo-terminal reached
// through a symbolic link, a real serial device, or a terminal server of its
// own - a TCP port speaking telnet with the COM port option (RFC 2217), as
// ser2net or a terminal server in a rack would, with the board behind it.
//
// What it owns: the file descriptors of the line and, for a pseudo-terminal,
// the symbolic link. The pseudo-terminal keeps one slave descriptor of its
// own open for its whole life, so the master never sees a hang-up while the
// tool is between transfers and the slave's settings survive reopening. The
// link is placed atomically and removed again by Close() or the destructor,
// but only while it still points at this line's slave. The terminal server
// owns its listening socket, one client's connection at a time (the next
// one waits until the first has gone), the telnet state of that connection,
// the answers it has not yet sent, and the port file it wrote.
//
// Threads: one owner thread; a ModemObserver is called on it, from Read().
//
// Failures: Open* return nullptr with a message that names the path or
// address and the system's reason; a path that is anything but a symbolic
// link to a /dev/pts/ device is never replaced. A client that goes away, or
// misbehaves, costs its connection, never the run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "com_port_server.h"

namespace dravel::devsim {

class Line {
public:
    virtual ~Line() = default;
    // What to wait on now: the device, the client's connection, or the
    // listening socket while no client is connected.
    virtual int Fd() const = 0;
    // Takes what has arrived: the serial data into `buffer` (`count` may be
    // 0, when only the line's own traffic came). False when the line failed,
    // with the reason in `error`.
    virtual bool Read(std::span<uint8_t> buffer, std::size_t& count, std::string& error);
    // Hands serial data over; `count` says how much was taken.
    virtual bool Write(std::span<const uint8_t> bytes, std::size_t& count, std::string& error);
    // Bytes of the line's own (protocol answers) waiting for room.
    virtual bool HasQueuedOutput() const { return false; }
    virtual bool Flush(std::string&) { return true; }
    // The wait saw a hang-up or an error and nothing to read: false ends
    // the run, with the reason in `error`.
    virtual bool OnHangUp(std::string& error);
    // A client is connected that may still talk to the board after its last
    // transfer (the modem lines of --run, its own close).
    virtual bool PeerAttached() const { return false; }
    // Bytes written that have not yet reached the other side (best effort).
    virtual std::size_t Undelivered() const = 0;
    // A pseudo-terminal moves bytes at memory speed and needs pacing; a
    // real device is paced by its UART.
    virtual bool NeedsPacing() const = 0;
    virtual std::string Describe() const = 0;
    virtual void Close() = 0;
};

// What the terminal server tells about its client, as it happens.
class ModemObserver {
public:
    using Clock = std::chrono::steady_clock;
    virtual void OnConnected(Clock::time_point now, const std::string& peer) = 0;
    // A SET-CONTROL or PURGE-DATA command, answered already.
    virtual void OnRequest(const ComPortRequest& request, Clock::time_point now) = 0;
    virtual void OnDisconnected(Clock::time_point now, const std::string& why) = 0;

protected:
    ~ModemObserver() = default;
};

struct ListenAddress {
    std::string host;
    uint16_t port = 0;  // 0: a free one, chosen by the system
};

std::unique_ptr<Line> OpenPtyLink(const std::string& linkPath, std::string& error);
std::unique_ptr<Line> OpenTty(const std::string& device, uint32_t baud, std::string& error);
// Listens on the address; once it does, writes the port number and a line
// end to `portFile` (unless empty), in one step, and removes it at Close().
std::unique_ptr<Line> OpenListener(const ListenAddress& address, const std::string& portFile,
                                   ModemObserver& observer, std::string& error);

}  // namespace dravel::devsim
