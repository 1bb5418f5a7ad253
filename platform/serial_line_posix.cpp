#include "platform/serial_line.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace dravel {

namespace {

// The kernel's arbitrary-rate interface (struct termios2 with BOTHER). Its
// header, <asm/termbits.h>, redefines what <termios.h> defines, so the one
// structure and the few constants needed are described here instead, with
// the ioctl numbers built from that description. The layout is the generic
// one (x86, Arm, RISC-V); architectures with their own termios layout get no
// arbitrary rates rather than a wrong ioctl.
#if defined(__linux__) && !defined(__powerpc__) && !defined(__alpha__) && !defined(__mips__) && \
    !defined(__sparc__)
#define DRAVEL_HAVE_TERMIOS2 1
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44, "struct termios2 layout");

constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t kCbaud = 0010017;
constexpr tcflag_t kBother = 0010000;
constexpr tcflag_t kCibaud = 002003600000;
#endif

std::optional<speed_t> StandardRate(uint32_t rate)
{
    switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return std::nullopt;
    }
}

const char* KindOfFile(mode_t mode)
{
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISBLK(mode)) return "a block device";
    return "not a character device";
}

// Pseudo-terminal slaves (Unix98 and the old BSD kind). Their driver forces
// eight bits without parity whatever is asked: there is no wire to frame.
bool IsPseudoTerminal(int fd)
{
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    const unsigned int major = ::major(info.st_rdev);
    return (major >= 136 && major <= 143) || major == 3;
}

// No modem-control ioctls on this kind of line (a pseudo-terminal).
bool NoModemLines(int error)
{
    return error == ENOTTY || error == EINVAL;
}

}  // namespace

const char* ToString(SerialResult result)
{
    switch (result) {
    case SerialResult::Ok: return "ok";
    case SerialResult::NoDevice: return "no such device";
    case SerialResult::NotATerminal: return "not a terminal";
    case SerialResult::Busy: return "busy";
    case SerialResult::Refused: return "settings refused";
    case SerialResult::WouldBlock: return "would block";
    case SerialResult::HungUp: return "hung up";
    case SerialResult::Failed: return "failed";
    }
    return "unknown";
}

SerialLine::~SerialLine()
{
    Close();
}

std::string SerialLine::LastError() const
{
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

SerialResult SerialLine::Fail(SerialResult result, const std::string& what, int error)
{
    std::string text = what;
    if (error != 0) {
        text += ": ";
        text += std::strerror(error);
    }
    std::lock_guard lock(m_errorMutex);
    m_lastError = std::move(text);
    return result;
}

SerialResult SerialLine::Open(const std::string& devicePath)
{
    Close();
    m_path = devicePath;
    m_hasModemLines = true;
    {
        std::lock_guard lock(m_errorMutex);
        m_lastError.clear();
    }
    const std::string what = "open " + devicePath;

    // Look before opening: opening a regular file read/write would already
    // touch it, and a FIFO could block or feed someone else's reader.
    struct stat info{};
    if (::stat(devicePath.c_str(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return Fail(SerialResult::NoDevice, what, error);
        return Fail(SerialResult::Failed, what, error);
    }
    if (!S_ISCHR(info.st_mode)) {
        return Fail(SerialResult::NotATerminal,
                    what + ": not a terminal (" + KindOfFile(info.st_mode) + ")", 0);
    }

    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        switch (error) {
        case EBUSY: return Fail(SerialResult::Busy, what, error);
        // A serial port whose hardware is absent answers ENXIO/ENODEV/EIO.
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO: return Fail(SerialResult::NoDevice, what, error);
        default: return Fail(SerialResult::Failed, what, error);
        }
    }
    if (!::isatty(fd)) {
        ::close(fd);
        return Fail(SerialResult::NotATerminal, what + ": not a terminal (a character device that is no tty)", 0);
    }
    // flock before TIOCEXCL: the exclusive flag does not stop root, the lock
    // does, and it also keeps a second open in this very process out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return Fail(SerialResult::Busy, what, EBUSY);
        return Fail(SerialResult::Failed, what + ": lock", error);
    }
    // Someone without the lock may still hold the line exclusively (as root
    // we got past that at open); taking it over would garble both sessions.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return Fail(SerialResult::Busy, what, EBUSY);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return Fail(error == EBUSY ? SerialResult::Busy : SerialResult::Failed, what, error);
    }
    m_fd = fd;
    return SerialResult::Ok;
}

SerialResult SerialLine::Configure(const LineSettings& settings)
{
    const std::string what = "configure " + m_path;
    if (m_fd < 0) return Fail(SerialResult::Failed, what, EBADF);

    tcflag_t size = 0;
    switch (settings.byteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default:
        return Fail(SerialResult::Refused,
                    what + ": " + std::to_string(settings.byteSize) + " data bits are not supported", 0);
    }
    tcflag_t parity = 0;
    switch (settings.parity) {
    case 0: parity = 0; break;
    case 1: parity = PARENB | PARODD; break;
    case 2: parity = PARENB; break;
    default:
        return Fail(SerialResult::Refused,
                    what + ": parity " + std::to_string(settings.parity) + " is not supported", 0);
    }
    tcflag_t stop = 0;
    switch (settings.stopBits) {
    case 0: stop = 0; break;
    case 1:  // one and a half exists only with five data bits; two is the nearest
    case 2: stop = CSTOPB; break;
    default:
        return Fail(SerialResult::Refused,
                    what + ": stop bits " + std::to_string(settings.stopBits) + " are not supported", 0);
    }
    if (settings.baudRate == 0) {
        // B0 would mean "hang up", not a rate.
        return Fail(SerialResult::Refused, what + ": a rate of 0 baud", 0);
    }
    const std::optional<speed_t> standard = StandardRate(settings.baudRate);
#ifndef DRAVEL_HAVE_TERMIOS2
    if (!standard) {
        return Fail(SerialResult::Refused,
                    what + ": " + std::to_string(settings.baudRate) + " baud is not supported here", 0);
    }
#endif

    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0) {
        const int error = errno;
        return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Failed, what, error);
    }
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CLOCAL | CREAD | size | parity | stop;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (standard) {
        ::cfsetispeed(&tio, *standard);
        ::cfsetospeed(&tio, *standard);
    }
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        const int error = errno;
        return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Refused, what, error);
    }

    // tcsetattr() succeeds when any part of the request was taken: read the
    // settings back and insist on the ones that matter.
    termios back{};
    if (::tcgetattr(m_fd, &back) != 0) {
        const int error = errno;
        return Fail(SerialResult::Failed, what, error);
    }
    // A driver that cannot do the asked format quietly puts in one it can;
    // the device would then see garbage, so that is refused here.
    tcflag_t checked = CSTOPB | CRTSCTS | CLOCAL | CREAD;
    if (!IsPseudoTerminal(m_fd)) checked |= CSIZE | PARENB | PARODD;
    if ((back.c_cflag & checked) != (tio.c_cflag & checked) || back.c_cc[VMIN] != 1 ||
        back.c_cc[VTIME] != 0 || (back.c_iflag & (IXON | IXOFF | IXANY)) != 0) {
        return Fail(SerialResult::Refused, what + ": the driver did not take the character format", 0);
    }
    if (standard) {
        if (::cfgetospeed(&back) != *standard || ::cfgetispeed(&back) != *standard) {
            return Fail(SerialResult::Refused,
                        what + ": the driver did not take " + std::to_string(settings.baudRate) + " baud", 0);
        }
    } else {
#ifdef DRAVEL_HAVE_TERMIOS2
        const SerialResult rate = SetArbitraryRate(settings.baudRate);
        if (rate != SerialResult::Ok) return rate;
#endif
    }

    SerialResult lines = SetDtr(true);
    if (lines != SerialResult::Ok) return lines;
    return SetRts(true);
}

SerialResult SerialLine::SetArbitraryRate(uint32_t baudRate)
{
    const std::string what = "configure " + m_path + ": " + std::to_string(baudRate) + " baud";
#ifdef DRAVEL_HAVE_TERMIOS2
    KernelTermios2 tio{};
    if (::ioctl(m_fd, kGetTermios2, &tio) != 0) {
        const int error = errno;
        return Fail(SerialResult::Refused, what, error);
    }
    // Input speed bits cleared: the input runs at the output rate.
    tio.c_cflag &= ~(kCbaud | kCibaud);
    tio.c_cflag |= kBother;
    tio.c_ispeed = baudRate;
    tio.c_ospeed = baudRate;
    if (::ioctl(m_fd, kSetTermios2, &tio) != 0) {
        const int error = errno;
        return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Refused, what, error);
    }
    KernelTermios2 back{};
    if (::ioctl(m_fd, kGetTermios2, &back) != 0) {
        const int error = errno;
        return Fail(SerialResult::Failed, what, error);
    }
    // A driver reports the rate it could make. Within 2 % both ends still
    // agree on every bit of a character; beyond that the rate did not stick.
    const auto off = back.c_ospeed > baudRate ? back.c_ospeed - baudRate : baudRate - back.c_ospeed;
    if (static_cast<uint64_t>(off) * 50 > baudRate) {
        return Fail(SerialResult::Refused,
                    what + ": the driver set " + std::to_string(back.c_ospeed) + " baud instead", 0);
    }
    return SerialResult::Ok;
#else
    return Fail(SerialResult::Refused, what + ": not supported here", 0);
#endif
}

SerialResult SerialLine::SetModemLine(int line, bool on)
{
    const char* name = line == TIOCM_DTR ? "DTR" : "RTS";
    const std::string what = std::string(on ? "raise " : "lower ") + name + " on " + m_path;
    if (m_fd < 0) return Fail(SerialResult::Failed, what, EBADF);
    if (!m_hasModemLines) return SerialResult::Ok;
    int bits = line;
    if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return SerialResult::Ok;
    const int error = errno;
    if (NoModemLines(error)) {
        m_hasModemLines = false;
        return SerialResult::Ok;
    }
    return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Failed, what, error);
}

SerialResult SerialLine::SetDtr(bool on)
{
    return SetModemLine(TIOCM_DTR, on);
}

SerialResult SerialLine::SetRts(bool on)
{
    return SetModemLine(TIOCM_RTS, on);
}

std::size_t SerialLine::InputWaiting()
{
    if (m_fd < 0) return 0;
    int waiting = 0;
    if (::ioctl(m_fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<std::size_t>(waiting);
}

SerialResult SerialLine::Read(std::span<uint8_t> buffer, std::size_t& count)
{
    count = 0;
    if (m_fd < 0) return Fail(SerialResult::Failed, "read " + m_path, EBADF);
    if (buffer.empty()) return SerialResult::Ok;
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
        if (n > 0) {
            count = static_cast<std::size_t>(n);
            return SerialResult::Ok;
        }
        if (n == 0) {
            // With VMIN=1 a read only ends empty on a hung-up line. Before
            // Configure() (VMIN may still be 0) it can also mean "nothing
            // yet": poll tells the two apart.
            pollfd pfd{m_fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, 0);
            if (ready == 0 || (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0)) {
                return SerialResult::WouldBlock;
            }
            return Fail(SerialResult::HungUp, "read " + m_path + ": the line hung up", 0);
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return SerialResult::WouldBlock;
        if (error == EIO) return Fail(SerialResult::HungUp, "read " + m_path, error);
        return Fail(SerialResult::Failed, "read " + m_path, error);
    }
}

SerialResult SerialLine::Write(std::span<const uint8_t> bytes, std::size_t& count)
{
    count = 0;
    if (m_fd < 0) return Fail(SerialResult::Failed, "write " + m_path, EBADF);
    if (bytes.empty()) return SerialResult::Ok;
    for (;;) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n > 0) {
            count = static_cast<std::size_t>(n);
            return SerialResult::Ok;
        }
        if (n == 0) return SerialResult::WouldBlock;
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return SerialResult::WouldBlock;
        if (error == EIO || error == EPIPE) return Fail(SerialResult::HungUp, "write " + m_path, error);
        return Fail(SerialResult::Failed, "write " + m_path, error);
    }
}

std::size_t SerialLine::OutputPending()
{
    if (m_fd < 0) return 0;
    int pending = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &pending) != 0 || pending < 0) return 0;
    return static_cast<std::size_t>(pending);
}

SerialResult SerialLine::Purge()
{
    if (m_fd < 0) return Fail(SerialResult::Failed, "purge " + m_path, EBADF);
    if (::tcflush(m_fd, TCIOFLUSH) == 0) return SerialResult::Ok;
    const int error = errno;
    return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Failed, "purge " + m_path, error);
}

SerialResult SerialLine::PurgeInput()
{
    if (m_fd < 0) return Fail(SerialResult::Failed, "purge", EBADF);
    if (::tcflush(m_fd, TCIFLUSH) == 0) return SerialResult::Ok;
    return Fail(SerialResult::Failed, "tcflush", errno);
}

SerialResult SerialLine::DiscardAtClose()
{
    if (m_fd < 0) return Fail(SerialResult::Failed, "discard", EBADF);
    // Output is thrown away only if it is still stuck in the driver: on a
    // pseudo-terminal the driver never reports pending output, and a purge
    // there would drop bytes (the end frame) the other side has not read yet.
    const int queues = OutputPending() > 0 ? TCIOFLUSH : TCIFLUSH;
    if (::tcflush(m_fd, queues) == 0) return SerialResult::Ok;
    return Fail(SerialResult::Failed, "tcflush", errno);
}

void SerialLine::Close()
{
    if (m_fd < 0) return;
    // HUPCL is off (a reopen must not pulse DTR), so DTR is lowered by hand.
    if (m_hasModemLines) {
        int bits = TIOCM_DTR;
        if (::ioctl(m_fd, TIOCMBIC, &bits) != 0 && NoModemLines(errno)) m_hasModemLines = false;
    }
    DiscardAtClose();
    // The device may stay open elsewhere (or be a pty whose master lives on):
    // do not leave it locked against everybody.
    ::ioctl(m_fd, TIOCNXCL);
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace dravel
