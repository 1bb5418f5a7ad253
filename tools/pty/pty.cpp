#include "tools/pty/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dravel::pty {

namespace {

std::string SystemError(const std::string& what, int code) { return what + ": " + std::strerror(code); }

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string ReadLink(const std::string& path) {
    std::array<char, 4096> target{};
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
    if (length < 0) return {};
    return std::string(target.data(), static_cast<std::size_t>(length));
}

bool MakeRaw(int fd, tcflag_t control, const std::string& name, std::string& error) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        error = SystemError("tcgetattr " + name, errno);
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= control;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        error = SystemError("tcsetattr " + name, errno);
        return false;
    }
    return true;
}

// POLLHUP or POLLERR without the event asked for: the other side is gone.
IoEnd Await(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return IoEnd::TimedOut;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return IoEnd::Failed;
        if (ready == 0) return IoEnd::TimedOut;
        if ((entry.revents & (POLLHUP | POLLERR)) && !(entry.revents & events)) return IoEnd::HungUp;
        return IoEnd::Done;
    }
}

}  // namespace

bool Pair::Open(std::string& error, tcflag_t control) {
    Close();
    const auto fail = [&](const std::string& what, int code) {
        error = SystemError(what, code);
        Close();
        return false;
    };
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) return fail("posix_openpt", errno);
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return fail("grantpt/unlockpt", errno);
    std::array<char, 128> name{};
    if (::ptsname_r(m_master, name.data(), name.size()) != 0) return fail("ptsname", errno);
    m_slavePath = name.data();
    m_keptSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_keptSlave < 0) return fail("open " + m_slavePath, errno);
    if (!MakeRaw(m_keptSlave, control, m_slavePath, error)) {
        Close();
        return false;
    }
    const int flags = ::fcntl(m_master, F_GETFL);
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl", errno);
    return true;
}

void Pair::CloseMaster() { CloseFd(m_master); }

void Pair::CloseKeptSlave() { CloseFd(m_keptSlave); }

void Pair::Close() {
    CloseMaster();
    CloseKeptSlave();
}

LinkSpot InspectLinkSpot(const std::string& path) {
    LinkSpot spot;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            spot.holds = LinkSpot::Holds::Unknown;
            spot.error = errno;
        }
        return spot;
    }
    if (!S_ISLNK(info.st_mode)) {
        spot.holds = LinkSpot::Holds::NotALink;
        return spot;
    }
    spot.target = ReadLink(path);
    spot.holds = spot.target.starts_with("/dev/pts/") ? LinkSpot::Holds::PtyLink : LinkSpot::Holds::OtherLink;
    return spot;
}

bool Link::Make(const std::string& path, const std::string& target, const std::string& temporary,
                std::string& error) {
    Remove();
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) {
        error = SystemError("symlink " + temporary, errno);
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = SystemError("rename " + temporary + " to " + path, errno);
        ::unlink(temporary.c_str());
        return false;
    }
    m_path = path;
    m_target = target;
    m_made = true;
    return true;
}

void Link::Remove() {
    if (!m_made) return;
    m_made = false;
    if (ReadLink(m_path) == m_target) ::unlink(m_path.c_str());
}

int OpenRaw(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = SystemError("open " + path, errno);
        return -1;
    }
    if (!MakeRaw(fd, 0, path, error)) CloseFd(fd);
    return fd;
}

IoEnd WriteAll(int fd, std::string_view bytes, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN) return IoEnd::Failed;
        if (const IoEnd waited = Await(fd, POLLOUT, deadline); waited != IoEnd::Done) return waited;
    }
    return IoEnd::Done;
}

IoEnd ReadUpTo(int fd, std::string& into, std::size_t want, Clock::time_point deadline) {
    std::array<char, 4096> chunk{};
    for (std::size_t got = 0; got < want;) {
        const ssize_t count = ::read(fd, chunk.data(), std::min(chunk.size(), want - got));
        if (count > 0) {
            into.append(chunk.data(), static_cast<std::size_t>(count));
            got += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        // End of file, or EIO on a pseudo-terminal whose other side is closed.
        if (count == 0 || errno != EAGAIN) return IoEnd::HungUp;
        if (const IoEnd waited = Await(fd, POLLIN, deadline); waited != IoEnd::Done) return waited;
    }
    return IoEnd::Done;
}

}  // namespace dravel::pty
