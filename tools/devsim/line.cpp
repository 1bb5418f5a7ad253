#include "line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/serial_line.h"

namespace dravel::devsim {

namespace {

std::string SystemError(const std::string& what, int code) { return what + ": " + std::strerror(code); }

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::optional<std::string> ReadLink(const std::string& path) {
    std::array<char, 4096> target{};
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size() - 1);
    if (n < 0) return std::nullopt;
    return std::string(target.data(), static_cast<std::size_t>(n));
}

class PtyLink final : public Line {
public:
    ~PtyLink() override { Close(); }

    bool Open(const std::string& linkPath, std::string& error) {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0) {
            error = SystemError("posix_openpt", errno);
            return false;
        }
        std::array<char, 128> name{};
        if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
            ::ptsname_r(m_master, name.data(), name.size()) != 0) {
            error = SystemError("preparing the pseudo-terminal", errno);
            return false;
        }
        m_slaveName = name.data();
        m_slave = ::open(m_slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_slave < 0) {
            error = SystemError("open " + m_slaveName, errno);
            return false;
        }
        // The line discipline lives on the slave side: raw there, or LF and
        // 0x03 would not pass unchanged.
        termios settings{};
        if (::tcgetattr(m_slave, &settings) != 0) {
            error = SystemError("tcgetattr " + m_slaveName, errno);
            return false;
        }
        ::cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
        if (::tcsetattr(m_slave, TCSANOW, &settings) != 0) {
            error = SystemError("tcsetattr " + m_slaveName, errno);
            return false;
        }
        const int flags = ::fcntl(m_master, F_GETFL);
        if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) {
            error = SystemError("fcntl", errno);
            return false;
        }
        return PlaceLink(linkPath, error);
    }

    int Fd() const override { return m_master; }

    std::size_t Undelivered() const override {
        // Our slave descriptor shares the input queue the tool reads from.
        int waiting = 0;
        if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
        return static_cast<std::size_t>(waiting);
    }

    bool NeedsPacing() const override { return true; }

    std::string Describe() const override { return m_linkPath + " -> " + m_slaveName; }

    void Close() override {
        if (m_linked) {
            // Someone may have put their own link there since; leave that alone.
            if (ReadLink(m_linkPath) == m_slaveName) ::unlink(m_linkPath.c_str());
            m_linked = false;
        }
        CloseFd(m_master);
        CloseFd(m_slave);
    }

private:
    bool PlaceLink(const std::string& linkPath, std::string& error) {
        struct stat existing {};
        if (::lstat(linkPath.c_str(), &existing) == 0) {
            if (!S_ISLNK(existing.st_mode)) {
                error = linkPath + " exists and is not a symbolic link; refusing to replace it";
                return false;
            }
            const auto target = ReadLink(linkPath);
            if (!target || !target->starts_with("/dev/pts/")) {
                error = linkPath + " links to " + target.value_or("?") +
                        ", not to a pseudo-terminal; refusing to replace it";
                return false;
            }
        } else if (errno != ENOENT) {
            error = SystemError("lstat " + linkPath, errno);
            return false;
        }
        const std::string temporary = linkPath + ".devsim-" + std::to_string(::getpid()) + ".tmp";
        ::unlink(temporary.c_str());
        if (::symlink(m_slaveName.c_str(), temporary.c_str()) != 0) {
            error = SystemError("symlink " + temporary, errno);
            return false;
        }
        if (::rename(temporary.c_str(), linkPath.c_str()) != 0) {
            error = SystemError("rename " + temporary + " to " + linkPath, errno);
            ::unlink(temporary.c_str());
            return false;
        }
        m_linkPath = linkPath;
        m_linked = true;
        return true;
    }

    int m_master = -1;
    int m_slave = -1;
    std::string m_slaveName;
    std::string m_linkPath;
    bool m_linked = false;
};

class TtyLine final : public Line {
public:
    ~TtyLine() override { Close(); }

    bool Open(const std::string& device, uint32_t baud, std::string& error) {
        m_device = device;
        LineSettings settings;
        settings.baudRate = baud;
        if (m_line.Open(device) != SerialResult::Ok || m_line.Configure(settings) != SerialResult::Ok) {
            error = m_line.LastError();
            return false;
        }
        m_line.Purge();
        return true;
    }

    int Fd() const override { return static_cast<int>(m_line.NativeHandle()); }

    std::size_t Undelivered() const override { return m_line.OutputPending(); }

    bool NeedsPacing() const override { return false; }

    std::string Describe() const override { return m_device; }

    void Close() override { m_line.Close(); }

private:
    // The same exclusive open and raw set-up as the tool's own side of a line.
    mutable SerialLine m_line;
    std::string m_device;
};

}  // namespace

std::unique_ptr<Line> OpenPtyLink(const std::string& linkPath, std::string& error) {
    auto line = std::make_unique<PtyLink>();
    if (!line->Open(linkPath, error)) return nullptr;
    return line;
}

std::unique_ptr<Line> OpenTty(const std::string& device, uint32_t baud, std::string& error) {
    auto line = std::make_unique<TtyLine>();
    if (!line->Open(device, baud, error)) return nullptr;
    return line;
}

}  // namespace dravel::devsim
