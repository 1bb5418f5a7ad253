// Test support: a pseudo-terminal pair standing in for a serial cable.
//
// What it owns: the master side of one pseudo-terminal, plus one extra fd on
// the slave side that stays open for the pair's whole life. The extra slave
// fd means the master never sees a hang-up between tests opening and closing
// the slave, and it is where the line discipline is put into raw mode (on
// Linux the settings live on the slave side), so that 0x0A, 0x0D, 0x03 and
// friends pass through unchanged in both directions.
//
// The code under test opens SlavePath() as if it were /dev/ttyS0; the test
// plays the device through WriteMaster()/ReadMaster*().
//
// Threads: one thread may write the master while another reads it; nothing
// else is shared. Nothing in here starts a thread.
//
// Failures: the constructor throws std::runtime_error with the system's text
// (GoogleTest reports it as a failure of the test). Writes and reads never
// wait longer than the timeout they are given.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace dravel::testing {

// Sets (or unsets, with std::nullopt) one environment variable for the life
// of the object and puts back what was there before.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value) : m_name(std::move(name))
    {
        if (const char* old = std::getenv(m_name.c_str())) {
            m_old = old;
        }
        Apply(value);
    }
    ~ScopedEnv() { Apply(m_old); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Apply(const std::optional<std::string>& value)
    {
        if (value) {
            ::setenv(m_name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

class PtyPair {
public:
    using Clock = std::chrono::steady_clock;

    PtyPair()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0) {
            Throw("posix_openpt");
        }
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        if (::grantpt(m_master) != 0) {
            Throw("grantpt");
        }
        if (::unlockpt(m_master) != 0) {
            Throw("unlockpt");
        }
        char name[128] = {};
        if (::ptsname_r(m_master, name, sizeof name) != 0) {
            Throw("ptsname_r");
        }
        m_slavePath = name;

        // Non-blocking so that a full slave input queue can never stall a
        // test; every wait goes through poll() with a deadline instead.
        const int flags = ::fcntl(m_master, F_GETFL);
        ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK);

        m_keptSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_keptSlave < 0) {
            Throw("open " + m_slavePath);
        }
        termios tio{};
        if (::tcgetattr(m_keptSlave, &tio) != 0) {
            Throw("tcgetattr " + m_slavePath);
        }
        ::cfmakeraw(&tio);
        if (::tcsetattr(m_keptSlave, TCSANOW, &tio) != 0) {
            Throw("tcsetattr " + m_slavePath);
        }
    }

    ~PtyPair()
    {
        CloseKeptSlave();
        CloseMaster();
    }

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int MasterFd() const { return m_master; }
    // The slave fd the pair keeps open; shares the tty (and so its termios)
    // with whatever the code under test opened, handy for reading settings
    // back. Do not read from it while the code under test reads.
    int KeptSlaveFd() const { return m_keptSlave; }

    // Writes all of `bytes` to the master, waiting at most `timeout` for room.
    // Returns false if not everything could be written in time.
    bool WriteMaster(std::span<const uint8_t> bytes,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        const auto deadline = Clock::now() + timeout;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                return false;
            }
            if (!WaitFor(POLLOUT, deadline)) {
                return false;
            }
        }
        return true;
    }

    bool WriteMaster(std::string_view text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        return WriteMaster(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                           timeout);
    }

    // Everything that arrives on the master within `timeout`, up to `max`
    // bytes. Waits the whole timeout unless `max` bytes came first, so it
    // also answers "was nothing (more) sent?".
    std::vector<uint8_t> ReadMaster(std::size_t max, std::chrono::milliseconds timeout)
    {
        return ReadUntil(max, Clock::now() + timeout);
    }

    // Returns as soon as `n` bytes have arrived; fewer if the timeout ran out.
    std::vector<uint8_t> ReadMasterExactly(std::size_t n, std::chrono::milliseconds timeout)
    {
        return ReadUntil(n, Clock::now() + timeout);
    }

    // The cable is pulled: the slave side sees a hang-up (once the kept
    // slave fd no longer matters, i.e. right away for reads and writes).
    void CloseMaster()
    {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

    void CloseKeptSlave()
    {
        if (m_keptSlave >= 0) {
            ::close(m_keptSlave);
            m_keptSlave = -1;
        }
    }

private:
    [[noreturn]] static void Throw(const std::string& what)
    {
        throw std::runtime_error("PtyPair: " + what + ": " + std::strerror(errno));
    }

    bool WaitFor(short events, Clock::time_point deadline) const
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd pfd{m_master, events, 0};
            const int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            // POLLHUP/POLLERR also end the wait; the following read or
            // write reports what happened.
            return r > 0;
        }
    }

    std::vector<uint8_t> ReadUntil(std::size_t want, Clock::time_point deadline)
    {
        std::vector<uint8_t> got;
        if (m_master < 0) {
            return got;
        }
        uint8_t chunk[4096];
        while (got.size() < want) {
            const std::size_t room = std::min(sizeof chunk, want - got.size());
            const ssize_t n = ::read(m_master, chunk, room);
            if (n > 0) {
                got.insert(got.end(), chunk, chunk + n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                break;  // EIO: every slave fd is closed
            }
            if (!WaitFor(POLLIN, deadline)) {
                break;
            }
        }
        return got;
    }

    int m_master = -1;
    int m_keptSlave = -1;
    std::string m_slavePath;
};

}  // namespace dravel::testing
