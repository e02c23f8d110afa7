#include "platform/ne/tunnel_control_protocol.h"

#include <cmath>

#include "platform/runtime/base64.h"

namespace kavri {

bool TunnelControlProtocol::isValidUtf8(std::string_view bytes) {
    // The JSON library refuses to serialise ill-formed UTF-8 (overlong forms,
    // surrogates, truncated sequences); that is exactly the test wanted.
    try {
        (void)nlohmann::json(std::string(bytes)).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

nlohmann::json TunnelControlProtocol::encodeData(std::string_view bytes) {
    if (isValidUtf8(bytes)) return {{"text", std::string(bytes)}};
    return {{"base64", Base64::encode(bytes)}};
}

std::optional<std::string> TunnelControlProtocol::decodeData(const nlohmann::json& value) {
    if (!value.is_object() || value.size() != 1) return std::nullopt;
    if (auto it = value.find("text"); it != value.end())
        return it->is_string() ? std::optional(it->get<std::string>()) : std::nullopt;
    if (auto it = value.find("base64"); it != value.end())
        return it->is_string() ? Base64::decode(it->get_ref<const std::string&>()) : std::nullopt;
    return std::nullopt;
}

double TunnelControlProtocol::toUnixSeconds(Clock::WallTime t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

Clock::WallTime TunnelControlProtocol::fromUnixSeconds(double seconds) {
    // Microseconds are all a double of today's dates carries faithfully.
    const auto micros = std::chrono::microseconds(std::llround(seconds * 1e6));
    return Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(micros));
}

void TunnelControlProtocol::writeSnapshot(const Snapshot& snapshot, nlohmann::json& into) {
    into["status"] = std::string(tunnelStatusName(snapshot.status));
    if (snapshot.connectedDate)
        into["connectedDate"] = toUnixSeconds(*snapshot.connectedDate);
    else
        into["connectedDate"] = nullptr;
    if (snapshot.lastError) into["lastError"] = *snapshot.lastError;
}

nlohmann::json TunnelControlProtocol::statusEvent(const Snapshot& snapshot) {
    nlohmann::json event = {{"event", "status"}};
    writeSnapshot(snapshot, event);
    return event;
}

std::optional<TunnelControlProtocol::Snapshot> TunnelControlProtocol::readSnapshot(const nlohmann::json& object) {
    if (!object.is_object()) return std::nullopt;
    auto status = object.find("status");
    if (status == object.end() || !status->is_string()) return std::nullopt;
    auto parsed = tunnelStatusFromName(status->get_ref<const std::string&>());
    if (!parsed) return std::nullopt;
    Snapshot s;
    s.status = *parsed;
    if (auto d = object.find("connectedDate"); d != object.end() && d->is_number() && std::isfinite(d->get<double>()))
        s.connectedDate = fromUnixSeconds(d->get<double>());
    if (auto e = object.find("lastError"); e != object.end() && e->is_string()) s.lastError = e->get<std::string>();
    return s;
}

}  // namespace kavri
