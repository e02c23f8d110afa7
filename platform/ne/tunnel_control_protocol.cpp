#include "platform/ne/tunnel_control_protocol.h"

#include <cmath>
#include <limits>

#include "platform/runtime/base64.h"
#include "platform/runtime/json_depth.h"

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

std::variant<nlohmann::json, TunnelControlProtocol::RequestError> TunnelControlProtocol::parseLine(
    std::string_view line) {
    if (!JsonDepth::within(line, maxNesting)) return RequestError{nullptr, "malformed request: nested too deeply"};
    nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return RequestError{nullptr, "malformed request: not a JSON object"};
    return object;
}

std::variant<TunnelControlProtocol::Request, TunnelControlProtocol::RequestError> TunnelControlProtocol::decodeRequest(
    const nlohmann::json& object) {
    Request r;
    if (!object.is_object()) return RequestError{nullptr, "malformed request: not a JSON object"};
    if (auto id = object.find("id"); id != object.end()) r.id = *id;
    auto fail = [&](std::string error) { return RequestError{std::move(r.id), std::move(error)}; };
    const auto op = object.find("op");
    if (op == object.end() || !op->is_string()) return fail("malformed request: no \"op\"");
    const std::string& name = op->get_ref<const std::string&>();
    if (name == "status") {
        r.op = Request::Op::status;
    } else if (name == "start") {
        r.op = Request::Op::start;
        if (auto options = object.find("options"); options != object.end()) r.options = *options;
        if (!r.options.is_null() && !r.options.is_object())
            return fail("malformed request: \"options\" must be an object");
    } else if (name == "stop") {
        r.op = Request::Op::stop;
        if (auto reason = object.find("reason"); reason != object.end()) {
            // Read by its own sign: 2^64 - 1 is not -1.
            const bool fits = reason->is_number_unsigned()
                                  ? reason->get<std::uint64_t>() <= std::uint64_t{std::numeric_limits<int>::max()}
                                  : reason->is_number_integer() &&
                                        reason->get<std::int64_t>() >= std::numeric_limits<int>::min() &&
                                        reason->get<std::int64_t>() <= std::numeric_limits<int>::max();
            if (!fits) return fail("malformed request: \"reason\" must be an integer");
            r.reason = static_cast<ProviderStopReason>(reason->get<int>());
        }
    } else if (name == "wake") {
        r.op = Request::Op::wake;
    } else if (name == "message") {
        r.op = Request::Op::message;
        const auto data = object.find("data");
        std::optional<std::string> bytes = data != object.end() ? decodeData(*data) : std::nullopt;
        if (!bytes) return fail("malformed request: \"data\" must be {\"text\": ...} or {\"base64\": ...}");
        r.data = std::move(*bytes);
    } else {
        return fail("unknown op \"" + name + "\"");
    }
    return r;
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
    // A date the wall clock cannot hold (nanoseconds since 1970 in 64 bits,
    // about 292 years either way) is no date.
    constexpr double maxSeconds = 9.2e9;
    if (auto d = object.find("connectedDate"); d != object.end() && d->is_number() && std::isfinite(d->get<double>()) &&
                                                std::abs(d->get<double>()) < maxSeconds)
        s.connectedDate = fromUnixSeconds(d->get<double>());
    if (auto e = object.find("lastError"); e != object.end() && e->is_string()) s.lastError = e->get<std::string>();
    return s;
}

}  // namespace kavri
