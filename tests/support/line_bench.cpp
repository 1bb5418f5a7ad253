#include "tests/support/line_bench.h"

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace dravel::testing {

namespace {

using namespace std::chrono_literals;

std::vector<LineFault> ParseRelayLog(const std::string& log) {
    std::vector<LineFault> faults;
    static const std::regex line("^(flip|drop|dup) (up|down) offset=([0-9]+)");
    for (const std::string& text : SplitLines(log)) {
        std::smatch match;
        if (std::regex_search(text, match, line)) faults.push_back({match[1], match[2], std::stoull(match[3])});
    }
    return faults;
}

}  // namespace

uint64_t Field(const std::string& text, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("\\b" + name + "=([0-9]+)"))) return 0;
    return std::stoull(match[1]);
}

bool TransferRun::Said(const std::string& text) const {
    const std::vector<std::string> lines = SplitLines(cliOut);
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

TransferRun RunTransfer(const TransferSetup& setup) {
    TempDir dir;
    TransferRun run;
    run.image = RandomImage(setup.imageSize, setup.imageSeed);
    WriteWholeFile(dir / "image.bin", run.image);
    const auto limit = std::to_string(setup.deadline.count() + 10);

    std::vector<std::string> relayArgs = {BinPath("dravel-linesim"), "--tool-link", dir / "tool", "--device-link",
                                          dir / "device", "--timeout", limit, "--log", dir / "relay.log"};
    relayArgs.insert(relayArgs.end(), setup.relayOptions.begin(), setup.relayOptions.end());
    ChildProcess relay(relayArgs, dir / "relay.out", dir / "relay.err");
    if (!relay.WaitForStderr("linesim: ready", 5s)) {
        run.cliErr = "relay did not start: " + relay.Stderr();
        return run;
    }
    std::vector<std::string> simArgs = {BinPath("dravel-devsim"), "--tty", dir / "device", "--image",
                                        dir / "stored.bin", "--timeout", limit, "--log", dir / "sim.log"};
    simArgs.insert(simArgs.end(), setup.simOptions.begin(), setup.simOptions.end());
    ChildProcess sim(simArgs, dir / "sim.out", dir / "sim.err");
    if (!sim.WaitForStderr("devsim: ready", 5s)) {
        run.cliErr = "simulator did not start: " + sim.Stderr();
        return run;
    }

    const auto start = Clock::now();
    ChildProcess cli({BinPath("dravel-cli"), "--kind", std::to_string(setup.kind), dir / "image.bin"},
                     dir / "cli.out", dir / "cli.err", {"DRAVEL_COM1=" + (dir / "tool"), "DRAVEL_TIMER_SCALE=" + std::to_string(setup.timerScale)});
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

}  // namespace dravel::testing
