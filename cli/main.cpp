// dravel-cli: the download form's "send" from a command line, for scripts
// and production lines.
//
// Standard output carries exactly the system's own texts, one per line:
// "Transmitting .... ", every status-label text and every message-box text.
// Everything else (causes, hints, the progress bar) goes to standard error.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/image_input.h"
#include "cli/job_description.h"
#include "cli/port_list.h"
#include "cli/station_jobs.h"
#include "cli/transfer_job.h"
#include "host/interrupts.h"
#include "output/exit_codes.h"
#include "output/json_events.h"
#include "ports/port_table.h"

namespace {

using namespace dravel;
using namespace dravel::cli;

static_assert(kExitUsage == command_line::kExitUsage);

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
    "Images: an ELF file (by its magic), Intel HEX (.hex .ihex .ihx .h86) or\n"
    "S-records (.srec .s19 .s28 .s37 .mot .sx; other names by content) are sent\n"
    "as their flat image, objcopy -O binary --gap-fill 0xff of the file; a .bin\n"
    "byte for byte. FILE '-' is standard input. A bad file: exit 3 before any\n"
    "port, its line or section and address on standard error.\n"
    "\n"
    "Watch mode (a production station): --watch PATTERN flashes every serial\n"
    "device whose path matches the glob as it appears ('/dev/serial/by-id/usb-*',\n"
    "'/dev/ttyUSB*'; 'COM*' on Windows), once per appearance, and prints a line\n"
    "per board: PASS or FAIL, its number, its device, the seconds, the cause.\n"
    "It ends after --count N boards, or on Ctrl+C, with a summary.\n"
    "\n"
    "Exit status: 0 transfer completed (on every port), 1 the port could not be\n"
    "opened, 2 bad command line or a report/trace file that cannot be written,\n"
    "3 transfer error, or an image not opened or refused, 4 no answer within\n"
    "--sync-timeout, 5 delivered but not confirmed (no line matched --expect),\n"
    "130/143 cancelled by Ctrl+C/SIGTERM. A watch: 0 when every board passed,\n"
    "else 3.\n"
    "\n"
    "For tests only: DRAVEL_TIMER_SCALE=F (0 < F <= 1) shortens the answer timers\n"
    "(1000 ms after a sync probe, 20000 ms after a frame) by that factor.";

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

}  // namespace

int main(int argc, char** argv) {
    // The same bytes on every platform: a script compares lines.
    UseLineFeedLineEnds();
    InterruptWatcher::Prepare();

    output::ProgramSeconds();  // the clock of --json starts here
    CommandLineOptions options;
    PortArguments ports;
    CLI::App app("Sends FILE to the device's loader on a serial port, as the desktop form's send button does.",
                 "dravel-cli");
    command_line::Prepare(app);
    app.footer(kFooter);
    DeclareOptions(app, options, [&ports](const std::string& value) { return ports.Check(value); });

    if (const auto status = command_line::Parse(app, argc, argv)) return *status;
    // Ports 1 to 4 are what the desktop program's dialog made them.
    const std::string bindingsNote = ports.Table().Note();
    if (options.listPorts) return ListPorts(ports.Table());
    auto usageError = [&](const std::string& error) { return command_line::UsageError(app, error); };
    std::string error;
    const std::optional<JobDescription> job = DescribeJob(options, error);
    if (!job) return usageError(error);
    // Modem lines asked of a port that has none: said before anything is opened.
    for (const std::string& port : job->ports) {
        if (const std::string problem = BoardStepsProblem(BoardStepsOf(*job), DeviceOf(ports.For(port))); !problem.empty()) {
            return usageError(problem);
        }
    }

    switch (job->Mode()) {
        case JobMode::Single: {
            const std::string& port = job->ports.front();
            const PortConfig config = ports.For(port);
            return RunTransferJob(*job, port, config, PortArguments::IsProgramPort(port) ? bindingsNote : std::string());
        }
        case JobMode::Gang: {
            std::vector<station::GangMember> members;
            for (const std::string& port : job->ports) {
                const PortConfig config = ports.For(port);
                members.push_back({port, DeviceOf(config), PortLabel(config), ChildArguments(*job, port)});
            }
            return RunGangJob(*job, members, usageError);
        }
        case JobMode::Watch: return RunWatchJob(*job, usageError);
        case JobMode::Export: return RunExportJob(*job->records);
        case JobMode::Convert: return RunConvertJob(*job);
    }
    return kExitUsage;
}
