#include "cli/station_jobs.h"

#include "cli/image_input.h"
#include "cli/transfer_job.h"
#include "output/console.h"
#include "output/exit_codes.h"
#include "output/json_events.h"
#include "output/transfer_output.h"
#include "station/watch.h"

namespace dravel::cli {

namespace {

// Found wrong once, the image would fail on every board: said once, and with
// --json every port of the job ends without its line touched.
std::optional<int> RefuseImage(const JobDescription& job, const std::vector<std::string>& eventPorts,
                               const std::string& problem) {
    if (problem.empty()) return std::nullopt;
    const std::string box = job.file + text::kOpenFailed;
    output::Console console(job.quiet, job.json);
    console.Cause(problem);
    console.Box(box);
    if (job.json) {
        output::EventStream stream;
        for (const std::string& port : eventPorts) {
            output::TransferEvents(stream, port, std::nullopt).End(kExitFailed, box, output::kImageNotOpenedCause);
        }
    }
    return kExitFailed;
}

}  // namespace

int RunGangJob(const JobDescription& job, const std::vector<station::GangMember>& members, const UsageError& usageError) {
    std::vector<std::string> eventPorts;
    for (const station::GangMember& member : members) eventPorts.push_back(member.eventPort);
    const StationImage image(job);
    if (const auto refused = RefuseImage(job, eventPorts, image.Error())) return *refused;
    if (const std::string unwritable = output::CheckRecordFiles(job.reportPath, job.tracePath); !unwritable.empty()) {
        return usageError(unwritable);
    }
    if (const std::string problem = RecordsUsageProblem(job.records, image.ChildJob().file); !problem.empty()) {
        return usageError(problem);
    }
    if (job.records) {
        if (const auto unreachable = CheckRecordsReachable(*job.records, job.quiet, job.json)) return *unreachable;
    }
    std::vector<station::GangMember> children = members;
    for (station::GangMember& child : children) child.arguments = ChildArguments(image.ChildJob(), child.port);
    return station::RunGang(children, job.quiet, job.json);
}

int RunWatchJob(const JobDescription& job, const UsageError& usageError) {
    // No event names a board before it appears.
    const StationImage image(job);
    if (const auto refused = RefuseImage(job, {}, image.Error())) return *refused;
    if (const std::string unwritable = output::CheckRecordFiles(job.reportPath, job.tracePath); !unwritable.empty()) {
        return usageError(unwritable);
    }
    if (const std::string problem = RecordsUsageProblem(job.records, image.ChildJob().file); !problem.empty()) {
        return usageError(problem);
    }
    if (job.records) {
        if (const auto unreachable = CheckRecordsReachable(*job.records, job.quiet, job.json)) return *unreachable;
    }
    station::WatchOptions watch;
    watch.patterns = job.watchPatterns;
    watch.count = job.count;
    watch.json = job.json;
    if (job.records && job.records->range) {
        // A range used up fails every board after it: the watch ends.
        watch.endsWatch = [text = records::RangeUsedUpText(*job.records->range)](const std::string& cause) {
            return cause == text;
        };
    }
    watch.childArguments = [&image](const std::string& device, int board) {
        return ChildArguments(image.ChildJob(), device, board);
    };
    return station::RunWatch(watch);
}

}  // namespace dravel::cli
