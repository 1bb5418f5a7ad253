#include "host/child_process.h"

#include "os/system_text.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace dravel {

struct ChildProcess::Native {
    std::mutex mutex;  // Interrupt() on one thread, Wait() on another
    pid_t pid = -1;
    int exitStatus = -1;  // guarded by mutex; set once the child is reaped
    std::thread readers[2];
};

namespace {

// Reads the pipe to its end, one line at a time (a last line without its
// line feed counts too).
void ReadLines(int fd, ChildStream stream, const ChildProcess::LineHandler& onLine) {
    std::string pending;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        pending.append(buffer.data(), static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            onLine(stream, pending.substr(start, end - start));
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) onLine(stream, pending);
    ::close(fd);
}

}  // namespace

ChildProcess::ChildProcess() : m_native(std::make_unique<Native>()) {}

ChildProcess::~ChildProcess() {
    bool running = false;
    {
        std::lock_guard lock(m_native->mutex);
        running = m_native->pid > 0 && m_native->exitStatus < 0;
        if (running) ::kill(m_native->pid, SIGKILL);
    }
    if (running) Wait();
    for (auto& reader : m_native->readers) {
        if (reader.joinable()) reader.join();
    }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments, LineHandler onLine,
                         std::string& error) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + SystemText(errno);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) ::close(fd);
        }
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own: the terminal's Ctrl+C goes to the parent only. The
    // parent blocks its interrupts for its watcher; the child starts with
    // them unblocked and with their default actions.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        error = program + ": " + SystemText(spawned);
        return false;
    }
    {
        std::lock_guard lock(m_native->mutex);
        m_native->pid = pid;
        m_native->exitStatus = -1;
    }
    m_native->readers[0] = std::thread(ReadLines, out[0], ChildStream::Output, onLine);
    m_native->readers[1] = std::thread(ReadLines, err[0], ChildStream::Error, onLine);
    return true;
}

void ChildProcess::Interrupt() {
    // Only before the child is reaped: its number cannot have gone to another
    // process while it waits as a zombie.
    std::lock_guard lock(m_native->mutex);
    if (m_native->pid > 0 && m_native->exitStatus < 0) ::kill(m_native->pid, SIGINT);
}

int ChildProcess::Wait() {
    if (m_native->pid <= 0) return -1;
    bool reaped = false;
    {
        std::lock_guard lock(m_native->mutex);
        reaped = m_native->exitStatus >= 0;
    }
    if (!reaped) {
        // Waits for the end without reaping, so Interrupt() stays safe.
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(m_native->pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        std::lock_guard lock(m_native->mutex);
        if (m_native->exitStatus < 0) {
            int status = 0;
            while (::waitpid(m_native->pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_native->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    for (auto& reader : m_native->readers) {
        if (reader.joinable()) reader.join();
    }
    std::lock_guard lock(m_native->mutex);
    return m_native->exitStatus;
}

std::string CurrentExecutable() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    return std::string(path, static_cast<std::size_t>(length));
}

}  // namespace dravel
