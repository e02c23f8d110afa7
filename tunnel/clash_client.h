#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/http/http_session.h"
#include "platform/network/path_monitor.h"
#include "platform/runtime/clock.h"

namespace kavri {

class Telemetry;

// Where the engine's local controller is and how long its requests may take.
struct ClashClientSettings {
    std::string controllerBase = "http://127.0.0.1:9090/";
    std::chrono::milliseconds requestTimeout{4000};
    std::chrono::milliseconds resourceTimeout{6000};
};

// The extension's client of the engine's local controller, and the
// heartbeat probe through the engine's heartbeat inbound. Nothing here
// throws: failures give the empty result of each operation. The runtime
// parameters (secret, group tag, heartbeat inbound) are learned from the
// configuration and may change while other threads use the client.
class ClashClient {
public:
    struct HeartbeatResult {
        std::optional<int> status;
        std::optional<std::int64_t> rttMs;
    };

    // The proxy group: its members in the group's order, the member now
    // selected and the group's type.
    struct Group {
        std::vector<std::string> members;
        std::optional<std::string> now;
        std::string type;
    };

    explicit ClashClient(ClashClientSettings settings = {}, Clock& clock = Clock::system());

    void setSecret(std::string secret);
    std::string secret() const;
    void setProbeTag(std::string tag);
    std::string probeTag() const;
    void setHbPort(std::int64_t port);
    std::int64_t hbPort() const;
    void setHbInboundPresent(bool present);
    bool hbInboundPresent() const;

    // GET of `path` (query included, already encoded): the reply body when it
    // is a JSON object, whatever the status except 401 (logged).
    std::optional<nlohmann::json> clashGET(const std::string& path, std::stop_token stop = {}) const;
    // The probe group as the controller lists it; nothing when it cannot be
    // read or has fewer than two members.
    std::optional<Group> groupState(std::stop_token stop = {}) const;
    // PUT of {"name": member} on the probe group: the reply's status, or
    // nothing when there was no reply. The raw form of a selection.
    std::optional<int> putSelection(const std::string& member, std::stop_token stop = {}) const;
    // Selects `member` in the probe group: true for a 2xx reply.
    bool clashSelect(const std::string& member, std::stop_token stop = {}) const;
    void closeAllConnections(std::stop_token stop = {}) const;
    // Hands the engine the stored detection object; nothing is sent without one.
    void pushEngineTunables(const std::optional<nlohmann::json>& detectObject, std::stop_token stop = {}) const;
    // A first-byte test through the probe group: the engine's delay test,
    // else one heartbeat probe.
    bool memberDelayProbe(const std::string& hbURL, std::int64_t hbTimeoutMs, std::stop_token stop = {}) const;
    // One fetch of `url` through the heartbeat inbound (plain and "https"
    // URLs alike). (nothing, nothing) without the inbound or for an invalid URL.
    HeartbeatResult heartbeatOnce(const std::string& url, std::int64_t timeoutMs, std::stop_token stop = {}) const;
    // The network path's description attached to stall dumps; empty without a path.
    static nlohmann::json pathFields(const std::optional<NetworkPath>& path);
    // Sends at most two of the engine's pending stall dumps through the
    // telemetry, each with the fields of the monitor's current path (none
    // without a monitor).
    static void uploadStallDump(const std::string& token, Telemetry& telemetry, const PathMonitor* pathMonitor,
                                std::stop_token stop = {});

    // The "connections" array of a connection table when it is an array of
    // objects; nothing otherwise.
    static const nlohmann::json* connectionList(const nlohmann::json& table);
    // A number of a reply that is a whole 64-bit integer (a whole
    // floating-point value included); nothing for anything else.
    static std::optional<std::int64_t> wholeNumber(const nlohmann::json& v);

    // Percent-encodes a text for a controller path as UTF-8 bytes: letters,
    // marks and digits of any script stay as they are.
    static std::string encode(const std::string& text);
    // Whether a text is a usable http(s) URL (scheme, host, legal characters).
    static bool isValidURL(const std::string& text);

private:
    HttpRequest request(const std::string& method, const std::string& path) const;
    std::optional<HttpResponse> send(const HttpRequest& request, std::stop_token stop) const;

    ClashClientSettings settings_;
    Clock& clock_;
    HttpSession session_;
    mutable std::mutex mutex_;
    std::string secret_;
    std::string probeTag_ = "proxy";
    std::int64_t hbPort_ = 1082;
    bool hbInboundPresent_ = false;
};

}  // namespace kavri
