// PtyEnd: one end of the relay's cable - a pseudo-terminal whose slave side
// a peer opens through a symbolic link.
//
// What it owns: a pseudo-terminal pair, whose kept slave descriptor lets a
// peer close and reopen the slave without the master seeing a hang-up, and
// the link to its slave, made only over nothing or over a stale link into
// /dev/pts/ (a real file at that path is never replaced). The destructor
// removes the link if it still points at this end's slave.
//
// Threads: single-threaded; the relay's loop owns both ends.
// Failures: Create() returns false with the cause (system text included) in
// Error(); nothing is left behind.
#pragma once

#include <cstddef>
#include <string>

#include "tools/pty/pty.h"

namespace dravel::linesim {

class PtyEnd {
public:
    bool Create(const std::string& linkPath);
    // The cable goes: both descriptors closed, the peer sees a hang-up.
    void HangUp() { m_pair.Close(); }
    // Removes the link (if still ours) and closes everything.
    void Release();

    int MasterFd() const { return m_pair.MasterFd(); }
    // Bytes written to the master that the peer has not read yet.
    std::size_t PeerUnread() const;
    const std::string& SlavePath() const { return m_pair.SlavePath(); }
    const std::string& LinkPath() const { return m_link.Path(); }
    const std::string& Error() const { return m_error; }

private:
    pty::Pair m_pair;
    pty::Link m_link;
    std::string m_error;
};

}  // namespace dravel::linesim
