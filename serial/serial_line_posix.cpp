#include "serial/local_line.h"
#include "serial/low_latency.h"

#include "os/system_text.h"
#include "os/wake_signal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace dravel {

struct LocalLine::Native {
    int fd = -1;
    WakeSignal wake;  // Wake() makes a waiting poll() return
};

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

// Fills `cause` as LineTransport::Fail() would and returns the result.
SerialResult Failure(SerialResult result, const std::string& what, const std::string& text, std::string& cause)
{
    cause = text.empty() ? what : what + ": " + text;
    return result;
}

// The kernel's arbitrary-rate interface, for rates without a B-constant.
// On failure `cause` holds the text for LastError().
SerialResult SetArbitraryRate(int fd, const std::string& path, uint32_t baudRate, std::string& cause)
{
    const std::string what = "configure " + path + ": " + std::to_string(baudRate) + " baud";
#ifdef DRAVEL_HAVE_TERMIOS2
    KernelTermios2 tio{};
    if (::ioctl(fd, kGetTermios2, &tio) != 0) {
        const int error = errno;
        return Failure(SerialResult::Refused, what, SystemText(error), cause);
    }
    // Input speed bits cleared: the input runs at the output rate.
    tio.c_cflag &= ~(kCbaud | kCibaud);
    tio.c_cflag |= kBother;
    tio.c_ispeed = baudRate;
    tio.c_ospeed = baudRate;
    if (::ioctl(fd, kSetTermios2, &tio) != 0) {
        const int error = errno;
        return Failure(error == EIO ? SerialResult::HungUp : SerialResult::Refused, what, SystemText(error), cause);
    }
    KernelTermios2 back{};
    if (::ioctl(fd, kGetTermios2, &back) != 0) {
        const int error = errno;
        return Failure(SerialResult::Failed, what, SystemText(error), cause);
    }
    // A driver reports the rate it could make. Within 2 % both ends still
    // agree on every bit of a character; beyond that the rate did not stick.
    const auto off = back.c_ospeed > baudRate ? back.c_ospeed - baudRate : baudRate - back.c_ospeed;
    if (static_cast<uint64_t>(off) * 50 > baudRate) {
        return Failure(SerialResult::Refused,
                    what + ": the driver set " + std::to_string(back.c_ospeed) + " baud instead", {}, cause);
    }
    return SerialResult::Ok;
#else
    return Failure(SerialResult::Refused, what + ": not supported here", {}, cause);
#endif
}

// No modem-control ioctls on this kind of line (a pseudo-terminal).
bool NoModemLines(int error)
{
    return error == ENOTTY || error == EINVAL;
}

}  // namespace

namespace {

// What Open() and Probe() both find out before they would use a device. The
// descriptor is locked for this process when the result is Ok.
struct Checked {
    SerialResult result = SerialResult::Failed;
    std::string cause;  // the system's words, for "<what>: <cause>"
    std::string kind;   // for NotATerminal: what the path is instead
    int fd = -1;
};

Checked OpenChecked(const std::string& device, int access) {
    Checked checked;
    // Look before opening: opening a regular file read/write would already
    // touch it, and a FIFO could block or feed someone else's reader.
    struct stat info{};
    if (::stat(device.c_str(), &info) != 0) {
        const int error = errno;
        checked.result = (error == ENOENT || error == ENOTDIR) ? SerialResult::NoDevice : SerialResult::Failed;
        checked.cause = SystemText(error);
        return checked;
    }
    if (!S_ISCHR(info.st_mode)) {
        checked.result = SerialResult::NotATerminal;
        checked.kind = KindOfFile(info.st_mode);
        return checked;
    }
    const int fd = ::open(device.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        switch (error) {
        case EBUSY: checked.result = SerialResult::Busy; break;
        case EACCES:
        case EPERM: checked.result = SerialResult::Denied; break;
        // A serial port whose hardware is absent answers ENXIO/ENODEV/EIO.
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO: checked.result = SerialResult::NoDevice; break;
        default: checked.result = SerialResult::Failed; break;
        }
        checked.cause = SystemText(error);
        return checked;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        checked.result = SerialResult::NotATerminal;
        checked.kind = "a character device that is no tty";
        return checked;
    }
    // flock before TIOCEXCL: the exclusive flag does not stop root, the lock
    // does, and it also keeps a second open in this very process out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        checked.result = error == EWOULDBLOCK ? SerialResult::Busy : SerialResult::Failed;
        checked.cause = error == EWOULDBLOCK ? SystemText(EBUSY) : "lock: " + SystemText(error);
        return checked;
    }
    // Someone without the lock may still hold the line exclusively (as root
    // we got past that at open); taking it over would garble both sessions.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
        checked.result = SerialResult::Busy;
        checked.cause = SystemText(EBUSY);
        return checked;
    }
    checked.result = SerialResult::Ok;
    checked.fd = fd;
    return checked;
}

}  // namespace

LocalLine::LocalLine() : m_native(std::make_unique<Native>()) {}

LocalLine::~LocalLine()
{
    Close();
    CloseEvents();
}

bool LocalLine::IsOpen() const { return m_native->fd >= 0; }

intptr_t LocalLine::NativeHandle() const { return m_native->fd; }

std::string LocalDefaultDevice(int portNumber)
{
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

DeviceProbe ProbeLocalDevice(const std::string& device)
{
    // Read-only and never written to; no setting or modem line is touched.
    Checked checked = OpenChecked(device, O_RDONLY);
    if (checked.fd >= 0) {
        ::flock(checked.fd, LOCK_UN);
        ::close(checked.fd);
    }
    return {checked.result, checked.result == SerialResult::NotATerminal ? checked.kind : checked.cause};
}

SerialResult LocalLine::Open(const std::string& device)
{
    const std::string what = BeginOpen(device);
    Checked checked = OpenChecked(device, O_RDWR);
    if (checked.result == SerialResult::NotATerminal) {
        return Fail(checked.result, what + ": not a terminal (" + checked.kind + ")", {});
    }
    if (checked.result != SerialResult::Ok) return Fail(checked.result, what, checked.cause);
    const int fd = checked.fd;
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return Fail(error == EBUSY ? SerialResult::Busy : SerialResult::Failed, what, SystemText(error));
    }
    if (!CreateEvents()) {
        const int error = errno;
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return Fail(SerialResult::Failed, what + ": cannot create the line's wake event", SystemText(error));
    }
    m_native->fd = fd;
    return SerialResult::Ok;
}

SerialResult LocalLine::Configure(const LineSettings& settings)
{
    const std::string what = "configure " + m_path;
    if (m_native->fd < 0) return Fail(SerialResult::Failed, what, SystemText(EBADF));

    tcflag_t size = 0;
    switch (settings.byteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default:
        return Fail(SerialResult::Refused,
                    what + ": " + std::to_string(settings.byteSize) + " data bits are not supported", {});
    }
    tcflag_t parity = 0;
    switch (settings.parity) {
    case Parity::None: parity = 0; break;
    case Parity::Odd: parity = PARENB | PARODD; break;
    case Parity::Even: parity = PARENB; break;
    default:
        return Fail(SerialResult::Refused,
                    what + ": parity " + std::to_string(static_cast<int>(settings.parity)) + " is not supported", {});
    }
    tcflag_t stop = 0;
    switch (settings.stopBits) {
    case StopBits::One: stop = 0; break;
    case StopBits::OneAndHalf:  // exists only with five data bits; two is the nearest
    case StopBits::Two: stop = CSTOPB; break;
    default:
        return Fail(SerialResult::Refused,
                    what + ": stop bits " + std::to_string(static_cast<int>(settings.stopBits)) + " are not supported",
                    {});
    }
    if (settings.baudRate == 0) {
        // B0 would mean "hang up", not a rate.
        return Fail(SerialResult::Refused, what + ": a rate of 0 baud", {});
    }
    const std::optional<speed_t> standard = StandardRate(settings.baudRate);
#ifndef DRAVEL_HAVE_TERMIOS2
    if (!standard) {
        return Fail(SerialResult::Refused,
                    what + ": " + std::to_string(settings.baudRate) + " baud is not supported here", {});
    }
#endif

    termios tio{};
    if (::tcgetattr(m_native->fd, &tio) != 0) {
        const int error = errno;
        return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Failed, what, SystemText(error));
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
    if (::tcsetattr(m_native->fd, TCSANOW, &tio) != 0) {
        const int error = errno;
        return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Refused, what, SystemText(error));
    }

    // tcsetattr() succeeds when any part of the request was taken: read the
    // settings back and insist on the ones that matter.
    termios back{};
    if (::tcgetattr(m_native->fd, &back) != 0) {
        const int error = errno;
        return Fail(SerialResult::Failed, what, SystemText(error));
    }
    // A driver that cannot do the asked format quietly puts in one it can;
    // the device would then see garbage, so that is refused here.
    tcflag_t checked = CSTOPB | CRTSCTS | CLOCAL | CREAD;
    if (!IsPseudoTerminal(m_native->fd)) checked |= CSIZE | PARENB | PARODD;
    if ((back.c_cflag & checked) != (tio.c_cflag & checked) || back.c_cc[VMIN] != 1 ||
        back.c_cc[VTIME] != 0 || (back.c_iflag & (IXON | IXOFF | IXANY)) != 0) {
        return Fail(SerialResult::Refused, what + ": the driver did not take the character format", {});
    }
    if (standard) {
        if (::cfgetospeed(&back) != *standard || ::cfgetispeed(&back) != *standard) {
            return Fail(SerialResult::Refused,
                        what + ": the driver did not take " + std::to_string(settings.baudRate) + " baud", {});
        }
    } else {
#ifdef DRAVEL_HAVE_TERMIOS2
        std::string cause;
        const SerialResult rate = SetArbitraryRate(m_native->fd, m_path, settings.baudRate, cause);
        if (rate != SerialResult::Ok) return Fail(rate, cause, {});
#endif
    }

    Note(LineNote::Level::Trace, RequestLowLatency(m_native->fd, m_path));
    SerialResult lines = SetDtr(true);
    if (lines != SerialResult::Ok) return lines;
    return SetRts(true);
}


SerialResult LocalLine::SetModemLine(bool dtr, bool on)
{
    const int line = dtr ? TIOCM_DTR : TIOCM_RTS;
    const char* name = dtr ? "DTR" : "RTS";
    const std::string what = std::string(on ? "raise " : "lower ") + name + " on " + m_path;
    if (m_native->fd < 0) return Fail(SerialResult::Failed, what, SystemText(EBADF));
    if (!m_hasModemLines) return SerialResult::Ok;
    int bits = line;
    if (::ioctl(m_native->fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return SerialResult::Ok;
    const int error = errno;
    if (NoModemLines(error)) {
        m_hasModemLines = false;
        return SerialResult::Ok;
    }
    return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Failed, what, SystemText(error));
}

SerialResult LocalLine::SetDtr(bool on)
{
    return SetModemLine(true, on);
}

SerialResult LocalLine::SetRts(bool on)
{
    return SetModemLine(false, on);
}

SerialResult LocalLine::SetModemLines(bool dtr, bool rts)
{
    // One TIOCMSET, so that the board sees both edges at the same moment;
    // the other modem bits are read first and kept as they are.
    const std::string what = std::string("set DTR ") + (dtr ? "on" : "off") + " and RTS " + (rts ? "on" : "off") +
                             " on " + m_path;
    if (m_native->fd < 0) return Fail(SerialResult::Failed, what, SystemText(EBADF));
    if (!m_hasModemLines) return SerialResult::Ok;
    int bits = 0;
    if (::ioctl(m_native->fd, TIOCMGET, &bits) == 0) {
        bits = dtr ? (bits | TIOCM_DTR) : (bits & ~TIOCM_DTR);
        bits = rts ? (bits | TIOCM_RTS) : (bits & ~TIOCM_RTS);
        if (::ioctl(m_native->fd, TIOCMSET, &bits) == 0) return SerialResult::Ok;
    }
    const int error = errno;
    if (NoModemLines(error)) {
        m_hasModemLines = false;
        return SerialResult::Ok;
    }
    return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Failed, what, SystemText(error));
}

std::size_t LocalLine::InputWaiting()
{
    if (m_native->fd < 0) return 0;
    int waiting = 0;
    if (::ioctl(m_native->fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<std::size_t>(waiting);
}

SerialResult LocalLine::Read(std::span<uint8_t> buffer, std::size_t& count)
{
    count = 0;
    if (m_native->fd < 0) return Fail(SerialResult::Failed, "read " + m_path, SystemText(EBADF));
    if (buffer.empty()) return SerialResult::Ok;
    for (;;) {
        const ssize_t n = ::read(m_native->fd, buffer.data(), buffer.size());
        if (n > 0) {
            count = static_cast<std::size_t>(n);
            return SerialResult::Ok;
        }
        if (n == 0) {
            // With VMIN=1 a read only ends empty on a hung-up line. Before
            // Configure() (VMIN may still be 0) it can also mean "nothing
            // yet": poll tells the two apart.
            pollfd pfd{m_native->fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, 0);
            if (ready == 0 || (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0)) {
                return SerialResult::WouldBlock;
            }
            return Fail(SerialResult::HungUp, "read " + m_path + ": the line hung up", {});
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return SerialResult::WouldBlock;
        if (error == EIO) return Fail(SerialResult::HungUp, "read " + m_path, SystemText(error));
        return Fail(SerialResult::Failed, "read " + m_path, SystemText(error));
    }
}

SerialResult LocalLine::Write(std::span<const uint8_t> bytes, std::size_t& count)
{
    count = 0;
    if (m_native->fd < 0) return Fail(SerialResult::Failed, "write " + m_path, SystemText(EBADF));
    if (bytes.empty()) return SerialResult::Ok;
    for (;;) {
        const ssize_t n = ::write(m_native->fd, bytes.data(), bytes.size());
        if (n > 0) {
            count = static_cast<std::size_t>(n);
            return SerialResult::Ok;
        }
        if (n == 0) return SerialResult::WouldBlock;
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return SerialResult::WouldBlock;
        if (error == EIO || error == EPIPE) return Fail(SerialResult::HungUp, "write " + m_path, SystemText(error));
        return Fail(SerialResult::Failed, "write " + m_path, SystemText(error));
    }
}

std::size_t LocalLine::OutputPending()
{
    if (m_native->fd < 0) return 0;
    int pending = 0;
    if (::ioctl(m_native->fd, TIOCOUTQ, &pending) != 0 || pending < 0) return 0;
    return static_cast<std::size_t>(pending);
}

SerialResult LocalLine::WaitForOutput(std::chrono::milliseconds limit)
{
    // The driver tells no one when its queue runs empty: look every 2 ms,
    // which is two characters at 9600 baud.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (OutputPending() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return SerialResult::WouldBlock;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return SerialResult::Ok;
}

bool LocalLine::CreateEvents()
{
    return m_native->wake.Create();
}

void LocalLine::CloseEvents()
{
    m_native->wake.Close();
}

void LocalLine::Wake()
{
    m_native->wake.Raise();
}

SerialResult LocalLine::Wait(LineInterest interest, std::chrono::milliseconds timeout, LineEvents& events)
{
    events = {};
    const bool watchLine = m_native->fd >= 0 && (interest.input || interest.output);
    pollfd fds[2] = {
        {static_cast<int>(m_native->wake.Handle()), POLLIN, 0},
        {watchLine ? m_native->fd : -1,
         static_cast<short>((interest.input ? POLLIN : 0) | (interest.output ? POLLOUT : 0)), 0},
    };
    const int limit = timeout.count() < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeout.count(), 0x7FFFFFFF));
    const int ready = ::poll(fds, 2, limit);
    if (ready < 0) {
        const int error = errno;
        if (error == EINTR) return SerialResult::Ok;
        return Fail(SerialResult::Failed, "wait for " + m_path, SystemText(error));
    }
    if (fds[0].revents & POLLIN) {
        m_native->wake.Consume();
        events.woken = true;
    }
    // A hang-up is reported as input: the read that follows tells which.
    if (interest.input && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) events.input = true;
    if (interest.output && (fds[1].revents & POLLOUT)) events.output = true;
    return SerialResult::Ok;
}

SerialResult LocalLine::Purge()
{
    if (m_native->fd < 0) return Fail(SerialResult::Failed, "purge " + m_path, SystemText(EBADF));
    if (::tcflush(m_native->fd, TCIOFLUSH) == 0) return SerialResult::Ok;
    const int error = errno;
    return Fail(error == EIO ? SerialResult::HungUp : SerialResult::Failed, "purge " + m_path, SystemText(error));
}

SerialResult LocalLine::PurgeInput()
{
    if (m_native->fd < 0) return Fail(SerialResult::Failed, "purge", SystemText(EBADF));
    if (::tcflush(m_native->fd, TCIFLUSH) == 0) return SerialResult::Ok;
    return Fail(SerialResult::Failed, "tcflush", SystemText(errno));
}

SerialResult LocalLine::DiscardAtClose()
{
    if (m_native->fd < 0) return Fail(SerialResult::Failed, "discard", SystemText(EBADF));
    // Output is thrown away only if it is still stuck in the driver: on a
    // pseudo-terminal the driver never reports pending output, and a purge
    // there would drop bytes (the end frame) the other side has not read yet.
    const int queues = OutputPending() > 0 ? TCIOFLUSH : TCIFLUSH;
    if (::tcflush(m_native->fd, queues) == 0) return SerialResult::Ok;
    return Fail(SerialResult::Failed, "tcflush", SystemText(errno));
}

void LocalLine::Close()
{
    if (m_native->fd < 0) return;
    // HUPCL is off (a reopen must not pulse DTR), so DTR is lowered by hand.
    if (m_hasModemLines) {
        int bits = TIOCM_DTR;
        if (::ioctl(m_native->fd, TIOCMBIC, &bits) != 0 && NoModemLines(errno)) m_hasModemLines = false;
    }
    DiscardAtClose();
    // The device may stay open elsewhere (or be a pty whose master lives on):
    // do not leave it locked against everybody.
    ::ioctl(m_native->fd, TIOCNXCL);
    ::flock(m_native->fd, LOCK_UN);
    ::close(m_native->fd);
    m_native->fd = -1;
}

std::unique_ptr<LineTransport> MakeLocalLine() { return std::make_unique<LocalLine>(); }

}  // namespace dravel
