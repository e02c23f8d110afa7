#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "core/subscription_state.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The account notices the extension posts by itself after a configuration
// fetch: a failed automatic charge and a trial about to end, each announced
// once (the shared store remembers what was shown).
class AccountNotices {
public:
    // The fields of a fetched configuration's metadata that the notices read.
    struct Facts {
        std::optional<SubscriptionState> state;
        std::optional<std::int64_t> priceMonth;
        std::optional<std::string> currency;
        std::optional<std::int64_t> expiresAtUnix;
        std::optional<nlohmann::json> trialNotice;  // an object: "hours_before", "body", "title", "cta"
    };

    explicit AccountNotices(KavriStore& store = KavriStore::shared(), const Clock& clock = Clock::system());

    // Posts "autocharge_failed" when the state turned to charge_failed (from
    // any other state or none), with the fetched price or else the stored
    // one; stores the state in any case (when there is one).
    void postChargeFailedNotice(const Facts& facts);
    // Posts the server's trial notice ("trial_notice") once per expiry, when
    // the expiry lies within its "hours_before" window.
    void postTrialNotice(const Facts& facts);
    // Stores the state's raw value under "last_known_state".
    void persistLastKnownState(SubscriptionState state);

private:
    KavriStore& store_;
    const Clock& clock_;
};

}  // namespace kavri
