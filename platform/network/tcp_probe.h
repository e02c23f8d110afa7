#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

namespace kavri {

// Measures how long a TCP connection to a host takes to open: name
// resolution and the handshake of a non-blocking connect, each address of
// the name in turn. Nothing is sent; the connection is closed the moment it
// is established.
class TcpProbe {
public:
    // The connect time in whole milliseconds (truncated), or nothing when
    // the name does not resolve, every address fails, `limit` passes first or
    // `stop` is requested. Returns within `limit` even while name resolution
    // hangs; the resolver then finishes on a thread of its own and the
    // connection is never made.
    static std::optional<std::int64_t> connectMillis(const std::string& host, std::uint16_t port,
                                                     std::chrono::milliseconds limit, std::stop_token stop = {});
};

}  // namespace kavri
