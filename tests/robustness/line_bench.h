// The end-to-end bench: dravel-cli on one side of the line relay, the device
// simulator on the other, each a child process with its output kept.
//
// RunTransfer() builds the bench in a scratch folder, sends one image and
// takes it down again; it returns everything a judge needs: what the tool
// said and how it ended, what the simulator stored, and which faults the
// relay put on the line (from its log). Nothing here decides whether a run
// was good - see the fault matrix for that.
//
// Every process has a deadline; a child that outlives it is killed, and
// the run says so (TimedOut), so no test can hang on a bench.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "bench_support.h"

namespace dravel::bench {

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

    bool Said(const std::string& text) const {
        std::istringstream lines(cliOut);
        for (std::string line; std::getline(lines, line);) {
            if (line == text) return true;
        }
        return false;
    }
    bool TimedOut() const { return !cliExit.has_value(); }
};

struct TransferSetup {
    std::vector<std::string> relayOptions;  // faults, pacing, seed
    std::vector<std::string> simOptions;
    std::size_t imageSize = 8 * 1024 + 100;
    uint64_t imageSeed = 1;
    int kind = 2;
    std::chrono::seconds deadline{40};
};

inline std::string RandomImage(std::size_t size, uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::string image(size, '\0');
    for (auto& byte : image) byte = static_cast<char>(generator() & 0xFF);
    return image;
}

// The kind-2 image the simulator must store: the file, zero-padded to whole
// blocks of 1024.
inline std::string PaddedImage(const std::string& file) {
    std::string padded = file;
    padded.resize((file.size() + 1023) / 1024 * 1024, '\0');
    return padded;
}

inline uint64_t Field(const std::string& text, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("\\b" + name + "=([0-9]+)"))) return 0;
    return std::stoull(match[1]);
}

inline std::vector<LineFault> ParseRelayLog(const std::string& log) {
    std::vector<LineFault> faults;
    static const std::regex line("^(flip|drop|dup) (up|down) offset=([0-9]+)");
    std::istringstream lines(log);
    for (std::string text; std::getline(lines, text);) {
        std::smatch match;
        if (std::regex_search(text, match, line)) faults.push_back({match[1], match[2], std::stoull(match[3])});
    }
    return faults;
}

inline TransferRun RunTransfer(const TransferSetup& setup) {
    ScratchDir dir;
    TransferRun run;
    run.image = RandomImage(setup.imageSize, setup.imageSeed);
    WriteWholeFile(dir / "image.bin", run.image);
    const auto limit = std::to_string(setup.deadline.count() + 10);

    std::vector<std::string> relayArgs = {BinPath("dravel-linesim"), "--tool-link", dir / "tool", "--device-link",
                                          dir / "device", "--timeout", limit, "--log", dir / "relay.log"};
    relayArgs.insert(relayArgs.end(), setup.relayOptions.begin(), setup.relayOptions.end());
    ChildProcess relay(relayArgs, dir.Path(), "relay");
    if (!relay.WaitForStderr("linesim: ready", 5s)) {
        run.cliErr = "relay did not start: " + relay.Stderr();
        return run;
    }
    std::vector<std::string> simArgs = {BinPath("dravel-devsim"), "--tty", dir / "device", "--image",
                                        dir / "stored.bin", "--timeout", limit, "--log", dir / "sim.log"};
    simArgs.insert(simArgs.end(), setup.simOptions.begin(), setup.simOptions.end());
    ChildProcess sim(simArgs, dir.Path(), "sim");
    if (!sim.WaitForStderr("devsim: ready", 5s)) {
        run.cliErr = "simulator did not start: " + sim.Stderr();
        return run;
    }

    const auto start = Clock::now();
    ChildProcess cli({BinPath("dravel-cli"), "--kind", std::to_string(setup.kind), dir / "image.bin"}, dir.Path(),
                     "cli", {"DRAVEL_COM1=" + (dir / "tool"), "DRAVEL_TIMER_SCALE=0.05"});
    run.cliExit = cli.Wait(setup.deadline);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!run.cliExit) cli.Signal(SIGKILL);
    cli.Wait(5s);
    // A simulator that took the end frame writes its image and exits at once;
    // one that did not would wait for ever (its own timeout).
    run.simExit = sim.Wait(run.cliExit == 0 ? 3s : 500ms);
    if (!run.simExit) sim.Stop(2s);
    run.relayExit = relay.Running() ? relay.Stop(3s) : relay.Wait(1s);

    run.cliOut = cli.Stdout();
    run.cliErr += cli.Stderr();
    run.simOut = sim.Stdout();
    run.simLog = ReadWholeFile(dir / "sim.log");
    run.relaySummary = relay.Stdout();
    run.faults = ParseRelayLog(ReadWholeFile(dir / "relay.log"));
    run.upBytes = Field(run.relaySummary, "up");
    run.stalls = Field(run.relaySummary, "stalls");
    if (run.simExit == 0 && std::filesystem::exists(dir / "stored.bin")) run.stored = ReadWholeFile(dir / "stored.bin");
    return run;
}

}  // namespace dravel::bench
