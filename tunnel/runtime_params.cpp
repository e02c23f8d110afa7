#include "tunnel/runtime_params.h"

#include <algorithm>

#include "core/detect_config.h"

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

}  // namespace

bool RuntimeParams::learn(const json& root, ClashClient& clash, Telemetry& telemetry) {
    std::string secret;
    if (const auto exp = root.find("experimental"); exp != root.end() && exp->is_object())
        if (const auto api = exp->find("clash_api"); api != exp->end() && api->is_object())
            secret = textAt(*api, "secret").value_or("");
    clash.setSecret(secret);
    telemetry.update([&](Telemetry::Fields& f) { f.clashSecret = secret; });

    clash.setHbInboundPresent(false);
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
                clash.setHbPort(port->get<std::int64_t>());
                clash.setHbInboundPresent(true);
            }
    }

    const auto outbounds = root.find("outbounds");
    if (outbounds == root.end() || !allObjects(*outbounds)) return false;

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
    clash.setProbeTag(tag);
    telemetry.update([&](Telemetry::Fields& f) {
        f.groupTag = tag;
        f.probeTargetURL = DetectConfig::defaultHeartbeatURL;
    });

    const auto group = std::find_if(outbounds->begin(), outbounds->end(),
                                    [&](const json& o) { return textAt(o, "tag") == tag; });
    if (group != outbounds->end()) {
        if (const auto server = textAt(*group, "server"); server && !server->empty()) {
            telemetry.update([&](Telemetry::Fields& f) { f.surfaceID = *server; });
            return false;
        }
        const auto members = group->find("outbounds");
        if (members != group->end() && members->is_array() && !members->empty() && (*members)[0].is_string()) {
            const std::string first = (*members)[0].get<std::string>();
            const auto member = std::find_if(outbounds->begin(), outbounds->end(),
                                             [&](const json& o) { return textAt(o, "tag") == first; });
            if (member != outbounds->end())
                if (const auto server = textAt(*member, "server"); server && !server->empty())
                    telemetry.update([&](Telemetry::Fields& f) { f.surfaceID = *server; });
        }
    }
    return true;
}

}  // namespace kavri
