// The console a command-line program runs in: whether its output goes to a
// terminal, and the interrupts a person or the system sends it (Ctrl+C, a
// request to terminate, the console window closing).
//
// InterruptWatcher turns the first interrupt into a call of its handler, on
// a thread of its own, so that the program can stop what it does and close
// its port in order; a second interrupt ends the process at once. Exactly one
// watcher may exist at a time; it stops and joins its thread when it goes.
// Call InterruptWatcher::Prepare() first thing in main(), before any thread
// starts, so that interrupts reach the watcher and no other thread.
#pragma once

#include <atomic>
#include <functional>
#include <string_view>
#include <thread>

namespace dravel {

enum class ConsoleStream { Output, Error };

bool IsTerminal(ConsoleStream stream);

// Lets standard output and standard error carry exactly the bytes written,
// each line ended by a line feed alone, as on Linux; a Windows program would
// otherwise turn every line end into CR LF. Scripts compare the texts, and
// consoles show either the same. Call before anything is written.
void UseLineFeedLineEnds();

// Lets standard input give exactly the bytes it is sent (an image piped in);
// a Windows program would otherwise take CR LF for LF and Ctrl+Z for its end.
void ReadStandardInputAsBytes();

// Lets escape sequences through to a terminal where they need asking for
// (a Windows console); true if they may be written.
bool EnableTerminalSequences(ConsoleStream stream);

class InterruptWatcher {
public:
    // `what` names the interrupt ("interrupted", "terminated").
    using Handler = std::function<void(std::string_view what)>;

    static void Prepare();

    explicit InterruptWatcher(Handler onInterrupt);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    // The exit status an interrupted program ends with (128 + the signal
    // number, 130 for Ctrl+C); 0 while no interrupt came.
    int ExitCode() const { return m_exitCode.load(); }

    // The status of Ctrl+C, for a run stopped from outside without a signal.
    static constexpr int kInterruptedExitCode = 130;

private:
    void Run();

    Handler m_onInterrupt;
    std::atomic<int> m_exitCode{0};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

}  // namespace dravel
