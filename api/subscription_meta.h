#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/tier0_app.h"

namespace kavri {

// The server's metadata block of a subscription reply ("_kavri_meta"): the
// configuration's version, how often to poll for a new one, the
// subscription's end, the support and other-devices links and the tier-0 app
// list. Members the block carries besides these are not part of it.
struct SubscriptionMeta {
    struct Tier0AppsList {
        std::vector<Tier0App> ios;  // "ios", required (may be empty)
        bool operator==(const Tier0AppsList&) const = default;
    };

    std::int64_t version = 0;                    // "version", required
    std::int64_t pullIntervalSeconds = 0;        // "pull_interval_seconds", required
    std::optional<std::int64_t> expiresAtUnix;   // "expires_at_unix"
    std::optional<std::string> supportURL;       // "support_url"
    std::optional<std::string> supportMaxURL;    // "support_max"
    std::optional<std::string> otherDevicesURL;  // "other_devices_url"
    Tier0AppsList tier0Apps;                     // "tier_0_apps", required

    bool operator==(const SubscriptionMeta&) const = default;

    // Strict decoding: a required member missing, or any member of another
    // type, throws DecodingError; null optional members read as absent.
    static SubscriptionMeta fromJson(const nlohmann::json& value, const std::string& path = "");
    // The same from JSON text (DecodingError also for text that is not JSON).
    static SubscriptionMeta decode(std::string_view text);

    // The members in the order above; absent optional members are left out.
    nlohmann::ordered_json toJson() const;
    std::string encoded() const;
};

}  // namespace kavri
