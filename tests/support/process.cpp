#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tests/support/files.h"

extern char** environ;

namespace dravel::testing {

std::string BinPath(const std::string& tool) { return std::string(DRAVEL_BIN_DIR) + "/" + tool; }

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath, const std::vector<std::string>& extraEnvironment)
    : m_stdout(outPath), m_stderr(errPath) {
    std::vector<std::string> environment = extraEnvironment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        const auto key = text.substr(0, text.find('=') + 1);
        bool overridden = false;
        for (const auto& extra : extraEnvironment) overridden |= extra.starts_with(key);
        if (!overridden) environment.emplace_back(text);
    }
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_stdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_stderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int error = posix_spawn(&m_pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
}

ChildProcess::~ChildProcess() {
    if (Running()) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

bool ChildProcess::Running() {
    if (m_exit) return false;
    int status = 0;
    const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
        m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return done == 0;
}

void ChildProcess::Signal(int signal) {
    if (Running()) ::kill(m_pid, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Running()) {
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_exit;
}

std::optional<int> ChildProcess::Stop(std::chrono::milliseconds timeout) {
    Signal(SIGTERM);
    auto code = Wait(timeout);
    if (!code) {
        Signal(SIGKILL);
        Wait(std::chrono::seconds(2));
    }
    return code;
}

std::string ChildProcess::Stdout() const { return ReadWholeFile(m_stdout); }

std::string ChildProcess::Stderr() const { return ReadWholeFile(m_stderr); }

bool ChildProcess::WaitForStdout(std::string_view needle, std::chrono::milliseconds timeout) {
    return WaitForText(m_stdout, needle, timeout);
}

bool ChildProcess::WaitForStderr(std::string_view needle, std::chrono::milliseconds timeout) {
    return WaitForText(m_stderr, needle, timeout);
}

bool ChildProcess::WaitForText(const std::string& path, std::string_view needle, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (ReadWholeFile(path).find(needle) != std::string::npos) return true;
        if (!Running()) return ReadWholeFile(path).find(needle) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

uint64_t ResidentKiB(pid_t pid) {
    for (const std::string& line : SplitLines(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"))) {
        if (line.starts_with("VmRSS:")) return std::stoull(line.substr(6));
    }
    return 0;
}

RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
              std::chrono::milliseconds timeout) {
    TempDir dir;
    ChildProcess child(argv, dir / "out", dir / "err", extraEnvironment);
    RunResult result;
    result.exitCode = child.Wait(timeout);
    result.out = child.Stdout();
    result.err = child.Stderr();
    return result;
}

}  // namespace dravel::testing
