// One transfer from the command line: what the desktop form's send does,
// with the command line's own additions (bounded waits, trace, report,
// events), all said through one TransferOutput.
//
// Threads: RunTransferJob runs on the main thread and returns when the
// transfer has ended and its threads are joined.
//
// Failures: every way a transfer ends is an exit status (exit_codes.h) after
// the texts, the report and the end event; a port that cannot be opened ends
// the process from inside the core with 1, after the report and the event.
// With --records the board gets its number and its stamped image before
// the port opens, and its record is completed before the end is said
// (board_records.h).
#pragma once

#include <string>

#include "cli/board_steps.h"
#include "cli/job_description.h"
#include "comm/port_config.h"

namespace dravel::cli {

// Runs the job's transfer on one port (`portArgument` as given, `port` what
// it stands for) and returns the exit status. `bindingsNote` tells the trace
// why the remembered ports were not read.
// `board`, when given, learns how many attempts the board took and the line
// that confirmed it.
int RunTransferJob(const JobDescription& job, const std::string& portArgument, const PortConfig& port,
                   const std::string& bindingsNote = {}, BoardResult* board = nullptr);

// The device a port argument stands for, for the report and the gang table.
std::string DeviceOf(const PortConfig& port);

// The board's steps the job asks for (checked when the job was described).
BoardSteps BoardStepsOf(const JobDescription& job);

// A port as the trace and the events name it: a port of the program by its
// system name (COM1), any other by the device as given.
std::string PortLabel(const PortConfig& port);

}  // namespace dravel::cli
