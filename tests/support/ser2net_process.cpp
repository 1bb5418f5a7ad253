#include "tests/support/ser2net_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace dravel::testing {

int FreeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free TCP port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

Ser2netProcess::Ser2netProcess(const std::string& device) {
    m_rfc2217Port = FreeTcpPort();
    m_rawPort = FreeTcpPort();
    while (m_rawPort == m_rfc2217Port) m_rawPort = FreeTcpPort();
    const std::string connector = "  connector: serialdev," + device + ",115200n81,local\n";
    const std::string options =
        "  options:\n"
        "    kickolduser: true\n"
        "    chardelay: false\n";
    const std::string config = "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                               std::to_string(m_rfc2217Port) + "\n" + connector + options +
                               "connection: &raw\n  accepter: tcp,127.0.0.1," + std::to_string(m_rawPort) + "\n" +
                               connector + options;
    WriteWholeFile(m_dir / "ser2net.yaml", config);
    // -n: stay in the foreground; -d: no daemon, messages on standard error;
    // -P: its own pid file, not the system's.
    m_child.emplace(std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-d", "-c", m_dir / "ser2net.yaml", "-P",
                                             m_dir / "ser2net.pid"},
                    m_dir / "ser2net.out", m_dir / "ser2net.err");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    // A probe connection opens the device for a moment; ser2net closes it
    // again when the probe goes.
    while (!Accepts(m_rfc2217Port) || !Accepts(m_rawPort)) {
        if (Clock::now() >= deadline || m_child->Wait(std::chrono::milliseconds(0))) {
            throw std::runtime_error("ser2net did not start: " + m_child->Stderr());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Let it close the probes' connections before a test's own arrives, so
    // that kickolduser has nobody to kick.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace dravel::testing
