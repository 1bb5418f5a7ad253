#include "line.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "comm/serial_line.h"
#include "tools/pty/pty.h"

namespace dravel::devsim {

bool Line::Read(std::span<uint8_t> buffer, std::size_t& count, std::string& error) {
    count = 0;
    const ssize_t got = ::read(Fd(), buffer.data(), buffer.size());
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        error = "read " + Describe() + ": " + std::strerror(errno);
        return false;
    }
    if (got == 0) {
        error = "the line hung up (" + Describe() + ")";
        return false;
    }
    count = static_cast<std::size_t>(got);
    return true;
}

bool Line::Write(std::span<const uint8_t> bytes, std::size_t& count, std::string& error) {
    count = 0;
    const ssize_t put = ::write(Fd(), bytes.data(), bytes.size());
    if (put < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        error = "write " + Describe() + ": " + std::strerror(errno);
        return false;
    }
    count = static_cast<std::size_t>(put);
    return true;
}

bool Line::OnHangUp(std::string& error) {
    error = "the line hung up or failed (" + Describe() + ")";
    return false;
}

namespace {

class PtyLink final : public Line {
public:
    ~PtyLink() override { Close(); }

    bool Open(const std::string& linkPath, std::string& error) {
        // Raw on the slave side, where the line discipline lives, or LF and
        // 0x03 would not pass unchanged; and set up like a real line.
        if (!m_pair.Open(error, CLOCAL | CREAD)) return false;
        const pty::LinkSpot spot = pty::InspectLinkSpot(linkPath);
        switch (spot.holds) {
        case pty::LinkSpot::Holds::NotALink:
            error = linkPath + " exists and is not a symbolic link; refusing to replace it";
            return false;
        case pty::LinkSpot::Holds::OtherLink:
            error = linkPath + " links to " + (spot.target.empty() ? "?" : spot.target) +
                    ", not to a pseudo-terminal; refusing to replace it";
            return false;
        case pty::LinkSpot::Holds::Unknown:
            error = "lstat " + linkPath + ": " + std::strerror(spot.error);
            return false;
        case pty::LinkSpot::Holds::Nothing:
        case pty::LinkSpot::Holds::PtyLink:
            break;
        }
        const std::string temporary = linkPath + ".devsim-" + std::to_string(::getpid()) + ".tmp";
        return m_link.Make(linkPath, m_pair.SlavePath(), temporary, error);
    }

    int Fd() const override { return m_pair.MasterFd(); }

    std::size_t Undelivered() const override {
        // Our slave descriptor shares the input queue the tool reads from.
        int waiting = 0;
        if (m_pair.KeptSlaveFd() < 0 || ::ioctl(m_pair.KeptSlaveFd(), FIONREAD, &waiting) != 0 || waiting < 0) {
            return 0;
        }
        return static_cast<std::size_t>(waiting);
    }

    bool NeedsPacing() const override { return true; }

    std::string Describe() const override { return m_link.Path() + " -> " + m_pair.SlavePath(); }

    void Close() override {
        m_link.Remove();
        m_pair.Close();
    }

private:
    pty::Pair m_pair;
    pty::Link m_link;
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
