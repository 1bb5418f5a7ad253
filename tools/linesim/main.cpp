// dravel-linesim: a cable with faults between two pseudo-terminals.
#include <cstdio>
#include <string>
#include <vector>

#include "line_relay.h"
#include "options.h"

int main(int argc, char** argv) {
    using namespace dravel::linesim;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    ParseResult parsed = ParseOptions(arguments);
    if (parsed.options.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "dravel-linesim: %s\n%s", parsed.error.c_str(), UsageText());
        return kExitSetup;
    }
    LineRelay relay(std::move(parsed.options));
    return relay.Run();
}
