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

#include "line/line_transport.h"

namespace dravel {

std::unique_ptr<LineTransport> MakeNetworkLine();

}  // namespace dravel
