// Low latency through the serial driver's flags (TIOCGSERIAL/TIOCSSERIAL).

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "serial/low_latency.h"

#include "os/system_text.h"

namespace dravel {

namespace {

// The kernel's name of the tty behind a descriptor (ttyUSB0), for sysfs.
std::string KernelName(int fd)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return {};
    const std::string path(target, static_cast<std::size_t>(length));
    return path.substr(path.rfind('/') + 1);
}

std::optional<int> ReadTimer(const std::string& path)
{
    std::ifstream file(path);
    int value = 0;
    if (file >> value) return value;
    return std::nullopt;
}

}  // namespace

std::string RequestLowLatency(intptr_t handle, const std::string& device)
{
    const int fd = static_cast<int>(handle);
    std::string note;
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0) {
        const int error = errno;
        note = error == ENOTTY || error == EINVAL
                   ? "low latency: means nothing on " + device + " (no serial driver behind it, a pseudo-terminal?)"
                   : "low latency: cannot read the driver's flags of " + device + ": " + SystemText(error);
    } else if ((settings.flags & ASYNC_LOW_LATENCY) != 0) {
        note = "low latency: already on for " + device;
    } else {
        settings.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &settings) != 0) {
            note = "low latency: the driver of " + device + " refused it: " + SystemText(errno);
        } else {
            note = "low latency: on for " + device;
        }
    }
    // What an FTDI adapter made of it.
    const std::string name = KernelName(fd);
    if (!name.empty()) {
        const std::string timer = "/sys/bus/usb-serial/devices/" + name + "/latency_timer";
        if (const std::optional<int> ms = ReadTimer(timer)) {
            note += " (the adapter's latency timer: " + std::to_string(*ms) + " ms)";
        }
    }
    return note;
}

}  // namespace dravel
