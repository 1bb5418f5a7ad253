// Test support: Debian's ser2net as a child process, serving one serial
// device (a simulator's pseudo-terminal) on 127.0.0.1 twice: as an RFC 2217
// port (telnet(rfc2217)) and as a raw TCP port, both on free ports, with a
// configuration written for the test. Its serial end has the `local` option
// (a pseudo-terminal has no modem lines) and `chardelay: false` (otherwise
// ser2net holds the device's bytes some character times before sending them
// on); a new client kicks the old one off (`kickolduser`).
//
// What it owns: the ser2net process and its folder; the destructor stops it.
//
// Failures: the constructor throws std::runtime_error with ser2net's
// standard error when the ports do not accept connections within 10 s.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace dravel::testing {

class Ser2netProcess {
public:
    explicit Ser2netProcess(const std::string& device);

    std::string Rfc2217Url() const { return "rfc2217://127.0.0.1:" + std::to_string(m_rfc2217Port); }
    std::string RawUrl() const { return "socket://127.0.0.1:" + std::to_string(m_rawPort); }
    int Rfc2217Port() const { return m_rfc2217Port; }
    int RawPort() const { return m_rawPort; }
    void Stop() { m_child->Stop(); }
    std::string Errors() const { return m_child->Stderr(); }

private:
    TempDir m_dir;
    int m_rfc2217Port = 0;
    int m_rawPort = 0;
    std::optional<ChildProcess> m_child;
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
int FreeTcpPort();
// Whether something accepts connections on 127.0.0.1:port.
bool Accepts(int port);

}  // namespace dravel::testing
