// Gang download: the same image to several devices at once.
//
// A gang is a station over a fixed list of ports that ends when they are
// done: one child per port (child_runs.h), each a dravel-cli of its own with
// one --port. The parent shows one progress line per port on a terminal
// (else each child's texts, marked with its port), then a table of the
// outcomes, and ends with 0 only when every device completed; otherwise
// with the status of the first port, in the order given, that did not.
// Ctrl+C reaches the parent alone, which passes exactly one interrupt to
// every child so each closes its port.
//
// Threads: RunGang runs on the caller's thread and returns when every child
// has ended and every thread it made is joined.
//
// Failures: a child that cannot be started stops the gang: no further child
// starts, those running are interrupted, and the gang ends with 1.
#pragma once

#include <string>
#include <vector>

namespace dravel::station {

struct GangMember {
    std::string port;       // as given
    std::string device;     // what it resolves to
    std::string eventPort;  // how its events name the port
    std::vector<std::string> arguments;  // the child's command line
};

// With `json` the children speak in events, passed on as one stream; no
// table then.
int RunGang(const std::vector<GangMember>& members, bool quiet, bool json = false);

}  // namespace dravel::station
