// Test support: the end-to-end bench. dravel-cli on one side of the line
// relay, the device simulator on the other, each a child process with its
// output kept.
//
// RunTransfer() builds the bench in a scratch folder, sends one image and
// takes it down again; it returns everything a judge needs: what the tool
// said and how it ended, what the simulator stored, and which faults the
// relay put on the line (from its log). Nothing here decides whether a run
// was good - see the fault matrix for that.
//
// Threads: none started; call from the test's own thread.
//
// Failures: every process has a deadline; a child that outlives it is
// killed, and the run says so (TimedOut), so no test can hang on a bench. A
// bench that does not come up returns a run with the reason in cliErr.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravel::testing {

struct LineFault {
    std::string kind;       // flip, drop, dup
    std::string direction;  // up (tool to device) or down
    uint64_t offset = 0;    // byte offset in that direction
};

struct TransferRun {
    std::optional<int> cliExit;      // nothing: still running at the deadline, killed
    std::string cliOut;
    std::string cliErr;
    std::optional<int> simExit;
    std::string simOut;
    std::string simLog;
    std::optional<int> relayExit;
    std::string relaySummary;
    std::vector<LineFault> faults;
    uint64_t upBytes = 0;
    uint64_t stalls = 0;
    std::string image;               // what was sent
    std::optional<std::string> stored;  // what the simulator wrote, if it did
    double seconds = 0;

    // The tool printed exactly this line.
    bool Said(const std::string& text) const;
    bool TimedOut() const { return !cliExit.has_value(); }
};

struct TransferSetup {
    std::vector<std::string> relayOptions;  // faults, pacing, seed
    std::vector<std::string> simOptions;
    std::size_t imageSize = 8 * 1024 + 100;
    uint64_t imageSeed = 1;
    int kind = 2;
    // The tool's answer timers, shortened (1000 ms after a frame at 0.05).
    // A slow line needs longer ones: a whole frame must cross it in time.
    double timerScale = 0.05;
    std::chrono::seconds deadline{40};
};

TransferRun RunTransfer(const TransferSetup& setup);

// The number after "name=" in a tool's summary line; 0 if it is not there.
uint64_t Field(const std::string& text, const std::string& name);

}  // namespace dravel::testing
