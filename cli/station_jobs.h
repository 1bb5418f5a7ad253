// The command line's two stations: a gang (several --port) and a watch
// (--watch). Everything that can be found wrong with the job is found here,
// before any child starts, so that no device gets half a run; the stations
// themselves are in station/.
//
// Threads: each runs on the main thread until its children have ended.
//
// Failures: an image that does not open ends with 3 after "<path> Open
// Failed" (and with --json an `end` for every port of a gang); a report or
// trace file that cannot be written is a usage error (2).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/job_description.h"
#include "station/gang.h"

namespace dravel::cli {

// Says a usage error and answers the exit status.
using UsageError = std::function<int(const std::string& error)>;

// `members`: a member per port of the job, in its order.
int RunGangJob(const JobDescription& job, const std::vector<station::GangMember>& members, const UsageError& usageError);

int RunWatchJob(const JobDescription& job, const UsageError& usageError);

}  // namespace dravel::cli
