#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "platform/http/http_session.h"
#include "platform/runtime/clock.h"

namespace kavri {

// Sharing one subscription between the user's devices over the control
// plane: a code for the subscription (invite), redeeming it on this device
// (join), leaving it (detach), and listing and removing its devices. Every
// call walks the hosts within 15 s. Holds no state: any thread may call it.
class DeviceLinkAPI {
public:
    using Date = std::chrono::system_clock::time_point;

    struct Invite {
        std::string code;                 // "code"
        std::optional<Date> expiresAt;    // "expires_at": Unix seconds, fractions kept
        bool operator==(const Invite&) const = default;
        // The invite of a reply object; nothing when "code" is no text.
        static std::optional<Invite> fromJson(const nlohmann::json& reply);
    };

    // How invite, join and detach fail. The reply's "error" text decides
    // first; without a known one, 404 and 410 are notFound and the rest network.
    class LinkV2Error : public std::exception {
    public:
        enum class Kind { deviceLimit, wouldLosePaid, notOwner, subscriptionInactive, notFound, network };

        explicit LinkV2Error(Kind kind) : kind_(kind) {}
        LinkV2Error(int status, const nlohmann::json& reply);

        Kind kind() const { return kind_; }
        // deviceLimit: 0 when missing or not an integral number.
        std::int64_t limit() const { return limit_; }
        std::int64_t used() const { return used_; }
        // wouldLosePaid: the paid subscription joining would drop; the
        // expiry as the server's text.
        std::int64_t appID() const { return appID_; }
        const std::string& plan() const { return plan_; }
        const std::string& expiresAt() const { return expiresAt_; }
        const char* what() const noexcept override;

    private:
        Kind kind_;
        std::int64_t limit_ = 0, used_ = 0, appID_ = 0;
        std::string plan_, expiresAt_;
    };

    // How listing and removal fail: no host answered usefully.
    class LinkError : public std::exception {
    public:
        enum class Kind { network };
        Kind kind() const { return Kind::network; }
        const char* what() const noexcept override { return "device list: no usable answer"; }
    };

    // One device of the subscription; every member falls back to its
    // default on its own, so decoding never fails.
    struct Device {
        std::string id;                   // "device_id"
        std::string name = "Устройство";  // "name", when a text that is not empty
        std::string platform;             // "platform"
        std::optional<Date> lastSeen;     // "last_seen": an internet date-time in whole seconds
        bool blocked = false;             // "blocked": a Boolean, or 0 and 1
        bool current = false;             // "current"
        std::string addedBy;              // "added_by"
        std::optional<Date> addedAt;      // "added_at"

        bool operator==(const Device&) const = default;
        static Device fromJson(const nlohmann::json& value);
    };

    struct DeviceList {
        std::vector<Device> devices;  // in the reply's order; empty when any entry is no object
        std::int64_t limit = 5;       // "limit", when an integral number
        // The list from a reply object (anything else gives the defaults).
        static DeviceList fromJson(const nlohmann::json& value);
    };

    static constexpr double budgetSeconds = 15;
    static constexpr double attemptSeconds = 8;
    // A longer reply fails the attempt as a transport error before it is read
    // whole (real ones are a few kilobytes, a list of many devices included).
    static constexpr std::size_t maxReplyBytes = 256 * 1024;

    // Request limit 8 s, resource limit 13 s.
    static HttpSession session();

    // A reply body as the link calls read it: its JSON object, or an empty
    // one for a body that is none (not JSON, another value, nested deeper
    // than any reply).
    static nlohmann::json replyObject(std::string_view body);

    explicit DeviceLinkAPI(HttpSession session = DeviceLinkAPI::session(), KavriStore& store = KavriStore::shared(),
                           Clock& clock = Clock::system());

    // One attempt on the host at `base`: the final status (200, 403, 404,
    // 409 or 410) with the reply's JSON object (empty when it is none);
    // other statuses and failures throw ControlPlane::RetryNextHost.
    std::pair<int, nlohmann::json> postJSON(const std::string& base, const std::string& path,
                                            const nlohmann::json& body, std::stop_token stop = {}) const;

    // Throw LinkV2Error.
    Invite invite(const std::string& token, std::stop_token stop = {}) const;
    // The subscription token and the account's app id (0 when not given).
    std::pair<std::string, std::int64_t> join(const std::string& code, std::stop_token stop = {}) const;
    void detach(const std::string& token, std::stop_token stop = {}) const;

    // Throw LinkError.
    DeviceList listDevices(const std::string& token, std::stop_token stop = {}) const;
    void removeDevice(const std::string& token, const std::string& deviceID, std::stop_token stop = {}) const;

private:
    // Walks the hosts with a final-status attempt on `path`; LinkV2Error
    // network when every host failed.
    std::pair<int, nlohmann::json> linkCall(const std::string& path, const nlohmann::json& body,
                                            std::stop_token stop) const;
    HttpRequest post(const std::string& base, const std::string& path, const nlohmann::json& body,
                     bool withDevice) const;

    HttpSession session_;
    KavriStore& store_;
    Clock& clock_;
};

}  // namespace kavri
