#include "platform/net/endpoint.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace kavri {
namespace {

bool plainHost(std::string_view host) {
    if (host.empty()) return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F && c != '/' && c != '@' && c != '?' && c != '#' && c != '[' && c != ']';
    });
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string Endpoint::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<Endpoint> Endpoint::parse(std::string_view text, std::uint16_t defaultPort) {
    Endpoint e;
    std::string_view portText;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        e.host = std::string(text.substr(1, close - 1));
        in6_addr probe{};
        if (inet_pton(AF_INET6, e.host.c_str(), &probe) != 1) return std::nullopt;
        const auto after = text.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
            if (portText.empty()) return std::nullopt;
        }
    } else {
        const auto colon = text.rfind(':');
        if (colon != std::string_view::npos) {
            if (text.find(':') != colon) return std::nullopt;  // a bare IPv6 address is ambiguous
            e.host = std::string(text.substr(0, colon));
            portText = text.substr(colon + 1);
            if (portText.empty()) return std::nullopt;
        } else {
            e.host = std::string(text);
        }
        if (!plainHost(e.host)) return std::nullopt;
    }
    if (e.host.empty()) return std::nullopt;
    if (!portText.empty()) {
        const auto port = parsePort(portText);
        if (!port) return std::nullopt;
        e.port = *port;
    } else {
        if (defaultPort == 0) return std::nullopt;
        e.port = defaultPort;
    }
    return e;
}

bool Endpoint::isLoopbackAddress(std::string_view host) {
    const std::string h(host);
    in_addr v4{};
    if (inet_pton(AF_INET, h.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, h.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

}  // namespace kavri
