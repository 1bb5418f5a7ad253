#include "cli/transfer_job.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "cli/board_records.h"
#include "cli/board_steps.h"
#include "cli/image_input.h"
#include "host/interrupts.h"
#include "output/exit_codes.h"
#include "output/transfer_output.h"
#include "protocol/download.h"
#include "window/headless_window.h"

namespace dravel::cli {

static_assert(kExitInterrupted == InterruptWatcher::kInterruptedExitCode);

namespace {

// The form, without a window: its status label is a line on standard output.
class ConsoleForm final : public FormView {
public:
    ConsoleForm(output::TransferOutput& output, dravel::TransferKind kind) : m_output(output), m_kind(KindNumber(kind)) {}
    int TransferKind() const override { return m_kind.load(); }
    void SetStatusText(const std::string& text) override { m_output.Status(text); }
    void EnableSendButton(bool) override {}

private:
    output::TransferOutput& m_output;
    std::atomic<int> m_kind;
};

int ExitCodeOf(TransferOutcome outcome) {
    switch (outcome) {
        case TransferOutcome::Completed: return kExitCompleted;
        case TransferOutcome::NoAnswer: return kExitNoAnswer;
        case TransferOutcome::Stopped: return kExitInterrupted;
        case TransferOutcome::LineRefused: return kExitPortFatal;
        case TransferOutcome::NotConfirmed: return kExitNotConfirmed;
        default: return kExitFailed;
    }
}

// The report's result text when no box said one.
const char* OutcomeWithoutBox(int exitCode) {
    if (exitCode == kExitNoAnswer) return "no answer";
    if (exitCode == kExitPortFatal) return "modem lines refused";
    if (IsInterruptedExit(exitCode)) return "interrupted";
    return "";
}

}  // namespace

BoardSteps BoardStepsOf(const JobDescription& job) {
    std::string error;
    return MakeBoardSteps(job.resetSequence, job.runSequence, job.expect, job.expectTimeout, job.retries, error)
        .value_or(BoardSteps());
}

std::string DeviceOf(const PortConfig& port) { return port.Target().device; }

std::string PortLabel(const PortConfig& port) { return port.Target().label; }

int RunTransferJob(const JobDescription& job, const std::string& portArgument, const PortConfig& port,
                   const std::string& bindingsNote, BoardResult* boardResult) {
    output::TransferOutputSettings settings;
    settings.port = portArgument;
    settings.device = DeviceOf(port);
    settings.portLabel = PortLabel(port);
    settings.image = ImageNameOf(job);
    settings.kind = job.kind;
    settings.board = job.board;
    settings.quiet = job.quiet;
    settings.json = job.json;
    settings.progressForParent = job.forParent;
    settings.reportPath = job.reportPath;
    settings.tracePath = job.tracePath;
    output::TransferOutput output(settings);

    PreparedImage image;
    // A board with a record gets its own stamped copy: the image is read whole.
    if (KindSendsFile(job.kind)) image = PrepareImage(job, /*mayStream=*/!job.records);
    if (!image.error.empty()) return output.EndImageNotOpened(image.error);
    if (image.bytes) {
        if (const std::string problem = RecordsUsageProblem(job.records, image.bytes->size()); !problem.empty()) {
            output.Cause(problem);
            output.End(kExitUsage, problem);
            return kExitUsage;
        }
    }
    // Both files are opened before the line is touched: a record that cannot
    // be kept stops the run at once.
    if (const auto unwritable = output.OpenRecordFiles()) return *unwritable;
    if (KindSendsFile(job.kind)) output.Note("image " + image.name + ": " + image.Describe());
    if (!bindingsNote.empty()) output.Note(bindingsNote);
    if (output.WantsDigest() && image.bytes) output.SetImage(image.Digest());
    if (output.WantsDigest() && !image.bytes) {
        output::ImageDigest digest;
        std::string error;
        if (!output::DigestImage(job.file, digest, error)) {
            output.Cause(error);
            output.Box(job.file + text::kOpenFailed);
            output.End(kExitFailed);
            return kExitFailed;
        }
        image.Complete(digest);
        output.SetImage(digest);
    }
    // The board's number is allocated and stamped before its line opens.
    BoardRecords records(job.records, job.forParent);
    if (records.Enabled()) {
        const output::ImageDigest said = image.Digest();
        // The records take the image over: the board is sent their stamped copy.
        if (const auto ended = records.Begin(
                {portArgument, settings.device, job.board, image.name, job.kind, std::exchange(image.bytes, {}), said},
                output)) {
            return *ended;
        }
    }

    HeadlessWindow::Options windowOptions;
    windowOptions.timerScale = TimerScaleFromEnvironment();
    windowOptions.onMessageBox = [&](std::string_view text, std::string_view) { output.Box(text); };
    windowOptions.onCause = [&](std::string_view text) { output.Cause(text); };
    // A port that cannot be opened ends the process from inside the core.
    windowOptions.onEndProcess = [&](int exitCode) { output.End(records.Complete(exitCode, output)); };
    HeadlessWindow window(windowOptions);

    // Outlives the frame, whose worker calls it.
    BoardRun board(BoardStepsOf(job), output);
    CMainFrame frame(window);
    if (BoardStepsOf(job).Any()) frame.SetBoardHooks(&board);
    frame.SetPortConfig(port);
    frame.SetFilePath(job.file);
    if (const auto* stamped = records.Image()) {
        frame.SetImage(image.name, *stamped);
    } else if (image.bytes) {
        frame.SetImage(image.name, std::move(*image.bytes));
    }
    frame.SetLimits(job.limits);
    frame.SetProgressObserver([&](const TransferProgress& progress) { output.Progress(progress); });
    if (output.WantsTrace()) frame.SetTraceObserver([&](const TraceEvent& event) { output.Trace(event); });
    ConsoleForm form(output, job.kind);
    InterruptWatcher interrupts([&](std::string_view what) {
        output.Remark(std::string(what) + ": stopping the transfer and closing the port (again to exit at once)");
        frame.RequestStop();
        board.Interrupt();
    });

    // What the form's send does, on the window's own thread.
    window.Invoke([&] {
        output.Status(text::kTransmitting);
        frame.SetFormView(&form);
        frame.StartTransfer();
    });
    frame.WaitUntilIdle();
    frame.StopTransfer();

    int exitCode = ExitCodeOf(frame.LastOutcome());
    if (const int interrupted = interrupts.ExitCode()) {
        output.Remark("transfer cancelled; the port is closed");
        exitCode = interrupted;
    }
    BoardResult result = board.Result();
    // Without board steps the transfer was the one attempt.
    result.attempts = std::max(result.attempts, 1);
    exitCode = records.Complete(exitCode, output, result.attempts, result.banner);
    output.End(exitCode, OutcomeWithoutBox(exitCode));
    if (boardResult) *boardResult = result;
    return exitCode;
}

}  // namespace dravel::cli
