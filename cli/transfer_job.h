// One transfer from the command line: what the desktop form's send does,
// with the command line's own additions (bounded waits, trace, report).
#pragma once

#include <optional>
#include <string>

#include "comm/port_config.h"
#include "protocol/transfer.h"

namespace dravel::cli {

inline constexpr int kExitCompleted = 0;
inline constexpr int kExitPortFatal = 1;  // the port layer ends the process with it
inline constexpr int kExitFailed = 3;
inline constexpr int kExitNoAnswer = 4;

struct JobOptions {
    std::string portArgument;  // as given: "1" to "4" or a device
    PortConfig port;
    int kind = 2;
    std::string file;
    bool quiet = false;
    TransferLimits limits;
    std::string tracePath;
    std::string reportPath;
    bool forParent = false;  // a gang member: progress goes to the parent
    bool json = false;       // standard output carries events (json_events.h)
    std::optional<int> board;  // a watch's board number, for the report and the events
    std::string bindingsNote;  // why the remembered ports were not read, for the trace
};

// Runs the transfer and returns the exit status.
int RunTransferJob(const JobOptions& options);

// Whether the image can be sent, said before anything touches the line:
// nothing when it can, else the exit status after "<path> Open Failed".
std::optional<int> CheckImage(const std::string& path, int kind, bool quiet, bool json = false);

// The device a port argument stands for, for the report and the gang table.
std::string DeviceOf(const PortConfig& port);

// A port as the trace and the events name it: a port of the program by its
// system name (COM1), any other by the device as given.
std::string PortLabel(const PortConfig& port);

}  // namespace dravel::cli
