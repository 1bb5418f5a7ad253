#include "serial/port_holder.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>

namespace dravel {

namespace {

// The programs known to open new serial adapters on their own.
constexpr const char* kKnownProbers[] = {"ModemManager", "brltty"};

std::string ReadSmallFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string CommandOf(int pid)
{
    std::string name = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    return name.empty() ? std::string("pid ") + std::to_string(pid) : name;
}

std::optional<int> PidOf(const char* name)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(name, &end, 10);
    if (errno != 0 || end == name || *end != '\0' || value <= 0 || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

std::vector<int> Processes()
{
    std::vector<int> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (const dirent* entry = ::readdir(proc)) {
        if (const auto pid = PidOf(entry->d_name)) pids.push_back(*pid);
    }
    ::closedir(proc);
    return pids;
}

std::string RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

struct Target {
    std::string path;
    struct stat info {};
    bool device = false;  // a character device: compare device numbers
};

// Whether the open file behind /proc/PID/fd/N is the target. `hidden` is
// set when the process's files may not be looked at.
bool HoldsOpen(int pid, const Target& target, bool& hidden)
{
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(folder.c_str());
    if (fds == nullptr) {
        if (errno == EACCES || errno == EPERM) hidden = true;
        return false;
    }
    bool holds = false;
    while (const dirent* entry = ::readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        const std::string link = folder + "/" + entry->d_name;
        struct stat info {};
        if (target.device && ::stat(link.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == target.info.st_rdev) {
            holds = true;
            break;
        }
        char name[PATH_MAX];
        const ssize_t length = ::readlink(link.c_str(), name, sizeof name - 1);
        if (length > 0 && std::string_view(name, static_cast<std::size_t>(length)) == target.path) {
            holds = true;
            break;
        }
    }
    ::closedir(fds);
    return holds;
}

}  // namespace

std::vector<PortHolder> FindPortHolders(const std::string& device)
{
    Target target;
    target.path = RealPath(device);
    // Nothing there (a network port, a device unplugged): nobody holds it.
    if (::stat(target.path.c_str(), &target.info) != 0) return {};
    target.device = S_ISCHR(target.info.st_mode);

    std::set<int> holding;
    for (const int pid : LockHolders(ReadSmallFile("/proc/locks"), major(target.info.st_dev), minor(target.info.st_dev),
                                     target.info.st_ino)) {
        holding.insert(pid);
    }
    bool hidden = false;
    const std::vector<int> processes = Processes();
    for (const int pid : processes) {
        if (HoldsOpen(pid, target, hidden)) holding.insert(pid);
    }
    holding.erase(static_cast<int>(::getpid()));

    std::vector<PortHolder> holders;
    for (const int pid : holding) holders.push_back({pid, CommandOf(pid), true});
    if (holders.empty() && hidden) {
        for (const int pid : processes) {
            const std::string command = CommandOf(pid);
            for (const char* prober : kKnownProbers) {
                if (command == prober) holders.push_back({pid, command, false});
            }
        }
    }
    return holders;
}

std::string PermissionFix(const std::string& device)
{
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return {};
    // Only a group that may both read and write is worth joining.
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || info.st_gid == 0) return {};
    std::vector<char> buffer(16384);
    group entry {};
    group* found = nullptr;
    if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
    const std::string name = found->gr_name;
    return "sudo usermod -aG " + name + " $USER, then log in again";
}

}  // namespace dravel
