// A serial port across the network behind the serial-line contract
// (comm/serial_line.h): "rfc2217://HOST:PORT" through a telnet server with
// the COM port option, "socket://HOST:PORT" as raw TCP. network_line.cpp,
// portable, over this platform's sockets (network/tcp_socket.h).
#pragma once

#include <memory>

#include "line/line_transport.h"

namespace dravel {

std::unique_ptr<LineTransport> MakeNetworkLine();

}  // namespace dravel
