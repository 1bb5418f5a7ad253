// dravel-cli: the download form's "send" from a command line, for scripts
// and production lines.
//
// Standard output carries exactly the system's own texts, one per line:
// "Transmitting .... ", every status-label text and every message-box text.
// Everything else (causes, hints, the progress bar) goes to standard error.

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/gang.h"
#include "cli/json_events.h"
#include "cli/port_list.h"
#include "cli/report.h"
#include "cli/trace_log.h"
#include "cli/transfer_job.h"
#include "cli/watch.h"
#include "host/interrupts.h"
#include "ports/port_table.h"

namespace {

using namespace dravel;
using namespace dravel::cli;

constexpr const char* kFooter =
    "Transfer kinds:\n"
    "  1  text lines ending CR LF, each line's last character its command\n"
    "  2  blocks of 1024 bytes, command '5' (the last block zero-padded)\n"
    "  3  blocks, command '6' (the last block as long as it is)\n"
    "  4  blocks, command '7'\n"
    "  5, 6  synchronise only: no file, no data\n"
    "\n"
    "Ports: port N (1 to 4) is the device named by the environment variable\n"
    "DRAVEL_COM<N>, else the device the desktop program's port dialog keeps for\n"
    "it (ports.json in ~/.config/dravel, or %APPDATA%\\dravel on Windows), else\n"
    "/dev/ttyS<N-1> (COM<N> on Windows); any other --port names a device itself\n"
    "(/dev/ttyUSB0, /dev/serial/by-id/..., COM7) or a port across the network:\n"
    "rfc2217://HOST:PORT (RFC 2217, as ser2net's telnet(rfc2217) accepter) or\n"
    "socket://HOST:PORT (raw TCP; the server sets the line). HOST is a name, an\n"
    "IPv4 address or [IPv6]. DRAVEL_COM<N> and the dialog may name one too.\n"
    "Several --port options send the same image to every device at once.\n"
    "\n"
    "Watch mode (a production station): --watch PATTERN flashes every serial\n"
    "device whose path matches the glob as it appears ('/dev/serial/by-id/usb-*',\n"
    "'/dev/ttyUSB*'; 'COM*' on Windows), once per appearance, and prints a line\n"
    "per board: PASS or FAIL, its number, its device, the seconds, the cause.\n"
    "It ends after --count N boards, or on Ctrl+C, with a summary.\n"
    "\n"
    "Exit status: 0 transfer completed (on every port), 1 the port could not be\n"
    "opened, 2 bad command line or a report/trace file that cannot be written,\n"
    "3 transfer error or image not opened, 4 no answer within --sync-timeout,\n"
    "130/143 cancelled by Ctrl+C/SIGTERM. A watch: 0 when every board passed,\n"
    "else 3.\n"
    "\n"
    "For tests only: DRAVEL_TIMER_SCALE=F (0 < F <= 1) shortens the answer timers\n"
    "(1000 ms after a sync probe, 20000 ms after a frame) by that factor.";

struct Options {
    std::vector<std::string> ports;
    int kind = 2;
    std::string file;
    bool listPorts = false;
    bool quiet = false;
    double syncTimeout = 0.0;
    int maxResends = -1;
    std::string trace;
    std::string report;
    bool gangMember = false;
    bool json = false;
    std::vector<std::string> watch;
    int count = 0;
    int board = 0;
};

// Every --port resolved once, against the ports the desktop program's dialog
// left (with DRAVEL_COM<n> over them), as the command line is read.
class PortArguments {
public:
    PortArguments() : m_table(PortTable::Load()) {}

    const PortTable& Table() const { return m_table; }

    // "1" to "4" is a port of the program; anything else but a bare number is a device.
    static bool IsProgramPort(const std::string& argument) {
        return argument.size() == 1 && argument[0] >= '1' && argument[0] <= '4';
    }

    // The check of --port: empty when the argument names a port, else why not.
    std::string Check(const std::string& argument) {
        std::string error;
        std::optional<ResolvedPort> port = m_table.Resolve(argument, error);
        if (!port) return error;
        m_resolved.insert_or_assign(argument, std::move(*port));
        return {};
    }

    // The port of an argument that passed Check(), or of the default "1".
    PortConfig For(const std::string& argument) {
        if (!m_resolved.contains(argument)) Check(argument);
        PortConfig config;
        if (IsProgramPort(argument)) config.portNumber = argument[0] - '0';
        config.resolved = m_resolved.at(argument);
        return config;
    }

private:
    PortTable m_table;
    std::map<std::string, ResolvedPort> m_resolved;
};

// The options a child of a gang runs with: everything but the other ports.
std::vector<std::string> MemberArguments(const Options& options, const std::string& port) {
    std::vector<std::string> arguments = {"--port", port, "--kind", std::to_string(options.kind), "--gang-member"};
    if (options.quiet) arguments.push_back("--quiet");
    if (options.json) arguments.push_back("--json");
    if (options.syncTimeout > 0) arguments.insert(arguments.end(), {"--sync-timeout", std::to_string(options.syncTimeout)});
    if (options.maxResends >= 0) arguments.insert(arguments.end(), {"--max-resends", std::to_string(options.maxResends)});
    if (!options.trace.empty()) arguments.insert(arguments.end(), {"--trace", options.trace});
    if (!options.report.empty()) arguments.insert(arguments.end(), {"--report", options.report});
    if (!options.file.empty()) arguments.insert(arguments.end(), {"--", options.file});
    return arguments;
}

// The report and the trace are opened once ahead, so that a file that cannot
// be written stops the run before any child touches a line.
template <typename UsageError>
std::optional<int> CheckRecordFiles(const Options& options, UsageError usageError) {
    std::string error;
    if (!options.report.empty()) {
        ReportFile report;
        if (!report.Open(options.report, error)) return usageError("--report " + error);
    }
    if (!options.trace.empty() && options.trace != "-") {
        TraceLog trace;
        if (!trace.Open(options.trace, error)) return usageError("--trace " + error);
    }
    return std::nullopt;
}

template <typename UsageError>
int Watch(const Options& options, UsageError usageError) {
    for (const std::string& pattern : options.watch) {
        if (pattern.empty()) return usageError("--watch needs a pattern");
    }
    // Found wrong once, it would fail on every board.
    if (const auto failed = CheckImage(options.file, options.kind, options.quiet, options.json)) return *failed;
    if (const auto unwritable = CheckRecordFiles(options, usageError)) return *unwritable;
    WatchOptions watch;
    watch.patterns = options.watch;
    if (options.count > 0) watch.count = options.count;
    watch.json = options.json;
    watch.childArguments = [&options](const std::string& device, int board) {
        std::vector<std::string> arguments = MemberArguments(options, device);
        // The station's own line per board stands for the texts.
        if (!options.json && !options.quiet) arguments.insert(arguments.begin(), "--quiet");
        arguments.insert(arguments.begin(), {"--board", std::to_string(board)});
        return arguments;
    };
    return RunWatch(watch);
}

}  // namespace

int main(int argc, char** argv) {
    // The same bytes on every platform: a script compares lines.
    UseLineFeedLineEnds();
    InterruptWatcher::Prepare();

    ProgramSeconds();  // the clock of --json starts here
    Options options;
    PortArguments ports;
    CLI::App app("Sends FILE to the device's loader on a serial port, as the desktop form's send button does.",
                 "dravel-cli");
    command_line::Prepare(app);
    app.footer(kFooter);
    app.add_option("-p,--port", options.ports, "serial port 1 to 4 (default 1) or a device; repeat for a gang")
        ->type_name("PORT")
        ->allow_extra_args(false)
        ->check([&ports](const std::string& value) { return ports.Check(value); });
    app.add_option("--kind", options.kind, "transfer kind 1 to 6 (default 2, the form's)")
        ->type_name("K")
        ->check(CLI::Range(1, 6).description(""));
    app.add_flag("--list-ports", options.listPorts, "show the ports and the serial devices, and whether each is free");
    app.add_option("--sync-timeout", options.syncTimeout, "give up when the device has not answered within S seconds (exit 4)")
        ->type_name("S")
        ->check(CLI::PositiveNumber.description(""));
    app.add_option("--max-resends", options.maxResends,
                   "end as a transfer error when a frame was sent N+1 times without acceptance")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber.description(""));
    app.add_flag("-q,--quiet", options.quiet, "standard output carries only the result and failures");
    app.add_option("--trace", options.trace, "append a timestamped line per probe, frame, answer and timer ('-': stderr)")
        ->type_name("FILE");
    app.add_option("--report", options.report, "append one JSON object per transfer")->type_name("FILE");
    app.add_flag("--json", options.json, "standard output carries only JSON events, one per line (docs/cli.md)");
    app.add_option("--watch", options.watch,
                   "flash every serial device matching the glob as it appears (repeatable; quote it)")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    app.add_option("--count", options.count, "with --watch: end after N boards")
        ->type_name("N")
        ->check(CLI::PositiveNumber.description(""));
    app.add_flag("--gang-member", options.gangMember)->group("");
    app.add_option("--board", options.board)->group("")->check(CLI::PositiveNumber);
    app.add_option("FILE", options.file, "the image to send (not for kinds 5 and 6)")->type_name("");

    if (const auto status = command_line::Parse(app, argc, argv)) return *status;
    // Ports 1 to 4 are what the desktop program's dialog made them.
    const std::string bindingsNote = ports.Table().Note();
    if (options.listPorts) return ListPorts(ports.Table());
    auto usageError = [&](const std::string& error) { return command_line::UsageError(app, error); };
    if (options.kind <= 4 && options.file.empty()) return usageError("no FILE given");
    if (options.count > 0 && options.watch.empty()) return usageError("--count is for --watch");
    if (!options.watch.empty()) {
        if (!options.ports.empty()) return usageError("--watch finds its devices itself; leave out --port");
        return Watch(options, usageError);
    }
    if (options.ports.empty()) options.ports.push_back("1");
    std::set<std::string> seen;
    for (const std::string& port : options.ports) {
        if (!seen.insert(port).second) return usageError("port " + port + " is given twice");
    }

    if (options.ports.size() == 1) {
        JobOptions job;
        job.portArgument = options.ports.front();
        job.port = ports.For(job.portArgument);
        job.kind = options.kind;
        job.file = options.file;
        job.quiet = options.quiet;
        if (options.syncTimeout > 0) {
            job.limits.syncTimeout = std::chrono::milliseconds(static_cast<int64_t>(options.syncTimeout * 1000.0 + 0.5));
        }
        if (options.maxResends >= 0) job.limits.maxResends = options.maxResends;
        job.tracePath = options.trace;
        job.reportPath = options.report;
        job.forParent = options.gangMember;
        job.json = options.json;
        if (options.board > 0) job.board = options.board;
        if (PortArguments::IsProgramPort(job.portArgument)) job.bindingsNote = bindingsNote;
        return RunTransferJob(job);
    }

    // A gang: everything that can be found wrong is found before any child
    // starts, so no device gets half a run.
    if (const auto failed = CheckImage(options.file, options.kind, options.quiet, options.json)) {
        if (options.json) {
            // Every port of the gang ends, without its line touched.
            EventStream stream;
            for (const std::string& port : options.ports) {
                TransferEvents(stream, PortLabel(ports.For(port)), std::nullopt)
                    .End(*failed, options.file + text::kOpenFailed, "the image cannot be opened");
            }
        }
        return *failed;
    }
    if (const auto unwritable = CheckRecordFiles(options, usageError)) return *unwritable;
    std::vector<GangMember> members;
    for (const std::string& port : options.ports) {
        members.push_back({port, DeviceOf(ports.For(port)), MemberArguments(options, port)});
    }
    return RunGang(members, options.quiet, options.json);
}
