#include "core/control_plane.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "core/deployment.h"
#include "core/utf8.h"
#include "platform/http/url.h"

namespace kavri {
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool validHost(const std::string& host) { return Url::isValid("https://" + host); }

void appendHost(const ControlPlaneHost& candidate, std::unordered_set<std::string>& seen,
                std::vector<ControlPlaneHost>& out) {
    const std::string key = lower(candidate.host);
    if (key.empty()) return;
    if (!validHost(candidate.host)) return;
    if (!seen.insert(key).second) return;
    out.push_back(candidate);
}

}  // namespace

std::optional<std::string> ControlPlaneHost::baseURL() const {
    std::string url = "https://" + host;
    if (!Url::isValid(url)) return std::nullopt;
    return url;
}

std::vector<ControlPlaneHost> ControlPlane::bakedFloor() {
    std::vector<ControlPlaneHost> out;
    for (const auto& h : Deployment::current().hosts) out.push_back({h.host, h.pinnedIPs});
    return out;
}

std::vector<ControlPlaneHost> ControlPlane::storedFallbacks(KavriStore& store) {
    const auto bytes = store.data(KavriDefaultsKey::cpFallbacksJSON);
    if (!bytes) return {};
    const auto json = nlohmann::json::parse(*bytes, nullptr, false);
    if (!json.is_array()) return {};
    std::vector<ControlPlaneHost> out;
    for (const auto& item : json) {
        if (!item.is_string()) return {};
        out.push_back({item.get<std::string>(), {}});
    }
    return out;
}

std::vector<ControlPlaneHost> ControlPlane::orderedHosts(KavriStore& store) {
    const auto floor = bakedFloor();
    std::vector<ControlPlaneHost> out;
    std::unordered_set<std::string> seen;

    if (const auto last = store.string(KavriDefaultsKey::cpLastGoodHost)) {
        const std::string wanted = lower(*last);
        auto candidates = storedFallbacks(store);
        candidates.insert(candidates.end(), floor.begin(), floor.end());
        const auto it = std::find_if(candidates.begin(), candidates.end(),
                                     [&](const ControlPlaneHost& h) { return lower(h.host) == wanted; });
        if (it != candidates.end()) appendHost(*it, seen, out);
    }
    for (const auto& h : storedFallbacks(store)) appendHost(h, seen, out);
    for (const auto& h : floor) appendHost(h, seen, out);
    return out;
}

void ControlPlane::updateFallbacks(const std::vector<std::string>& hosts, KavriStore& store) {
    if (auto json = fallbacksJSON(hosts)) store.set(KavriDefaultsKey::cpFallbacksJSON, Data{std::move(*json)});
}

std::optional<std::string> ControlPlane::fallbacksJSON(const std::vector<std::string>& hosts) {
    std::vector<std::string> kept;
    std::unordered_set<std::string> seen;
    for (const auto& raw : hosts) {
        if (kept.size() >= 10) break;
        std::string host(Utf8::trimmedWhitespace(raw));
        if (host.empty() || !validHost(host)) continue;
        if (!seen.insert(lower(host)).second) continue;
        kept.push_back(std::move(host));
    }
    if (kept.empty()) return std::nullopt;
    try {
        return nlohmann::json(kept).dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;  // a host that is not UTF-8 has no JSON form: nothing is stored
    }
}

Clock::MonoTime ControlPlane::deadlineAfter(Clock& clock, double budgetSeconds) {
    const auto now = clock.monoNow();
    if (!(budgetSeconds > 0)) return now;  // zero, negative or not a number: no attempt
    const double capped = std::min(budgetSeconds, 1e9);
    return now + std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(capped));
}

}  // namespace kavri
