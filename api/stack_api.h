#pragma once

#include <cstdint>
#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "platform/http/http_session.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The user's stack (where and how the tunnel connects: a location and a
// protocol, each left to the service or pinned by the user) and the catalog
// of what can be chosen, as the backend sends them. The records are decoded
// from the server's JSON and never encoded back.
class StackAPI {
public:
    // The user's stack. Decoding fails (DecodingError) when the value is no
    // object, "manual_allowed", "location" or "protocol" is missing, or any
    // member has another type.
    struct Snapshot {
        // One of the two choices. Each member falls back to its default on its
        // own (missing, null or of another type); only a value that is no
        // object fails.
        struct Axis {
            std::optional<std::string> id;           // "id": the location's id
            std::string mode = "auto";               // "mode": "manual" when pinned
            std::string label = "Авто";              // "label"
            std::optional<std::string> countryCode;  // "country_code"
            std::optional<std::string> key;          // "key": the protocol's key
            bool online = true;                      // "online"

            // Exactly "manual" counts as pinned; every other mode is automatic.
            bool isManual() const { return mode == "manual"; }
            bool operator==(const Axis&) const = default;
            static Axis fromJson(const nlohmann::json& value, const std::string& path);
        };

        // What is in use right now; all three members are required texts.
        struct Effective {
            std::string locationLabel;  // "location_label"
            std::string countryCode;    // "country_code"
            std::string protocolLabel;  // "protocol_label"

            bool operator==(const Effective&) const = default;
            static Effective fromJson(const nlohmann::json& value, const std::string& path);
        };

        bool manualAllowed = false;               // "manual_allowed"
        std::optional<std::string> lockedReason;  // "locked_reason": why pinning is not allowed
        Axis location;                            // "location"
        Axis proto;                               // "protocol"
        std::optional<Effective> effective;       // "effective"

        bool operator==(const Snapshot&) const = default;
        static Snapshot fromJson(const nlohmann::json& value, const std::string& path = "");
        static Snapshot decode(std::string_view text);
    };

    // Everything the user can choose. Each member falls back to its default
    // on its own; one entry of a list that does not decode empties that
    // list. Only a body that is no JSON object fails.
    struct Catalog {
        // The automatic choice as the picker shows it; "title" is required.
        struct Auto {
            std::string title = "Автоматически";  // "title"
            std::optional<std::string> subtitle;  // "subtitle"
        };

        // One location. Required: "id", "title", "country_code", "protocols";
        // a member of another type fails the entry.
        struct Location {
            std::string id;
            std::string title;
            std::string countryCode;
            std::optional<bool> online;             // absent: not reported
            std::vector<std::string> protocols;     // the protocol keys offered here
            std::optional<std::string> probeHost;   // "probe_host"
            std::optional<std::int64_t> probePort;  // "probe_port"
            std::optional<std::int64_t> rttMs;      // "rtt_ms": measured by the server
            std::optional<std::int64_t> rttAgeSec;  // "rtt_age_sec": that measurement's age

            // Only an explicit false is offline.
            bool isOffline() const { return online == false; }
            bool operator==(const Location&) const = default;
            static Location fromJson(const nlohmann::json& value, const std::string& path);
        };

        // One protocol. Required: "key" and "title".
        struct Proto {
            std::string key;
            std::string title;
            std::optional<std::string> subtitle;
            std::optional<std::string> badge;  // a short label next to the title

            bool operator==(const Proto&) const = default;
            static Proto fromJson(const nlohmann::json& value, const std::string& path);
        };

        bool manualAllowed = false;               // "manual_allowed"
        std::optional<std::string> lockedReason;  // "locked_reason"
        Auto autoChoice;                          // "auto"
        std::vector<Location> locations;          // "locations", in the server's order
        std::vector<Proto> protocols;             // "protocols", in the server's order

        static Catalog fromJson(const nlohmann::json& value);
        static Catalog decode(std::string_view text);
    };

    // The body of the answer to a selection: absent or null members are
    // nothing; a member that is present and does not decode fails the whole.
    struct SelectResponse {
        std::optional<std::string> error;  // "error"
        std::optional<Snapshot> stack;     // "stack"

        static SelectResponse decode(std::string_view text);
    };

    // What a selection hands back.
    struct SelectOutcome {
        // The status that ended the selection (200, 401, 402, 403, 409), or 0
        // when it ended without such an answer.
        int status = 0;
        // The new stack of the answer; always nothing when `status` is 0.
        std::optional<Snapshot> stack;
    };

    // What one catalog fetch hands back.
    struct CatalogFetch {
        std::optional<Catalog> catalog;
        std::int64_t ms = 0;              // whole milliseconds the fetch took
        std::optional<std::string> host;  // the last host tried
        std::optional<int> code;          // its HTTP status, when it answered
    };

    static constexpr double attemptSeconds = 6;
    static constexpr double selectBudgetSeconds = 15;
    // Longer replies fail the attempt as a transport error before they are
    // read whole. A catalog of every location of the service is some tens of
    // kilobytes and is kept whole in the shared store; a selection's answer
    // holds one stack.
    static constexpr std::size_t maxCatalogBytes = 512 * 1024;
    static constexpr std::size_t maxSelectBytes = 64 * 1024;

    // The session of every stack request: request limit 6 s, resource 11 s.
    static HttpSession session();

    explicit StackAPI(HttpSession session = StackAPI::session(), KavriStore& store = KavriStore::shared(),
                      Clock& clock = Clock::system());

    // A request to `base` + "/" + `path` with the client's capability,
    // build and device headers; a body is sent as a JSON object (nothing
    // becoming null) with its content type.
    HttpRequest makeRequest(const std::string& base, const std::string& path, const std::string& method,
                            const std::optional<nlohmann::json>& body = std::nullopt) const;

    // Fetches the catalog within `budgetSeconds` over all hosts. A 2xx body
    // that decodes is cached (its bytes, then the time); one that does not,
    // and 401, 402 and 403, end the walk without a catalog; other statuses
    // and transport failures move to the next host.
    CatalogFetch fetchCatalog(const std::string& token, double budgetSeconds, std::stop_token stop = {}) const;

    // The cached catalog and when it was written; nothing when missing, of
    // another type or undecodable.
    std::optional<Catalog> cachedCatalog() const;
    std::optional<std::chrono::system_clock::time_point> cachedCatalogAt() const;

    // Sends the choice (nothing: automatic) with one idempotency key for
    // every host it tries. 200, 401, 402, 403 and 409 end it with their
    // status; the rest move on; an exhausted walk gives status 0.
    SelectOutcome select(const std::string& token, const std::optional<std::string>& location,
                         const std::optional<std::string>& proto, std::stop_token stop = {}) const;

private:
    HttpSession session_;
    KavriStore& store_;
    Clock& clock_;
};

}  // namespace kavri
