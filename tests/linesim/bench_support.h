// Test bench support: child processes with captured output, a peer on a
// terminal device, and a scratch folder.
//
// ChildProcess runs a built tool with its standard output and error going to
// files in a scratch folder, so a test can read them whenever it likes and a
// chatty child can never block on a full pipe. Every wait has a deadline; the
// destructor kills (SIGKILL) and reaps a child that is still running, so no
// test leaves a process behind.
//
// TtyPeer opens a terminal device (a relay's link, a pty slave) raw and
// non-blocking, and reads and writes it with deadlines.
//
// Threads: none started; each object belongs to the test that made it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace dravel::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline std::string BinPath(const std::string& tool) { return std::string(DRAVEL_BIN_DIR) + "/" + tool; }

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dravel-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

class ChildProcess {
public:
    // extraEnvironment: NAME=VALUE entries put on top of this process's own.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& outputDir,
                 const std::string& name, const std::vector<std::string>& extraEnvironment = {})
        : m_stdout(outputDir / (name + ".out")), m_stderr(outputDir / (name + ".err")) {
        std::vector<std::string> environment = extraEnvironment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view text(*entry);
            const auto key = text.substr(0, text.find('=') + 1);
            bool overridden = false;
            for (const auto& extra : extraEnvironment) overridden |= extra.rfind(key, 0) == 0;
            if (!overridden) environment.emplace_back(text);
        }
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);

        const int out = ::open(m_stdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open(m_stderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0) throw std::runtime_error("cannot create output files in " + outputDir.string());
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            const int null = ::open("/dev/null", O_RDONLY);
            if (null >= 0) ::dup2(null, STDIN_FILENO);
            // A fresh process group, so a signal meant for the test run
            // (Ctrl+C on ctest) does not reach the child twice.
            ::setpgid(0, 0);
            ::execve(args[0], args.data(), envp.data());
            std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
            ::_exit(127);
        }
        ::close(out);
        ::close(err);
        if (m_pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }

    ~ChildProcess() {
        if (Running()) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running() {
        if (m_exit) return false;
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return done == 0;
    }
    void Signal(int signal) {
        if (Running()) ::kill(m_pid, signal);
    }
    // The exit code (128 + signal for a killed child), or nothing if it
    // still runs when the timeout is over.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Running()) {
            if (Clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(5ms);
        }
        return m_exit;
    }
    // Asks the child to stop (SIGTERM) and waits; kills it if it does not.
    std::optional<int> Stop(std::chrono::milliseconds timeout = 5s) {
        Signal(SIGTERM);
        auto code = Wait(timeout);
        if (!code) {
            Signal(SIGKILL);
            Wait(2s);
        }
        return code;
    }
    std::string Stdout() const { return ReadWholeFile(m_stdout); }
    std::string Stderr() const { return ReadWholeFile(m_stderr); }
    // Waits until the child's standard error holds `needle` (or it exits).
    bool WaitForStderr(std::string_view needle, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (Stderr().find(needle) != std::string::npos) return true;
            if (!Running()) return Stderr().find(needle) != std::string::npos;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

private:
    std::filesystem::path m_stdout;
    std::filesystem::path m_stderr;
    pid_t m_pid = -1;
    std::optional<int> m_exit;
};

class TtyPeer {
public:
    explicit TtyPeer(const std::string& path) {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
        termios settings{};
        if (::tcgetattr(m_fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~TtyPeer() { Close(); }
    TtyPeer(const TtyPeer&) = delete;
    TtyPeer& operator=(const TtyPeer&) = delete;

    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int Fd() const { return m_fd; }
    bool HungUp() const { return m_hungUp; }

    bool Write(std::string_view bytes, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = Clock::now() + timeout;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else if (!WaitFor(POLLOUT, deadline)) {
                return false;
            }
        }
        return true;
    }

    // Up to `want` bytes; returns early once they are all there, on a
    // hang-up, or at the deadline.
    std::string Read(std::size_t want, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        std::string got;
        char chunk[4096];
        while (got.size() < want) {
            const ssize_t n = ::read(m_fd, chunk, std::min(sizeof chunk, want - got.size()));
            if (n > 0) {
                got.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                m_hungUp = true;
                break;
            } else if (!WaitFor(POLLIN, deadline)) {
                break;
            }
        }
        return got;
    }

private:
    bool WaitFor(short events, Clock::time_point deadline) {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd entry{m_fd, events, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready > 0 && (entry.revents & (POLLHUP | POLLERR)) && !(entry.revents & events)) {
                m_hungUp = true;
                return false;
            }
            return ready > 0;
        }
    }

    int m_fd = -1;
    bool m_hungUp = false;
};

}  // namespace dravel::bench
