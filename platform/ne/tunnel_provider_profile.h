#pragma once

#include <string>
#include <vector>

namespace kavri {

// A rule that makes the VPN service bring the tunnel up by itself. Only the
// connect rule with its default matching (any interface, no conditions) is
// known here.
struct OnDemandRule {
    enum class Action { connect };
    Action action = Action::connect;

    bool operator==(const OnDemandRule&) const = default;
};

// The tunnel-provider protocol of a profile: which extension serves it.
struct TunnelProviderProtocol {
    std::string providerBundleIdentifier;
    std::string serverAddress;

    bool operator==(const TunnelProviderProtocol&) const = default;
};

// One saved VPN profile of the app, as the VPN service keeps it.
struct TunnelProviderProfile {
    std::string identifier;  // given at the first save
    TunnelProviderProtocol protocolConfiguration;
    std::string localizedDescription;
    bool isEnabled = false;
    bool isOnDemandEnabled = false;
    std::vector<OnDemandRule> onDemandRules;

    bool operator==(const TunnelProviderProfile&) const = default;
};

}  // namespace kavri
