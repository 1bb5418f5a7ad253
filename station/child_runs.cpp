#include "station/child_runs.h"

#include <algorithm>
#include <thread>

#include "output/exit_codes.h"

namespace dravel::station {

namespace {

using Clock = std::chrono::steady_clock;

// What dravel-cli puts before each of its causes.
constexpr std::string_view kCausePrefix = "dravel-cli: ";

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

std::string ChildRun::Cause() const {
    if (exitCode == kExitCompleted) return {};
    if (IsInterruptedExit(exitCode)) return "interrupted";
    if (!lastCause.empty()) return lastCause;
    if (!lastText.empty()) return Trimmed(lastText);
    return "exit status " + std::to_string(exitCode);
}

struct ChildRuns::Run {
    ChildRun run;
    ChildProcess process;
    std::thread waiter;
    Clock::time_point started{};
    bool interrupted = false;  // the first interrupt was passed on
    int endOrder = 0;
};

ChildRuns::ChildRuns(Options options)
    : m_options(std::move(options)),
      m_terminal(!m_options.json && EnableTerminalSequences(ConsoleStream::Error)),
      m_events(m_options.events),
      m_interrupts([this](std::string_view what) { OnInterrupt(what); }) {}

ChildRuns::~ChildRuns() {
    {
        std::lock_guard lock(m_mutex);
        for (const auto& run : m_runs) {
            if (!run->run.finished) run->process.Interrupt();
        }
    }
    // The runs stay where they are: their waiters touch them until joined.
    for (const auto& run : m_runs) {
        if (run->waiter.joinable()) run->waiter.join();
    }
}

bool ChildRuns::Start(std::string name, std::string eventPort, std::optional<int> board,
                      const std::vector<std::string>& arguments, std::string& error) {
    auto owned = std::make_unique<Run>();
    Run& run = *owned;
    run.run.name = std::move(name);
    run.run.eventPort = std::move(eventPort);
    run.run.board = board;
    std::unique_lock lock(m_mutex);
    run.run.number = ++m_started;
    run.started = Clock::now();
    // The child's first lines may come before Start returns: the run is in
    // the list by then, and the readers wait for the lock.
    m_runs.push_back(std::move(owned));
    const std::string program = m_options.program.empty() ? CurrentExecutable() : m_options.program;
    const bool started = run.process.Start(
        program, arguments, [this, &run](ChildStream stream, const std::string& line) { OnLine(run, stream, line); },
        error);
    if (!started) {
        run.run.lastCause = "cannot start the download: " + error;
        Finished(run, kExitPortFatal);
        return false;
    }
    ++m_running;
    if (m_interrupted) {
        run.process.Interrupt();
        run.interrupted = true;
    }
    run.waiter = std::thread([this, &run] {
        const int exitCode = run.process.Wait();
        std::lock_guard waiterLock(m_mutex);
        --m_running;
        Finished(run, exitCode);
    });
    return true;
}

// Under the lock.
void ChildRuns::Finished(Run& run, int exitCode) {
    run.run.finished = true;
    run.run.exitCode = exitCode;
    run.run.seconds = std::chrono::duration<double>(Clock::now() - run.started).count();
    run.endOrder = ++m_endOrder;
    if (m_options.json && !run.run.sawEnd) {
        // Said as the child would have said it, with what is known here.
        output::TransferEnd end;
        end.board = run.run.board;
        end.exitCode = exitCode;
        end.seconds = run.run.seconds;
        end.cause = run.run.Cause();
        end.message = run.run.lastText.empty() ? end.cause : run.run.lastText;
        m_events.Emit("end", run.run.eventPort, output::EndEventFields(end));
    }
    m_changed = true;
    m_wake.notify_all();
    ClearStatus();
    DrawStatus();
}

void ChildRuns::OnLine(Run& run, ChildStream stream, const std::string& line) {
    if (m_options.json && stream == ChildStream::Output) {
        std::string event;
        const bool passed = m_events.PassOn(line, event);
        std::lock_guard lock(m_mutex);
        if (passed && event == "end") run.run.sawEnd = true;
        return;
    }
    std::lock_guard lock(m_mutex);
    if (stream == ChildStream::Error) {
        if (const auto progress = output::ParseProgressLine(line)) {
            run.run.progress = *progress;
            ClearStatus();
            DrawStatus();
            return;
        }
        if (const auto attempt = output::ParseAttemptLine(line)) {
            run.run.attempts = *attempt;
            return;
        }
        if (line.starts_with(kCausePrefix) && line.size() > kCausePrefix.size()) {
            run.run.lastCause = line.substr(kCausePrefix.size());
        }
    } else {
        run.run.lastText = line;
    }
    if (!m_options.echo) return;
    if (const auto echo = m_options.echo(run.run, stream, line)) PrintLocked(echo->stream, echo->line);
}

void ChildRuns::OnInterrupt(std::string_view what) {
    std::lock_guard lock(m_mutex);
    if (m_options.interruptText) {
        PrintLocked(stderr, std::string(kCausePrefix) + m_options.interruptText(what, m_running));
    }
    m_interrupted = true;
    m_interruptedWhileRunning = m_running > 0;
    InterruptAllLocked();
    m_changed = true;
    m_wake.notify_all();
}

void ChildRuns::InterruptAll() {
    std::lock_guard lock(m_mutex);
    InterruptAllLocked();
}

void ChildRuns::InterruptAllLocked() {
    for (const auto& run : m_runs) {
        if (!run->run.finished && !run->interrupted) {
            run->process.Interrupt();
            run->interrupted = true;
        }
    }
}

void ChildRuns::WaitForChange(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, timeout, [this] { return m_changed; });
    m_changed = false;
}

std::vector<ChildRun> ChildRuns::TakeFinished() {
    std::vector<std::unique_ptr<Run>> ended;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_runs.begin(); it != m_runs.end();) {
            if ((*it)->run.finished) {
                ended.push_back(std::move(*it));
                it = m_runs.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::sort(ended.begin(), ended.end(), [](const auto& a, const auto& b) { return a->endOrder < b->endOrder; });
    std::vector<ChildRun> runs;
    for (auto& run : ended) {
        if (run->waiter.joinable()) run->waiter.join();
        runs.push_back(run->run);
    }
    return runs;
}

int ChildRuns::Running() {
    std::lock_guard lock(m_mutex);
    return m_running;
}

bool ChildRuns::Interrupted() {
    std::lock_guard lock(m_mutex);
    return m_interrupted;
}

bool ChildRuns::InterruptedWhileRunning() {
    std::lock_guard lock(m_mutex);
    return m_interruptedWhileRunning;
}

void ChildRuns::Print(std::FILE* stream, const std::string& line) {
    std::lock_guard lock(m_mutex);
    PrintLocked(stream, line);
}

void ChildRuns::Say(const std::string& text) { Print(stderr, std::string(kCausePrefix) + text); }

void ChildRuns::EndStatus() {
    std::lock_guard lock(m_mutex);
    ClearStatus();
    m_statusEnded = true;
}

// Every line goes out whole, with the status taken away first and drawn
// again below it.
void ChildRuns::PrintLocked(std::FILE* stream, const std::string& line) {
    ClearStatus();
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
    DrawStatus();
}

void ChildRuns::ClearStatus() {
    if (m_statusLinesShown == 0) return;
    // The cursor stays at the end of the last line: up from there.
    std::fputs("\r\033[K", stderr);
    for (std::size_t i = 1; i < m_statusLinesShown; ++i) std::fputs("\033[1A\r\033[K", stderr);
    m_statusLinesShown = 0;
}

void ChildRuns::DrawStatus() {
    if (!m_terminal || m_statusEnded || !m_options.status) return;
    std::vector<const ChildRun*> runs;
    for (const auto& run : m_runs) runs.push_back(&run->run);
    const std::vector<std::string> lines = m_options.status(runs);
    if (lines.empty()) return;
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    m_statusLinesShown = lines.size();
}

}  // namespace dravel::station
