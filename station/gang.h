// Gang download: the same image to several devices at once.
//
// One child process per port (the opening gate of the receive path belongs
// to a process), each a dravel-cli of its own with one --port. The parent
// shows one progress line per port on a terminal (else each child's texts,
// marked with its port), then a table of the outcomes, and ends with 0 only
// when every device completed; otherwise with the status of the first port,
// in the order given, that did not. Ctrl+C reaches the parent alone, which
// passes exactly one interrupt to every child so each closes its port.
#pragma once

#include <string>
#include <vector>

namespace dravel::cli {

struct GangMember {
    std::string port;    // as given
    std::string device;  // what it resolves to
    std::vector<std::string> arguments;  // the child's command line
};

// With `json` the children speak in events, passed on as one stream; no
// table then.
int RunGang(const std::vector<GangMember>& members, bool quiet, bool json = false);

}  // namespace dravel::cli
