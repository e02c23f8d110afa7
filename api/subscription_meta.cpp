#include "api/subscription_meta.h"

#include "api/json_fields.h"

namespace kavri {

SubscriptionMeta SubscriptionMeta::fromJson(const nlohmann::json& value, const std::string& path) {
    const JsonFields fields(value, path);
    SubscriptionMeta meta;
    meta.version = fields.requiredInt64("version");
    meta.pullIntervalSeconds = fields.requiredInt64("pull_interval_seconds");
    meta.expiresAtUnix = fields.optionalInt64("expires_at_unix");
    meta.supportURL = fields.optionalString("support_url");
    meta.supportMaxURL = fields.optionalString("support_max");
    meta.otherDevicesURL = fields.optionalString("other_devices_url");

    const std::string listsPath = fields.pathOf("tier_0_apps");
    const JsonFields lists(fields.required("tier_0_apps"), listsPath);
    const std::string iosPath = lists.pathOf("ios");
    const nlohmann::json& ios = lists.required("ios");
    if (!ios.is_array()) throw DecodingError(DecodingError::Kind::typeMismatch, iosPath, "a list");
    meta.tier0Apps.ios.reserve(ios.size());
    for (std::size_t i = 0; i < ios.size(); ++i)
        meta.tier0Apps.ios.push_back(Tier0App::fromJson(ios[i], iosPath + "[" + std::to_string(i) + "]"));
    return meta;
}

SubscriptionMeta SubscriptionMeta::decode(std::string_view text) { return fromJson(JsonFields::parse(text)); }

nlohmann::ordered_json SubscriptionMeta::toJson() const {
    nlohmann::ordered_json out;
    out["version"] = version;
    out["pull_interval_seconds"] = pullIntervalSeconds;
    if (expiresAtUnix) out["expires_at_unix"] = *expiresAtUnix;
    if (supportURL) out["support_url"] = *supportURL;
    if (supportMaxURL) out["support_max"] = *supportMaxURL;
    if (otherDevicesURL) out["other_devices_url"] = *otherDevicesURL;
    auto apps = nlohmann::ordered_json::array();
    for (const auto& app : tier0Apps.ios) apps.push_back(app.toJson());
    out["tier_0_apps"] = {{"ios", std::move(apps)}};
    return out;
}

std::string SubscriptionMeta::encoded() const { return toJson().dump(); }

}  // namespace kavri
