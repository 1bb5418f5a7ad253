#include "cli/transfer_job.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "cli/console.h"
#include "cli/json_events.h"
#include "cli/report.h"
#include "cli/trace_log.h"
#include "host/interrupts.h"
#include "window/headless_window.h"
#include "serial/low_latency.h"
#include "protocol/download.h"

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
        m_record.board = options.board;
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
    void Cause(std::string_view text) {
        std::lock_guard lock(m_mutex);
        m_lastCause = text;
    }
    // The tool's own result text and the last cause, once finished.
    std::string Outcome() {
        std::lock_guard lock(m_mutex);
        return m_record.outcome;
    }
    std::string LastCause() {
        std::lock_guard lock(m_mutex);
        return m_lastCause;
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
    std::string m_lastCause;
};

}  // namespace

std::string DeviceOf(const PortConfig& port) { return port.Target().device; }

std::string PortLabel(const PortConfig& port) { return port.Target().label; }

std::optional<int> CheckImage(const std::string& path, int kind, bool quiet, bool json) {
    if (kind > 4) return std::nullopt;
    std::string error;
    if (ImageFile::CheckOpens(path, error)) return std::nullopt;
    Console console(quiet, json);
    console.Cause(error);
    console.Box(path + text::kOpenFailed);
    return kExitFailed;
}

int RunTransferJob(const JobOptions& options) {
    Console console(options.quiet, options.json);
    // With events the parent reads the progress from them.
    console.SetProgressForParent(options.forParent && !options.json);
    EventStream stream;
    TransferEvents events(stream, PortLabel(options.port), options.board);
    if (const auto failed = CheckImage(options.file, options.kind, options.quiet, options.json)) {
        if (options.json) events.End(*failed, options.file + text::kOpenFailed, "the image cannot be opened");
        return *failed;
    }

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
    trace.SetPort(PortLabel(options.port));
    if (!options.bindingsNote.empty()) trace.WriteText(options.bindingsNote);

    Record record(options);
    if ((report.IsOpen() || options.json) && options.kind <= 4) {
        ImageDigest digest;
        if (!DigestImage(options.file, digest, error)) {
            console.Cause(error);
            console.Box(options.file + text::kOpenFailed);
            record.Box(options.file + text::kOpenFailed);
            record.Finish(report, kExitFailed, {});
            if (options.json) events.End(kExitFailed, options.file + text::kOpenFailed, error);
            return kExitFailed;
        }
        record.SetDigest(digest);
        events.SetImage({digest.size, digest.sha256, options.kind});
    } else {
        events.SetImage({std::nullopt, std::nullopt, options.kind});
    }

    HeadlessWindow::Options windowOptions;
    windowOptions.timerScale = TimerScaleFromEnvironment();
    windowOptions.onMessageBox = [&](std::string_view text, std::string_view) {
        record.Box(text);
        console.Box(text);
    };
    windowOptions.onCause = [&](std::string_view text) {
        record.Cause(text);
        console.Cause(text);
    };
    // A port that cannot be opened ends the process from inside the core.
    windowOptions.onEndProcess = [&](int exitCode) {
        record.Finish(report, exitCode, {});
        if (options.json) events.End(exitCode, record.Outcome(), record.LastCause());
    };
    HeadlessWindow window(windowOptions);

    CMainFrame frame(window);
    frame.SetPortConfig(options.port);
    frame.SetFilePath(options.file);
    frame.SetLimits(options.limits);
    frame.SetProgressObserver([&](const TransferProgress& progress) {
        record.Progress(progress);
        console.Progress(progress);
        if (options.json) events.OnProgress(progress);
    });
    const bool tracing = !options.tracePath.empty();
    if (tracing || options.json) {
        frame.SetTraceObserver([&](const TraceEvent& event) {
            if (tracing) trace.Write(event);
            if (options.json) events.OnTrace(event);
        });
    }
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
    if (options.json) {
        const std::string message = record.Outcome();
        events.End(exitCode, message, exitCode == kExitCompleted ? std::string() : record.LastCause());
    }
    return exitCode;
}

}  // namespace dravel::cli
