#include "network/tcp_socket.h"

#include "os/system_text.h"
#include "os/wake_signal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dravel {

namespace {

// Keep-alive: the first probe after this many quiet seconds, then one every
// few seconds, and the connection counts as gone after this many unanswered.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;


int MillisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 0x7FFFFFFF));
}

void SetOption(int fd, int level, int name, int value)
{
    // Each is an improvement, none a condition: a system without one still
    // carries the bytes.
    [[maybe_unused]] const int result = ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

struct TcpSocket::Native {
    int fd = -1;
    WakeSignal wake;  // Wake() makes a waiting poll() return
};

TcpSocket::TcpSocket() : m_native(std::make_unique<Native>()) {}

TcpSocket::~TcpSocket()
{
    Close();
    CloseEvents();
}

bool TcpSocket::IsOpen() const { return m_native->fd >= 0; }

intptr_t TcpSocket::NativeHandle() const { return m_native->fd; }

SerialResult TcpSocket::Connect(const std::string& host, uint16_t port, std::chrono::milliseconds limit,
                                std::string& cause)
{
    Close();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        cause = "cannot resolve host \"" + host + "\": " +
                (resolved == EAI_SYSTEM ? SystemText(errno) : std::string(::gai_strerror(resolved)));
        return SerialResult::NoDevice;
    }
    SerialResult result = SerialResult::NoDevice;
    cause = "no address for \"" + host + "\"";
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0) {
            cause = "socket: " + SystemText(errno);
            result = SerialResult::Failed;
            continue;
        }
        int error = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd pfd{fd, POLLOUT, 0};
                int ready = 0;
                do {
                    ready = ::poll(&pfd, 1, MillisecondsLeft(deadline));
                } while (ready < 0 && errno == EINTR);
                if (ready == 0) {
                    error = ETIMEDOUT;
                } else {
                    socklen_t length = sizeof error;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
                }
            }
        }
        if (error != 0) {
            ::close(fd);
            if (error == ETIMEDOUT) {
                cause = "no connection to " + host + ":" + service + " within " +
                        std::to_string(limit.count() / 1000) + " s";
                result = SerialResult::Failed;
            } else {
                cause = "connect to " + host + ":" + service + ": " + SystemText(error);
                result = error == ECONNREFUSED ? SerialResult::NoDevice : SerialResult::Failed;
            }
            if (MillisecondsLeft(deadline) == 0) break;
            continue;
        }
        SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
        m_native->fd = fd;
        result = SerialResult::Ok;
        cause.clear();
        break;
    }
    ::freeaddrinfo(found);
    if (result == SerialResult::Ok && !CreateEvents()) {
        cause = "cannot create the connection's wake event: " + SystemText(errno);
        Close();
        return SerialResult::Failed;
    }
    return result;
}

SerialResult TcpSocket::Send(std::span<const uint8_t> bytes, std::size_t& sent, std::string& cause)
{
    sent = 0;
    if (m_native->fd < 0) {
        cause = SystemText(EBADF);
        return SerialResult::Failed;
    }
    while (sent < bytes.size()) {
        // MSG_NOSIGNAL: a peer that went away is a result here, not SIGPIPE.
        const ssize_t n = ::send(m_native->fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return sent > 0 ? SerialResult::Ok : SerialResult::WouldBlock;
        cause = SystemText(error);
        return (error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT)
                   ? SerialResult::HungUp
                   : SerialResult::Failed;
    }
    return SerialResult::Ok;
}

SerialResult TcpSocket::Receive(std::span<uint8_t> buffer, std::size_t& received, std::string& cause)
{
    received = 0;
    if (m_native->fd < 0) {
        cause = SystemText(EBADF);
        return SerialResult::Failed;
    }
    for (;;) {
        const ssize_t n = ::recv(m_native->fd, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            received = static_cast<std::size_t>(n);
            return SerialResult::Ok;
        }
        if (n == 0) {
            cause = "the server closed the connection";
            return SerialResult::HungUp;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return SerialResult::WouldBlock;
        cause = SystemText(error);
        return (error == ECONNRESET || error == ETIMEDOUT || error == ENOTCONN || error == EPIPE)
                   ? SerialResult::HungUp
                   : SerialResult::Failed;
    }
}

SerialResult TcpSocket::Wait(bool input, bool output, std::chrono::milliseconds timeout, LineEvents& events,
                             std::string& cause)
{
    events = {};
    const bool watch = m_native->fd >= 0 && (input || output);
    pollfd fds[2] = {
        {static_cast<int>(m_native->wake.Handle()), POLLIN, 0},
        {watch ? m_native->fd : -1, static_cast<short>((input ? POLLIN : 0) | (output ? POLLOUT : 0)), 0},
    };
    const int limit = timeout.count() < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeout.count(), 0x7FFFFFFF));
    const int ready = ::poll(fds, 2, limit);
    if (ready < 0) {
        const int error = errno;
        if (error == EINTR) return SerialResult::Ok;
        cause = SystemText(error);
        return SerialResult::Failed;
    }
    if (fds[0].revents & POLLIN) {
        m_native->wake.Consume();
        events.woken = true;
    }
    // A close or an error shows as input: the receive that follows tells which.
    if (input && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) events.input = true;
    if (output && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) events.output = true;
    return SerialResult::Ok;
}

void TcpSocket::Wake()
{
    m_native->wake.Raise();
}

bool TcpSocket::CreateEvents()
{
    return m_native->wake.Create();
}

void TcpSocket::CloseEvents()
{
    m_native->wake.Close();
}

void TcpSocket::ShutdownSend()
{
    if (m_native->fd >= 0) ::shutdown(m_native->fd, SHUT_WR);
}

void TcpSocket::Close()
{
    if (m_native->fd < 0) return;
    ::close(m_native->fd);
    m_native->fd = -1;
}

}  // namespace dravel
