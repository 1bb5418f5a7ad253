#include "station/watch.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "host/device_watch.h"
#include "output/exit_codes.h"
#include "station/child_runs.h"

namespace dravel::station {

namespace {

constexpr std::string_view kCausePrefix = "dravel-cli: ";
constexpr std::size_t kStatusWidth = 150;

// Where a device stands. A device is flashed once per appearance.
enum class DeviceState {
    Appeared,  // seen at the last look; flashed at the next if it is still there
    Flashing,
    Flashed,   // waits to go away
};

// How far a board is, for the status line.
std::string ProgressText(const output::ProgressReport& progress) {
    if (!progress.synchronised) return "waiting";
    const uint64_t size = progress.fileSize.value_or(0);
    if (size == 0) return progress.bytesSent == 0 ? "in sync" : std::to_string(progress.bytesSent) + " bytes";
    return std::to_string(std::min<uint64_t>(100, progress.bytesSent * 100 / size)) + "%";
}

class Watch {
public:
    explicit Watch(const WatchOptions& options) : m_options(options), m_runs(RunOptions(options)) {}

    int Run() {
        m_runs.Say("waiting for devices matching " + PatternList() + " (Ctrl+C ends the watch)");
        for (;;) {
            Collect();
            const bool interrupted = m_runs.Interrupted();
            if (interrupted && m_runs.Running() == 0) break;
            if (m_options.count && m_finished >= *m_options.count) break;
            if (!m_endedBy.empty() && m_runs.Running() == 0) break;
            if (!interrupted) {
                std::set<std::string> inUse;
                for (const auto& [device, state] : m_devices) {
                    if (state == DeviceState::Flashing) inUse.insert(device);
                }
                Update(FindMatchingDevices(m_options.patterns, inUse));
            }
            m_runs.WaitForChange(m_options.pollPeriod);
        }
        return Finish();
    }

private:
    static ChildRuns::Options RunOptions(const WatchOptions& watch) {
        ChildRuns::Options options;
        options.json = watch.json;
        // The children's texts stand behind the station's line per board;
        // their causes and the rest (a trace to standard error) go on.
        options.echo = [](const ChildRun& run, ChildStream stream, const std::string& line) {
            if (stream == ChildStream::Output) return std::optional<Echo>();
            const std::string text = line.starts_with(kCausePrefix) ? line.substr(kCausePrefix.size()) : line;
            if (text.empty()) return std::optional<Echo>();
            return std::optional<Echo>(Echo{stderr, "[" + run.name + "] " + text});
        };
        // One line below everything else: each running board and how far it is.
        options.status = [](const std::vector<const ChildRun*>& runs) {
            std::string status;
            for (const ChildRun* run : runs) {
                if (run->finished || !run->progress) continue;
                status += (status.empty() ? "" : "   ") + std::to_string(run->number) + " " + run->name + " " +
                          ProgressText(*run->progress);
            }
            if (status.empty()) return std::vector<std::string>();
            if (status.size() > kStatusWidth) status = status.substr(0, kStatusWidth - 3) + "...";
            return std::vector<std::string>{status};
        };
        options.interruptText = [](std::string_view what, int running) {
            return std::string(what) + (running > 0 ? ": stopping the downloads and closing their ports" : "");
        };
        return options;
    }

    // What the look found, against what was there before.
    void Update(const std::vector<std::string>& found) {
        const std::set<std::string> present(found.begin(), found.end());
        for (auto it = m_devices.begin(); it != m_devices.end();) {
            if (it->second != DeviceState::Flashing && present.count(it->first) == 0) {
                Announce("gone", it->first);
                it = m_devices.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::string& device : found) {
            auto it = m_devices.find(device);
            if (it == m_devices.end()) {
                // Flashed at the next look: a device that has just appeared
                // may not be ready for its first opening yet (udev sets its
                // permissions a moment after the node appears).
                m_devices[device] = DeviceState::Appeared;
                Announce("appeared", device);
            } else if (it->second == DeviceState::Appeared && MayStartAnother()) {
                it->second = DeviceState::Flashing;
                const int board = ++m_started;
                std::string error;
                // A child that cannot start is collected as a failed board.
                m_runs.Start(device, device, board, m_options.childArguments(device, board), error);
            }
        }
    }

    bool MayStartAnother() const { return m_endedBy.empty() && (!m_options.count || m_started < *m_options.count); }

    // The results of the children that have ended, in the order they ended.
    void Collect() {
        for (const ChildRun& run : m_runs.TakeFinished()) {
            Report(run);
            m_devices[run.name] = DeviceState::Flashed;
            ++m_finished;
            if (m_endedBy.empty() && m_options.endsWatch && m_options.endsWatch(run.Cause())) {
                m_endedBy = run.Cause();
                m_runs.Say("no more boards can be flashed: " + m_endedBy);
            }
        }
    }

    void Report(const ChildRun& run) {
        const bool passed = run.exitCode == kExitCompleted;
        passed ? ++m_passed : ++m_failed;
        // With --json the board's end event has said it.
        if (m_options.json) return;
        m_runs.Print(stdout, BoardLine(passed, run.board.value_or(run.number), run.name, run.seconds, run.Cause(), run.attempts));
    }

    void Announce(const char* event, const std::string& device) {
        if (m_options.json) {
            m_runs.Events().Emit(event, device);
        } else {
            m_runs.Say(device + " " + event);
        }
    }

    int Finish() {
        char summary[128];
        std::snprintf(summary, sizeof summary, "%d board%s: %d passed, %d failed", m_finished,
                      m_finished == 1 ? "" : "s", m_passed, m_failed);
        if (m_options.json) {
            m_runs.Say(summary);
        } else {
            m_runs.Print(stdout, summary);
        }
        // Stopped while idle, the watch ends as it would after its count.
        if (const int interrupted = m_runs.InterruptExitCode(); interrupted != 0 && m_runs.InterruptedWhileRunning()) {
            return interrupted;
        }
        return m_failed == 0 ? kExitCompleted : kExitFailed;
    }

    std::string PatternList() const {
        std::string list;
        for (const std::string& pattern : m_options.patterns) list += (list.empty() ? "" : ", ") + pattern;
        return list;
    }

    const WatchOptions& m_options;
    ChildRuns m_runs;
    // The devices and the counts belong to the watch's own thread.
    std::map<std::string, DeviceState> m_devices;
    int m_started = 0;
    int m_finished = 0;
    int m_passed = 0;
    int m_failed = 0;
    std::string m_endedBy;  // why no more boards can be flashed
};

}  // namespace

std::string BoardLine(bool passed, int board, const std::string& device, double seconds, const std::string& cause,
                      int attempts) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%s %d ", passed ? "PASS" : "FAIL", board);
    char time[32];
    std::snprintf(time, sizeof time, " %.2f", seconds);
    std::string line = prefix + device + time;
    if (attempts > 1) line += " (" + std::to_string(attempts) + " attempts)";
    if (!passed) line += " " + cause;
    return line;
}

int RunWatch(const WatchOptions& options) { return Watch(options).Run(); }

}  // namespace dravel::station
