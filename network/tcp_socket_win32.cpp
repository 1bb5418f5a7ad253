#include "network/tcp_socket.h"

#include <algorithm>
#include <mutex>

// Winsock 2 first: windows.h must not bring in the old winsock.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "os/system_text.h"
#include "os/wake_signal.h"
#include "os/windows_api.h"

namespace dravel {

namespace {

// Keep-alive: the first probe after this many quiet milliseconds, then one
// every interval (Windows gives up after ten unanswered probes).
constexpr ULONG kKeepAliveIdleMs = 10000;
constexpr ULONG kKeepAliveIntervalMs = 1000;

bool IsLoss(int error)
{
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN || error == WSAESHUTDOWN ||
           error == WSAETIMEDOUT || error == WSAENETRESET;
}

// Winsock is started once for the process and left running: the system
// ends it with the process, and a count of users would only add ways to
// stop it under someone's feet.
bool StartWinsock(std::string& cause)
{
    static std::once_flag once;
    static int started = -1;
    std::call_once(once, [] {
        WSADATA data{};
        started = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (started != 0) {
        cause = "cannot start Winsock: " + SystemText(started);
        return false;
    }
    return true;
}

DWORD MillisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(std::clamp<int64_t>(left.count(), 0, 0x7FFFFFFF));
}

}  // namespace

struct TcpSocket::Native {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT socketEvent = WSA_INVALID_EVENT;  // FD_READ, FD_WRITE, FD_CLOSE of the socket
    WakeSignal wake;                            // Wake() ends a wait
    bool closed = false;                        // FD_CLOSE seen: input ends, reads tell how
    // FD_READ seen and not yet read to the end. The socket's news is reset
    // when it is looked at, and Winsock tells of input again only after a
    // receive: news taken by a wait that did not ask for input is kept here.
    bool readable = false;
};

TcpSocket::TcpSocket() : m_native(std::make_unique<Native>()) {}

TcpSocket::~TcpSocket()
{
    Close();
    CloseEvents();
}

bool TcpSocket::IsOpen() const { return m_native->socket != INVALID_SOCKET; }

intptr_t TcpSocket::NativeHandle() const { return static_cast<intptr_t>(m_native->socket); }

SerialResult TcpSocket::Connect(const std::string& host, uint16_t port, std::chrono::milliseconds limit,
                                std::string& cause)
{
    Close();
    if (!StartWinsock(cause)) return SerialResult::Failed;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        cause = "cannot resolve host \"" + host + "\": " + SystemText(resolved);
        return SerialResult::NoDevice;
    }
    SerialResult result = SerialResult::NoDevice;
    cause = "no address for \"" + host + "\"";
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const SOCKET s = ::WSASocketW(address->ai_family, address->ai_socktype, address->ai_protocol, nullptr, 0,
                                      WSA_FLAG_NO_HANDLE_INHERIT | WSA_FLAG_OVERLAPPED);
        if (s == INVALID_SOCKET) {
            cause = "socket: " + SystemText(::WSAGetLastError());
            result = SerialResult::Failed;
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        int error = 0;
        if (::connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == SOCKET_ERROR) {
            error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                fd_set writable;
                fd_set failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                const DWORD left = MillisecondsLeft(deadline);
                timeval wait{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
                const int ready = ::select(0, nullptr, &writable, &failed, &wait);
                if (ready == 0) {
                    error = WSAETIMEDOUT;
                } else if (ready == SOCKET_ERROR) {
                    error = ::WSAGetLastError();
                } else {
                    int socketError = 0;
                    int length = sizeof socketError;
                    ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError), &length);
                    error = FD_ISSET(s, &failed) && socketError == 0 ? WSAECONNREFUSED : socketError;
                }
            }
        }
        if (error != 0) {
            ::closesocket(s);
            if (error == WSAETIMEDOUT) {
                cause = "no connection to " + host + ":" + service + " within " +
                        std::to_string(limit.count() / 1000) + " s";
                result = SerialResult::Failed;
            } else {
                cause = "connect to " + host + ":" + service + ": " + SystemText(error);
                result = error == WSAECONNREFUSED ? SerialResult::NoDevice : SerialResult::Failed;
            }
            if (MillisecondsLeft(deadline) == 0) break;
            continue;
        }
        // Each is an improvement, none a condition.
        const BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
        tcp_keepalive keepAlive{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
        DWORD returned = 0;
        ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr, nullptr);
        m_native->socket = s;
        m_native->closed = false;
        m_native->readable = false;
        result = SerialResult::Ok;
        cause.clear();
        break;
    }
    ::freeaddrinfo(found);
    if (result != SerialResult::Ok) return result;
    if (!CreateEvents()) {
        cause = "cannot create the connection's events: " + SystemText(static_cast<int>(::GetLastError()));
        Close();
        return SerialResult::Failed;
    }
    if (::WSAEventSelect(m_native->socket, m_native->socketEvent, FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR) {
        cause = "cannot select the connection's events: " + SystemText(::WSAGetLastError());
        Close();
        return SerialResult::Failed;
    }
    return SerialResult::Ok;
}

SerialResult TcpSocket::Send(std::span<const uint8_t> bytes, std::size_t& sent, std::string& cause)
{
    sent = 0;
    if (m_native->socket == INVALID_SOCKET) {
        cause = SystemText(WSAENOTSOCK);
        return SerialResult::Failed;
    }
    while (sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 0x10000));
        const int n = ::send(m_native->socket, reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return sent > 0 ? SerialResult::Ok : SerialResult::WouldBlock;
        cause = SystemText(error);
        return IsLoss(error) ? SerialResult::HungUp : SerialResult::Failed;
    }
    return SerialResult::Ok;
}

SerialResult TcpSocket::Receive(std::span<uint8_t> buffer, std::size_t& received, std::string& cause)
{
    received = 0;
    if (m_native->socket == INVALID_SOCKET) {
        cause = SystemText(WSAENOTSOCK);
        return SerialResult::Failed;
    }
    const int n = ::recv(m_native->socket, reinterpret_cast<char*>(buffer.data()),
                         static_cast<int>(std::min<std::size_t>(buffer.size(), 0x10000)), 0);
    if (n > 0) {
        received = static_cast<std::size_t>(n);
        return SerialResult::Ok;
    }
    if (n == 0) {
        cause = "the server closed the connection";
        return SerialResult::HungUp;
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        m_native->readable = false;
        return SerialResult::WouldBlock;
    }
    cause = SystemText(error);
    return IsLoss(error) ? SerialResult::HungUp : SerialResult::Failed;
}

SerialResult TcpSocket::Wait(bool input, bool output, std::chrono::milliseconds timeout, LineEvents& events,
                             std::string& cause)
{
    events = {};
    Native& native = *m_native;
    // Once the peer has closed, the socket's event never fires again: the
    // close is reported as input until a read has told the caller.
    if (input && (native.closed || native.readable)) {
        events.input = true;
        return SerialResult::Ok;
    }
    HANDLE handles[2];
    DWORD count = 0;
    handles[count++] = reinterpret_cast<HANDLE>(native.wake.Handle());
    const bool watch = native.socket != INVALID_SOCKET && (input || output);
    if (watch) handles[count++] = native.socketEvent;
    const DWORD limit = timeout.count() < 0 ? INFINITE
                                            : static_cast<DWORD>(std::min<int64_t>(timeout.count(), 0x7FFFFFFE));
    const DWORD ended = ::WaitForMultipleObjects(count, handles, FALSE, limit);
    if (ended == WAIT_FAILED) {
        cause = SystemText(static_cast<int>(::GetLastError()));
        return SerialResult::Failed;
    }
    if (ended == WAIT_OBJECT_0) events.woken = true;
    if (watch) {
        // Looked at whatever ended the wait: a wake and the socket's news may
        // come together, and the news is reset by this call.
        WSANETWORKEVENTS news{};
        if (::WSAEnumNetworkEvents(native.socket, native.socketEvent, &news) == 0) {
            if (news.lNetworkEvents & FD_CLOSE) native.closed = true;
            if (news.lNetworkEvents & FD_READ) native.readable = true;
            if (input && (news.lNetworkEvents & (FD_READ | FD_CLOSE))) events.input = true;
            if (output && (news.lNetworkEvents & (FD_WRITE | FD_CLOSE))) events.output = true;
        }
    }
    return SerialResult::Ok;
}

void TcpSocket::Wake()
{
    m_native->wake.Raise();
}

bool TcpSocket::CreateEvents()
{
    m_native->wake.Create();
    if (m_native->socketEvent == WSA_INVALID_EVENT) m_native->socketEvent = ::WSACreateEvent();
    return m_native->wake.IsReady() && m_native->socketEvent != WSA_INVALID_EVENT;
}

void TcpSocket::CloseEvents()
{
    m_native->wake.Close();
    if (m_native->socketEvent != WSA_INVALID_EVENT) ::WSACloseEvent(m_native->socketEvent);
    m_native->socketEvent = WSA_INVALID_EVENT;
}

void TcpSocket::ShutdownSend()
{
    if (m_native->socket != INVALID_SOCKET) ::shutdown(m_native->socket, SD_SEND);
}

void TcpSocket::Close()
{
    if (m_native->socket == INVALID_SOCKET) return;
    ::closesocket(m_native->socket);
    m_native->socket = INVALID_SOCKET;
    m_native->closed = false;
    m_native->readable = false;
}

}  // namespace dravel
