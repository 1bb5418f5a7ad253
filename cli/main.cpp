// dravel-cli: the download form's "send" from a command line.
//
// Standard output carries exactly the system's own texts, one per line:
// "Transmitting .... ", every status-label text and every message-box text.
// Everything else (causes, hints, the progress bar) goes to standard error.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/headless_window.h"
#include "platform/port_names.h"
#include "protocol/main_frame.h"

namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

constexpr const char* kUsage =
    "usage: dravel-cli [--port N] [--kind K] FILE\n"
    "       dravel-cli --list-ports\n"
    "\n"
    "Sends FILE to the device's loader on serial port N, as the desktop form's\n"
    "send button does.\n"
    "\n"
    "  --port N       serial port 1 to 4 (default 1); port N is the device named\n"
    "                 by the environment variable DRAVEL_COM<N>, else the system's\n"
    "                 own port N (/dev/ttyS<N-1> on Linux, COM<N> on Windows)\n"
    "  --kind K       transfer kind 1 to 6 (default 2, the form's):\n"
    "                 1 text lines ending CR LF, each line's last character its command\n"
    "                 2 blocks of 1024 bytes, command '5' (the last block zero-padded)\n"
    "                 3 blocks, command '6' (the last block as long as it is)\n"
    "                 4 blocks, command '7'\n"
    "                 5, 6 synchronise only: no file, no data\n"
    "  --list-ports   show ports 1 to 4, their devices and whether they are free\n"
    "  --help         this text\n"
    "\n"
    "Exit status: 0 transfer completed, 1 the port could not be opened,\n"
    "2 bad command line, 3 transfer error or file not opened, 130/143 cancelled\n"
    "by SIGINT/SIGTERM.\n"
    "\n"
    "For tests only: DRAVEL_TIMER_SCALE=F (0 < F <= 1) shortens the answer timers\n"
    "(1000 ms after a sync probe, 20000 ms after a frame) by that factor.\n";

struct Options {
    int port = 1;
    int kind = 2;
    std::string file;
    bool listPorts = false;
    bool help = false;
};

std::optional<int> ParseNumber(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

// Returns an error text, or nothing when the command line is good.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
    bool sawFile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view name) -> std::optional<std::string_view> {
            if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
                return arg.substr(name.size() + 1);
            }
            if (arg == name && i + 1 < argc) return std::string_view(argv[++i]);
            return std::nullopt;
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--list-ports") {
            options.listPorts = true;
        } else if (arg == "--port" || arg.starts_with("--port=")) {
            const auto text = value("--port");
            if (!text) return "--port needs a number from 1 to 4";
            const auto number = ParseNumber(*text, 1, 4);
            if (!number) return "--port must be a number from 1 to 4, not '" + std::string(*text) + "'";
            options.port = *number;
        } else if (arg == "--kind" || arg.starts_with("--kind=")) {
            const auto text = value("--kind");
            if (!text) return "--kind needs a number from 1 to 6";
            const auto number = ParseNumber(*text, 1, 6);
            if (!number) return "--kind must be a number from 1 to 6, not '" + std::string(*text) + "'";
            options.kind = *number;
        } else if (arg == "--") {
            if (i + 1 < argc) {
                if (sawFile || i + 2 < argc) return "only one FILE can be sent at a time";
                options.file = argv[++i];
                sawFile = true;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option '" + std::string(arg) + "'";
        } else {
            if (sawFile) return "only one FILE can be sent at a time";
            options.file = std::string(arg);
            sawFile = true;
        }
    }
    if (options.help || options.listPorts) return std::nullopt;
    if (!sawFile && options.kind <= 4) return "no FILE given";
    if (sawFile && options.file.empty()) return "FILE is an empty name";
    return std::nullopt;
}

int ListPorts() {
    for (int port = 1; port <= 4; ++port) {
        const dravel::PortProbe probe = dravel::ProbePort(port);
        std::printf("port %d  COM%d  %-24s %s%s%s\n", port, port, probe.device.c_str(),
                    dravel::ToString(probe.availability), probe.detail.empty() ? "" : ": ", probe.detail.c_str());
    }
    const std::vector<dravel::SystemPort> known = dravel::ListSystemPorts();
    if (!known.empty()) std::printf("serial ports the system knows:\n");
    for (const dravel::SystemPort& port : known) std::printf("  %-8s %s\n", port.name.c_str(), port.detail.c_str());
    return kExitCompleted;
}

// Output to the two streams; the progress bar is redrawn below the texts.
class Console {
public:
    Console() : m_progressBar(dravel::EnableTerminalSequences(dravel::ConsoleStream::Error)) {}

    void Line(std::string_view text) {
        std::lock_guard lock(m_mutex);
        ClearBar();
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        DrawBar();
    }

    void Cause(std::string_view text) {
        std::lock_guard lock(m_mutex);
        ClearBar();
        std::fprintf(stderr, "dravel-cli: %.*s\n", static_cast<int>(text.size()), text.data());
        std::fflush(stderr);
        DrawBar();
    }

    void Progress(const dravel::TransferProgress& progress) {
        if (!m_progressBar) return;
        std::lock_guard lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (!m_started && progress.synchronised) {
            m_started = true;
            m_start = now;
        }
        if (progress.finished) {
            ClearBar();
            m_bar.clear();
            return;
        }
        // Right after synchronising the file is not open yet: nothing to show.
        if (progress.synchronised && progress.blocks == 0 && !progress.fileSize) return;
        if (now - m_lastDraw < std::chrono::milliseconds(100)) return;
        m_lastDraw = now;
        const double seconds = m_started ? std::chrono::duration<double>(now - m_start).count() : 0.0;
        const double rate = seconds > 0.05 ? static_cast<double>(progress.bytesSent) / seconds : 0.0;
        char line[160];
        if (!progress.synchronised) {
            std::snprintf(line, sizeof line, "waiting for the device ...");
        } else if (progress.fileSize && *progress.fileSize > 0) {
            const double share = std::min(1.0, static_cast<double>(progress.bytesSent) /
                                                   static_cast<double>(*progress.fileSize));
            const int filled = static_cast<int>(share * 30.0);
            const double left = rate > 0 ? static_cast<double>(*progress.fileSize - std::min(*progress.fileSize, progress.bytesSent)) / rate : 0.0;
            std::snprintf(line, sizeof line, "[%-30.*s] %3d%%  %7.1f KiB/s  %3d:%02d left  resends %d", filled,
                          "##############################", static_cast<int>(share * 100.0), rate / 1024.0,
                          static_cast<int>(left) / 60, static_cast<int>(left) % 60, progress.resends);
        } else {
            std::snprintf(line, sizeof line, "%llu bytes  %7.1f KiB/s  resends %d",
                          static_cast<unsigned long long>(progress.bytesSent), rate / 1024.0, progress.resends);
        }
        ClearBar();
        m_bar = line;
        DrawBar();
    }

private:
    void ClearBar() {
        if (m_progressBar && !m_bar.empty()) std::fputs("\r\033[K", stderr);
    }
    void DrawBar() {
        if (m_progressBar && !m_bar.empty()) {
            std::fputs(m_bar.c_str(), stderr);
            std::fflush(stderr);
        }
    }

    std::mutex m_mutex;
    const bool m_progressBar;
    std::string m_bar;
    bool m_started = false;
    std::chrono::steady_clock::time_point m_start{};
    std::chrono::steady_clock::time_point m_lastDraw{};
};

// The form, without a window: its status label is a line on standard output.
class ConsoleForm final : public dravel::FormView {
public:
    ConsoleForm(Console& console, int kind) : m_console(console), m_kind(kind) {}
    int TransferKind() const override { return m_kind.load(); }
    void SetStatusText(const std::string& text) override { m_console.Line(text); }
    void EnableSendButton(bool) override {}

private:
    Console& m_console;
    std::atomic<int> m_kind;
};

}  // namespace

int main(int argc, char** argv) {
    dravel::UseLineFeedLineEnds();
    Options options;
    if (const auto error = ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "dravel-cli: %s\n\n%s", error->c_str(), kUsage);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitCompleted;
    }
    if (options.listPorts) return ListPorts();

    dravel::InterruptWatcher::Prepare();
    Console console;
    dravel::HeadlessWindow::Options windowOptions;
    windowOptions.timerScale = dravel::HeadlessWindow::TimerScaleFromEnvironment();
    windowOptions.onMessageBox = [&console](std::string_view text, std::string_view) { console.Line(text); };
    windowOptions.onCause = [&console](std::string_view text) { console.Cause(text); };
    dravel::HeadlessWindow window(windowOptions);

    dravel::CMainFrame frame(window);
    dravel::PortConfig config;
    config.portNumber = options.port;
    frame.SetPortConfig(config);
    frame.SetFilePath(options.file);
    frame.SetProgressObserver([&console](const dravel::TransferProgress& progress) { console.Progress(progress); });
    ConsoleForm form(console, options.kind);
    dravel::InterruptWatcher interrupts([&](std::string_view what) {
        console.Cause(std::string(what) + ": stopping the transfer and closing the port (again to exit at once)");
        frame.RequestStop();
    });

    // What the form's send does, on the window's own thread.
    window.Invoke([&] {
        console.Line(dravel::text::kTransmitting);
        frame.SetFormView(&form);
        frame.StartTransfer();
    });
    frame.WaitUntilIdle();
    frame.StopTransfer();

    if (const int interrupted = interrupts.ExitCode()) {
        console.Cause("transfer cancelled; the port is closed");
        return interrupted;
    }
    switch (frame.LastOutcome()) {
        case dravel::TransferOutcome::Completed: return kExitCompleted;
        case dravel::TransferOutcome::Stopped: return dravel::InterruptWatcher::kInterruptedExitCode;
        default: return kExitFailed;
    }
}
