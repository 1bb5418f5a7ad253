#include "network/network_port.h"

#include <charconv>

namespace dravel {

std::optional<NetworkPort> ParseNetworkPort(std::string_view name, std::string& error)
{
    NetworkPort port;
    std::string_view rest;
    if (name.starts_with("rfc2217://")) {
        port.protocol = NetworkPort::Protocol::Rfc2217;
        rest = name.substr(10);
    } else if (name.starts_with("socket://")) {
        port.protocol = NetworkPort::Protocol::Raw;
        rest = name.substr(9);
    } else {
        error = "a network port begins rfc2217:// or socket://";
        return std::nullopt;
    }
    std::string_view host;
    std::string_view number;
    if (rest.starts_with("[")) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            error = "an IPv6 address needs its closing ]";
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
        if (!rest.starts_with(":")) {
            error = "HOST:PORT needs the port";
            return std::nullopt;
        }
        number = rest.substr(1);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            error = "HOST:PORT needs the port";
            return std::nullopt;
        }
        host = rest.substr(0, colon);
        number = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            error = "an IPv6 address goes in brackets: [" + std::string(host) + "]:PORT";
            return std::nullopt;
        }
    }
    if (host.empty()) {
        error = "no host before the port";
        return std::nullopt;
    }
    // A control character would be cut off or garble the name the resolver
    // sees (a NUL ends it early, so another host would be reached).
    for (const char c : host) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            error = "a host name holds no control characters";
            return std::nullopt;
        }
    }
    if (host.find_first_of("/?#@ []") != std::string_view::npos) {
        error = "\"" + std::string(host) + "\" is no host name";
        return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, failed] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || failed != std::errc{} || end != number.data() + number.size() || value < 1 ||
        value > 65535) {
        error = "the port is a number from 1 to 65535, not \"" + std::string(number) + "\"";
        return std::nullopt;
    }
    port.host = std::string(host);
    port.port = static_cast<uint16_t>(value);
    return port;
}

}  // namespace dravel
