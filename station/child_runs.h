// The supervisor of a station's child runs: a gang (the same image to a fixed
// list of ports at once) and a watch (a board per device as it appears) both
// run one dravel-cli child per port, since the opening gate of the receive
// path belongs to a process, and both supervise them alike.
//
// ChildRuns starts the children, waits for each on a thread of its own, reads
// what they write (the progress line, their causes, their texts, or with
// --json their events, passed on as one stream), keeps a status on a terminal
// redrawn below every line the station prints, and hands the runs that have
// ended to the station. The first interrupt (Ctrl+C, SIGTERM) reaches every
// running child exactly once, so each closes its port in order; a child
// started after it is interrupted at once. A child that ends without its own
// `end` event (it could not start, or was killed) gets one from here, so that
// with --json every run ends in the stream.
//
// What it owns: the children, their waiter threads (and, through
// ChildProcess, their readers), the interrupt watcher (so no other may exist
// while it does), the event stream on standard output.
//
// Threads: the station's own thread calls everything; the children's readers
// and waiters and the interrupt watcher call in on their threads, and the
// station's callbacks (echo, status) run on them, under the supervisor's lock:
// they must not call back into it. The destructor interrupts the children
// still running (a second time if they had the first: dravel-cli then ends at
// once) and joins every thread.
//
// Failures: a child that cannot be started is a run that ended at once with
// kExitPortFatal and the system's words as its cause; Start says so.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/child_process.h"
#include "host/interrupts.h"
#include "output/json_events.h"
#include "output/progress_line.h"

namespace dravel::station {

// One child's run, as its supervisor sees it.
struct ChildRun {
    int number = 0;            // 1, 2, ... in the order started
    std::string name;          // how the station's lines name it: the port as given, or the device
    std::string eventPort;     // how the child's events name its port
    std::optional<int> board;  // a watch's board number, which its events carry
    // What the child has said so far.
    std::optional<output::ProgressReport> progress;
    std::string lastText;   // its last line on standard output
    std::string lastCause;  // its last cause ("dravel-cli: ..." on standard error), without the prefix
    bool sawEnd = false;    // it wrote its own end event
    int attempts = 1;       // a board's attempts so far
    // Once it has ended.
    bool finished = false;
    int exitCode = -1;
    double seconds = 0.0;

    // What went wrong, in a few words; empty for a run that completed.
    std::string Cause() const;
};

// A line a station shows for one of its children's lines.
struct Echo {
    std::FILE* stream;
    std::string line;
};

class ChildRuns {
public:
    struct Options {
        bool json = false;  // the children write events on standard output
        // The program to start; empty: the running program itself.
        std::string program;
        // Where the events go (passed on, and the ends said here).
        std::FILE* events = stdout;
        // A child's line that is neither a progress line nor an event: the
        // line the station shows for it, if any.
        std::function<std::optional<Echo>(const ChildRun& run, ChildStream stream, const std::string& line)> echo;
        // The status on a terminal (not with --json), a string per line, from
        // the runs not yet taken; nothing shown while it is empty.
        std::function<std::vector<std::string>(const std::vector<const ChildRun*>& runs)> status;
        // What the station says of an interrupt (`what` names it), given the
        // number of runs going; on standard error with the program's prefix.
        std::function<std::string(std::string_view what, int running)> interruptText;
    };

    explicit ChildRuns(Options options);
    ~ChildRuns();
    ChildRuns(const ChildRuns&) = delete;
    ChildRuns& operator=(const ChildRuns&) = delete;

    // Starts a child with `arguments`; false with the system's words in `error`
    // when it cannot start (its run has then ended, to be taken as any other).
    bool Start(std::string name, std::string eventPort, std::optional<int> board,
               const std::vector<std::string>& arguments, std::string& error);

    // Returns once a run has ended or an interrupt came since the last call,
    // or after `timeout`.
    void WaitForChange(std::chrono::milliseconds timeout);
    // The runs that have ended and not been taken, in the order they ended;
    // their threads are joined.
    std::vector<ChildRun> TakeFinished();
    int Running();

    // Passes one interrupt to every running child that has had none (a
    // station that gives up).
    void InterruptAll();
    // Whether an interrupt came from outside.
    bool Interrupted();
    // Whether children were running when the interrupt came.
    bool InterruptedWhileRunning();
    // 130 or 143 after an interrupt; 0 before.
    int InterruptExitCode() const { return m_interrupts.ExitCode(); }

    // A line above the status.
    void Print(std::FILE* stream, const std::string& line);
    // "dravel-cli: <text>" on standard error.
    void Say(const std::string& text);
    // Takes the status away for good (before a table of results).
    void EndStatus();
    output::EventStream& Events() { return m_events; }

private:
    struct Run;

    void OnLine(Run& run, ChildStream stream, const std::string& line);
    void OnInterrupt(std::string_view what);
    void InterruptAllLocked();
    void Finished(Run& run, int exitCode);
    void PrintLocked(std::FILE* stream, const std::string& line);
    void ClearStatus();
    void DrawStatus();

    const Options m_options;
    const bool m_terminal;
    output::EventStream m_events;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_changed = false;
    std::vector<std::unique_ptr<Run>> m_runs;  // not yet taken, in the order started
    int m_started = 0;
    int m_running = 0;
    int m_endOrder = 0;
    bool m_interrupted = false;
    bool m_interruptedWhileRunning = false;
    bool m_statusEnded = false;
    std::size_t m_statusLinesShown = 0;
    // Last: it is made when everything it calls is ready, and goes first.
    InterruptWatcher m_interrupts;
};

}  // namespace dravel::station
