// dravel-cli: the download form's "send" from a command line, for scripts
// and production lines.
//
// Standard output carries exactly the system's own texts, one per line:
// "Transmitting .... ", every status-label text and every message-box text.
// Everything else (causes, hints, the progress bar) goes to standard error.

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/gang.h"
#include "cli/port_list.h"
#include "cli/report.h"
#include "cli/trace_log.h"
#include "cli/transfer_job.h"
#include "comm/port_bindings.h"
#include "platform/console.h"
#include "platform/port_names.h"

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
    "(/dev/ttyUSB0, /dev/serial/by-id/..., COM7). Several --port options send\n"
    "the same image to every device at once.\n"
    "\n"
    "Exit status: 0 transfer completed (on every port), 1 the port could not be\n"
    "opened, 2 bad command line or a report/trace file that cannot be written,\n"
    "3 transfer error or image not opened, 4 no answer within --sync-timeout,\n"
    "130/143 cancelled by Ctrl+C/SIGTERM.\n"
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
};

// "1" to "4" is a port of the program; anything else but a bare number is a device.
std::string CheckPort(const std::string& value) {
    if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
        if (value.size() == 1 && value[0] >= '1' && value[0] <= '4') return {};
        return "a port is 1 to 4 or a device name, not " + value;
    }
    if (value.empty()) return "a port needs a number from 1 to 4 or a device name";
    return {};
}

PortConfig PortFor(const std::string& argument) {
    PortConfig config;
    if (argument.size() == 1 && argument[0] >= '1' && argument[0] <= '4') {
        config.portNumber = argument[0] - '0';
    } else {
        config.device = argument;
    }
    return config;
}

// The options a child of a gang runs with: everything but the other ports.
std::vector<std::string> MemberArguments(const Options& options, const std::string& port) {
    std::vector<std::string> arguments = {"--port", port, "--kind", std::to_string(options.kind), "--gang-member"};
    if (options.quiet) arguments.push_back("--quiet");
    if (options.syncTimeout > 0) arguments.insert(arguments.end(), {"--sync-timeout", std::to_string(options.syncTimeout)});
    if (options.maxResends >= 0) arguments.insert(arguments.end(), {"--max-resends", std::to_string(options.maxResends)});
    if (!options.trace.empty()) arguments.insert(arguments.end(), {"--trace", options.trace});
    if (!options.report.empty()) arguments.insert(arguments.end(), {"--report", options.report});
    if (!options.file.empty()) arguments.insert(arguments.end(), {"--", options.file});
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    // The same bytes on every platform: a script compares lines.
    UseLineFeedLineEnds();
    InterruptWatcher::Prepare();

    Options options;
    CLI::App app("Sends FILE to the device's loader on a serial port, as the desktop form's send button does.",
                 "dravel-cli");
    command_line::Prepare(app);
    app.footer(kFooter);
    app.add_option("-p,--port", options.ports, "serial port 1 to 4 (default 1) or a device; repeat for a gang")
        ->type_name("PORT")
        ->allow_extra_args(false)
        ->check([](const std::string& value) { return CheckPort(value); });
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
    app.add_flag("--gang-member", options.gangMember)->group("");
    app.add_option("FILE", options.file, "the image to send (not for kinds 5 and 6)")->type_name("");

    if (const auto status = command_line::Parse(app, argc, argv)) return *status;
    // Ports 1 to 4 are what the desktop program's dialog made them.
    const std::string bindingsNote = UseStoredPortBindings();
    if (options.listPorts) return ListPorts();
    auto usageError = [&](const std::string& error) { return command_line::UsageError(app, error); };
    if (options.kind <= 4 && options.file.empty()) return usageError("no FILE given");
    if (options.ports.empty()) options.ports.push_back("1");
    std::set<std::string> seen;
    for (const std::string& port : options.ports) {
        if (!seen.insert(port).second) return usageError("port " + port + " is given twice");
    }

    if (options.ports.size() == 1) {
        JobOptions job;
        job.portArgument = options.ports.front();
        job.port = PortFor(job.portArgument);
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
        if (job.port.device.empty()) job.bindingsNote = bindingsNote;
        return RunTransferJob(job);
    }

    // A gang: everything that can be found wrong is found before any child
    // starts, so no device gets half a run.
    if (const auto failed = CheckImage(options.file, options.kind, options.quiet)) return *failed;
    std::string error;
    if (!options.report.empty()) {
        ReportFile report;
        if (!report.Open(options.report, error)) return usageError("--report " + error);
    }
    if (!options.trace.empty() && options.trace != "-") {
        TraceLog trace;
        if (!trace.Open(options.trace, error)) return usageError("--trace " + error);
    }
    std::vector<GangMember> members;
    for (const std::string& port : options.ports) {
        members.push_back({port, DeviceOf(PortFor(port)), MemberArguments(options, port)});
    }
    return RunGang(members, options.quiet);
}
