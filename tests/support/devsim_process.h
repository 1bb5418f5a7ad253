// Test support: the device simulator (and other tools) as child processes.
//
// DevsimProcess starts build/bin/dravel-devsim on a fresh pseudo-terminal link
// in a temporary folder, waits until the link exists, and afterwards offers
// what the device saw: its exit status, the image it wrote, its event log and
// its summary line. Run() runs any command to its end with its output
// captured. Every wait is bounded; the destructor kills what still runs and
// removes the folder.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace dravel::testing {

inline std::string BinDir() { return DRAVEL_BIN_DIR; }

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/dravel-test-XXXXXX";
        if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = name;
    }
    ~TempDir() {
        const std::string command = "rm -rf '" + m_path + "'";
        [[maybe_unused]] int ignored = std::system(command.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A child process with stdout and stderr in files.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, const std::string& outPath, const std::string& errPath,
                 const std::vector<std::string>& extraEnv = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
        for (const auto& e : extraEnv) envStrings.push_back(e);
        std::vector<char*> env;
        for (auto& e : envStrings) env.push_back(e.data());
        env.push_back(nullptr);
        const int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    }
    ~ChildProcess() {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit code (128 + signal for a signalled end), or nothing on timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (m_status) return m_status;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return m_status;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void Signal(int signal) const { ::kill(m_pid, signal); }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

struct RunResult {
    std::optional<int> exitCode;
    std::string out;
    std::string err;
};

inline RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    TempDir dir;
    ChildProcess child(argv, dir / "out", dir / "err", env);
    RunResult result;
    result.exitCode = child.Wait(timeout);
    result.out = ReadWholeFile(dir / "out");
    result.err = ReadWholeFile(dir / "err");
    return result;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class DevsimProcess {
public:
    explicit DevsimProcess(std::vector<std::string> options = {}) {
        std::vector<std::string> argv = {BinDir() + "/dravel-devsim", "--link", LinkPath(), "--image",
                                         ImagePath(), "--log", m_dir / "events.log", "--timeout", "120"};
        argv.insert(argv.end(), options.begin(), options.end());
        m_child.emplace(argv, m_dir / "devsim.out", m_dir / "devsim.err");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        struct stat info {};
        while (::lstat(LinkPath().c_str(), &info) != 0) {
            if (std::chrono::steady_clock::now() >= deadline || m_child->Wait(std::chrono::milliseconds(0))) {
                throw std::runtime_error("device simulator did not start: " + ReadWholeFile(m_dir / "devsim.err"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::string LinkPath() const { return m_dir / "COM1"; }
    std::string ImagePath() const { return m_dir / "image.out"; }
    std::string Dir() const { return m_dir.Path(); }
    std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return m_child->Wait(timeout);
    }
    void Stop() {
        m_child->Signal(SIGTERM);
        m_child->Wait(std::chrono::seconds(5));
    }
    bool HasImage() const {
        struct stat info {};
        return ::stat(ImagePath().c_str(), &info) == 0;
    }
    std::string Image() const { return ReadWholeFile(ImagePath()); }
    std::vector<std::string> Log() const { return SplitLines(ReadWholeFile(m_dir / "events.log")); }
    std::string Summary() const { return ReadWholeFile(m_dir / "devsim.out"); }
    std::string Errors() const { return ReadWholeFile(m_dir / "devsim.err"); }

    // Sequence bytes of the data frames in the log, in arrival order.
    std::vector<int> FrameSequences() const {
        std::vector<int> sequences;
        for (const auto& line : Log()) {
            if (line.rfind("frame ", 0) != 0) continue;
            const auto at = line.find("seq=");
            if (at != std::string::npos) sequences.push_back(std::atoi(line.c_str() + at + 4));
        }
        return sequences;
    }
    // The end frame's sequence byte, if one arrived.
    std::optional<int> EndSequence() const {
        for (const auto& line : Log()) {
            if (line.rfind("end", 0) != 0) continue;
            const auto at = line.find("seq=");
            if (at != std::string::npos) return std::atoi(line.c_str() + at + 4);
        }
        return std::nullopt;
    }

private:
    TempDir m_dir;
    std::optional<ChildProcess> m_child;
};

// The image a '5' or '7' transfer leaves on the device: the file, zero-padded
// to whole 1024-byte blocks.
inline std::string Padded(const std::string& content) {
    std::string padded = content;
    padded.resize((content.size() + 1023) / 1024 * 1024, '\0');
    return padded;
}

inline std::string PatternImage(std::size_t size, unsigned seed = 1) {
    std::string image(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (auto& c : image) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return image;
}

}  // namespace dravel::testing
