#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "platform/ne/provider_stop_reason.h"
#include "platform/ne/tunnel_options.h"
#include "platform/ne/tunnel_status.h"
#include "platform/runtime/clock.h"

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
    // Deepest nesting of arrays and objects a request may hold (start options
    // are flat; their configuration travels as text).
    static constexpr std::size_t maxNesting = 64;

    // One request as the host reads it.
    struct Request {
        enum class Op { status, start, stop, wake, message };
        Op op = Op::status;
        nlohmann::json id;  // echoed in the reply; null when absent
        TunnelOptions options;  // start: an object, or null when absent
        ProviderStopReason reason = ProviderStopReason::userInitiated;  // stop
        std::string data;  // message: the bytes
    };
    // The answer to a request that cannot be read.
    struct RequestError {
        nlohmann::json id;  // null when the request's id is unknown
        std::string error;
    };

    // The JSON object of one request line, or the error to answer: for text
    // that is not a JSON object, or one nested deeper than maxNesting.
    static std::variant<nlohmann::json, RequestError> parseLine(std::string_view line);
    // The request an object carries, or the error to answer (with its id).
    static std::variant<Request, RequestError> decodeRequest(const nlohmann::json& object);

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
