#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/runtime/clock.h"
#include "platform/ne/tunnel_status.h"

namespace kavri {

// The wire form between the tunnel host (in the durnel process) and its
// clients: JSON lines over a Unix stream socket, one JSON object per line in
// both directions.
//
// Requests carry an "op" and an "id" (any JSON value, echoed in the reply):
//   {"id":1,"op":"start","options":{...}}   reply once the start completed
//   {"id":2,"op":"stop","reason":1}          reply once the tunnel is down
//   {"id":3,"op":"wake"}                     reply {"delivered":true|false}
//   {"id":4,"op":"message","data":{"text":"ping:127.0.0.1:443"}}
//   {"id":5,"op":"status"}
// Replies: {"id":..,"ok":true,...} or {"id":..,"ok":false,"error":"..."}.
// Status events (unsolicited, to every client, on every change and once
// right after connecting): {"event":"status","status":"connected",
// "connectedDate":1733832000.5} plus "lastError" when the last run ended with
// an error. Dates are seconds since 1970.
//
// Message bytes travel as {"text": "..."} when they are valid UTF-8, else as
// {"base64": "..."}; a message reply is such an object, or null for no reply.
class TunnelControlProtocol {
public:
    static constexpr std::string_view socketName = "durnel.sock";
    // Longest line either side accepts (start options hold a whole engine
    // configuration).
    static constexpr std::size_t maxLineBytes = 8 * 1024 * 1024;

    // What the host reports about the tunnel.
    struct Snapshot {
        TunnelStatus status = TunnelStatus::disconnected;
        std::optional<Clock::WallTime> connectedDate;
        // Why the last run ended, when it ended with an error (a failed start,
        // a cancel from the provider).
        std::optional<std::string> lastError;

        bool operator==(const Snapshot&) const = default;
    };

    static nlohmann::json encodeData(std::string_view bytes);
    // The bytes of a {"text"} / {"base64"} object; nothing when malformed.
    static std::optional<std::string> decodeData(const nlohmann::json& value);
    static bool isValidUtf8(std::string_view bytes);

    // The snapshot's fields ("status", "connectedDate", "lastError") merged
    // into `into`.
    static void writeSnapshot(const Snapshot& snapshot, nlohmann::json& into);
    static nlohmann::json statusEvent(const Snapshot& snapshot);
    // Reads the fields written by writeSnapshot; nothing when "status" is
    // missing or unknown.
    static std::optional<Snapshot> readSnapshot(const nlohmann::json& object);

    static double toUnixSeconds(Clock::WallTime t);
    static Clock::WallTime fromUnixSeconds(double seconds);
};

}  // namespace kavri
