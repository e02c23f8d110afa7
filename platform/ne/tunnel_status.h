#pragma once

#include <optional>
#include <string_view>

namespace kavri {

// The state of the tunnel as the system reports it to the app.
enum class TunnelStatus { invalid, disconnected, connecting, connected, reasserting, disconnecting };

std::string_view tunnelStatusName(TunnelStatus status);
std::optional<TunnelStatus> tunnelStatusFromName(std::string_view name);

}  // namespace kavri
