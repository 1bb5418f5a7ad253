// The names of serial ports across the network:
//
//   rfc2217://HOST:PORT   a telnet server with the COM port option (RFC 2217)
//   socket://HOST:PORT    raw TCP: the bytes as they are, the line settings
//                         are the server's business
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// ([::1]); PORT is 1 to 65535. Nothing may follow the port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravel {

struct NetworkPort {
    enum class Protocol { Rfc2217, Raw };
    Protocol protocol = Protocol::Rfc2217;
    std::string host;  // without the brackets of an IPv6 address
    uint16_t port = 0;
};

// The port named by `name`, or nothing with the reason in `error`.
std::optional<NetworkPort> ParseNetworkPort(std::string_view name, std::string& error);

}  // namespace dravel
