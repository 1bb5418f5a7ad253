#include "host/local_state.h"

#include "os/system_text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace dravel::records {

namespace {

std::string Cause(const std::filesystem::path& path) { return path.string() + ": " + SystemText(errno); }

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// A new or renamed file is durable only once its folder's entry is.
bool SyncFolder(const std::filesystem::path& file, std::string& error) {
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = Cause(folder);
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    if (!synced) error = Cause(folder);
    ::close(fd);
    return synced;
}

bool WriteFile(const std::filesystem::path& path, int flags, std::string_view text, std::string& error) {
    const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = Cause(path);
        return false;
    }
    const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    if (!written) error = Cause(path);
    ::close(fd);
    return written;
}

}  // namespace

std::filesystem::path StateFolder() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg != '\0') {
        const std::filesystem::path base(xdg);
        if (base.is_absolute()) return base / "dravel";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::filesystem::path(home) / ".local" / "state" / "dravel";
    }
    return {};
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

std::unique_ptr<FileLock> FileLock::TryLock(const std::filesystem::path& path, std::string& error) {
    error.clear();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = Cause(path);
        return nullptr;
    }
    // flock, not fcntl: its locks belong to the open file, so a second open
    // in this same process is refused too.
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) error = Cause(path);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FileLock>(new FileLock(fd));
}

FileLock::~FileLock() { ::close(static_cast<int>(m_handle)); }

bool AppendDurably(const std::filesystem::path& path, std::string_view text, std::string& error) {
    return WriteFile(path, O_APPEND, text, error) && SyncFolder(path, error);
}

bool ReplaceDurably(const std::filesystem::path& path, std::string_view text, std::string& error) {
    std::filesystem::path temporary = path;
    temporary += ".new";
    if (!WriteFile(temporary, O_TRUNC, text, error)) return false;
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = Cause(path);
        ::unlink(temporary.c_str());
        return false;
    }
    return SyncFolder(path, error);
}

}  // namespace dravel::records
