#include "platform/ne/tunnel_status.h"

#include <array>
#include <utility>

namespace kavri {
namespace {

constexpr std::array<std::pair<TunnelStatus, std::string_view>, 6> kNames{{
    {TunnelStatus::invalid, "invalid"},
    {TunnelStatus::disconnected, "disconnected"},
    {TunnelStatus::connecting, "connecting"},
    {TunnelStatus::connected, "connected"},
    {TunnelStatus::reasserting, "reasserting"},
    {TunnelStatus::disconnecting, "disconnecting"},
}};

}  // namespace

std::string_view tunnelStatusName(TunnelStatus status) {
    for (const auto& [s, n] : kNames)
        if (s == status) return n;
    return "invalid";
}

std::optional<TunnelStatus> tunnelStatusFromName(std::string_view name) {
    for (const auto& [s, n] : kNames)
        if (n == name) return s;
    return std::nullopt;
}

}  // namespace kavri
