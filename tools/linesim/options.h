// The relay's command line.
//
// ParseOptions turns argv into RelayOptions or an error text for the usage
// message; it touches nothing else, so the tests can feed it any argv.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"

namespace dravel::linesim {

struct Stall {
    uint32_t milliseconds = 0;
    uint64_t atByte = 0;  // bytes carried in the faulted directions before it starts
};

struct RelayOptions {
    std::string toolLink;
    std::string deviceLink;
    uint32_t baud = 0;  // 0: no pacing
    FaultRates rates;
    std::vector<Stall> stalls;  // in the order they fall due
    std::optional<uint64_t> hangupAfter;
    bool up = true;
    bool down = true;
    std::optional<uint64_t> seed;
    std::optional<uint64_t> maxFaults;
    std::optional<uint32_t> timeoutSeconds;
    std::string logPath;
    bool help = false;
};

struct ParseResult {
    RelayOptions options;
    std::string error;  // empty when the command line was good
};

ParseResult ParseOptions(const std::vector<std::string>& arguments);

const char* UsageText();

}  // namespace dravel::linesim
