#pragma once

#include <nlohmann/json.hpp>

#include "tunnel/clash_client.h"
#include "tunnel/telemetry.h"

namespace kavri {

// What the extension learns from an engine configuration: the local
// controller's secret, the heartbeat inbound's port, the proxy group's tag
// and the server in use. The controller client and the telemetry take them.
struct RuntimeParams {
    // Learns from a parsed configuration. True when the group's server could
    // not be told from the configuration alone, so that the group's state is
    // to be read from the engine.
    static bool learn(const nlohmann::json& root, ClashClient& clash, Telemetry& telemetry);
};

}  // namespace kavri
