// Test support: the test's end of a serial cable made of a pseudo-terminal.
//
// PtyPair is a cable of its own: the code under test opens SlavePath() as
// if it were /dev/ttyS0, and the test plays the device through
// WriteMaster()/ReadMaster*(). The pair keeps a raw slave descriptor open
// for its whole life (see tools/pty/pty.h), which is also where a test reads
// the settings the code under test left on the line.
//
// TtyPeer is the test on the far end of someone else's cable: it opens a
// terminal device (a tool's link, a pty slave) raw and non-blocking.
//
// Threads: nothing here starts a thread. One thread may write while another
// reads; nothing else is shared.
//
// Failures: the constructors throw std::runtime_error with the system's
// text (GoogleTest reports it as a failure of the test). Writes and reads
// never wait longer than the timeout they are given.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pty/pty.h"

namespace dravel::testing {

class PtyPair {
public:
    PtyPair();

    const std::string& SlavePath() const { return m_pair.SlavePath(); }
    // Shares the tty (and so its termios) with whatever the code under test
    // opened. Do not read from it while the code under test reads.
    int KeptSlaveFd() const { return m_pair.KeptSlaveFd(); }

    // Writes all of `bytes` to the master, waiting at most `timeout` for room.
    // Returns false if not everything could be written in time.
    bool WriteMaster(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool WriteMaster(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Everything that arrives on the master within `timeout`, up to `max`
    // bytes. Waits the whole timeout unless `max` bytes came first, so it
    // also answers "was nothing (more) sent?".
    std::vector<uint8_t> ReadMaster(std::size_t max, std::chrono::milliseconds timeout);
    // Returns as soon as `n` bytes have arrived; fewer if the timeout ran out.
    std::vector<uint8_t> ReadMasterExactly(std::size_t n, std::chrono::milliseconds timeout) {
        return ReadMaster(n, timeout);
    }

    // The cable is pulled: the slave side sees a hang-up once no kept slave
    // descriptor holds it up.
    void CloseMaster() { m_pair.CloseMaster(); }
    void CloseKeptSlave() { m_pair.CloseKeptSlave(); }

private:
    pty::Pair m_pair;
};

class TtyPeer {
public:
    explicit TtyPeer(const std::string& path);
    ~TtyPeer() { Close(); }
    TtyPeer(const TtyPeer&) = delete;
    TtyPeer& operator=(const TtyPeer&) = delete;

    void Close();
    int Fd() const { return m_fd; }
    // The other side went, seen by a read (or by a write that waited for room).
    bool HungUp() const { return m_hungUp; }

    bool Write(std::string_view bytes, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Up to `want` bytes; returns early once they are all there, on a
    // hang-up, or at the deadline.
    std::string Read(std::size_t want, std::chrono::milliseconds timeout);

private:
    int m_fd = -1;
    bool m_hungUp = false;
};

}  // namespace dravel::testing
