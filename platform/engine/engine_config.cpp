#include "platform/engine/engine_config.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "platform/engine/engine_error.h"

namespace kavri {
namespace {

using nlohmann::json;

std::string text(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return {};
    if (!it->is_string()) throw EngineError(where + ": \"" + key + "\" must be a string");
    return it->get<std::string>();
}

std::uint16_t port(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return 0;
    if (!it->is_number_integer() || it->get<std::int64_t>() < 0 || it->get<std::int64_t>() > 65535)
        throw EngineError(where + ": \"" + key + "\" must be a port number (0 to 65535)");
    return static_cast<std::uint16_t>(it->get<std::int64_t>());
}

const json* object(const json& parent, const char* key, const std::string& where) {
    const auto it = parent.find(key);
    if (it == parent.end() || it->is_null()) return nullptr;
    if (!it->is_object()) throw EngineError(where + "\"" + key + "\" must be an object");
    return &*it;
}

const json* array(const json& parent, const char* key, const std::string& where) {
    const auto it = parent.find(key);
    if (it == parent.end() || it->is_null()) return nullptr;
    if (!it->is_array()) throw EngineError(where + "\"" + key + "\" must be an array");
    return &*it;
}

std::vector<std::string> textList(const json& value, const std::string& where) {
    std::vector<std::string> out;
    if (value.is_string()) {
        out.push_back(value.get<std::string>());
    } else if (value.is_array()) {
        for (const auto& v : value) {
            if (!v.is_string()) throw EngineError(where + ": expected strings");
            out.push_back(v.get<std::string>());
        }
    } else {
        throw EngineError(where + ": expected a string or an array of strings");
    }
    return out;
}

}  // namespace

bool EngineConfig::Inbound::served() const { return type == "http" || type == "mixed"; }

bool EngineConfig::Outbound::isGroup() const { return type == "selector" || type == "urltest"; }

bool EngineConfig::Outbound::refuses() const { return type == "block" || type == "dns"; }

bool EngineConfig::Outbound::spoken() const {
    return isGroup() || refuses() || type == "direct" || type == "http" || type == "socks";
}

EngineConfig EngineConfig::parse(const std::string& source) {
    json root;
    try {
        root = json::parse(source);
    } catch (const json::parse_error& e) {
        throw EngineError(std::string("the configuration is not valid JSON: ") + e.what());
    }
    if (!root.is_object()) throw EngineError("the configuration is not a JSON object");

    EngineConfig c;
    if (const json* inbounds = array(root, "inbounds", "")) {
        for (std::size_t i = 0; i < inbounds->size(); ++i) {
            const json& in = (*inbounds)[i];
            const std::string where = "inbound #" + std::to_string(i + 1);
            if (!in.is_object()) throw EngineError(where + " is not an object");
            Inbound b;
            b.tag = text(in, "tag", where);
            b.type = text(in, "type", where);
            b.listen = text(in, "listen", where);
            b.port = port(in, "listen_port", where + (b.tag.empty() ? "" : " \"" + b.tag + "\""));
            c.inbounds.push_back(std::move(b));
        }
    }

    if (const json* outbounds = array(root, "outbounds", "")) {
        for (std::size_t i = 0; i < outbounds->size(); ++i) {
            const json& out = (*outbounds)[i];
            std::string where = "outbound #" + std::to_string(i + 1);
            if (!out.is_object()) throw EngineError(where + " is not an object");
            Outbound o;
            o.tag = text(out, "tag", where);
            o.type = text(out, "type", where);
            if (!o.tag.empty()) where = "outbound \"" + o.tag + "\"";
            if (o.type.empty()) throw EngineError(where + " has no type");
            if (o.tag.empty()) o.tag = std::to_string(i);  // an untagged outbound goes by its index
            o.server = text(out, "server", where);
            o.serverPort = port(out, "server_port", where);
            if (o.isGroup()) {
                const auto it = out.find("outbounds");
                if (it == out.end() || !it->is_array() || it->empty())
                    throw EngineError(where + ": a group needs a non-empty \"outbounds\" list");
                o.members = textList(*it, where + " members");
                o.defaultMember = text(out, "default", where);
                o.testURL = text(out, "url", where);
            }
            if ((o.type == "http" || o.type == "socks") && (o.server.empty() || o.serverPort == 0))
                throw EngineError(where + ": \"server\" and \"server_port\" are required");
            if (o.type == "socks") {
                const auto v = out.find("version");
                if (v != out.end() && !(v->is_string() && v->get<std::string>() == "5")) o.type = "socks4";
            }
            c.outbounds.push_back(std::move(o));
        }
    }
    if (c.outbounds.empty()) {
        Outbound direct;
        direct.tag = direct.type = "direct";
        c.outbounds.push_back(direct);
    }

    std::set<std::string> tags;
    for (const auto& o : c.outbounds)
        if (!tags.insert(o.tag).second) throw EngineError("two outbounds are tagged \"" + o.tag + "\"");
    for (const auto& o : c.outbounds) {
        for (const auto& m : o.members)
            if (!tags.count(m))
                throw EngineError("group \"" + o.tag + "\" names the unknown outbound \"" + m + "\"");
        if (!o.defaultMember.empty() &&
            std::find(o.members.begin(), o.members.end(), o.defaultMember) == o.members.end())
            throw EngineError("group \"" + o.tag + "\": default \"" + o.defaultMember + "\" is not a member");
    }
    // Groups must not contain themselves, directly or through other groups.
    std::map<std::string, int> mark;  // 1: on the path, 2: done
    std::function<void(const Outbound&)> visit = [&](const Outbound& o) {
        mark[o.tag] = 1;
        for (const auto& m : o.members) {
            if (mark[m] == 1) throw EngineError("group \"" + o.tag + "\" contains itself through \"" + m + "\"");
            if (mark[m] == 0) visit(*c.outbound(m));
        }
        mark[o.tag] = 2;
    };
    for (const auto& o : c.outbounds)
        if (mark[o.tag] == 0) visit(o);

    if (const json* route = object(root, "route", "")) {
        c.finalOutbound = text(*route, "final", "route");
        if (!c.finalOutbound.empty() && !tags.count(c.finalOutbound))
            throw EngineError("route.final names the unknown outbound \"" + c.finalOutbound + "\"");
        if (const json* rules = array(*route, "rules", "route.")) {
            for (const auto& r : *rules) {
                if (!r.is_object() || !r.contains("inbound")) continue;
                bool onlyInbound = true;
                for (const auto& [key, value] : r.items())
                    if (key != "inbound" && key != "outbound" && !(key == "action" && value == "route"))
                        onlyInbound = false;
                const auto out = r.find("outbound");
                if (!onlyInbound || out == r.end() || !out->is_string()) continue;
                Rule rule;
                rule.inbounds = textList(r["inbound"], "route rule");
                rule.outbound = out->get<std::string>();
                if (!tags.count(rule.outbound))
                    throw EngineError("a route rule names the unknown outbound \"" + rule.outbound + "\"");
                c.rules.push_back(std::move(rule));
            }
        }
    }

    if (const json* experimental = object(root, "experimental", "")) {
        if (const json* api = object(*experimental, "clash_api", "experimental.")) {
            c.controller = text(*api, "external_controller", "clash_api");
            c.secret = text(*api, "secret", "clash_api");
        }
    }
    return c;
}

const EngineConfig::Outbound* EngineConfig::outbound(const std::string& tag) const {
    for (const auto& o : outbounds)
        if (o.tag == tag) return &o;
    return nullptr;
}

std::pair<std::string, std::string> EngineConfig::route(const std::string& inboundTag) const {
    for (const auto& r : rules)
        if (std::find(r.inbounds.begin(), r.inbounds.end(), inboundTag) != r.inbounds.end())
            return {r.outbound, "inbound=" + inboundTag};
    if (!finalOutbound.empty()) return {finalOutbound, "final"};
    for (const auto& o : outbounds)
        if (o.isGroup()) return {o.tag, "default"};
    return {outbounds.front().tag, "default"};
}

std::vector<std::string> EngineConfig::unspokenOutbounds() const {
    std::vector<std::string> out;
    for (const auto& o : outbounds)
        if (!o.spoken()) out.push_back(o.type + " (" + o.tag + ")");
    return out;
}

}  // namespace kavri
