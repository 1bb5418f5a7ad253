#include "cli/watch.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "cli/console.h"
#include "cli/json_events.h"
#include "host/child_process.h"
#include "host/interrupts.h"
#include "host/device_watch.h"
#include "protocol/transfer.h"

namespace dravel::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kCausePrefix = "dravel-cli: ";

// One board's download, from the start of its child to the child's end.
struct BoardRun {
    int number = 0;
    std::string device;
    ChildProcess child;
    std::thread waiter;
    Clock::time_point started{};
    // Filled in by the child's readers and its waiter, under the station's lock.
    std::string lastText;
    std::string lastCause;
    std::string progress;  // for the status line on a terminal
    bool sawEnd = false;
    bool finished = false;
    int exitCode = -1;
    double seconds = 0.0;
};

// Where a device stands. A device is flashed once per appearance.
enum class DeviceState {
    Appeared,  // seen at the last look; flashed at the next if it is still there
    Flashing,
    Flashed,   // waits to go away
};

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

class Station {
public:
    explicit Station(const WatchOptions& options)
        : m_options(options), m_terminal(!options.json && EnableTerminalSequences(ConsoleStream::Error)) {}

    int Run() {
        InterruptWatcher interrupts([this](std::string_view what) { OnInterrupt(what); });
        Say("waiting for devices matching " + PatternList() + " (Ctrl+C ends the watch)");
        std::unique_lock lock(m_mutex);
        for (;;) {
            Collect(lock);
            if (m_interrupted && m_running == 0) break;
            if (m_options.count && m_finished >= *m_options.count) break;
            if (!m_interrupted) {
                std::set<std::string> inUse;
                for (const auto& [device, state] : m_devices) {
                    if (state == DeviceState::Flashing) inUse.insert(device);
                }
                lock.unlock();
                const std::vector<std::string> found = FindMatchingDevices(m_options.patterns, inUse);
                lock.lock();
                Update(found);
            }
            m_wake.wait_for(lock, m_options.pollPeriod, [this] { return m_changed; });
            m_changed = false;
        }
        lock.unlock();
        return Finish(interrupts.ExitCode());
    }

private:
    void OnInterrupt(std::string_view what) {
        std::lock_guard lock(m_mutex);
        Say(std::string(what) + (m_running > 0 ? ": stopping the downloads and closing their ports" : ""));
        m_interrupted = true;
        m_downloadsInterrupted = m_running > 0;
        for (const auto& board : m_boards) {
            if (!board->finished) board->child.Interrupt();
        }
        m_changed = true;
        m_wake.notify_all();
    }

    // Under the lock: what the look found, against what was there before.
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
                Start(device);
            }
        }
    }

    bool MayStartAnother() const { return !m_options.count || m_started < *m_options.count; }

    void Start(const std::string& device) {
        auto board = std::make_unique<BoardRun>();
        BoardRun* run = board.get();
        run->number = ++m_started;
        run->device = device;
        run->started = Clock::now();
        std::string error;
        const bool ok = run->child.Start(
            CurrentExecutable(), m_options.childArguments(device, run->number),
            [this, run](ChildStream stream, const std::string& line) { OnLine(*run, stream, line); }, error);
        if (!ok) {
            run->finished = true;
            run->exitCode = 1;
            run->lastCause = "cannot start the download: " + error;
            m_boards.push_back(std::move(board));
            m_changed = true;
            return;
        }
        ++m_running;
        run->waiter = std::thread([this, run] {
            const int code = run->child.Wait();
            std::lock_guard lock(m_mutex);
            run->finished = true;
            run->exitCode = code;
            run->seconds = std::chrono::duration<double>(Clock::now() - run->started).count();
            --m_running;
            m_changed = true;
            m_wake.notify_all();
        });
        m_boards.push_back(std::move(board));
    }

    // On the child's reader threads.
    void OnLine(BoardRun& run, ChildStream stream, const std::string& line) {
        if (stream == ChildStream::Output && m_options.json) {
            std::string event;
            if (m_events.PassOn(line, event) && event == "end") {
                std::lock_guard lock(m_mutex);
                run.sawEnd = true;
            }
            return;
        }
        std::lock_guard lock(m_mutex);
        if (stream == ChildStream::Output) {
            run.lastText = Trimmed(line);
            return;
        }
        if (line.rfind(kProgressPrefix, 0) == 0) {
            run.progress = ProgressText(line.substr(kProgressPrefix.size()));
            ClearStatus();
            DrawStatus();
            return;
        }
        // Only the child's own causes count as one; the rest (a trace to
        // standard error) is passed on as it is.
        const bool isCause = line.rfind(kCausePrefix, 0) == 0;
        const std::string text = isCause ? line.substr(kCausePrefix.size()) : line;
        if (text.empty()) return;
        if (isCause) run.lastCause = text;
        Print(stderr, "[" + run.device + "] " + text);
    }

    // Under the lock: the results of the children that have ended, in the
    // order they ended.
    void Collect(std::unique_lock<std::mutex>& lock) {
        for (auto it = m_boards.begin(); it != m_boards.end();) {
            BoardRun& run = **it;
            if (!run.finished) {
                ++it;
                continue;
            }
            std::unique_ptr<BoardRun> done = std::move(*it);
            it = m_boards.erase(it);
            lock.unlock();
            if (done->waiter.joinable()) done->waiter.join();
            lock.lock();
            Report(*done);
            m_devices[done->device] = DeviceState::Flashed;
            ++m_finished;
        }
    }

    void Report(const BoardRun& run) {
        const bool passed = run.exitCode == 0;
        passed ? ++m_passed : ++m_failed;
        std::string cause;
        if (!passed) {
            if (run.exitCode == 130 || run.exitCode == 143) {
                cause = "interrupted";
            } else if (!run.lastCause.empty()) {
                cause = run.lastCause;
            } else if (!run.lastText.empty()) {
                cause = run.lastText;
            } else {
                cause = "exit status " + std::to_string(run.exitCode);
            }
        }
        if (m_options.json) {
            // A child that could not say how it ended (it could not start, or
            // it was killed) still gets its end event.
            if (!run.sawEnd) {
                nlohmann::ordered_json fields;
                fields["board"] = run.number;
                fields["outcome"] = OutcomeName(run.exitCode);
                fields["bytes"] = 0;
                fields["seconds"] = run.seconds;
                fields["resends"] = 0;
                fields["sha256"] = nullptr;
                fields["message"] = run.lastText.empty() ? cause : run.lastText;
                fields["cause"] = cause;
                fields["exit_code"] = run.exitCode;
                m_events.Emit("end", run.device, fields);
            }
            return;
        }
        Print(stdout, BoardLine(passed, run.number, run.device, run.seconds, cause));
    }

    void Announce(const char* event, const std::string& device) {
        if (m_options.json) {
            m_events.Emit(event, device);
        } else {
            Say(device + " " + event);
        }
    }

    int Finish(int interrupted) {
        char summary[128];
        std::snprintf(summary, sizeof summary, "%d board%s: %d passed, %d failed", m_finished,
                      m_finished == 1 ? "" : "s", m_passed, m_failed);
        if (m_options.json) {
            Say(summary);
        } else {
            std::printf("%s\n", summary);
            std::fflush(stdout);
        }
        // Stopped while idle, the watch ends as it would after its count.
        if (interrupted != 0 && m_downloadsInterrupted) return interrupted;
        return m_failed == 0 ? 0 : 3;
    }

    void Say(const std::string& text) { Print(stderr, "dravel-cli: " + text); }

    // Every line goes out whole, with the status line (on a terminal) taken
    // away first and drawn again below it.
    void Print(std::FILE* stream, const std::string& line) {
        ClearStatus();
        std::fprintf(stream, "%s\n", line.c_str());
        std::fflush(stream);
        DrawStatus();
    }

    // "@progress <sent> <size or -> <resends> <synchronised>" from a child.
    static std::string ProgressText(const std::string& fields) {
        unsigned long long sent = 0;
        unsigned long long size = 0;
        int resends = 0;
        int synchronised = 0;
        char sizeText[32] = "-";
        std::sscanf(fields.c_str(), "%llu %31s %d %d", &sent, sizeText, &resends, &synchronised);
        if (!synchronised) return "waiting";
        size = std::strtoull(sizeText, nullptr, 10);
        if (size == 0) return sent == 0 ? "in sync" : std::to_string(sent) + " bytes";
        return std::to_string(std::min<unsigned long long>(100, sent * 100 / size)) + "%";
    }

    // One line below everything else: each running board and how far it is.
    void DrawStatus() {
        if (!m_terminal) return;
        std::string status;
        for (const auto& board : m_boards) {
            if (board->finished || board->progress.empty()) continue;
            status += (status.empty() ? "" : "   ") + std::to_string(board->number) + " " + board->device + " " +
                      board->progress;
        }
        if (status.empty()) return;
        if (status.size() > kStatusWidth) status = status.substr(0, kStatusWidth - 3) + "...";
        std::fputs(status.c_str(), stderr);
        std::fflush(stderr);
        m_statusShown = true;
    }
    void ClearStatus() {
        if (!m_statusShown) return;
        std::fputs("\r\033[K", stderr);
        m_statusShown = false;
    }

    std::string PatternList() const {
        std::string list;
        for (const std::string& pattern : m_options.patterns) list += (list.empty() ? "" : ", ") + pattern;
        return list;
    }

    static constexpr std::size_t kStatusWidth = 150;

    const WatchOptions& m_options;
    const bool m_terminal;
    bool m_statusShown = false;
    EventStream m_events;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_changed = false;
    bool m_interrupted = false;
    bool m_downloadsInterrupted = false;
    std::map<std::string, DeviceState> m_devices;
    std::vector<std::unique_ptr<BoardRun>> m_boards;
    int m_started = 0;
    int m_running = 0;
    int m_finished = 0;
    int m_passed = 0;
    int m_failed = 0;
};

}  // namespace

std::string BoardLine(bool passed, int board, const std::string& device, double seconds, const std::string& cause) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%s %d ", passed ? "PASS" : "FAIL", board);
    char time[32];
    std::snprintf(time, sizeof time, " %.2f", seconds);
    std::string line = prefix + device + time;
    if (!passed) line += " " + cause;
    return line;
}

int RunWatch(const WatchOptions& options) { return Station(options).Run(); }

}  // namespace dravel::cli
