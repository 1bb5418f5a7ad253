#include "pty_end.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace dravel::linesim {

namespace {

std::string ReadLink(const std::string& path) {
    std::vector<char> target(4096);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
    if (length < 0) return {};
    return std::string(target.data(), static_cast<std::size_t>(length));
}

}  // namespace

bool MayReplaceLink(const std::string& path, std::string& why) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return true;
        why = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISLNK(info.st_mode)) {
        why = path + " exists and is not a link; it is left alone";
        return false;
    }
    const std::string target = ReadLink(path);
    if (target.rfind("/dev/pts/", 0) != 0) {
        why = path + " is a link to '" + target + "', not to a pseudo-terminal; it is left alone";
        return false;
    }
    return true;
}

PtyEnd::~PtyEnd() { Release(); }

bool PtyEnd::Fail(const std::string& what, int error) {
    m_error = what + (error ? std::string(": ") + std::strerror(error) : std::string());
    Release();
    return false;
}

bool PtyEnd::Create(const std::string& linkPath) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) return Fail("posix_openpt", errno);
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return Fail("grantpt/unlockpt", errno);
    char name[128] = {};
    if (::ptsname_r(m_master, name, sizeof name) != 0) return Fail("ptsname", errno);
    m_slavePath = name;
    m_keptSlave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_keptSlave < 0) return Fail("open " + m_slavePath, errno);

    // The line discipline sits on the slave side: raw there, so every byte
    // value (CR, LF, ^C, ^S, 0xFF) crosses unchanged and nothing is echoed.
    termios settings{};
    if (::tcgetattr(m_keptSlave, &settings) != 0) return Fail("tcgetattr " + m_slavePath, errno);
    ::cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(m_keptSlave, TCSANOW, &settings) != 0) return Fail("tcsetattr " + m_slavePath, errno);

    const int flags = ::fcntl(m_master, F_GETFL);
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) return Fail("fcntl", errno);

    std::string why;
    if (!MayReplaceLink(linkPath, why)) return Fail(why, 0);
    const std::string temporary = linkPath + ".linesim-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(m_slavePath.c_str(), temporary.c_str()) != 0) return Fail("symlink " + temporary, errno);
    if (::rename(temporary.c_str(), linkPath.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return Fail("rename " + temporary + " to " + linkPath, error);
    }
    m_linkPath = linkPath;
    m_linkMade = true;
    return true;
}

void PtyEnd::RemoveLink() {
    if (!m_linkMade) return;
    m_linkMade = false;
    // Someone may have put their own link there meanwhile; leave theirs.
    if (ReadLink(m_linkPath) == m_slavePath) ::unlink(m_linkPath.c_str());
}

void PtyEnd::HangUp() {
    if (m_master >= 0) ::close(m_master);
    if (m_keptSlave >= 0) ::close(m_keptSlave);
    m_master = -1;
    m_keptSlave = -1;
}

void PtyEnd::Release() {
    RemoveLink();
    HangUp();
}

}  // namespace dravel::linesim
