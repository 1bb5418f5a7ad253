// Pseudo-terminals for the simulated cable: a pair that stands in for a
// serial line, the symbolic link a peer finds the slave by, and a peer's raw
// end of a terminal with reads and writes that keep to a deadline.
//
// What it owns: a Pair owns its master descriptor and one descriptor of its
// slave, kept open for the pair's whole life, so the master never sees a
// hang-up while no peer has the slave open and the slave's settings survive a
// peer closing and reopening it. The line discipline lives on the slave side
// and is made raw there, so every byte value (LF, CR, 0x03, 0xFF) crosses
// unchanged and nothing is echoed. A Link owns a symbolic link it made and
// removes it only while it still points where it was made to point. The free
// functions own nothing; the caller owns the descriptor.
//
// Threads: nothing here starts a thread. A Pair or a Link belongs to one
// thread. The reads and writes may run on two threads at once on one
// descriptor, one reading and one writing.
//
// Failures: nothing throws. Open(), Make() and OpenRaw() give the system's
// reason in `error` and leave nothing open or made behind them. A read or a
// write never waits beyond its deadline and says how it ended.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace dravel::pty {

using Clock = std::chrono::steady_clock;

class Pair {
public:
    Pair() = default;
    ~Pair() { Close(); }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;

    // A new pseudo-terminal: the master non-blocking, the slave raw plus
    // `control` (c_cflag bits a real line would have, such as CLOCAL).
    bool Open(std::string& error, tcflag_t control = 0);

    int MasterFd() const { return m_master; }
    // Shares the slave's settings with every peer that opens SlavePath().
    int KeptSlaveFd() const { return m_keptSlave; }
    const std::string& SlavePath() const { return m_slavePath; }

    void CloseMaster();
    void CloseKeptSlave();
    // The cable goes: a peer on the slave sees a hang-up.
    void Close();

private:
    int m_master = -1;
    int m_keptSlave = -1;
    std::string m_slavePath;
};

// What stands at a path where a link to a slave is to go. Only nothing or a
// link into /dev/pts/ - most likely left by a run that was killed - may be
// replaced; anything else belongs to someone else.
struct LinkSpot {
    enum class Holds { Nothing, PtyLink, NotALink, OtherLink, Unknown };
    Holds holds = Holds::Nothing;
    std::string target;  // where a link there points; empty if unreadable
    int error = 0;       // Unknown: why lstat() failed
};
LinkSpot InspectLinkSpot(const std::string& path);

class Link {
public:
    Link() = default;
    ~Link() { Remove(); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Points `path` at `target` in one step: a link at `temporary` (in the
    // same folder) renamed over it, so a peer never finds a half-made link.
    // It replaces whatever is there: ask InspectLinkSpot() first.
    bool Make(const std::string& path, const std::string& target, const std::string& temporary, std::string& error);
    // Someone may have put their own link there since; that one stays.
    void Remove();

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_target;
    bool m_made = false;
};

// A terminal device opened for reading and writing, raw, non-blocking and
// not as the controlling terminal; -1 with the reason in `error`.
int OpenRaw(const std::string& path, std::string& error);

enum class IoEnd { Done, TimedOut, HungUp, Failed };

// Writes all of `bytes`, waiting for room until `deadline`.
IoEnd WriteAll(int fd, std::string_view bytes, Clock::time_point deadline);
// Appends up to `want` bytes to `into`; returns once they are all there, at
// the deadline, or when the other side has gone.
IoEnd ReadUpTo(int fd, std::string& into, std::size_t want, Clock::time_point deadline);

}  // namespace dravel::pty
