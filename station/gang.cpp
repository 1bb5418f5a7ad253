#include "station/gang.h"

#include <algorithm>
#include <cstdio>

#include "output/exit_codes.h"
#include "station/child_runs.h"

namespace dravel::station {

namespace {

// How far a member is, for its line below the texts.
std::string ProgressText(const ChildRun& run) {
    if (run.finished) return run.exitCode == kExitCompleted ? "done" : "ended";
    if (!run.progress) return {};
    const output::ProgressReport& progress = *run.progress;
    const auto sent = static_cast<unsigned long long>(progress.bytesSent);
    char text[96];
    if (!progress.synchronised) {
        std::snprintf(text, sizeof text, "waiting for the device ...");
    } else if (progress.fileSize && *progress.fileSize > 0) {
        const double share = static_cast<double>(progress.bytesSent) / static_cast<double>(*progress.fileSize);
        std::snprintf(text, sizeof text, "%3d%%  %llu bytes  resends %d", static_cast<int>(share * 100.0), sent,
                      progress.resends);
    } else {
        std::snprintf(text, sizeof text, "%llu bytes  resends %d", sent, progress.resends);
    }
    return text;
}

void PrintTable(const std::vector<GangMember>& members, const std::vector<ChildRun>& runs) {
    std::printf("%-14s %-28s %-24s %9s %8s\n", "port", "device", "outcome", "seconds", "resends");
    for (std::size_t i = 0; i < members.size(); ++i) {
        // A member after one that could not start never ran.
        const ChildRun never;
        const ChildRun& run = i < runs.size() ? runs[i] : never;
        std::string outcome = run.lastText.empty() ? "exit " + std::to_string(run.exitCode) : run.lastText;
        if (run.attempts > 1) outcome += " (" + std::to_string(run.attempts) + " attempts)";
        std::printf("%-14s %-28s %-24s %9.1f %8d\n", members[i].port.c_str(), members[i].device.c_str(),
                    outcome.c_str(), run.seconds, run.progress ? run.progress->resends : 0);
    }
    std::fflush(stdout);
}

}  // namespace

int RunGang(const std::vector<GangMember>& members, bool quiet, bool json) {
    const bool terminal = !json && EnableTerminalSequences(ConsoleStream::Error);
    ChildRuns::Options options;
    options.json = json;
    options.echo = [quiet, terminal](const ChildRun& run, ChildStream stream, const std::string& line) {
        // On a terminal the lines above the bars stay for the results.
        if (stream == ChildStream::Output && terminal && quiet) return std::optional<Echo>();
        return std::optional<Echo>(Echo{stream == ChildStream::Output ? stdout : stderr, "[" + run.name + "] " + line});
    };
    options.status = [](const std::vector<const ChildRun*>& runs) {
        std::vector<std::string> lines;
        for (const ChildRun* run : runs) {
            char line[160];
            std::snprintf(line, sizeof line, "%-14s %s", run->name.c_str(), ProgressText(*run).c_str());
            lines.push_back(line);
        }
        return lines;
    };
    options.interruptText = [](std::string_view what, int) {
        return std::string(what) + ": stopping every transfer and closing the ports";
    };
    ChildRuns runs(options);

    bool startedAll = true;
    for (const GangMember& member : members) {
        std::string error;
        if (!runs.Start(member.port, member.eventPort, std::nullopt, member.arguments, error)) {
            runs.Say("cannot start the transfer for " + member.port + ": " + error);
            runs.InterruptAll();
            startedAll = false;
            break;
        }
    }
    // Woken by every end; the period only bounds a lost wake-up.
    while (runs.Running() > 0) runs.WaitForChange(std::chrono::seconds(1));

    std::vector<ChildRun> ended = runs.TakeFinished();
    std::sort(ended.begin(), ended.end(), [](const ChildRun& a, const ChildRun& b) { return a.number < b.number; });
    runs.EndStatus();
    if (!json) PrintTable(members, ended);

    if (!startedAll) return kExitPortFatal;
    if (const int interrupted = runs.InterruptExitCode()) return interrupted;
    for (const ChildRun& run : ended) {
        if (run.exitCode != kExitCompleted) return run.exitCode;
    }
    return kExitCompleted;
}

}  // namespace dravel::station
