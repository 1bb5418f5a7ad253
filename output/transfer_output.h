// Everything a transfer says, fanned out from one place.
//
// A transfer calls TransferOutput once per step (a status text, a message
// box, a cause, the progress, a trace event, the end) and never asks which
// outputs are on: the settings decide what each step feeds.
//
//   step       console (console.h)              report    --json events     --trace
//   Status     stdout, unless quiet             -         -                 -
//   Box        stdout                           outcome   end's message     -
//   Cause      stderr                           -         end's cause       -
//   Remark     stderr                           -         -                 -
//   Progress   bar, or progress line for a      counts    sync, progress    -
//              parent
//   Trace      -                                -         open, resend      a line
//   End        -                                a line    end               -
//
// With --json the console leaves standard output to the events.
//
// What it owns: the console, the event stream, the report file and the trace
// file of one transfer.
//
// Threads: construction, OpenRecordFiles, SetImage and Note belong to the
// thread that runs the job, before the transfer starts; every step may then
// come from any of the transfer's threads (the window's loop, the worker, the
// interrupt watcher). End takes effect once, whichever thread comes first (a
// port that cannot be opened ends the process from inside the core).
//
// Failures: a report or trace file that cannot be opened is said as a cause
// and stops the job (OpenRecordFiles); a stream that cannot be written later
// loses its line and nothing else.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "output/console.h"
#include "output/json_events.h"
#include "output/report.h"
#include "output/trace_log.h"
#include "protocol/trace.h"
#include "protocol/transfer.h"

namespace dravel::output {

// What the events say of an image that does not open, where the report has
// no record to keep.
inline constexpr const char* kImageNotOpenedCause = "the image cannot be opened";

struct TransferOutputSettings {
    std::string port;       // as given on the command line (the report's `port`)
    std::string device;     // what it resolves to (the report's `device`)
    std::string portLabel;  // how the trace and the events name the port
    std::string image;      // the image's path
    TransferKind kind = TransferKind::Blocks5;
    std::optional<int> board;  // a watch's board number
    bool quiet = false;
    bool json = false;              // standard output carries events
    bool progressForParent = false;  // a station's child: progress lines on stderr
    std::string reportPath;  // empty: no report
    std::string tracePath;   // empty: no trace; "-": standard error
    ConsoleStreams streams;  // the events go to streams.out as well
};

// Whether the report and the trace can be written, for a station to find out
// once before any child starts: empty when they can, else the cause
// ("--report <path>: <the system's words>").
std::string CheckRecordFiles(const std::string& reportPath, const std::string& tracePath);

class TransferOutput {
public:
    explicit TransferOutput(TransferOutputSettings settings);
    TransferOutput(const TransferOutput&) = delete;
    TransferOutput& operator=(const TransferOutput&) = delete;

    // Opens the report and the trace before the line is touched: nothing when
    // both can be written, else the exit status, the cause said.
    std::optional<int> OpenRecordFiles();
    // Whether anything shows the image's size and SHA-256: then the job reads
    // the image for them ahead of the transfer.
    bool WantsDigest() const;
    void SetImage(const ImageDigest& digest);
    // The board's serial number, when the records gave it one (the report's `serial`).
    void SetSerial(uint64_t serial);
    // Whether anything shows the trace events: then the job asks for them.
    bool WantsTrace() const;
    // A line for the trace alone (how the ports were found).
    void Note(std::string_view text);

    void Status(std::string_view text);
    void Box(std::string_view text);
    // Why the transfer goes as it does: the end event repeats the last one.
    void Cause(std::string_view text);
    // The program's own words on standard error that are no cause of the
    // outcome (an interrupt being handled).
    void Remark(std::string_view text);
    void Progress(const TransferProgress& progress);
    void Trace(const TraceEvent& event);
    // A board's attempt (1, 2, ...) begins; a station's child says so to
    // its parent.
    void Attempt(int attempt);
    // The line with which the board confirmed its new firmware.
    void Boot(std::string_view line);

    // The end, with its exit status; `outcomeIfNoBox` is the report's and the
    // event's result text when no box said one.
    void End(int exitCode, std::string_view outcomeIfNoBox = {});
    // The image does not open: "<path> Open Failed", the cause, and the end
    // with kExitFailed.
    int EndImageNotOpened(std::string_view error);
    // The last cause and the tool's own result text so far, for the board's record.
    std::string LastCause() { return m_record.LastCause(); }
    std::string ResultText() { return m_record.Outcome(); }

private:
    void Finish(int exitCode, std::string_view outcomeIfNoBox, std::optional<std::string_view> cause);

    const TransferOutputSettings m_settings;
    Console m_console;
    EventStream m_stream;
    TransferEvents m_events;
    ReportFile m_report;
    TraceLog m_trace;
    TransferRecord m_record;
};

}  // namespace dravel::output
