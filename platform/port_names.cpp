#include "platform/port_names.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace dravel {

std::optional<int> ParsePortName(std::string_view name)
{
    constexpr std::string_view kPrefix = "COM";
    if (!name.starts_with(kPrefix)) return std::nullopt;
    const std::string_view digits = name.substr(kPrefix.size());
    // Only the form "COM%d" writes: no sign, no leading zero, nothing after.
    if (digits.empty() || digits.front() < '1' || digits.front() > '9') return std::nullopt;
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc{} || end != digits.data() + digits.size() || number < 1) return std::nullopt;
    return number;
}

std::string ResolvePortDevice(int portNumber)
{
    if (portNumber < 1) return {};
    const std::string variable = "DRAVEL_COM" + std::to_string(portNumber);
    if (const char* device = std::getenv(variable.c_str()); device != nullptr && *device != '\0') {
        return device;
    }
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::string ResolvePortName(std::string_view name)
{
    if (const std::optional<int> number = ParsePortName(name)) return ResolvePortDevice(*number);
    return std::string(name);
}

PortProbe ProbePort(int portNumber)
{
    PortProbe probe;
    probe.device = ResolvePortDevice(portNumber);
    if (probe.device.empty()) {
        probe.availability = PortAvailability::Missing;
        probe.detail = "no port " + std::to_string(portNumber);
        return probe;
    }

    struct stat info{};
    if (::stat(probe.device.c_str(), &info) != 0) {
        const int error = errno;
        probe.availability = (error == ENOENT || error == ENOTDIR) ? PortAvailability::Missing
                                                                  : PortAvailability::Unusable;
        probe.detail = std::strerror(error);
        return probe;
    }
    if (!S_ISCHR(info.st_mode)) {
        probe.availability = PortAvailability::NotATerminal;
        probe.detail = S_ISREG(info.st_mode)   ? "a regular file"
                       : S_ISDIR(info.st_mode) ? "a directory"
                                               : "not a character device";
        return probe;
    }

    // Read-only and never written to; no setting or modem line is touched.
    const int fd = ::open(probe.device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        probe.availability = error == EBUSY    ? PortAvailability::Busy
                             : error == ENOENT ? PortAvailability::Missing
                                               : PortAvailability::Unusable;
        probe.detail = std::strerror(error);
        return probe;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        probe.availability = PortAvailability::NotATerminal;
        probe.detail = "a character device that is no tty";
        return probe;
    }
    int exclusive = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        probe.availability = error == EWOULDBLOCK ? PortAvailability::Busy : PortAvailability::Unusable;
        probe.detail = std::strerror(error == EWOULDBLOCK ? EBUSY : error);
    } else {
        ::flock(fd, LOCK_UN);
        // Held exclusively by a program that takes no lock (root gets past
        // the exclusive flag at open, so it is asked for).
        if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
            probe.availability = PortAvailability::Busy;
            probe.detail = std::strerror(EBUSY);
        } else {
            probe.availability = PortAvailability::Free;
        }
    }
    ::close(fd);
    return probe;
}

const char* ToString(PortAvailability availability)
{
    switch (availability) {
    case PortAvailability::Free: return "free";
    case PortAvailability::Missing: return "missing";
    case PortAvailability::NotATerminal: return "not a terminal";
    case PortAvailability::Busy: return "busy";
    case PortAvailability::Unusable: return "unusable";
    }
    return "unusable";
}

}  // namespace dravel
