#include "pty_end.h"

#include <sys/ioctl.h>

#include <unistd.h>

#include <cstring>

namespace dravel::linesim {

std::size_t PtyEnd::PeerUnread() const {
    // What waits in the slave's input queue: the relay's own slave descriptor
    // sees the same queue the peer reads from.
    int waiting = 0;
    if (::ioctl(m_pair.KeptSlaveFd(), FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<std::size_t>(waiting);
}

bool PtyEnd::Create(const std::string& linkPath) {
    if (!m_pair.Open(m_error)) return false;
    const pty::LinkSpot spot = pty::InspectLinkSpot(linkPath);
    switch (spot.holds) {
    case pty::LinkSpot::Holds::NotALink:
        m_error = linkPath + " exists and is not a link; it is left alone";
        break;
    case pty::LinkSpot::Holds::OtherLink:
        m_error = linkPath + " is a link to '" + spot.target + "', not to a pseudo-terminal; it is left alone";
        break;
    case pty::LinkSpot::Holds::Unknown:
        m_error = linkPath + ": " + std::strerror(spot.error);
        break;
    case pty::LinkSpot::Holds::Nothing:
    case pty::LinkSpot::Holds::PtyLink:
        if (m_link.Make(linkPath, m_pair.SlavePath(), linkPath + ".linesim-" + std::to_string(::getpid()), m_error)) {
            return true;
        }
        break;
    }
    m_pair.Close();
    return false;
}

void PtyEnd::Release() {
    m_link.Remove();
    m_pair.Close();
}

}  // namespace dravel::linesim
