// A TCP connection for the network line, one file per platform behind this
// header: tcp_socket_posix.cpp (BSD sockets, poll and an eventfd) and
// tcp_socket_win32.cpp (Winsock 2 with an event per socket).
//
// What it owns: one connected socket, never blocking, with TCP_NODELAY (a
// frame or an answer leaves at once instead of waiting for more) and
// keep-alive (a peer that vanished is noticed even on a quiet line); the
// objects its waits need.
//
// Threads: as the serial line - one reader (Wait, Receive), one writer
// (Send, under the caller's lock); Wake() from any thread; Connect, Close and
// ShutdownSend belong to the owner while nobody else uses the socket.
//
// Failures: every call returns a SerialResult and fills `cause` with the
// system's words. A peer that closed or reset the connection is HungUp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "line/line_contract.h"

namespace dravel {

class TcpSocket {
public:
    TcpSocket();
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves `host` and connects to the first address that takes the
    // connection within `limit` in all. NoDevice for a name that does not
    // resolve or a connection refused; Failed when the time ran out.
    SerialResult Connect(const std::string& host, uint16_t port, std::chrono::milliseconds limit, std::string& cause);

    // Hands the system what it takes now; never waits.
    SerialResult Send(std::span<const uint8_t> bytes, std::size_t& sent, std::string& cause);
    // What has arrived, at most buffer.size() bytes; never waits. WouldBlock
    // when nothing has; HungUp when the peer closed or reset the connection.
    SerialResult Receive(std::span<uint8_t> buffer, std::size_t& received, std::string& cause);

    // Waits until bytes (or the peer's close) arrive, if `input`; until the
    // system takes output again, if `output`; until Wake(); or until the
    // time is up (a negative timeout waits without limit).
    SerialResult Wait(bool input, bool output, std::chrono::milliseconds timeout, LineEvents& events,
                      std::string& cause);
    void Wake();
    bool CreateEvents();
    void CloseEvents();

    // No more bytes from this side: the peer reads the end of the stream
    // after everything sent before.
    void ShutdownSend();
    void Close();
    bool IsOpen() const;
    intptr_t NativeHandle() const;

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

}  // namespace dravel
