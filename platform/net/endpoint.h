#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// A host (name, IPv4 or IPv6 address) and a TCP port.
struct Endpoint {
    std::string host;
    std::uint16_t port = 0;

    // "host:port", with brackets around an IPv6 address.
    std::string text() const;
    bool operator==(const Endpoint&) const = default;

    // Parses "host:port" or "[v6]:port"; without a port, `defaultPort` when
    // it is given (non-zero), else nothing. Rejects empty hosts, ports out of
    // range and text that is not a plain host.
    static std::optional<Endpoint> parse(std::string_view text, std::uint16_t defaultPort = 0);
    // True for IPv4 addresses in 127.0.0.0/8 and for "::1".
    static bool isLoopbackAddress(std::string_view host);
};

}  // namespace kavri
