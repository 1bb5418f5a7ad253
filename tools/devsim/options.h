// Command line of dravel-devsim. Outside checks drive the simulator through
// it, so its spelling is fixed; it is read as every dravel program reads its
// command line (cli/command_line.h): a value follows its option or comes
// after '=' (--refuse=3:2).
//
// Threads: called once from main. Failures: ParseOptions returns Error with
// a one-line reason naming the offending option.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <CLI/CLI.hpp>

#include "board_model.h"
#include "fault_plan.h"

namespace dravel::devsim {

struct Options {
    std::string link;   // --link: make a pseudo-terminal, this path links to it
    std::string tty;    // --tty: use a real serial device instead
    std::string listen;       // --listen: be a terminal server (RFC 2217) instead
    std::string portFile;     // --port-file: where the listening port goes
    std::string controlLog;   // --control-log: one line per SET-CONTROL
    std::string image;  // --image
    std::string log;    // --log
    std::optional<uint32_t> baud;
    std::chrono::milliseconds idleGap{30};
    uint64_t repeat = 1;
    std::optional<std::chrono::milliseconds> timeout;
    FaultConfig faults;
    BoardSettings board;
};

// "rfc2217://HOST:PORT" to listen on; PORT 0 lets the system choose. Nothing,
// with the reason in `error`, for anything else.
std::optional<std::pair<std::string, uint16_t>> ParseListenUrl(std::string_view url, std::string& error);

enum class ParseOutcome : uint8_t { Run, Help, Version, Error };

// The simulator's options, registered on a parser that fills `options`.
void DescribeOptions(CLI::App& app, Options& options);
// What the parser cannot check alone; the reason, or nothing when all is well.
std::optional<std::string> CheckOptions(const Options& options);

// For tests: the whole command line without the program's name.
ParseOutcome ParseOptions(std::span<const char* const> args, Options& options, std::string& error);

}  // namespace dravel::devsim
