// Configuration preparation, the configuration in force, the tokens and the
// server's tunables.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "core/property_list.h"
#include "core/ru_rules.h"
#include "core/utf8.h"
#include "platform/http/http_session.h"
#include "platform/runtime/json_depth.h"
#include "platform/runtime/log.h"
#include "tunnel/packet_tunnel_provider.h"
#include "tunnel/runtime_params.h"

namespace kavri {
namespace {

using json = nlohmann::json;

std::optional<std::string> textAt(const json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::string> nonEmptyText(const json& options, const char* key) {
    auto v = textAt(options, key);
    if (v && v->empty()) return std::nullopt;
    return v;
}

// A configuration parsed for rewriting; nothing (not an object) when it
// nests deeper than any configuration, so that the rewrite leaves it as it is.
json parsedConfiguration(const std::string& config) {
    if (!JsonDepth::within(config, RuRules::kMaxNesting)) return json();
    return json::parse(config, nullptr, false);
}

}  // namespace

// ---- Configuration preparation ---------------------------------------------------

std::string PacketTunnelProvider::applyLocalPaths(const std::string& config) {
    json root = parsedConfiguration(config);
    if (!root.is_object()) return RuRules::absolutizeRulePaths(config).config;
    if (auto prepared = applyLocalPathsTo(root)) return std::move(*prepared);
    return RuRules::absolutizeRulePaths(config).config;
}

std::optional<std::string> PacketTunnelProvider::applyLocalPathsTo(nlohmann::json& root) {
    bool rewritten = false;
    const auto missing = RuRules::absolutizeRulePaths(root, rewritten);
    for (const auto& tag : missing) sendEventDetached("rules_missing", std::nullopt, {{"tag", tag}});

    json& experimental = root["experimental"];
    if (!experimental.is_object()) experimental = json::object();
    json& cacheFile = experimental["cache_file"];
    if (!cacheFile.is_object()) cacheFile = json::object();
    const std::string path = (store_.fileURL().parent_path() / "cache.db").string();
    cacheFile["enabled"] = true;
    cacheFile["path"] = path;

    std::string out;
    try {
        out = root.dump();  // object keys come out sorted
    } catch (const json::exception&) {
        return std::nullopt;  // the caller falls back to the text it has
    }
    Log::line("[Kavri] cache_file.path -> " + path);
    return out;
}

std::string PacketTunnelProvider::prepareConfiguration(const std::string& config) {
    json root = parsedConfiguration(config);
    if (!root.is_object()) return RuRules::absolutizeRulePaths(config).config;
    // One parse serves both passes: the facts are learned from the tree as
    // received, before the rewrite changes it in place.
    learnRuntimeParamsFrom(root);
    auto prepared = applyLocalPathsTo(root);
    if (prepared) return std::move(*prepared);
    return RuRules::absolutizeRulePaths(config).config;
}

void PacketTunnelProvider::learnRuntimeParams(const std::string& config) {
    const json root = json::parse(config, nullptr, false);
    if (root.is_object()) learnRuntimeParamsFrom(root);
}

void PacketTunnelProvider::learnRuntimeParamsFrom(const nlohmann::json& root) {
    if (RuntimeParams::learn(root, clash_, telemetry_)) detach([this](std::stop_token stop) { group_.refresh(stop); });
}

// ---- The configuration in force, the tokens and the tunables ---------------------

std::optional<std::string> PacketTunnelProvider::currentConfigText() {
    if (const auto stored = store_.data(KavriDefaultsKey::cachedSingboxConfig))
        if (Utf8::isValid(*stored) && SelfHeal::isPlausibleConfig(*stored)) return *stored;
    if (const auto options = tunnelOptions())
        if (const auto text = textAt(*options, "configContent"); text && SelfHeal::isPlausibleConfig(*text)) return *text;
    return std::nullopt;
}

std::optional<std::string> PacketTunnelProvider::subToken(const TunnelOptions* given) const {
    const auto held = given ? std::nullopt : tunnelOptions();
    if (const TunnelOptions* options = given ? given : held ? &*held : nullptr)
        if (auto token = nonEmptyText(*options, "subToken")) return token;
    auto stored = store_.string(KavriDefaultsKey::subTokenForNE);
    if (stored && !stored->empty()) return stored;
    return std::nullopt;
}

std::optional<std::string> PacketTunnelProvider::deviceID(const TunnelOptions* given) const {
    // An identifier that cannot travel as "X-Device-Id" counts as none.
    const auto held = given ? std::nullopt : tunnelOptions();
    if (const TunnelOptions* options = given ? given : held ? &*held : nullptr)
        if (auto id = nonEmptyText(*options, "deviceID"); id && HttpRequest::isHeaderText(*id)) return id;
    auto stored = store_.string(KavriDefaultsKey::deviceIDForNE);
    if (stored && !stored->empty() && HttpRequest::isHeaderText(*stored)) return stored;
    return std::nullopt;
}

void PacketTunnelProvider::applyServerTunables(const ConfigFetcher::Fetched& fetched) {
    if (fetched.pullIntervalSeconds && *fetched.pullIntervalSeconds >= 1)
        store_.set(KavriDefaultsKey::nePollIntervalSec, *fetched.pullIntervalSeconds);
    DetectConfig::persist(fetched.detectRaw, fetched.detectRefs, store_);
    if (fetched.stallWatchRaw) {
        // A key or text the store file cannot hold (a NUL, bytes that are not
        // UTF-8) costs only its own entry, never the other tunables.
        std::vector<std::string> leftOut;
        const auto storable = PropertyList::storablePart(PlistValue::fromJson(*fetched.stallWatchRaw), leftOut);
        for (const auto& key : leftOut)
            Log::line("[Kavri] !! stall_watch: " + json(key).dump(-1, ' ', false, json::error_handler_t::replace) +
                      " cannot be stored, left out");
        if (storable) store_.set(KavriDefaultsKey::stallWatchRaw, *storable);
    }
    detach([this](std::stop_token stop) { clash_.pushEngineTunables(DetectConfig::rawDict(store_), stop); });
}

}  // namespace kavri
