// dravel-linesim: a cable with faults between two pseudo-terminals.
#include "cli/command_line.h"
#include "line_relay.h"
#include "options.h"

int main(int argc, char** argv) {
    using namespace dravel;
    using namespace dravel::linesim;
    RelayOptions options;
    CLI::App app("", "dravel-linesim");
    command_line::Prepare(app);
    DescribeOptions(app, options);
    if (const auto status = command_line::Parse(app, argc, argv)) return *status;
    if (const auto reason = CheckOptions(options)) return command_line::UsageError(app, *reason);
    LineRelay relay(std::move(options));
    return relay.Run();
}
