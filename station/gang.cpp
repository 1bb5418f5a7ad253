#include "cli/gang.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/console.h"
#include "cli/json_events.h"
#include "host/child_process.h"
#include "host/interrupts.h"

namespace dravel::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct MemberState {
    std::string lastText;  // the last of the system's texts
    std::string progress;  // the bar's text
    int exitCode = -1;
    double seconds = 0.0;
    int resends = 0;
};

// Everything the children say, collected on their reader threads.
class Board {
public:
    Board(const std::vector<GangMember>& members, bool quiet, bool json)
        : m_members(members), m_states(members.size()), m_quiet(quiet), m_json(json),
          m_terminal(!json && EnableTerminalSequences(ConsoleStream::Error)) {}

    void OnLine(std::size_t index, ChildStream stream, const std::string& line) {
        if (m_json && stream == ChildStream::Output) {
            std::string event;
            m_events.PassOn(line, event);
            return;
        }
        std::lock_guard lock(m_mutex);
        MemberState& state = m_states[index];
        const std::string label = "[" + m_members[index].port + "] ";
        if (stream == ChildStream::Error && line.rfind(kProgressPrefix, 0) == 0) {
            unsigned long long sent = 0;
            char size[32] = "-";
            int resends = 0;
            int synchronised = 0;
            std::sscanf(line.c_str() + kProgressPrefix.size(), "%llu %31s %d %d", &sent, size, &resends, &synchronised);
            state.resends = resends;
            char text[96];
            if (!synchronised) {
                std::snprintf(text, sizeof text, "waiting for the device ...");
            } else if (std::string(size) != "-" && std::stoull(size) > 0) {
                const double share = static_cast<double>(sent) / static_cast<double>(std::stoull(size));
                std::snprintf(text, sizeof text, "%3d%%  %llu bytes  resends %d", static_cast<int>(share * 100.0), sent,
                              resends);
            } else {
                std::snprintf(text, sizeof text, "%llu bytes  resends %d", sent, resends);
            }
            state.progress = text;
            Redraw();
            return;
        }
        if (stream == ChildStream::Output) {
            state.lastText = line;
            // On a terminal the lines above the bars stay for the results.
            if (!m_terminal || !m_quiet) Print(stdout, label + line);
        } else {
            Print(stderr, label + line);
        }
    }

    void Finished(std::size_t index, int exitCode, double seconds) {
        std::lock_guard lock(m_mutex);
        m_states[index].exitCode = exitCode;
        m_states[index].seconds = seconds;
        m_states[index].progress = exitCode == 0 ? "done" : "ended";
        Redraw();
    }

    void Table() {
        if (m_json) return;
        std::lock_guard lock(m_mutex);
        ClearBars();
        m_barsShown = false;
        std::printf("%-14s %-28s %-24s %9s %8s\n", "port", "device", "outcome", "seconds", "resends");
        for (std::size_t i = 0; i < m_members.size(); ++i) {
            const MemberState& state = m_states[i];
            std::string outcome = state.lastText.empty() ? "exit " + std::to_string(state.exitCode) : state.lastText;
            std::printf("%-14s %-28s %-24s %9.1f %8d\n", m_members[i].port.c_str(), m_members[i].device.c_str(),
                        outcome.c_str(), state.seconds, state.resends);
        }
        std::fflush(stdout);
    }

    const MemberState& State(std::size_t index) const { return m_states[index]; }

private:
    void Print(std::FILE* stream, const std::string& line) {
        ClearBars();
        std::fprintf(stream, "%s\n", line.c_str());
        std::fflush(stream);
        DrawBars();
    }
    // One line per port below everything else, redrawn in place.
    void Redraw() {
        ClearBars();
        DrawBars();
    }
    void ClearBars() {
        if (!m_terminal || !m_barsShown) return;
        for (std::size_t i = 0; i < m_members.size(); ++i) std::fputs("\033[1A\r\033[K", stderr);
        m_barsShown = false;
    }
    void DrawBars() {
        if (!m_terminal) return;
        for (std::size_t i = 0; i < m_members.size(); ++i) {
            std::fprintf(stderr, "%-14s %s\n", m_members[i].port.c_str(), m_states[i].progress.c_str());
        }
        std::fflush(stderr);
        m_barsShown = true;
    }

    std::mutex m_mutex;
    const std::vector<GangMember>& m_members;
    std::vector<MemberState> m_states;
    const bool m_quiet;
    const bool m_json;
    const bool m_terminal;
    EventStream m_events;
    bool m_barsShown = false;
};

}  // namespace

int RunGang(const std::vector<GangMember>& members, bool quiet, bool json) {
    Board board(members, quiet, json);
    const std::string self = CurrentExecutable();
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<Clock::time_point> started;

    std::mutex mutex;
    InterruptWatcher interrupts([&](std::string_view what) {
        std::fprintf(stderr, "dravel-cli: %.*s: stopping every transfer and closing the ports\n",
                     static_cast<int>(what.size()), what.data());
        std::lock_guard lock(mutex);
        for (auto& child : children) child->Interrupt();
    });

    for (std::size_t i = 0; i < members.size(); ++i) {
        auto child = std::make_unique<ChildProcess>();
        std::string error;
        const bool ok = child->Start(
            self, members[i].arguments,
            [&board, i](ChildStream stream, const std::string& line) { board.OnLine(i, stream, line); }, error);
        if (!ok) {
            std::fprintf(stderr, "dravel-cli: cannot start the transfer for %s: %s\n", members[i].port.c_str(),
                         error.c_str());
            std::lock_guard lock(mutex);
            for (auto& running : children) running->Interrupt();
            break;
        }
        std::lock_guard lock(mutex);
        children.push_back(std::move(child));
        started.push_back(Clock::now());
    }

    // Each child is waited for on a thread of its own, so the times are each
    // child's own.
    std::vector<std::thread> waiters;
    for (std::size_t i = 0; i < children.size(); ++i) {
        waiters.emplace_back([&, i] {
            const int code = children[i]->Wait();
            board.Finished(i, code, std::chrono::duration<double>(Clock::now() - started[i]).count());
        });
    }
    for (auto& waiter : waiters) waiter.join();
    board.Table();

    if (children.size() < members.size()) return 1;
    if (const int interrupted = interrupts.ExitCode()) return interrupted;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (board.State(i).exitCode != 0) return board.State(i).exitCode;
    }
    return 0;
}

}  // namespace dravel::cli
