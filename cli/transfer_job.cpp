#include "cli/transfer_job.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "cli/console.h"
#include "cli/report.h"
#include "cli/trace_log.h"
#include "platform/console.h"
#include "platform/headless_window.h"
#include "platform/port_names.h"
#include "protocol/main_frame.h"

namespace dravel::cli {

namespace {

// The form, without a window: its status label is a line on standard output.
class ConsoleForm final : public FormView {
public:
    ConsoleForm(Console& console, int kind) : m_console(console), m_kind(kind) {}
    int TransferKind() const override { return m_kind.load(); }
    void SetStatusText(const std::string& text) override { m_console.Status(text); }
    void EnableSendButton(bool) override {}

private:
    Console& m_console;
    std::atomic<int> m_kind;
};

// What the report says of a transfer, gathered while it runs.
class Record {
public:
    explicit Record(const JobOptions& options) {
        m_record.start = IsoTimeNow();
        m_record.port = options.portArgument;
        m_record.device = DeviceOf(options.port);
        m_record.image = options.kind <= 4 ? options.file : std::string();
        m_record.kind = options.kind;
        m_began = std::chrono::steady_clock::now();
    }
    void SetDigest(const ImageDigest& digest) { m_record.digest = digest; }
    void Progress(const TransferProgress& progress) {
        std::lock_guard lock(m_mutex);
        m_record.frames = progress.blocks;
        m_record.resends = progress.resends;
        m_record.noAnswers = progress.noAnswers;
        m_record.payloadBytes = progress.bytesSent;
    }
    void Box(std::string_view text) {
        std::lock_guard lock(m_mutex);
        m_record.outcome = text;
    }
    // Once, whichever way the process ends.
    void Finish(ReportFile& file, int exitCode, std::string_view outcomeIfNoBox) {
        std::lock_guard lock(m_mutex);
        if (m_finished) return;
        m_finished = true;
        if (m_record.outcome.empty()) m_record.outcome = outcomeIfNoBox;
        m_record.exitCode = exitCode;
        m_record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_began).count();
        file.Append(m_record);
    }

private:
    std::mutex m_mutex;
    ReportRecord m_record;
    std::chrono::steady_clock::time_point m_began;
    bool m_finished = false;
};

}  // namespace

std::string DeviceOf(const PortConfig& port) {
    return port.device.empty() ? ResolvePortDevice(port.portNumber) : ResolvePortName(port.device);
}

std::optional<int> CheckImage(const std::string& path, int kind, bool quiet) {
    if (kind > 4) return std::nullopt;
    std::string error;
    if (ImageFile::CheckOpens(path, error)) return std::nullopt;
    Console console(quiet);
    console.Cause(error);
    console.Box(path + text::kOpenFailed);
    return kExitFailed;
}

int RunTransferJob(const JobOptions& options) {
    Console console(options.quiet);
    console.SetProgressForParent(options.forParent);
    if (const auto failed = CheckImage(options.file, options.kind, options.quiet)) return *failed;

    // Both files are opened before the line is touched: a record that cannot
    // be kept stops the run at once.
    ReportFile report;
    TraceLog trace;
    std::string error;
    if (!options.reportPath.empty() && !report.Open(options.reportPath, error)) {
        console.Cause("--report " + error);
        return 2;
    }
    if (!options.tracePath.empty() && !trace.Open(options.tracePath, error)) {
        console.Cause("--trace " + error);
        return 2;
    }
    trace.SetPort(options.port.device.empty() ? "COM" + std::to_string(options.port.portNumber) : options.port.device);
    if (!options.bindingsNote.empty()) trace.WriteText(options.bindingsNote);

    Record record(options);
    if (report.IsOpen() && options.kind <= 4) {
        ImageDigest digest;
        if (!DigestImage(options.file, digest, error)) {
            console.Cause(error);
            console.Box(options.file + text::kOpenFailed);
            record.Box(options.file + text::kOpenFailed);
            record.Finish(report, kExitFailed, {});
            return kExitFailed;
        }
        record.SetDigest(digest);
    }

    HeadlessWindow::Options windowOptions;
    windowOptions.timerScale = TimerScaleFromEnvironment();
    windowOptions.onMessageBox = [&](std::string_view text, std::string_view) {
        record.Box(text);
        console.Box(text);
    };
    windowOptions.onCause = [&console](std::string_view text) { console.Cause(text); };
    // A port that cannot be opened ends the process from inside the core.
    windowOptions.onEndProcess = [&](int exitCode) { record.Finish(report, exitCode, {}); };
    HeadlessWindow window(windowOptions);

    CMainFrame frame(window);
    frame.SetPortConfig(options.port);
    frame.SetFilePath(options.file);
    frame.SetLimits(options.limits);
    frame.SetProgressObserver([&](const TransferProgress& progress) {
        record.Progress(progress);
        console.Progress(progress);
    });
    if (!options.tracePath.empty()) frame.SetTraceObserver([&trace](const TraceEvent& event) { trace.Write(event); });
    ConsoleForm form(console, options.kind);
    InterruptWatcher interrupts([&](std::string_view what) {
        console.Cause(std::string(what) + ": stopping the transfer and closing the port (again to exit at once)");
        frame.RequestStop();
    });

    // What the form's send does, on the window's own thread.
    window.Invoke([&] {
        console.Status(text::kTransmitting);
        frame.SetFormView(&form);
        frame.StartTransfer();
    });
    frame.WaitUntilIdle();
    frame.StopTransfer();

    int exitCode = kExitFailed;
    const char* outcome = "";
    if (const int interrupted = interrupts.ExitCode()) {
        console.Cause("transfer cancelled; the port is closed");
        exitCode = interrupted;
        outcome = "interrupted";
    } else {
        switch (frame.LastOutcome()) {
            case TransferOutcome::Completed: exitCode = kExitCompleted; break;
            case TransferOutcome::NoAnswer:
                exitCode = kExitNoAnswer;
                outcome = "no answer";
                break;
            case TransferOutcome::Stopped:
                exitCode = InterruptWatcher::kInterruptedExitCode;
                outcome = "interrupted";
                break;
            default: exitCode = kExitFailed; break;
        }
    }
    record.Finish(report, exitCode, outcome);
    return exitCode;
}

}  // namespace dravel::cli
