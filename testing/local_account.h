#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/test_control_plane.h"

namespace kavri {

// The local backend's accounts: one in-memory model behind every call the
// app makes, changed by what the user does. It answers on a control plane
// (its routes take precedence over the plane's own): provisioning, the
// account status, the subscription, the stack catalog and selection, the
// devices with invite codes and joining, payments, telemetry, the update
// files under "/dl/", and "/admin/account", which sets an account's state by
// hand. Thread-safe: the plane's workers call it at once.
class LocalAccount {
public:
    using Date = std::chrono::system_clock::time_point;

    struct Options {
        // The engine configuration with its "_kavri_meta" that every account
        // is served; its selector "proxy" lists the members the locations
        // use, in order.
        nlohmann::ordered_json subscription;
        // Files served as "GET /dl/<name>" (an update manifest, an image),
        // read on every request; nothing is served when empty.
        std::filesystem::path downloads;
        std::function<Date()> now = [] { return std::chrono::system_clock::now(); };
    };

    // One location of the catalog.
    struct Location {
        std::string id, title, countryCode;
        std::vector<std::string> protocols;
        std::optional<std::size_t> member;  // index into the group's members; none: offline
        bool lockedOnTrial = false;
        int rttMs = 0;
    };

    static constexpr std::int64_t monthPrice = 299;
    static constexpr int deviceLimit = 5;
    static constexpr const char* codeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    static constexpr std::size_t codeLength = 6;
    static constexpr std::chrono::minutes codeLifetime{15};
    static constexpr std::chrono::hours trialLength{24 * 7};
    // What "/admin/account" can set: every banner of the window.
    static const std::vector<std::string>& adminStates();

    LocalAccount(TestControlPlane& plane, Options options);
    LocalAccount(const LocalAccount&) = delete;
    LocalAccount& operator=(const LocalAccount&) = delete;

    // Where the payment pages are ("http://127.0.0.1:<port>"); payments
    // created before it is set name no page.
    void setPaymentPages(std::string baseURL);

    // An account (a trial without devices) for a token given from outside;
    // its number.
    std::int64_t adopt(const std::string& token);

    // The payment with this id: its plan's title and price, and whether it
    // is paid.
    struct Payment {
        std::string id;
        std::string planTitle;
        std::int64_t price = 0;
        bool paid = false;
    };
    std::optional<Payment> payment(const std::string& id) const;
    // Pays it: the account's state and expiry follow. False for an unknown
    // payment; paying twice changes nothing more.
    bool completePayment(const std::string& id);

    // Sets the state of the token's account, or of every account when the
    // token is empty: one of adminStates(). False for an unknown state or
    // token.
    bool setState(const std::string& state, const std::string& token = {});

    // The model's view for the admin route and tests: every account with
    // its number, token, state, location and devices.
    nlohmann::ordered_json summary() const;

    const std::vector<Location>& locations() const { return locations_; }

private:
    struct Device {
        std::string id, name, platform, addedBy;
        Date addedAt{}, lastSeen{};
    };
    struct Account {
        std::int64_t number = 0;
        std::string token;
        std::optional<std::string> rotatedToken;  // offered in the status until used
        std::string state = "trial";
        Date expiresAt{};
        bool blocked = false;        // every call answers 403
        bool removedMark = false;    // every device reads "device_removed"
        std::optional<std::string> location, protocol;  // none: automatic
        std::int64_t epoch = 1;      // the configuration's version
        std::string owner;           // the device that provisioned it
        std::vector<Device> devices;
        std::set<std::string> removed;  // devices taken off by the owner
    };
    struct Invite {
        std::int64_t account = 0;
        Date expiresAt{};
    };
    struct PaymentRecord {
        std::int64_t account = 0;
        std::string plan;
        bool recurring = false;
        bool paid = false;
    };
    using Request = TestControlPlane::Request;
    using Reply = TestControlPlane::Reply;

    // All with mutex_ held.
    Account* byToken(const std::string& token);
    Account& create(const std::string& token);
    void changeState(Account& account, const std::string& state, Date expiresAt, const std::string& why);
    void detachEverywhere(const std::string& device);
    nlohmann::ordered_json statusBody(const Account& account, const std::string& device) const;
    nlohmann::ordered_json stackSnapshot(const Account& account) const;
    nlohmann::ordered_json catalogBody() const;
    nlohmann::ordered_json subscriptionBody(const Account& account, const std::string& device) const;
    nlohmann::ordered_json plans() const;
    const Location* location(const std::string& id) const;
    void seen(Account& account, const std::string& device);
    std::string newToken();
    std::string newCode();

    Reply provision(const Request& request);
    Reply status(const Request& request);
    Reply subscription(const Request& request);
    Reply catalog(const Request& request);
    Reply select(const Request& request);
    Reply devices(const Request& request);
    Reply removeDevice(const Request& request);
    Reply invite(const Request& request);
    Reply join(const Request& request);
    Reply detach(const Request& request);
    Reply createPayment(const Request& request);
    Reply telemetry(const Request& request);
    Reply download(const Request& request);
    Reply admin(const Request& request);

    Options options_;
    std::vector<std::string> members_;  // the group's member tags
    std::vector<Location> locations_;

    mutable std::mutex mutex_;
    std::string paymentPages_;
    std::map<std::int64_t, Account> accounts_;
    std::map<std::string, std::int64_t> tokens_;
    std::map<std::string, Invite> invites_;
    std::map<std::string, PaymentRecord> payments_;
    std::int64_t nextNumber_ = 1001;
    int nextPayment_ = 1;
    std::mt19937_64 random_{std::random_device{}()};
};

}  // namespace kavri
