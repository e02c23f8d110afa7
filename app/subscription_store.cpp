#include "app/subscription_store.h"

#include <algorithm>
#include <initializer_list>

#include "api/device_id.h"
#include "api/subscription_pull.h"
#include "app/error_description.h"
#include "core/attestation_provider.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_token.h"
#include "core/keychain.h"
#include "core/kavri_notifications.h"
#include "platform/http/url.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

using Call = StoreCalls::Call;

std::optional<std::string> keychainToken() { return Keychain::read(Keychain::Item::subToken); }

// Runs a blocking backend call; a cancellation of the store call ends the
// operation instead of reading as a failure.
template <class F>
auto unlessCancelled(Call& call, F&& request) {
    try {
        return request();
    } catch (const HttpError& e) {
        if (e.kind() == HttpError::Kind::Cancelled || call.cancelled()) throw StoreCalls::Cancelled();
        throw;
    }
}

// Runs `operation` with `flag` raised and lowers it however the operation
// ends. A cancelled call may no longer change the store through onMain, so
// there the lowering is posted on its own, and it runs only while the store
// (whose life `alive` follows) exists.
template <class F>
auto withFlagRaised(Published<bool>& flag, const std::shared_ptr<int>& alive, MainExecutor& main,
                    F&& operation) {
    try {
        return operation();
    } catch (const StoreCalls::Cancelled&) {
        main.post([alive = std::weak_ptr<int>(alive), &flag] {
            if (alive.lock()) flag = false;
        });
        throw;
    }
}

}  // namespace

SubscriptionStore::SubscriptionStore(MainExecutor& main, SubscriptionClient client, KavriAPI api, KavriStore& store,
                                     Clock& clock, std::function<nlohmann::json()> attribution)
    : ObservableStore(main),
      client_(std::move(client)),
      api_(std::move(api)),
      store_(store),
      clock_(clock),
      attribution_(attribution ? std::move(attribution) : [] { return AttestationProvider::payload(); }),
      calls_(main) {
    restore();
}

SubscriptionStore::~SubscriptionStore() = default;

void SubscriptionStore::restore() {
    hasSubscription = keychainToken().has_value();

    const auto snapshot = store_.snapshot();
    const auto value = [&](const char* key) -> const PlistValue* {
        const auto it = snapshot.find(key);
        return it == snapshot.end() ? nullptr : &it->second;
    };
    if (const auto* pulled = value(KavriDefaultsKey::lastSubscriptionPull); pulled && pulled->is<Date>())
        lastPullDate = *pulled->get<Date>();
    if (const auto id = store_.integer(KavriDefaultsKey::subscriptionID); id > 0) subscriptionID = id;
    if (const auto* meta = value(KavriDefaultsKey::cachedSubscriptionMeta); meta && meta->is<Data>()) {
        try {
            lastMeta = SubscriptionMeta::decode(meta->get<Data>()->bytes);
        } catch (const std::exception&) {
            // Kept as it is; the next pull replaces it.
        }
    }
    if (const auto* status = value(KavriDefaultsKey::cachedStatusJSON); status && status->is<Data>()) {
        std::optional<KavriAPI::StatusResult> cached;
        try {
            cached = KavriAPI::StatusResult::decode(status->get<Data>()->bytes);
        } catch (const std::exception&) {
        }
        if (cached) apply(*cached, StatusOrigin::cached);
    }
}

void SubscriptionStore::mirrorForExtension(std::string_view token) {
    store_.set(KavriDefaultsKey::subTokenForNE, KavriToken::bare(token));
    store_.set(KavriDefaultsKey::deviceIDForNE, DeviceID::current(store_));
}

void SubscriptionStore::apply(const KavriAPI::StatusResult& status, StatusOrigin origin) {
    if (origin == StatusOrigin::live && status.rotateToken && !status.rotateToken->empty()) {
        try {
            Keychain::write(*status.rotateToken, Keychain::Item::subToken);
        } catch (const KeychainError&) {
            // The old token stays.
        }
    }
    role = status.role ? status.role : role.get();
    deviceQuota = status.devices ? status.devices : deviceQuota.get();
    if (status.appID && *status.appID > 0) {
        subscriptionID = *status.appID;
        store_.set(KavriDefaultsKey::subscriptionID, *status.appID);
    }
    if (status.state) state = *status.state;
    priceMonth = status.priceMonth ? status.priceMonth : priceMonth.get();
    currency = status.currency ? status.currency : currency.get();
    expiresAt = status.expiresAt ? status.expiresAt : expiresAt.get();
    daysLeft = status.daysLeft ? status.daysLeft : daysLeft.get();
    autopayEnabled = status.autopayEnabled.value_or(autopayEnabled.get());
    nextChargeAt = status.nextChargeAt ? status.nextChargeAt : nextChargeAt.get();
    referral = status.referral ? status.referral : referral.get();
    plans = status.plans.empty() ? plans.get() : status.plans;
    telegramLinked = status.telegramLinked.value_or(telegramLinked.get());
    stack = status.stack ? status.stack : stack.get();
    recurringAvailable = status.recurring.value_or(false);
    if (status.priceMonth) {
        store_.set(KavriDefaultsKey::priceMonth, *status.priceMonth);
        store_.set(KavriDefaultsKey::currency, status.currency.value_or("RUB"));
    }
    if (origin == StatusOrigin::live) postAccountNotices(status);
}

void SubscriptionStore::postAccountNotices(const KavriAPI::StatusResult& status) {
    using ID = KavriNotifications::ID;
    using State = SubscriptionState;
    if (!status.state) return;
    const State now = *status.state;


    std::optional<State> before;
    if (const auto raw = store_.string(KavriDefaultsKey::lastKnownState)) before = SubscriptionState::fromRawValue(*raw);
    std::optional<Date> expiryBefore;
    if (const auto stored = store_.object(KavriDefaultsKey::lastKnownExpiry); stored && stored->is<Date>())
        expiryBefore = *stored->get<Date>();

    const std::optional<std::string_view> currency =
        status.currency ? std::optional<std::string_view>(*status.currency) : std::nullopt;
    std::optional<std::string> price;
    if (status.priceMonth) price = KavriNotifications::priceText(*status.priceMonth, currency);
    std::optional<std::string> monthPlanPrice;
    for (const auto& plan : status.plans)
        if (plan.key == "month") {
            monthPlanPrice = KavriNotifications::priceText(plan.price, currency);
            break;
        }

    KavriNotifications::cancel({ID::trial3Days, ID::trial1Day, ID::sub1Day, ID::trialEnded});

    const auto& expires = status.expiresAt;
    if (expires && price) {
        if (now == State::paidCancelled) {
            KavriNotifications::schedule(ID::sub1Day, KavriNotifications::sub1DayText(*price),
                                         *expires - std::chrono::seconds(86400), std::nullopt, clock_);
        } else if (now == State::trial) {
            KavriNotifications::schedule(ID::trialEnded, KavriNotifications::trialEndedText(monthPlanPrice.value_or(*price)),
                                         *expires, "Пробный период закончился", clock_);
        }
    }

    const auto was = [&](std::initializer_list<State> states) {
        return before && std::find(states.begin(), states.end(), *before) != states.end();
    };
    if (was({State::trial, State::expired, State::chargeFailed}) &&
        (now == State::paidAutopay || now == State::paidCancelled) && expires)
        KavriNotifications::fire(ID::paid, KavriNotifications::paidText(*expires));
    if (now == State::chargeFailed && before != State::chargeFailed && price)
        KavriNotifications::fire(ID::autochargeFailed, KavriNotifications::autochargeFailedText(*price));
    if (was({State::paidAutopay}) && now == State::paidAutopay && expiryBefore && expires && *expires > *expiryBefore &&
        price)
        KavriNotifications::fire(ID::autochargeOK, KavriNotifications::autochargeOKText(*price, *expires));

    store_.set(KavriDefaultsKey::lastKnownState, std::string(now.rawValue()));
    if (expires) store_.set(KavriDefaultsKey::lastKnownExpiry, *expires);
    if (status.referral) store_.set(KavriDefaultsKey::lastKnownBonusYears, status.referral->bonusYears);
}

void SubscriptionStore::persistPull(const SubscriptionClient::FetchResult& result, std::string_view token) {
    const Date now = clock_.wallNow();
    SubscriptionPull::keep(store_, result, token, now);
    Log::line("[Kavri] pull: the configuration from " + store_.string(KavriDefaultsKey::cpLastGoodHost).value_or("?") +
              " (" + std::to_string(result.singboxConfigData.size()) + " bytes, metadata version " +
              std::to_string(result.meta.version) + ")");
    lastMeta = result.meta;
    lastUserinfo = result.userinfo;
    lastPullDate = now;
}

// --- operations ---

void SubscriptionStore::refresh(Call& call) {
    const auto token = keychainToken();
    if (!token) return;
    call.onMain([&] { mirrorForExtension(*token); });
    try {
        const auto result = unlessCancelled(call, [&] { return client_.fetch(*token, pullAttemptSeconds, call.stopToken()); });
        call.onMain([&] {
            persistPull(result, *token);
            lastError = std::nullopt;
        });
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (const SubscriptionClient::FetchError& e) {
        call.onMain([&] {
            Log::line(std::string("[Kavri] !! pull failed: ") + e.errorDescription());
            if (e.kind() == SubscriptionClient::FetchError::Kind::expired) {
                state = SubscriptionState::expired;
                lastError = std::nullopt;
            } else {
                lastError = e.errorDescription();
            }
        });
    } catch (const std::exception&) {
        const auto text = ErrorDescription::of(std::current_exception());
        Log::line("[Kavri] !! pull failed: " + text);
        call.onMain([&] { lastError = text; });
    }
}

void SubscriptionStore::pull(Call& call, const std::string& token) {
    const auto result = [&] {
        try {
            return unlessCancelled(call, [&] { return client_.fetch(token, pullAttemptSeconds, call.stopToken()); });
        } catch (const StoreCalls::Cancelled&) {
            throw;
        } catch (...) {
            Log::line("[Kavri] !! pull failed: " + ErrorDescription::of(std::current_exception()));
            throw;
        }
    }();
    call.onMain([&] {
        // A token the keychain refuses is not adopted: the download goes.
        Keychain::write(token, Keychain::Item::subToken);
        persistPull(result, token);
        hasSubscription = true;
        lastError = std::nullopt;
    });
}

void SubscriptionStore::ensureProvisioned(Call& call) {
    if (keychainToken()) {
        refreshStatus(call);
        return;
    }
    provisionAndPull(call, false);
}

void SubscriptionStore::provision(Call& call) { provisionAndPull(call, true); }

void SubscriptionStore::provisionAndPull(Call& call, bool fresh) {
    call.onMain([&] {
        isProvisioning = true;
        if (fresh) {
            role = std::nullopt;
            deviceQuota = std::nullopt;
        }
    });
    withFlagRaised(isProvisioning, alive_, mainExecutor(), [&] { provisionAndPullRaised(call); });
}

void SubscriptionStore::provisionAndPullRaised(Call& call) {
    try {
        const auto issued = unlessCancelled(
            call, [&] { return api_.provision(DeviceID::current(store_), attribution_(), call.stopToken()); });
        Log::line(std::string("[Kavri] provisioning: this device is registered") + (issued.isTrial ? ", trial" : "") +
                  (issued.isActive ? ", active" : ", not active"));
        pull(call, issued.subToken);
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (const std::exception&) {
        const auto text = ErrorDescription::of(std::current_exception());
        Log::line("[Kavri] !! provisioning failed: " + text);
        call.onMain([&] {
            lastError = text;
            isProvisioning = false;
        });
        return;
    }
    refreshStatus(call);
    call.onMain([&] { isProvisioning = false; });
}

void SubscriptionStore::refreshStatus(Call& call) {
    const auto token = keychainToken();
    if (!token) return;
    std::optional<KavriAPI::StatusReply> reply;
    try {
        reply = unlessCancelled(call, [&] { return api_.status(KavriToken::bare(*token), call.stopToken()); });
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (const std::exception&) {
        Log::line("[Kavri] !! status failed, the last known one stays: " +
                  ErrorDescription::of(std::current_exception()));
        return;
    }
    Log::line("[Kavri] status: state " +
              (reply->result.state ? std::string(reply->result.state->rawValue()) : std::string("not given")));
    call.onMain([&] {
        apply(reply->result, StatusOrigin::live);
        store_.set(KavriDefaultsKey::cachedStatusJSON, Data{reply->raw});
    });
}

std::optional<std::string> SubscriptionStore::buy(Call& call, const std::optional<std::string>& plan,
                                                  bool savePaymentMethod) {
    const auto token = keychainToken();
    if (!token) return std::nullopt;
    call.onMain([&] { isWorking = true; });
    return withFlagRaised(isWorking, alive_, mainExecutor(),
                          [&] { return buyRaised(call, *token, plan, savePaymentMethod); });
}

std::optional<std::string> SubscriptionStore::buyRaised(Call& call, const std::string& token,
                                                        const std::optional<std::string>& plan,
                                                        bool savePaymentMethod) {
    std::optional<std::string> url;
    try {
        const auto payment = unlessCancelled(
            call, [&] { return api_.createPayment(KavriToken::bare(token), plan, savePaymentMethod, call.stopToken()); });
        if (Url::isValid(payment.paymentURL)) url = payment.paymentURL;
        Log::line("[Kavri] payment: created for the plan " + plan.value_or("of the account") +
                  (url ? "; opening its page" : "; its address is not valid"));
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (const KavriAPI::ActionError&) {
        Log::line("[Kavri] !! payment refused: the plan " + plan.value_or("of the account") + " is not offered");
        refreshStatus(call);  // the plans the backend offers now
        call.onMain([&] {
            lastError = plansChangedText;
            isWorking = false;
        });
        return std::nullopt;
    } catch (const std::exception&) {
        Log::line("[Kavri] !! payment failed: " + ErrorDescription::of(std::current_exception()));
        call.onMain([&] {
            lastError = paymentFailedText;
            isWorking = false;
        });
        return std::nullopt;
    }
    call.onMain([&] { isWorking = false; });
    return url;
}

// --- started forms ---

StoreCalls::Handle SubscriptionStore::start(std::function<void(Call&)> operation, std::function<void()> done) {
    return calls_.start([operation = std::move(operation), done = std::move(done)](Call& call) {
        operation(call);
        if (done) call.onMain(done);
    });
}

StoreCalls::Handle SubscriptionStore::refresh(std::function<void()> done) {
    return start([this](Call& call) { refresh(call); }, std::move(done));
}

StoreCalls::Handle SubscriptionStore::pull(std::string token, std::function<void(std::exception_ptr)> done) {
    return calls_.start([this, token = std::move(token), done = std::move(done)](Call& call) {
        std::exception_ptr error;
        try {
            pull(call, token);
        } catch (const StoreCalls::Cancelled&) {
            throw;
        } catch (...) {
            error = std::current_exception();
        }
        if (done) call.onMain([&] { done(error); });
    });
}

StoreCalls::Handle SubscriptionStore::ensureProvisioned(std::function<void()> done) {
    return start([this](Call& call) { ensureProvisioned(call); }, std::move(done));
}

StoreCalls::Handle SubscriptionStore::provision(std::function<void()> done) {
    return start([this](Call& call) { provision(call); }, std::move(done));
}

StoreCalls::Handle SubscriptionStore::refreshStatus(std::function<void()> done) {
    return start([this](Call& call) { refreshStatus(call); }, std::move(done));
}

StoreCalls::Handle SubscriptionStore::buy(std::optional<std::string> plan, bool savePaymentMethod,
                                          std::function<void(std::optional<std::string>)> done) {
    return calls_.start([this, plan = std::move(plan), savePaymentMethod, done = std::move(done)](Call& call) {
        auto url = buy(call, plan, savePaymentMethod);
        if (done) call.onMain([&] { done(std::move(url)); });
    });
}

}  // namespace kavri
