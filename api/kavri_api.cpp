#include "api/kavri_api.h"

#include <chrono>
#include <cmath>

#include <curl/curl.h>

#include "api/decoding_error.h"
#include "api/device_id.h"
#include "api/json_fields.h"
#include "api/lenient_fields.h"
#include "core/control_plane.h"
#include "core/kavri_constants.h"
#include "platform/runtime/internet_date_time.h"
#include "platform/runtime/uuid.h"

namespace kavri {
namespace {

std::chrono::milliseconds millis(double seconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000.0)));
}

std::string joined(const std::string& base, std::string_view path) {
    return (base.ends_with('/') ? base.substr(0, base.size() - 1) : base) + "/" + std::string(path);
}

[[noreturn]] void retryWith(std::exception_ptr why) { throw ControlPlane::RetryNextHost(std::move(why)); }

// A walk with a result returns it; an exhausted one throws its last error,
// or "cannot connect" when no host was tried; anything else passes.
template <class Op>
auto walk(double budgetSeconds, Op&& operation, Clock& clock, KavriStore& store) {
    try {
        return ControlPlane::withFailover(budgetSeconds, std::forward<Op>(operation), clock, store);
    } catch (const ControlPlane::Exhausted& exhausted) {
        if (exhausted.lastError) std::rethrow_exception(exhausted.lastError);
        throw HttpError(HttpError::Kind::Transport, "no host could be tried", CURLE_COULDNT_CONNECT);
    }
}

// Sends one attempt; a cancellation ends the walk, another failure without
// a reply moves on carrying what `carry` makes of it.
template <class Carry>
HttpResponse sendAttempt(const HttpSession& session, const HttpRequest& request, std::stop_token stop,
                         Carry&& carry) {
    if (stop.stop_requested()) throw HttpError(HttpError::Kind::Cancelled, "request cancelled");
    try {
        return session.send(request, stop);
    } catch (const HttpError& error) {
        if (error.kind() == HttpError::Kind::Cancelled || stop.stop_requested()) throw;
        retryWith(carry(error));
    }
}

std::optional<Date> dateOf(const LenientFields& fields, std::string_view key) {
    const auto text = fields.string(key);
    if (!text) return std::nullopt;
    return InternetDateTime::parseEitherForm(*text);
}

}  // namespace

// --- Error ---

KavriAPI::Error::Error(int code, std::optional<std::string> description)
    : code_(code), description_(std::move(description)), text_(localizedDescription()) {}

std::string KavriAPI::Error::localizedDescription() const {
    if (description_) return *description_;
    return "Операция не может быть завершена. (KavriAPI, ошибка " + std::to_string(code_) + ".)";
}

// --- records ---

KavriAPI::ProvisionResult KavriAPI::ProvisionResult::decode(std::string_view text) {
    const auto value = JsonFields::parse(text);
    const JsonFields fields(value, "");
    ProvisionResult result;
    result.id = fields.optionalInt64("id");
    result.subToken = fields.requiredString("sub_token");
    result.isTrial = fields.requiredBool("is_trial");
    result.plan = fields.requiredString("plan");
    result.isActive = fields.requiredBool("is_active");
    result.expiresAt = fields.optionalInt64("expires_at");
    result.payURL = fields.optionalString("pay_url");
    return result;
}

KavriAPI::PaymentResult KavriAPI::PaymentResult::decode(std::string_view text) {
    const auto value = JsonFields::parse(text);
    const JsonFields fields(value, "");
    return PaymentResult{fields.requiredString("payment_url"), fields.optionalString("payment_id")};
}

KavriAPI::StatusResult::Plan KavriAPI::StatusResult::Plan::fromJson(const nlohmann::json& value,
                                                                    const std::string& path) {
    const JsonFields fields(value, path);
    Plan plan;
    plan.key = fields.requiredString("key");
    plan.title = fields.requiredString("title");
    plan.months = fields.requiredInt64("months");
    plan.price = fields.requiredInt64("price");
    plan.days = fields.requiredInt64("days");
    plan.pro = fields.optionalBool("pro");
    plan.subtitle = fields.optionalString("subtitle");
    return plan;
}

KavriAPI::StatusResult KavriAPI::StatusResult::decode(std::string_view text) {
    const auto value = JsonFields::parse(text);
    if (!value.is_object()) throw DecodingError(DecodingError::Kind::typeMismatch, "", "an object");
    const LenientFields fields(value);
    StatusResult status;
    status.appID = fields.int64("app_id");
    status.role = fields.string("role");
    if (const auto* devices = fields.member("devices")) {
        const LenientFields quota(*devices);
        const auto used = quota.int64("used");
        const auto limit = quota.int64("limit");
        if (used && limit) status.devices = DevicesQuota{*used, *limit};
    }
    status.rotateToken = fields.string("rotate_token");
    if (const auto state = fields.string("state")) status.state = SubscriptionState::fromRawValue(*state);
    status.priceMonth = fields.int64("price_month");
    status.currency = fields.string("currency");
    status.expiresAt = dateOf(fields, "expires_at");
    status.daysLeft = fields.int64("days_left");
    status.autopayEnabled = fields.boolean("autopay_enabled");
    status.nextChargeAt = dateOf(fields, "next_charge_at");
    status.autoChargeFailed = fields.boolean("auto_charge_failed");
    status.telegramLinked = fields.boolean("telegram_linked");
    if (const auto* referral = fields.member("referral"); referral && referral->is_object()) {
        const LenientFields r(*referral);
        status.referral = Referral{r.int64("registered").value_or(0), r.int64("paid").value_or(0),
                                   r.int64("goal").value_or(0),       r.int64("bonus_years").value_or(0),
                                   r.string("link"),                  r.string("web_link")};
    }
    status.plans = fields
                       .decoded("plans",
                                [](const nlohmann::json& plans, const std::string& path) {
                                    if (!plans.is_array())
                                        throw DecodingError(DecodingError::Kind::typeMismatch, path, "a list");
                                    std::vector<Plan> out;
                                    for (std::size_t i = 0; i < plans.size(); ++i)
                                        out.push_back(Plan::fromJson(plans[i], path + "[" + std::to_string(i) + "]"));
                                    return out;
                                })
                       .value_or(std::vector<Plan>{});
    status.stack = fields.decoded("stack", [](const nlohmann::json& v, const std::string& path) {
        return StackAPI::Snapshot::fromJson(v, path);
    });
    status.recurring = fields.boolean("recurring");
    return status;
}

// --- calls ---

KavriAPI::KavriAPI(HttpSession session, KavriStore& store, Clock& clock)
    : session_(std::move(session)), store_(store), clock_(clock) {}

KavriAPI::ProvisionResult KavriAPI::provision(const std::string& deviceID, const nlohmann::json& attribution,
                                              std::stop_token stop) const {
    const nlohmann::json body = {
        {"device_id", deviceID},
        {"platform", KavriConstants::platformName},
        {"attribution", attribution},
        {"attestation_token", ""},
    };
    const std::string bytes = body.dump();  // throws for text that is not UTF-8: nothing is sent

    return walk(
        provisionBudgetSeconds,
        [&](const std::string& base) {
            HttpRequest request;
            request.method = "POST";
            request.url = joined(base, "provision");
            request.headers = {{"Content-Type", "application/json"}};
            request.body = bytes;
            request.timeout = millis(provisionAttemptSeconds);
            request.maxBodyBytes = maxReplyBytes;
            const HttpResponse response = sendAttempt(session_, request, stop, [](const HttpError& error) {
                // A reply that is no HTTP carries nothing further.
                return error.kind() == HttpError::Kind::NotHttp ? nullptr : std::make_exception_ptr(error);
            });
            const int code = response.status;
            if (code >= 200 && code <= 299) return ProvisionResult::decode(response.body);
            if (code == 408 || code == 429 || (code >= 500 && code <= 599))
                retryWith(std::make_exception_ptr(Error(code)));
            throw Error(code, "provision " + std::to_string(code));
        },
        clock_, store_);
}

KavriAPI::StatusReply KavriAPI::status(const std::string& subToken, std::stop_token stop) const {
    return walk(
        statusBudgetSeconds,
        [&](const std::string& base) {
            HttpRequest request;
            request.method = "GET";
            // The token is one encoded path segment: no text reaches another
            // path or adds a query.
            request.url = joined(base, "status/" + percentEncodePathSegment(subToken));
            request.headers = {{"X-Device-Id", DeviceID::current(store_)}};
            request.timeout = millis(statusAttemptSeconds);
            request.maxBodyBytes = maxReplyBytes;
            HttpResponse response = sendAttempt(session_, request, stop, [](const HttpError& error) {
                return std::make_exception_ptr(error);
            });
            const int code = response.status;
            if (code >= 200 && code <= 299) {
                StatusResult result = StatusResult::decode(response.body);
                return StatusReply{std::move(result), std::move(response.body)};
            }
            if (code == 401 || code == 402 || code == 403) throw Error(code, "HTTP " + std::to_string(code));
            retryWith(std::make_exception_ptr(Error(code)));
        },
        clock_, store_);
}

std::string KavriAPI::primaryBaseURL() const {
    for (const auto& host : ControlPlane::orderedHosts(store_))
        if (auto base = host.baseURL()) return *base;
    return KavriConstants::apiBaseURL();
}

KavriAPI::PaymentResult KavriAPI::createPayment(const std::string& subToken, const std::optional<std::string>& plan,
                                                bool savePaymentMethod, std::stop_token stop) const {
    nlohmann::json body = {{"sub_token", subToken}, {"save_payment_method", savePaymentMethod}};
    if (plan && !plan->empty()) body["plan"] = *plan;

    HttpRequest request;
    request.method = "POST";
    request.url = joined(primaryBaseURL(), "pay/create");
    request.headers = {{"Content-Type", "application/json"}, {"Idempotency-Key", Uuid::make()}};
    request.body = body.dump();  // throws for text that is not UTF-8: nothing is sent
    request.timeout = millis(paymentSeconds);
    request.maxBodyBytes = maxReplyBytes;

    const HttpResponse response = session_.send(request, stop);
    const int code = response.status;
    if (code == 400) throw ActionError(ActionError::Kind::unknownPlan);
    if (code < 200 || code > 299) throw Error(code, "HTTP " + std::to_string(code));
    return PaymentResult::decode(response.body);
}

}  // namespace kavri
