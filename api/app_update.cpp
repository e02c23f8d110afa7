#include "api/app_update.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "api/json_fields.h"
#include "core/control_plane.h"
#include "core/deployment.h"
#include "core/kavri_constants.h"
#include "core/kavri_http.h"
#include "core/url_components.h"
#include "platform/http/url.h"
#include "platform/runtime/decimal.h"

namespace kavri {

namespace {

// A number by its integer value (cut toward zero), text as a whole decimal
// number; nothing for anything else or what no 64-bit build can hold.
std::optional<std::int64_t> buildOf(const nlohmann::json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(n);
    }
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        // 2^63 is the first double past the range.
        if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    if (value.is_string()) return Decimal::int64(value.get<std::string>());
    return std::nullopt;
}

std::string textOf(const PlistValue::Dict& info, const char* key, std::string fallback) {
    const auto it = info.find(key);
    if (it == info.end() || !it->second.is<std::string>()) return fallback;
    return *it->second.get<std::string>();
}

}  // namespace

std::string AppUpdate::manifestURL() { return Deployment::current().updateManifestURL; }

std::int64_t AppUpdate::buildNumber(const PlistValue::Dict& info) {
    return Decimal::int64(textOf(info, "CFBundleVersion", "")).value_or(0);
}

std::int64_t AppUpdate::currentBuild() { return buildNumber(KavriConstants::bundleInfo()); }

std::string AppUpdate::versionText(const PlistValue::Dict& info) {
    return textOf(info, "CFBundleShortVersionString", "?");
}

std::string AppUpdate::currentVersion() { return versionText(KavriConstants::bundleInfo()); }

std::optional<AppUpdateInfo> AppUpdate::parse(std::string_view body, const std::string& manifestAddress) {
    nlohmann::json json;
    try {
        json = JsonFields::parse(body);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
    if (!json.is_object()) return std::nullopt;
    const auto mac = json.find("mac");
    if (mac == json.end() || !mac->is_object()) return std::nullopt;
    const auto build = mac->find("build");
    if (build == mac->end()) return std::nullopt;
    const auto number = buildOf(*build);
    if (!number || *number <= 0) return std::nullopt;

    AppUpdateInfo info;
    info.build = *number;
    if (const auto url = mac->find("url"); url != mac->end() && url->is_string() && !url->get<std::string>().empty()) {
        const std::string text = url->get<std::string>();
        if (const auto parts = UrlComponents::parse(text); parts && parts->scheme) {
            info.url = text;
        } else {
            info.url = Url::resolve(manifestAddress, text);
        }
    }
    if (const auto version = mac->find("version"); version != mac->end() && version->is_string())
        info.version = version->get<std::string>();
    return info;
}

std::optional<AppUpdateInfo> AppUpdate::fetch(const std::string& manifestAddress, std::stop_token stop) {
    HttpRequest request;
    request.url = manifestAddress;
    request.timeout = requestTimeout;
    request.headers = {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
    // Large enough for any manifest; a longer body is no manifest.
    request.maxBodyBytes = 1 << 20;
    try {
        const auto response = KavriHTTP::apiSession(requestTimeout.count()).send(request, stop);
        if (response.status < 200 || response.status > 299) return std::nullopt;
        return parse(response.body, manifestAddress);
    } catch (const HttpError&) {
        return std::nullopt;
    }
}

std::optional<AppUpdateInfo> AppUpdate::fetchLatest(std::stop_token stop, KavriStore& store) {
    for (const auto& host : ControlPlane::orderedHosts(store)) {
        if (stop.stop_requested()) return std::nullopt;
        const std::string base = "https://" + host.host;
        if (!Url::isValid(base)) continue;
        if (auto offer = fetch(base + "/dl/latest.json", stop)) return offer;
    }
    if (stop.stop_requested()) return std::nullopt;
    return fetch(manifestURL(), stop);
}

}  // namespace kavri
