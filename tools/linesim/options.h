// The relay's command line, read as every dravel program reads its command
// line (cli/command_line.h). Registering and checking touch nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

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
    // Bytes handed to a peer at a time, each batch only once the peer has
    // read the last (a driver that delivers bytes as they come); 0: as they come.
    uint32_t chunk = 0;
    // A USB adapter's latency timer on the device-to-tool direction: a byte
    // waits until this many ms have passed since the first byte held, or
    // until a USB packet's 62 bytes are held; 0: none.
    uint32_t usbLatencyMs = 0;
};

void DescribeOptions(CLI::App& app, RelayOptions& options);
// What the parser cannot check alone; the reason, or nothing when all is well.
std::optional<std::string> CheckOptions(RelayOptions& options);

}  // namespace dravel::linesim
