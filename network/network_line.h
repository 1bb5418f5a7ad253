// A serial port across the network behind the serial-line contract
// (comm/serial_line.h): "rfc2217://HOST:PORT" through a telnet server with
// the COM port option, "socket://HOST:PORT" as raw TCP. network_line.cpp,
// portable, over this platform's sockets (network/tcp_socket.h).
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
