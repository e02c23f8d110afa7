#include "api/device_link_api.h"

#include <cmath>

#include "api/device_id.h"
#include "api/host_attempt.h"
#include "api/json_fields.h"
#include "api/lenient_fields.h"
#include "core/control_plane.h"
#include "core/kavri_http.h"
#include "core/kavri_constants.h"
#include "platform/runtime/checked_date.h"
#include "platform/runtime/internet_date_time.h"
#include "platform/runtime/system_info.h"

namespace kavri {
namespace {

// A status that moves the walk on to the next host.
[[noreturn]] void nextHost(int code) {
    HostAttempt::retry(std::make_exception_ptr(HostAttempt::StatusError("DeviceLink", code)));
}

std::optional<DeviceLinkAPI::Date> dateOf(const LenientFields& fields, std::string_view key) {
    const auto text = fields.string(key);
    if (!text) return std::nullopt;
    return InternetDateTime::parse(*text, InternetDateTime::Fraction::absent);
}

bool flagOf(const nlohmann::json& value, std::string_view key) {
    const auto* member = LenientFields(value).member(key);
    if (!member) return false;
    if (member->is_boolean()) return member->get<bool>();
    if (member->is_number()) {
        const double number = member->get<double>();
        return number == 1;
    }
    return false;
}

}  // namespace

// --- errors and records ---

DeviceLinkAPI::LinkV2Error::LinkV2Error(int status, const nlohmann::json& reply) {
    const LenientFields fields(reply);
    const auto error = fields.string("error");
    if (error == "not_owner") {
        kind_ = Kind::notOwner;
    } else if (error == "subscription_inactive") {
        kind_ = Kind::subscriptionInactive;
    } else if (error == "device_limit") {
        kind_ = Kind::deviceLimit;
        limit_ = fields.int64("limit").value_or(0);
        used_ = fields.int64("used").value_or(0);
    } else if (error == "would_lose_paid") {
        kind_ = Kind::wouldLosePaid;
        appID_ = fields.int64("app_id").value_or(0);
        plan_ = fields.string("plan").value_or("");
        expiresAt_ = fields.string("expires_at").value_or("");
    } else {
        kind_ = status == 404 || status == 410 ? Kind::notFound : Kind::network;
    }
}

const char* DeviceLinkAPI::LinkV2Error::what() const noexcept {
    switch (kind_) {
        case Kind::deviceLimit: return "device limit reached";
        case Kind::wouldLosePaid: return "joining would lose a paid subscription";
        case Kind::notOwner: return "not the owner of the subscription";
        case Kind::subscriptionInactive: return "subscription inactive";
        case Kind::notFound: return "code not found";
        case Kind::network: return "no usable answer";
    }
    return "device link error";
}

DeviceLinkAPI::Device DeviceLinkAPI::Device::fromJson(const nlohmann::json& value) {
    const LenientFields fields(value);
    Device device;
    device.id = fields.string("device_id").value_or("");
    if (auto name = fields.string("name"); name && !name->empty()) device.name = *name;
    device.platform = fields.string("platform").value_or("");
    device.lastSeen = dateOf(fields, "last_seen");
    device.blocked = flagOf(value, "blocked");
    device.current = flagOf(value, "current");
    device.addedBy = fields.string("added_by").value_or("");
    device.addedAt = dateOf(fields, "added_at");
    return device;
}

DeviceLinkAPI::DeviceList DeviceLinkAPI::DeviceList::fromJson(const nlohmann::json& value) {
    const LenientFields fields(value);
    DeviceList list;
    if (const auto* devices = fields.member("devices"); devices && devices->is_array()) {
        bool allObjects = true;
        for (const auto& entry : *devices) allObjects = allObjects && entry.is_object();
        if (allObjects)
            for (const auto& entry : *devices) list.devices.push_back(Device::fromJson(entry));
    }
    list.limit = fields.int64("limit").value_or(5);
    return list;
}

std::optional<DeviceLinkAPI::Invite> DeviceLinkAPI::Invite::fromJson(const nlohmann::json& reply) {
    const LenientFields fields(reply);
    const auto code = fields.string("code");
    if (!code) return std::nullopt;
    Invite invite{*code, std::nullopt};
    if (const auto* at = fields.member("expires_at"); at && at->is_number())
        invite.expiresAt = CheckedDate::fromUnixSeconds(at->get<double>());
    return invite;
}

// The reply's object, read with the depth limit of every reply; anything
// else is an empty object. The parsed tree is moved, never copied.
nlohmann::json DeviceLinkAPI::replyObject(std::string_view body) {
    try {
        auto value = JsonFields::parse(body);
        if (value.is_object()) return value;
    } catch (const DecodingError&) {
    }
    return nlohmann::json::object();
}

// --- calls ---

HttpSession DeviceLinkAPI::session() { return KavriHTTP::apiSession(8); }

DeviceLinkAPI::DeviceLinkAPI(HttpSession session, KavriStore& store, Clock& clock)
    : session_(std::move(session)), store_(store), clock_(clock) {}

HttpRequest DeviceLinkAPI::post(const std::string& base, const std::string& path, const nlohmann::json& body,
                                bool withDevice) const {
    HttpRequest request;
    request.method = "POST";
    request.url = (base.ends_with('/') ? base.substr(0, base.size() - 1) : base) + "/" + path;
    request.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(attemptSeconds * 1000));
    request.headers = {{"Content-Type", "application/json"}};
    if (withDevice) request.headers.push_back({"X-Device-Id", DeviceID::current(store_)});
    request.body = body.dump();
    request.maxBodyBytes = maxReplyBytes;
    return request;
}

std::pair<int, nlohmann::json> DeviceLinkAPI::postJSON(const std::string& base, const std::string& path,
                                                       const nlohmann::json& body, std::stop_token stop) const {
    const auto response = HostAttempt::send(session_, post(base, path, body, true), stop);
    const int code = response.status;
    if (code == 200 || code == 403 || code == 404 || code == 409 || code == 410)
        return {code, replyObject(response.body)};
    nextHost(code);
}

std::pair<int, nlohmann::json> DeviceLinkAPI::linkCall(const std::string& path, const nlohmann::json& body,
                                                       std::stop_token stop) const {
    try {
        return ControlPlane::withFailover(
            budgetSeconds, [&](const std::string& base) { return postJSON(base, path, body, stop); }, clock_,
            store_);
    } catch (const std::exception&) {
        throw LinkV2Error(LinkV2Error::Kind::network);
    }
}

DeviceLinkAPI::Invite DeviceLinkAPI::invite(const std::string& token, std::stop_token stop) const {
    const auto [status, reply] = linkCall("link/invite", {{"token", token}}, stop);
    auto invite = Invite::fromJson(reply);
    if (status != 200 || !invite) throw LinkV2Error(status, reply);
    return *invite;
}

std::pair<std::string, std::int64_t> DeviceLinkAPI::join(const std::string& code, std::stop_token stop) const {
    const nlohmann::json body = {{"code", code},
                                 {"device_id", DeviceID::current(store_)},
                                 {"platform", KavriConstants::platformName},
                                 {"name", SystemInfo::hostName().value_or("Mac")}};
    const auto [status, reply] = linkCall("link/join", body, stop);
    const LenientFields fields(reply);
    const auto token = fields.string("sub_token");
    if (status != 200 || !token) throw LinkV2Error(status, reply);
    return {*token, fields.int64("app_id").value_or(0)};
}

void DeviceLinkAPI::detach(const std::string& token, std::stop_token stop) const {
    const auto [status, reply] = linkCall("devices/detach", {{"token", token}}, stop);
    if (status != 200) throw LinkV2Error(status, reply);
}

DeviceLinkAPI::DeviceList DeviceLinkAPI::listDevices(const std::string& token, std::stop_token stop) const {
    try {
        return ControlPlane::withFailover(
            budgetSeconds,
            [&](const std::string& base) {
                const auto request = post(base, "devices/list", {{"token", token}}, true);
                const auto response = HostAttempt::send(session_, request, stop);
                if (response.status < 200 || response.status > 299)
                    nextHost(response.status);
                nlohmann::json value;
                try {
                    value = JsonFields::parse(response.body);
                } catch (const DecodingError&) {
                }
                if (!value.is_object()) nextHost(response.status);
                return DeviceList::fromJson(value);
            },
            clock_, store_);
    } catch (const std::exception&) {
        throw LinkError();
    }
}

void DeviceLinkAPI::removeDevice(const std::string& token, const std::string& deviceID, std::stop_token stop) const {
    try {
        ControlPlane::withFailover(
            budgetSeconds,
            [&](const std::string& base) {
                const auto response = HostAttempt::send(
                    session_, post(base, "devices/remove", {{"token", token}, {"device_id", deviceID}}, false), stop);
                if (response.status < 200 || response.status > 299)
                    nextHost(response.status);
            },
            clock_, store_);
    } catch (const std::exception&) {
        throw LinkError();
    }
}

}  // namespace kavri
