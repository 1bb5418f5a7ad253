// Watch mode: the production station. dravel-cli waits for serial devices
// whose path matches a pattern and downloads the image to each one as it
// appears, those present at the start included, until --count boards are
// done or Ctrl+C.
//
// Each board is flashed by a child of its own (child_runs.h), so boards
// plugged in together are flashed side by side. A device is flashed once per
// appearance: after its download it must go away before the same path is
// flashed again.
//
// Standard output: one line per board, "PASS <n> <device> <seconds>" or
// "FAIL <n> <device> <seconds> <cause>", then a summary; with --json the
// children's events and this program's `appeared` and `gone` instead (the
// summary then goes to standard error). Exit status: 0 when every board
// passed, 3 when one did not, 130/143 after an interrupt (which stops the
// running downloads and closes their ports first).
//
// Threads: the caller's thread polls the patterns and starts and collects
// the children; the supervisor's threads do the rest. Everything is joined
// before RunWatch returns.
//
// Failures: a child that cannot be started is a board that failed, with the
// system's words as its cause; the watch goes on.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dravel::station {

struct WatchOptions {
    std::vector<std::string> patterns;
    std::optional<int> count;  // end after this many boards
    bool json = false;
    // How often the patterns are looked at.
    std::chrono::milliseconds pollPeriod{250};
    // A child's command line for a device and its board number.
    std::function<std::vector<std::string>(const std::string& device, int board)> childArguments;
    // A board's cause after which no board can pass (its range is used up):
    // the watch starts no more, and ends once the running boards have.
    std::function<bool(const std::string& cause)> endsWatch;
};

int RunWatch(const WatchOptions& options);

// The line a board's result is said in, without the line feed.
std::string BoardLine(bool passed, int board, const std::string& device, double seconds, const std::string& cause,
                      int attempts = 1);

}  // namespace dravel::station
