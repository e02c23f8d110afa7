#include "tunnel/account_notices.h"

#include <cmath>
#include <limits>

#include "core/kavri_defaults_key.h"
#include "core/kavri_notifications.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

// The integer value of a JSON number; nothing for other types and for
// numbers outside the 64-bit range (which have no integer value to take).
std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        if (!std::isfinite(d) || d < -9.2233720368547758e18 || d >= 9.2233720368547758e18) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

AccountNotices::AccountNotices(KavriStore& store, const Clock& clock) : store_(store), clock_(clock) {}

void AccountNotices::persistLastKnownState(SubscriptionState state) {
    store_.set(KavriDefaultsKey::lastKnownState, std::string(state.rawValue()));
}

void AccountNotices::postChargeFailedNotice(const Facts& facts) {
    if (!facts.state) return;
    const SubscriptionState state = *facts.state;
    const auto stored = store_.string(KavriDefaultsKey::lastKnownState);
    const auto previous = stored ? SubscriptionState::fromRawValue(*stored) : std::nullopt;
    if (state != SubscriptionState::chargeFailed || previous == SubscriptionState::chargeFailed) {
        persistLastKnownState(state);
        return;
    }
    std::int64_t price;
    if (facts.priceMonth) {
        price = *facts.priceMonth;
    } else {
        price = store_.integer(KavriDefaultsKey::priceMonth);
        if (price < 1) {
            Log::line("[Kavri] charge_failed, но цены нет ни в мете, ни в кеше — уведомление пропущено");
            persistLastKnownState(state);
            return;
        }
    }
    std::optional<std::string> currency = facts.currency;
    if (!currency) currency = store_.string(KavriDefaultsKey::currency);
    KavriNotifications::fire(KavriNotifications::ID::autochargeFailed,
                             KavriNotifications::autochargeFailedText(KavriNotifications::priceText(price, currency)));
    Log::line("[Kavri] charge_failed → отправлено локальное уведомление");
    persistLastKnownState(state);
}

void AccountNotices::postTrialNotice(const Facts& facts) {
    if (facts.state != SubscriptionState::trial || !facts.trialNotice || !facts.trialNotice->is_object()) return;
    const nlohmann::json& notice = *facts.trialNotice;
    const auto hoursIt = notice.find("hours_before");
    if (hoursIt == notice.end()) return;
    const auto hours = integerValue(*hoursIt);
    if (!hours || *hours < 1) return;
    const auto body = stringMember(notice, "body");
    if (!body || body->empty()) return;
    if (!facts.expiresAtUnix || *facts.expiresAtUnix < 1) return;
    const std::int64_t expires = *facts.expiresAtUnix;
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(clock_.wallNow().time_since_epoch()).count();
    if (now < 0 && expires > std::numeric_limits<std::int64_t>::max() + now) return;
    const std::int64_t remaining = expires - now;
    if (remaining < 1) return;
    // hours × 3600 ≥ remaining, without overflowing for a huge window.
    if (*hours < std::numeric_limits<std::int64_t>::max() / 3600 && *hours * 3600 < remaining) return;
    if (store_.object(KavriDefaultsKey::lastTrialNoticeExpiry) &&
        store_.integer(KavriDefaultsKey::lastTrialNoticeExpiry) == expires) {
        return;
    }
    store_.set(KavriDefaultsKey::lastTrialNoticeExpiry, expires);
    KavriNotifications::fireGeneric("trial_notice", stringMember(notice, "title"), *body,
                                    stringMember(notice, "cta"));
    Log::line("[Kavri] trial_notice: показан (осталось " + std::to_string(remaining / 3600) + " ч)");
}

}  // namespace kavri
