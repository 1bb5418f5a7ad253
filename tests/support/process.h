// Test support: the built tools as child processes, and the test's own
// environment.
//
// ChildProcess runs a program with standard input from /dev/null and its
// standard output and error in files, so a test can read them whenever it
// likes and a chatty child never blocks on a full pipe. The child gets a
// process group of its own, so a signal meant for the test run (Ctrl+C on
// ctest) does not reach it twice. Run() runs a program to its end.
// ScopedEnv (scoped_env.h) comes with it.
//
// What it owns: a ChildProcess owns its child; the destructor kills
// (SIGKILL) and reaps one that still runs, so no test leaves a process
// behind.
//
// Threads: none started. Each object belongs to the test that made it.
//
// Failures: ChildProcess throws std::runtime_error with the system's reason
// when the program cannot be started. Every wait has a deadline and says
// when it ran out (an empty exit code).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/scoped_env.h"

namespace dravel::testing {

using Clock = std::chrono::steady_clock;

// A built program of this tree, by name.
std::string BinPath(const std::string& tool);

class ChildProcess {
public:
    // extraEnvironment: NAME=VALUE entries put over this process's own.
    ChildProcess(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath,
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running();
    void Signal(int signal);
    // The exit code (128 + signal for a killed child), or nothing if it
    // still runs when the timeout is over.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // Asks the child to stop (SIGTERM) and waits; kills it if it does not.
    std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until the child's standard output or error holds `needle` (or
    // it exits).
    bool WaitForStdout(std::string_view needle, std::chrono::milliseconds timeout);
    bool WaitForStderr(std::string_view needle, std::chrono::milliseconds timeout);

private:
    bool WaitForText(const std::string& path, std::string_view needle, std::chrono::milliseconds timeout);

    std::string m_stdout;
    std::string m_stderr;
    pid_t m_pid = -1;
    std::optional<int> m_exit;
};

struct RunResult {
    std::optional<int> exitCode;  // nothing: still running at the timeout, killed
    std::string out;
    std::string err;
};

// What a process holds in memory (VmRSS), in KiB; 0 if it is gone.
uint64_t ResidentKiB(pid_t pid);

RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace dravel::testing
