// A serial port across the network behind the serial-line contract
// (comm/serial_line.h): "rfc2217://HOST:PORT" through a telnet server with
// the COM port option, "socket://HOST:PORT" as raw TCP. network_line.cpp,
// portable, over this platform's sockets (network/tcp_socket.h).
//
// Whatever a server sends, the line holds a bounded amount for it (a full
// queue toward the port stops the reading, so TCP holds the server back),
// keeps the opening within its 3 s, and ends the connection with the cause
// when the server breaks the telnet stream or keeps negotiating without
// reading the answers: a hang-up to the port, an open failure while opening.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "line/line_transport.h"
#include "network/network_port.h"

namespace dravel {

// A line to `port`, its name parsed beforehand (network_port.h): Open() takes
// the name only to show it. Without a port, every Open() fails with `problem`,
// the reason the name did not parse.
std::unique_ptr<LineTransport> MakeNetworkLine(std::optional<NetworkPort> port, std::string problem = {});

}  // namespace dravel
