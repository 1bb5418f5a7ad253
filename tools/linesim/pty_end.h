// PtyEnd: one end of the relay's cable - a pseudo-terminal whose slave side
// a peer opens through a symbolic link.
//
// What it owns: the master descriptor, one descriptor of the slave kept open
// by the relay itself (so the master never reports a hang-up while no peer
// has the slave open, and a peer may close and reopen it), and the link.
// The link is made atomically (a temporary name in the same folder, then
// rename) and only over nothing or over a stale link to /dev/pts/*; a real
// file at that path is never replaced. The destructor removes the link if it
// still points at this end's slave.
//
// Threads: single-threaded; the relay's loop owns both ends.
// Failures: Create() returns false with the cause (system text included) in
// Error(); nothing is left behind.
#pragma once

#include <string>

namespace dravel::linesim {

class PtyEnd {
public:
    PtyEnd() = default;
    ~PtyEnd();
    PtyEnd(const PtyEnd&) = delete;
    PtyEnd& operator=(const PtyEnd&) = delete;

    bool Create(const std::string& linkPath);
    // The cable goes: both descriptors closed, the peer sees a hang-up.
    void HangUp();
    // Removes the link (if still ours) and closes everything.
    void Release();

    int MasterFd() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }
    const std::string& LinkPath() const { return m_linkPath; }
    const std::string& Error() const { return m_error; }

private:
    bool Fail(const std::string& what, int error);
    void RemoveLink();

    int m_master = -1;
    int m_keptSlave = -1;
    std::string m_slavePath;
    std::string m_linkPath;
    bool m_linkMade = false;
    std::string m_error;
};

// True if nothing is at `path` or it is a symbolic link into /dev/pts/.
bool MayReplaceLink(const std::string& path, std::string& why);

}  // namespace dravel::linesim
