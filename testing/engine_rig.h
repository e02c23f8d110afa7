#pragma once

// A stand-in engine on loopback for tests: an origin server, two member
// proxies "m1" and "m2" in the selector group "proxy" (default "m1"), which
// routes everything that enters the "hb-in" inbound. Ports are all free
// ones picked at start, so suites run side by side. Header-only: it needs the
// engine library, which the test programs link.

#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/engine/extension_provider.h"
#include "platform/http/http_session.h"
#include "testing/member_proxy.h"
#include "testing/origin_server.h"

namespace kavri {

class EngineRig {
public:
    OriginServer origin;
    MemberProxy m1;
    MemberProxy m2;
    std::string secret = "rig-secret";
    ExtensionProvider provider;

    ~EngineRig() { stop(); }

    // The configuration the rig starts with; tests change it as they need.
    nlohmann::json config() const {
        using nlohmann::json;
        return json{
            {"log", {{"level", "info"}}},
            {"inbounds",
             json::array({json{{"type", "mixed"}, {"tag", "hb-in"}, {"listen", "127.0.0.1"}, {"listen_port", 0}},
                          json{{"type", "tun"}, {"tag", "tun-in"}, {"auto_route", true}}})},
            {"outbounds", json::array({json{{"type", "selector"},
                                            {"tag", "proxy"},
                                            {"outbounds", {"m1", "m2"}},
                                            {"default", "m1"},
                                            {"url", origin.url("/generate_204")}},
                                       member("m1", m1), member("m2", m2),
                                       json{{"type", "direct"}, {"tag", "direct"}}})},
            {"route", {{"final", "proxy"}}},
            {"experimental", {{"clash_api", {{"external_controller", "127.0.0.1:0"}, {"secret", secret}}}}},
        };
    }

    static nlohmann::json member(const std::string& tag, const MemberProxy& proxy, const std::string& type = "http") {
        return {{"type", type}, {"tag", tag}, {"server", "127.0.0.1"}, {"server_port", proxy.port()}};
    }

    // Starts the engine; the error text when it refuses.
    std::optional<std::string> start(const nlohmann::json& configuration) {
        std::optional<std::string> error;
        provider.startTunnel({{"configContent", configuration.dump()}}, [&](std::optional<std::string> e) { error = e; });
        return error;
    }
    std::optional<std::string> start() { return start(config()); }
    void stop() {
        provider.stopTunnel(ProviderStopReason::userInitiated, [] {});
    }

    std::uint16_t hbPort() const { return running()->inboundAddress("hb-in").value().port; }
    std::uint16_t controllerPort() const { return running()->controllerAddress().value().port; }
    std::string controllerBase() const { return "http://127.0.0.1:" + std::to_string(controllerPort()) + "/"; }

    // A controller request with the rig's secret (or the one given).
    HttpResponse api(const std::string& method, const std::string& path, const std::string& body = {},
                     std::optional<std::string> withSecret = std::nullopt) const {
        HttpRequest r;
        r.method = method;
        r.url = controllerBase() + path;
        r.body = body;
        const std::string s = withSecret.value_or(secret);
        if (!s.empty()) r.setHeader("Authorization", "Bearer " + s);
        if (!body.empty()) r.setHeader("Content-Type", "application/json");
        return HttpSession().send(r);
    }
    nlohmann::json apiJson(const std::string& path) const { return nlohmann::json::parse(api("GET", path).body); }
    std::string selected() const { return apiJson("proxies/proxy")["now"].get<std::string>(); }

    // A GET of `url` sent to the "hb-in" inbound.
    HttpResponse viaInbound(const std::string& url) const {
        HttpSessionConfig c;
        c.proxy = "http://127.0.0.1:" + std::to_string(hbPort());
        HttpRequest r;
        r.url = url;
        return HttpSession(c).send(r);
    }

private:
    std::shared_ptr<ProxyEngine> running() const {
        auto e = provider.engine();
        if (!e) throw std::logic_error("the rig's engine is not running");
        return e;
    }
};

}  // namespace kavri
