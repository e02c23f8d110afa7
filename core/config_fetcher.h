#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "core/subscription_state.h"
#include "platform/http/http_session.h"
#include "platform/runtime/clock.h"

namespace kavri {

// Downloads the subscription's engine configuration ("sub/<token>") over the
// control-plane hosts, opens a sealed reply, takes the "_kavri_meta" block
// out of it, records the device-removed mark, the learned fallback hosts and
// the detection settings, and hands back the rest.
class ConfigFetcher {
public:
    class FetchError : public std::runtime_error {
    public:
        enum class Kind { Http, Malformed };
        // The server answered with this status.
        static FetchError http(int status);
        // The reply could not be opened or is not a JSON object.
        static FetchError malformed();

        Kind kind() const { return kind_; }
        int status() const { return status_; }  // 0 for Malformed
        bool operator==(const FetchError& o) const { return kind_ == o.kind_ && status_ == o.status_; }

    private:
        FetchError(Kind kind, int status, const std::string& message)
            : std::runtime_error(message), kind_(kind), status_(status) {}
        Kind kind_;
        int status_;
    };

    struct Fetched {
        std::string config;  // the reply without "_kavri_meta", keys sorted, compact
        std::optional<SubscriptionState> state;
        std::optional<std::int64_t> priceMonth;
        std::optional<std::string> currency;
        std::optional<std::int64_t> pullIntervalSeconds;
        std::vector<std::string> detectRefs;
        std::optional<nlohmann::json> detectRaw;      // "detect" as decoded
        std::optional<nlohmann::json> stallWatchRaw;  // "stall_watch" as decoded
        std::optional<std::int64_t> expiresAtUnix;
        std::optional<nlohmann::json> trialNotice;  // an object
        std::optional<std::int64_t> configEpoch;
    };

    // What one usable reply body holds: the configuration with its metadata,
    // and the facts the fetch records in the store.
    struct Reply {
        Fetched fetched;
        bool deviceRemoved = false;                          // "device_removed"
        std::optional<std::vector<std::string>> fallbacks;  // "control_plane_fallbacks", a list of texts
    };
    // What an accepted reply records in the shared store ("device_removed",
    // the fallback hosts), to be written at once; the detection settings are
    // the caller's.
    static KavriStore::Changes storeChanges(const Reply& reply);
    // Reads an opened reply body. Throws FetchError::malformed() for anything
    // but a JSON object of reasonable nesting.
    static Reply readReply(const std::string& body);
    // The same for a body already parsed (and found to nest reasonably).
    static Reply readReply(nlohmann::json root);
    // The fields of a reply read from its "_kavri_meta" value (anything but
    // an object reads as an empty one); the configuration left empty.
    static Reply readMeta(const nlohmann::json& meta);

    struct Limits {
        double budgetSeconds = 60;                       // the whole walk, checked before each attempt
        std::chrono::milliseconds attemptTimeout{8000};  // one request
    };
    // 60 s for the walk, 8 s for one attempt.
    static Limits standardLimits();

    static constexpr const char* userAgent = "KavriApp iOS-NE";
    // A longer reply is no configuration: the attempt fails as a transport
    // error before the body is read whole (the app's limit as well).
    static constexpr std::size_t maxReplyBytes = 16 * 1024 * 1024;

    // Walks the ordered hosts until one gives a usable reply. Throws
    // FetchError (Http 401, 402 or 403: the walk ends there),
    // ControlPlane::Exhausted with the last host's error, or HttpError
    // (Cancelled) when `stop` is requested.
    static Fetched fetch(const std::string& token, const std::optional<std::string>& deviceID, bool shed,
                         bool homeback, bool toggle, const HttpSession& session, std::stop_token stop = {},
                         const Limits& limits = standardLimits(), Clock& clock = Clock::system(),
                         KavriStore& store = KavriStore::shared());

    // The request path of a token: "sub/" and the token as one encoded path
    // segment (everything but letters and digits escaped), so no token can
    // reach another path or add a query.
    static std::string subscriptionPath(const std::string& token);
};

}  // namespace kavri
