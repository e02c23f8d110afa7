#include "core/deployment.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/runtime/log.h"

namespace kavri {
namespace {

std::mutex& lock() {
    static std::mutex m;
    return m;
}

std::optional<Deployment>& installed() {
    static std::optional<Deployment> d;
    return d;
}

template <class T>
void take(const nlohmann::json& j, const char* key, T& field) {
    if (auto it = j.find(key); it != j.end() && !it->is_null()) field = it->get<T>();
}

}  // namespace

Deployment Deployment::builtIn() {
    Deployment d;
    d.hosts = {
        {"cdn.kavri-app.com", {}},
        {"api.kavri-app.com:2053", {}},
        {"cp.kavri.net", {"185.199.110.17"}},
        {"cp.kavri-edge.org", {"185.199.111.23"}},
    };
    d.apiBaseURL = "https://api.kavri-app.com:2053";
    // Public half of the production sealing key; the private half lives only
    // on the control-plane servers.
    d.serverPublicKey = "mTg0Cq0dGqyY1GIGYFbVtXRL4OWlbU3Ya+WS6uLvb2k=";
    d.teamIdentifier = "KV7TEAM0ID";
    d.supportURL = "https://t.me/kavri_support";
    d.botURL = "https://t.me/kavri_bot";
    d.testflightURL = "https://testflight.apple.com/join/kavriBeta";
    d.otherDevicesURL = "https://kvr.link/";
    d.privacyURL = "https://kavri-app.com/privacy";
    d.termsURL = "https://kavri-app.com/terms";
    d.webBotURL = "https://web.kavri-app.com/";
    d.updateManifestURL = "https://dl.kavri-app.com/dl/latest.json";
    return d;
}

std::optional<Deployment> Deployment::fromJson(std::string_view text) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    Deployment d = builtIn();
    try {
        if (auto it = j.find("hosts"); it != j.end() && it->is_array()) {
            d.hosts.clear();
            for (const auto& h : *it) {
                Host host;
                if (h.is_string()) {
                    host.host = h.get<std::string>();
                } else {
                    host.host = h.at("host").get<std::string>();
                    take(h, "pinned_ips", host.pinnedIPs);
                }
                d.hosts.push_back(std::move(host));
            }
        }
        take(j, "api_base_url", d.apiBaseURL);
        take(j, "server_public_key", d.serverPublicKey);
        take(j, "team_identifier", d.teamIdentifier);
        take(j, "support_url", d.supportURL);
        take(j, "bot_url", d.botURL);
        take(j, "testflight_url", d.testflightURL);
        take(j, "other_devices_url", d.otherDevicesURL);
        take(j, "privacy_url", d.privacyURL);
        take(j, "terms_url", d.termsURL);
        take(j, "web_bot_url", d.webBotURL);
        take(j, "ca_bundle", d.caBundle);
        take(j, "code_signing_roots", d.codeSigningRoots);
        take(j, "update_manifest_url", d.updateManifestURL);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    return d;
}

std::string Deployment::toJson() const {
    nlohmann::ordered_json j;
    j["hosts"] = nlohmann::ordered_json::array();
    for (const auto& h : hosts) j["hosts"].push_back({{"host", h.host}, {"pinned_ips", h.pinnedIPs}});
    j["api_base_url"] = apiBaseURL;
    j["server_public_key"] = serverPublicKey;
    j["team_identifier"] = teamIdentifier;
    j["support_url"] = supportURL;
    j["bot_url"] = botURL;
    j["testflight_url"] = testflightURL;
    j["other_devices_url"] = otherDevicesURL;
    j["privacy_url"] = privacyURL;
    j["terms_url"] = termsURL;
    j["web_bot_url"] = webBotURL;
    j["ca_bundle"] = caBundle;
    j["code_signing_roots"] = codeSigningRoots;
    j["update_manifest_url"] = updateManifestURL;
    return j.dump(2);
}

Deployment Deployment::current() {
    std::lock_guard guard(lock());
    if (!installed()) {
        Deployment d = builtIn();
        if (const char* path = std::getenv("KAVRI_DEPLOYMENT"); path && *path) {
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            if (auto parsed = fromJson(text.str()))
                d = std::move(*parsed);
            else
                Log::line(std::string("[Kavri] !! KAVRI_DEPLOYMENT не читается: ") + path);
        }
        installed() = std::move(d);
    }
    return *installed();
}

void Deployment::install(Deployment deployment) {
    std::lock_guard guard(lock());
    installed() = std::move(deployment);
}

}  // namespace kavri
