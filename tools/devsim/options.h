// Command line of dravel-devsim. Outside checks drive the simulator through
// it, so its spelling is fixed; every option takes its value either as the
// next argument or after '=' (--refuse=3:2).
//
// Threads: called once from main. Failures: ParseOptions returns Error with
// a one-line reason naming the offending option.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "fault_plan.h"

namespace dravel::devsim {

struct Options {
    std::string link;   // --link: make a pseudo-terminal, this path links to it
    std::string tty;    // --tty: use a real serial device instead
    std::string image;  // --image
    std::string log;    // --log
    std::optional<uint32_t> baud;
    std::chrono::milliseconds idleGap{30};
    uint64_t repeat = 1;
    std::optional<std::chrono::milliseconds> timeout;
    FaultConfig faults;
};

enum class ParseOutcome : uint8_t { Run, Help, Error };

ParseOutcome ParseOptions(std::span<const char* const> args, Options& options, std::string& error);

const char* HelpText();

}  // namespace dravel::devsim
