#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavri {

// What the engine takes from a sing-box JSON configuration: the inbounds,
// the outbounds with their groups, the route and the controller settings.
// Everything else in the text is accepted and ignored.
struct EngineConfig {
    struct Inbound {
        std::string tag;
        std::string type;
        std::string listen;  // as written; served on loopback whatever it says
        std::uint16_t port = 0;  // 0: any free port
        // "http" and "mixed" inbounds are served as HTTP proxies; others
        // ("tun", ...) are accepted and not served.
        bool served() const;
    };

    struct Outbound {
        std::string tag;
        std::string type;
        std::string server;
        std::uint16_t serverPort = 0;
        std::vector<std::string> members;  // groups only
        std::string defaultMember;         // selector's "default"
        std::string testURL;               // urltest's "url"
        bool isGroup() const;               // "selector" or "urltest"
        // Types the engine can carry a stream through (or refuse on purpose).
        bool spoken() const;
        bool refuses() const;  // "block", "dns"
    };

    // A route rule that only names inbounds; rules that match on anything
    // else cannot be judged here and are skipped.
    struct Rule {
        std::vector<std::string> inbounds;
        std::string outbound;
    };

    std::vector<Inbound> inbounds;
    std::vector<Outbound> outbounds;
    std::vector<Rule> rules;
    std::string finalOutbound;  // "route"."final", empty when absent
    std::string controller;     // "experimental"."clash_api"."external_controller"
    std::string secret;         // "experimental"."clash_api"."secret"

    // Throws EngineError when the text is not a JSON object or is
    // inconsistent (duplicate tags, unknown members, group cycles, missing
    // servers, ports out of range).
    static EngineConfig parse(const std::string& text);

    const Outbound* outbound(const std::string& tag) const;
    // The outbound a connection from the inbound `inboundTag` goes to, and
    // the rule that chose it ("inbound=<tag>", "final" or "default").
    std::pair<std::string, std::string> route(const std::string& inboundTag) const;
    // Outbounds of protocols the engine cannot speak, as "type (tag)".
    std::vector<std::string> unspokenOutbounds() const;
};

}  // namespace kavri
