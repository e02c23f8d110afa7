#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/stack_api.h"
#include "core/kavri_http.h"
#include "core/kavri_store.h"
#include "core/plist_value.h"
#include "core/subscription_state.h"
#include "platform/http/http_session.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The app's account client of the control plane: registers this device
// ("provision", which hands out a subscription token), reads the account
// status ("status/<token>") and creates payments ("pay/create"). The first
// two walk the control-plane hosts and write nothing but the last good host;
// a payment goes to one host only and writes nothing. Holds no state: any
// thread may call it.
class KavriAPI {
public:
    // A refusal by the backend: its HTTP status, with a description for the
    // statuses that end a call ("provision 409", "HTTP 403").
    class Error : public std::exception {
    public:
        explicit Error(int code, std::optional<std::string> description = std::nullopt);
        int code() const { return code_; }
        const std::optional<std::string>& description() const { return description_; }
        // The description, else the system's generic text naming the code.
        std::string localizedDescription() const;
        const char* what() const noexcept override { return text_.c_str(); }

    private:
        int code_;
        std::optional<std::string> description_;
        std::string text_;
    };

    // The reply to "provision"; strict: a required member missing, null or
    // of another type fails the decoding.
    struct ProvisionResult {
        std::optional<std::int64_t> id;         // "id"
        std::string subToken;                   // "sub_token"
        bool isTrial = false;                   // "is_trial"
        std::string plan;                       // "plan"
        bool isActive = false;                  // "is_active"
        std::optional<std::int64_t> expiresAt;  // "expires_at"
        std::optional<std::string> payURL;      // "pay_url"

        static ProvisionResult decode(std::string_view text);
    };

    // Devices sharing the subscription and how many may.
    struct DevicesQuota {
        std::int64_t used = 0;   // "used"
        std::int64_t limit = 0;  // "limit"
        bool operator==(const DevicesQuota&) const = default;
    };

    // The account status. Decoding is tolerant: only a body that is no JSON
    // object fails; each member that is missing, null or of another type is
    // nothing on its own (numbers as text included).
    struct StatusResult {
        // One tariff; strict (one bad plan empties the whole list).
        struct Plan {
            std::string key;
            std::string title;
            std::int64_t months = 0;
            std::int64_t price = 0;
            std::int64_t days = 0;
            std::optional<bool> pro;
            std::optional<std::string> subtitle;

            bool operator==(const Plan&) const = default;
            static Plan fromJson(const nlohmann::json& value, const std::string& path);
        };

        // Referral progress: counts are 0 and links nothing when missing or
        // of another type.
        struct Referral {
            std::int64_t registered = 0;       // "registered"
            std::int64_t paid = 0;             // "paid"
            std::int64_t goal = 0;             // "goal"
            std::int64_t bonusYears = 0;       // "bonus_years"
            std::optional<std::string> link;     // "link"
            std::optional<std::string> webLink;  // "web_link"
            bool operator==(const Referral&) const = default;
        };

        std::optional<std::int64_t> appID;          // "app_id"
        std::optional<SubscriptionState> state;     // "state": one of the six raw values
        std::optional<std::string> role;            // "role"
        std::optional<DevicesQuota> devices;        // "devices": both counts, or nothing
        std::optional<std::string> rotateToken;     // "rotate_token": the token that replaces ours
        std::optional<std::int64_t> priceMonth;     // "price_month"
        std::optional<std::string> currency;        // "currency"
        std::optional<Date> expiresAt;              // "expires_at": internet date-time
        std::optional<std::int64_t> daysLeft;       // "days_left"
        std::optional<bool> autopayEnabled;         // "autopay_enabled"
        std::optional<Date> nextChargeAt;           // "next_charge_at"
        std::optional<bool> autoChargeFailed;       // "auto_charge_failed"
        std::optional<bool> telegramLinked;         // "telegram_linked"
        std::optional<Referral> referral;           // "referral": whenever it is an object
        std::vector<Plan> plans;                    // "plans": empty when missing or any plan fails
        std::optional<StackAPI::Snapshot> stack;    // "stack"
        std::optional<bool> recurring;              // "recurring"

        // DecodingError only when `text` is not JSON or not an object.
        static StatusResult decode(std::string_view text);
    };

    // A created payment: the page the user pays on.
    struct PaymentResult {
        std::string paymentURL;                // "payment_url"
        std::optional<std::string> paymentID;  // "payment_id"

        // Strict, as ProvisionResult.
        static PaymentResult decode(std::string_view text);
    };

    // An account action the backend refused for a reason the caller words
    // itself.
    class ActionError : public std::exception {
    public:
        enum class Kind { unknownPlan };  // the plan is not (or no longer) offered: HTTP 400
        explicit ActionError(Kind kind) : kind_(kind) {}
        Kind kind() const { return kind_; }
        const char* what() const noexcept override { return "unknown plan"; }

    private:
        Kind kind_;
    };

    // A status with the reply body exactly as received, which the caller
    // keeps and decodes again at its next start.
    struct StatusReply {
        StatusResult result;
        std::string raw;
    };

    static constexpr double provisionBudgetSeconds = 60;
    static constexpr double provisionAttemptSeconds = 8;
    static constexpr double statusBudgetSeconds = 15;
    static constexpr double statusAttemptSeconds = 6;
    static constexpr double paymentSeconds = 20;
    // A longer reply to any of the calls is none of its records: it fails the
    // attempt as a transport error before it is read whole. Real replies are
    // a few kilobytes; the status reply is also kept whole in the shared
    // store.
    static constexpr std::size_t maxReplyBytes = 256 * 1024;

    explicit KavriAPI(HttpSession session = KavriHTTP::api(), KavriStore& store = KavriStore::shared(),
                      Clock& clock = Clock::system());

    // Registers the device; `attribution` travels unchanged. 408, 429 and 5xx
    // move to the next host; another status ends the call with Error
    // ("provision <status>"); a 2xx body that does not decode ends it with
    // DecodingError. When every host failed: the last host's error (HttpError
    // or Error), or HttpError "cannot connect" when none was tried. Throws
    // HttpError (Cancelled) once `stop` is requested, and the serialiser's
    // error, before any request, for an attribution that cannot be sent.
    ProvisionResult provision(const std::string& deviceID, const nlohmann::json& attribution,
                              std::stop_token stop = {}) const;

    // Reads the status of the bare `subToken`. 401, 402 and 403 end the call
    // with Error ("HTTP <status>"); every other status moves to the next
    // host; a 2xx body that is no JSON object ends it with DecodingError.
    // Exhaustion and cancellation as for provision().
    StatusReply status(const std::string& subToken, std::stop_token stop = {}) const;

    // The host a payment goes to: the first host of the control-plane order
    // that forms an address, else the deployment's built-in API address.
    std::string primaryBaseURL() const;

    // Creates a payment for the bare `subToken`: one request to
    // primaryBaseURL(), marked with a new "Idempotency-Key", with "plan" only
    // when `plan` is given and not empty. Throws ActionError (unknownPlan) for
    // a 400, Error ("HTTP <status>") for another status outside 2xx,
    // DecodingError for a 2xx body without a text "payment_url", and the
    // HttpError of a request that got no reply; never asks another host.
    PaymentResult createPayment(const std::string& subToken, const std::optional<std::string>& plan,
                                bool savePaymentMethod, std::stop_token stop = {}) const;

private:
    HttpSession session_;
    KavriStore& store_;
    Clock& clock_;
};

}  // namespace kavri
