#pragma once
// What a tunnel run needs around the extension on loopback: a control plane
// that takes telemetry, an origin server, two member proxies "m1" and "m2"
// in the selector group "proxy" (default "m1"), and the engine configuration
// the app would hand over, with fixed free ports so the extension can learn
// them, reserved among the tests running beside it.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/deployment.h"
#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "testing/member_proxy.h"
#include "testing/origin_server.h"
#include "testing/reserved_port.h"
#include "testing/test_control_plane.h"

namespace kavri {

class TunnelRig {
public:
    TestControlPlane controlPlane;
    OriginServer origin;
    MemberProxy m1;
    MemberProxy m2;
    const std::string secret = "rig-secret";
    const std::string token = "tok12345abcdef";
    const std::string device = "DEVICE-1";

private:
    ReservedPort hbReservation_;
    ReservedPort controllerReservation_;

public:
    const int hbPort = hbReservation_.port();
    const int controllerPort = controllerReservation_.port();

    TunnelRig() { Deployment::install(controlPlane.deployment()); }

    std::string controllerBase() const { return "http://127.0.0.1:" + std::to_string(controllerPort); }

    nlohmann::ordered_json config() const {
        using nlohmann::ordered_json;
        auto member = [](const std::string& tag, const MemberProxy& p) {
            return ordered_json{{"type", "http"}, {"tag", tag}, {"server", "127.0.0.1"}, {"server_port", p.port()}};
        };
        ordered_json ruleSets = ordered_json::array();
        for (const char* tag : {"geoip-ru", "geosite-category-ru", "ru-extra"})
            ruleSets.push_back({{"type", "local"}, {"tag", tag}, {"format", "binary"}, {"path", std::string("rules/") + tag + ".srs"}});
        return ordered_json{
            {"log", {{"level", "info"}}},
            {"inbounds", ordered_json::array({ordered_json{{"type", "mixed"}, {"tag", "hb-in"}, {"listen", "127.0.0.1"}, {"listen_port", hbPort}}})},
            {"outbounds", ordered_json::array({ordered_json{{"type", "selector"}, {"tag", "proxy"}, {"outbounds", {"m1", "m2"}}, {"default", "m1"}},
                                               member("m1", m1), member("m2", m2), ordered_json{{"type", "direct"}, {"tag", "direct"}}})},
            {"route", {{"rule_set", ruleSets},
                       {"rules", ordered_json::array({ordered_json{{"rule_set", {"geoip-ru", "geosite-category-ru", "ru-extra"}}, {"outbound", "direct"}}})},
                       {"final", "proxy"}}},
            {"experimental", {{"clash_api", {{"external_controller", "127.0.0.1:" + std::to_string(controllerPort)}, {"secret", secret}}}}},
        };
    }

    // What the app leaves in the shared store before it connects on this rig:
    // the token and the device mirrored for the extension, and detection
    // settings (`detect`'s values) whose probes go to the rig's origin unless
    // `detect` names another "hb_url".
    void prepareStore(KavriStore& store, nlohmann::json detect = nlohmann::json::object()) const {
        store.set(KavriDefaultsKey::subTokenForNE, token);
        store.set(KavriDefaultsKey::deviceIDForNE, device);
        if (!detect.contains("hb_url")) detect["hb_url"] = origin.url("/generate_204");
        DetectConfig::persist(detect, {}, store);
    }

    // The start options as the app builds them.
    nlohmann::json options() const { return options(config().dump()); }
    nlohmann::json options(const std::string& configText) const {
        return {{"configContent", configText},
                {"subToken", token},
                {"deviceID", device},
                {"configVersion", 3},
                {"systemProxyEnabled", true},
                {"excludeDefaultRoute", false},
                {"autoRouteUseSubRangesByDefault", false},
                {"excludeAPNsRoute", false},
                {"includeAllNetworks", false}};
    }

    // The telemetry reports received so far, as JSON.
    std::vector<nlohmann::json> reports() const { return controlPlane.reports(); }
    std::vector<nlohmann::json> events(const std::string& name) const {
        std::vector<nlohmann::json> out;
        for (auto& r : reports())
            if (r.value("event", "") == name) out.push_back(r);
        return out;
    }
    // Waits (real time) until an event of that name arrived.
    bool waitForEvent(const std::string& name, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!events(name).empty()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

}  // namespace kavri
