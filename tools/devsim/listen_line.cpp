// The simulator as its own terminal server: a TCP listener speaking telnet
// with the COM port option (RFC 2217) to one client at a time, the board's
// UART behind it. The telnet and RFC 2217 rules are ComPortServer's; this
// file owns the sockets.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "com_port_server.h"
#include "line.h"

namespace dravel::devsim {

namespace {

using Clock = std::chrono::steady_clock;

// Answers and data a client leaves unread beyond this cost it the
// connection: the simulator's memory stays bounded whatever a client does.
constexpr std::size_t kQueuedOutputLimit = 1 << 20;
constexpr std::size_t kReceiveChunk = 4096;

std::string HostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string PeerName(const sockaddr_storage& address) {
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    return HostForUrl(host) + ":" + port;
}

class ListenLine final : public Line {
public:
    explicit ListenLine(ModemObserver& observer) : m_observer(observer) {}
    ~ListenLine() override { Close(); }

    bool Open(const ListenAddress& address, const std::string& portFile, std::string& error) {
        const std::string where = HostForUrl(address.host) + ":" + std::to_string(address.port);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(address.port);
        if (const int failed = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found); failed != 0) {
            error = "cannot listen on " + where + ": " + ::gai_strerror(failed);
            return false;
        }
        int lastError = 0;
        for (const addrinfo* at = found; at != nullptr && m_listener < 0; at = at->ai_next) {
            const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
            if (fd < 0) {
                lastError = errno;
                continue;
            }
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (::bind(fd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
                lastError = errno;
                ::close(fd);
                continue;
            }
            m_listener = fd;
        }
        ::freeaddrinfo(found);
        if (m_listener < 0) {
            error = "cannot listen on " + where + ": " + std::strerror(lastError);
            return false;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&bound), &length);
        const uint16_t port = ntohs(bound.ss_family == AF_INET6
                                        ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                        : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
        m_url = "rfc2217://" + HostForUrl(address.host) + ":" + std::to_string(port);
        return portFile.empty() || WritePortFile(portFile, port, error);
    }

    int Fd() const override { return m_connection >= 0 ? m_connection : m_listener; }

    bool Read(std::span<uint8_t> buffer, std::size_t& count, std::string& error) override {
        count = 0;
        if (m_connection < 0) return Accept(error);
        std::array<uint8_t, kReceiveChunk> chunk{};
        const std::size_t want = std::min(buffer.size(), chunk.size());
        const ssize_t got = ::recv(m_connection, chunk.data(), want, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            Drop(std::strerror(errno));
            return true;
        }
        if (got == 0) {
            Drop("closed by the client");
            return true;
        }
        const Clock::time_point now = Clock::now();
        m_data.clear();
        m_reply.clear();
        m_requests.clear();
        m_server->Receive(std::span<const uint8_t>(chunk.data(), static_cast<std::size_t>(got)), m_data, m_reply,
                          m_requests);
        for (const ComPortRequest& request : m_requests) m_observer.OnRequest(request, now);
        Queue(m_reply);
        // Never more data than bytes received, and those fit the buffer.
        std::copy(m_data.begin(), m_data.end(), buffer.begin());
        count = m_data.size();
        return true;
    }

    bool Write(std::span<const uint8_t> bytes, std::size_t& count, std::string&) override {
        // With nobody connected the board talks to no one, as a UART does.
        count = bytes.size();
        if (m_connection < 0) return true;
        std::vector<uint8_t> escaped;
        telnet::AppendEscaped(bytes, escaped);
        Queue(escaped);
        return true;
    }

    bool HasQueuedOutput() const override { return m_connection >= 0 && !m_out.empty(); }

    bool Flush(std::string&) override {
        while (m_connection >= 0 && !m_out.empty()) {
            const ssize_t put = ::send(m_connection, m_out.data(), m_out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (put < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
                Drop(std::strerror(errno));
                break;
            }
            m_out.erase(m_out.begin(), m_out.begin() + put);
        }
        return true;
    }

    bool OnHangUp(std::string& error) override {
        if (m_connection < 0) {
            error = "the listening socket failed (" + m_url + ")";
            return false;
        }
        Drop("the connection failed");
        return true;
    }

    bool PeerAttached() const override { return m_connection >= 0; }

    std::size_t Undelivered() const override {
        if (m_connection < 0) return 0;
        int unsent = 0;
        if (::ioctl(m_connection, TIOCOUTQ, &unsent) != 0 || unsent < 0) unsent = 0;
        return m_out.size() + static_cast<std::size_t>(unsent);
    }

    // The UART behind the server runs at its own rate.
    bool NeedsPacing() const override { return true; }

    std::string Describe() const override { return m_url; }

    void Close() override {
        if (m_connection >= 0) {
            ::close(m_connection);
            m_connection = -1;
        }
        if (m_listener >= 0) {
            ::close(m_listener);
            m_listener = -1;
        }
        if (!m_portFile.empty()) {
            ::unlink(m_portFile.c_str());
            m_portFile.clear();
        }
    }

private:
    bool WritePortFile(const std::string& path, uint16_t port, std::string& error) {
        // Written beside and renamed, so a reader never sees half a number.
        const std::string temporary = path + ".devsim-" + std::to_string(::getpid()) + ".tmp";
        std::FILE* file = std::fopen(temporary.c_str(), "we");
        const bool written = file != nullptr && std::fprintf(file, "%u\n", unsigned{port}) > 0;
        const bool closed = file != nullptr && std::fclose(file) == 0;
        if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
            error = "cannot write the port file " + path + ": " + std::strerror(errno);
            ::unlink(temporary.c_str());
            return false;
        }
        m_portFile = path;
        return true;
    }

    bool Accept(std::string& error) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(m_listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // A client that gave up before it was taken, and the like.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED ||
                errno == EPROTO) {
                return true;
            }
            error = "accept on " + m_url + ": " + std::strerror(errno);
            return false;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_connection = fd;
        m_peer = PeerName(peer);
        m_server.emplace();
        m_out.clear();
        std::fprintf(stderr, "devsim: client %s connected\n", m_peer.c_str());
        m_observer.OnConnected(Clock::now(), m_peer);
        Queue(m_server->Start());
        return true;
    }

    void Queue(const std::vector<uint8_t>& bytes) {
        if (m_connection < 0 || bytes.empty()) return;
        if (m_out.size() + bytes.size() > kQueuedOutputLimit) {
            Drop("the client reads nothing");
            return;
        }
        m_out.insert(m_out.end(), bytes.begin(), bytes.end());
        std::string ignored;
        Flush(ignored);
    }

    void Drop(const std::string& why) {
        if (m_connection < 0) return;
        ::close(m_connection);
        m_connection = -1;
        m_server.reset();
        m_out.clear();
        std::fprintf(stderr, "devsim: client %s gone (%s)\n", m_peer.c_str(), why.c_str());
        m_observer.OnDisconnected(Clock::now(), why);
    }

    ModemObserver& m_observer;
    int m_listener = -1;
    int m_connection = -1;
    std::string m_url;
    std::string m_portFile;
    std::string m_peer;
    std::optional<ComPortServer> m_server;
    std::vector<uint8_t> m_out;  // encoded, not yet taken by the system
    std::vector<uint8_t> m_data;
    std::vector<uint8_t> m_reply;
    std::vector<ComPortRequest> m_requests;
};

}  // namespace

std::unique_ptr<Line> OpenListener(const ListenAddress& address, const std::string& portFile,
                                   ModemObserver& observer, std::string& error) {
    auto line = std::make_unique<ListenLine>(observer);
    if (!line->Open(address, portFile, error)) return nullptr;
    return line;
}

}  // namespace dravel::devsim
