// Configuration preparation and the engine's group state.
#include <algorithm>
#include <cctype>
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

namespace kavri {
namespace {

using json = nlohmann::json;

bool allObjects(const json& array) {
    return array.is_array() && std::all_of(array.begin(), array.end(), [](const json& x) { return x.is_object(); });
}

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

    std::string secret;
    if (const auto exp = root.find("experimental"); exp != root.end() && exp->is_object())
        if (const auto api = exp->find("clash_api"); api != exp->end() && api->is_object())
            secret = textAt(*api, "secret").value_or("");
    clash_.setSecret(secret);
    telemetry_.update([&](Telemetry::Fields& f) { f.clashSecret = secret; });

    clash_.setHbInboundPresent(false);
    if (const auto inbounds = root.find("inbounds"); inbounds != root.end() && allObjects(*inbounds)) {
        const json* found = nullptr;
        for (const auto& in : *inbounds)
            if (textAt(in, "tag") == "hb-in") {
                found = &in;
                break;
            }
        if (!found)
            for (const auto& in : *inbounds)
                if (textAt(in, "type") == "mixed" && textAt(in, "listen").value_or("").rfind("127.", 0) == 0) {
                    found = &in;
                    break;
                }
        if (found)
            if (const auto port = found->find("listen_port"); port != found->end() && port->is_number_integer()) {
                clash_.setHbPort(port->get<std::int64_t>());
                clash_.setHbInboundPresent(true);
            }
    }

    const auto outbounds = root.find("outbounds");
    if (outbounds == root.end() || !allObjects(*outbounds)) return;

    std::string tag;
    const auto route = root.find("route");
    if (route != root.end() && route->is_object() && textAt(*route, "final")) {
        tag = *textAt(*route, "final");
    } else {
        tag = "proxy";
        for (const auto& o : *outbounds) {
            const std::string type = textAt(o, "type").value_or("");
            if (type == "direct" || type == "block" || type == "dns") continue;
            tag = textAt(o, "tag").value_or("proxy");
            break;
        }
    }
    clash_.setProbeTag(tag);
    telemetry_.update([&](Telemetry::Fields& f) {
        f.groupTag = tag;
        f.probeTargetURL = DetectConfig::defaultHeartbeatURL;
    });

    const auto group = std::find_if(outbounds->begin(), outbounds->end(),
                                    [&](const json& o) { return textAt(o, "tag") == tag; });
    if (group != outbounds->end()) {
        if (const auto server = textAt(*group, "server"); server && !server->empty()) {
            telemetry_.update([&](Telemetry::Fields& f) { f.surfaceID = *server; });
            return;
        }
        const auto members = group->find("outbounds");
        if (members != group->end() && members->is_array() && !members->empty() && (*members)[0].is_string()) {
            const std::string first = (*members)[0].get<std::string>();
            const auto member = std::find_if(outbounds->begin(), outbounds->end(),
                                             [&](const json& o) { return textAt(o, "tag") == first; });
            if (member != outbounds->end())
                if (const auto server = textAt(*member, "server"); server && !server->empty())
                    telemetry_.update([&](Telemetry::Fields& f) { f.surfaceID = *server; });
        }
    }
    detach([this](std::stop_token stop) { refreshGroupMembers(stop); });
}

// ---- Engine reload and group state --------------------------------------------------

bool PacketTunnelProvider::isPlausibleConfig(const std::string& config) {
    if (config.size() <= 200) return false;
    const json root = json::parse(config, nullptr, false);
    if (!root.is_object()) return false;
    const auto outbounds = root.find("outbounds");
    if (outbounds == root.end() || !allObjects(*outbounds) || outbounds->empty()) return false;
    const auto route = root.find("route");
    return route != root.end() && route->is_object();
}

std::optional<std::string> PacketTunnelProvider::currentConfigText() {
    if (const auto stored = store_.data(KavriDefaultsKey::cachedSingboxConfig))
        if (Utf8::isValid(*stored) && isPlausibleConfig(*stored)) return *stored;
    if (const auto options = tunnelOptions())
        if (const auto text = textAt(*options, "configContent"); text && isPlausibleConfig(*text)) return *text;
    return std::nullopt;
}

std::optional<PacketTunnelProvider::GroupState> PacketTunnelProvider::probeGroupState(std::stop_token stop) {
    const auto reply = clash_.clashGET("proxies", stop);
    if (!reply) return std::nullopt;
    const auto proxies = reply->find("proxies");
    if (proxies == reply->end() || !proxies->is_object()) return std::nullopt;
    const auto group = proxies->find(clash_.probeTag());
    if (group == proxies->end() || !group->is_object()) return std::nullopt;
    const auto all = group->find("all");
    if (all == group->end() || !all->is_array() ||
        !std::all_of(all->begin(), all->end(), [](const json& x) { return x.is_string(); }))
        return std::nullopt;
    GroupState state;
    state.members = all->get<std::vector<std::string>>();
    if (state.members.size() < 2) return std::nullopt;
    state.now = textAt(*group, "now");
    state.type = textAt(*group, "type").value_or("");
    return state;
}

void PacketTunnelProvider::reloadEngine(const std::optional<std::string>& previousMember, std::stop_token stop) {
    if (!previousMember) return;
    // The reloaded engine settles; the run's stop cuts the pause short, and
    // a run that is stopping re-selects nothing.
    clock_.sleepFor(settings_.reloadSettle, stop);
    if (stop.stop_requested()) return;
    const auto state = probeGroupState(stop);
    if (!state) return;
    std::string type = state->type;
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool listed =
        std::find(state->members.begin(), state->members.end(), *previousMember) != state->members.end();
    if (!listed || state->now == *previousMember || type.find("selector") == std::string::npos) return;
    if (!clash_.putSelection(*previousMember, stop)) return;
    Log::line("[Kavri] анти-snap-back: ре-селект активного члена " + *previousMember + " после reload");
    refreshGroupMembers(stop);
}

void PacketTunnelProvider::refreshGroupMembers(std::stop_token stop) {
    const auto state = probeGroupState(stop);
    if (!state) return;
    if (run_.setActiveMember(state->now)) {
        telemetry_.update([&](Telemetry::Fields& f) { f.activeMember = state->now; });
    }
    const auto stored = store_.data(KavriDefaultsKey::cachedSingboxConfig);
    if (!stored) return;
    const json config = json::parse(*stored, nullptr, false);
    if (!config.is_object()) return;
    const auto outbounds = config.find("outbounds");
    if (outbounds == config.end() || !allObjects(*outbounds)) return;
    for (const auto& o : *outbounds) {
        if (!state->now || textAt(o, "tag") != *state->now) continue;
        if (const auto server = textAt(o, "server"); server && !server->empty())
            telemetry_.update([&](Telemetry::Fields& f) { f.surfaceID = *server; });
        break;
    }
}

std::optional<std::string> PacketTunnelProvider::networkType(const NetworkPath& path) {
    if (path.status != NetworkPath::Status::satisfied || path.availableInterfaces.empty()) return std::nullopt;
    switch (path.availableInterfaces.front().type) {
        case NetworkPath::InterfaceType::wifi: return "wifi";
        case NetworkPath::InterfaceType::cellular: return "cellular";
        case NetworkPath::InterfaceType::wiredEthernet: return "ethernet";
        default: return "other";
    }
}

std::pair<std::optional<std::string>, std::optional<std::string>> PacketTunnelProvider::updateNetworkType() {
    std::optional<std::string> type;
    {
        std::lock_guard lock(tasksMutex_);
        if (pathMonitor_)
            if (const auto path = pathMonitor_->currentPath()) type = networkType(*path);
    }
    if (!type) type = telemetry_.fields().networkType;
    std::optional<std::string> radio = type == "wifi" ? std::optional<std::string>("wifi") : std::nullopt;
    telemetry_.update([&](Telemetry::Fields& f) {
        f.networkType = type;
        f.radioTech = radio;
    });
    return {type, radio};
}

std::optional<std::string> PacketTunnelProvider::subToken() const {
    if (const auto options = tunnelOptions())
        if (auto token = nonEmptyText(*options, "subToken")) return token;
    auto stored = store_.string(KavriDefaultsKey::subTokenForNE);
    if (stored && !stored->empty()) return stored;
    return std::nullopt;
}

std::optional<std::string> PacketTunnelProvider::deviceID() const {
    // An identifier that cannot travel as "X-Device-Id" counts as none.
    if (const auto options = tunnelOptions())
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
