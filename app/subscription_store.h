#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/kavri_api.h"
#include "api/stack_api.h"
#include "api/subscription_client.h"
#include "api/subscription_meta.h"
#include "api/subscription_userinfo.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "core/kavri_store.h"
#include "core/plist_value.h"
#include "core/subscription_state.h"
#include "platform/runtime/clock.h"

namespace kavri {

// The user's standing with the service as the UI shows it: whether a
// subscription token exists, the metadata and traffic counters of the last
// subscription pull, and the account status. Its lasting state is the
// keychain's token and a few shared-store keys, from which construction
// restores the published fields without any request. Lives on the main
// thread; its operations run as store calls off it and touch the fields only
// through the main thread.
class SubscriptionStore : public ObservableStore {
public:
    // Where a status comes from: a reply just received, or the body kept
    // from an earlier one.
    enum class StatusOrigin { live, cached };

    // The limit of one attempt of a subscription download.
    static constexpr double pullAttemptSeconds = 8;

    // Main thread only. Restores the last known state; sends nothing.
    SubscriptionStore(MainExecutor& main, SubscriptionClient client, KavriAPI api,
                      KavriStore& store = KavriStore::shared(), Clock& clock = Clock::system(),
                      std::function<nlohmann::json()> attribution = nullptr);
    // Cancels the operations under way and waits for them to end.
    ~SubscriptionStore() override;

    Published<bool> hasSubscription{*this, "hasSubscription", false};       // a token is in the keychain
    Published<std::optional<SubscriptionMeta>> lastMeta{*this, "lastMeta"};  // of the last pull
    Published<std::optional<std::string>> role{*this, "role"};               // this device's role
    Published<std::optional<KavriAPI::DevicesQuota>> deviceQuota{*this, "deviceQuota"};
    Published<std::optional<SubscriptionUserinfo>> lastUserinfo{*this, "lastUserinfo"};  // never restored
    Published<std::optional<Date>> lastPullDate{*this, "lastPullDate"};
    Published<std::optional<std::string>> lastError{*this, "lastError"};  // of a pull or a provisioning
    Published<std::optional<std::int64_t>> subscriptionID{*this, "subscriptionID"};
    Published<std::optional<SubscriptionState>> state{*this, "state"};
    Published<std::optional<std::int64_t>> priceMonth{*this, "priceMonth"};
    Published<std::optional<std::string>> currency{*this, "currency"};
    Published<std::optional<Date>> expiresAt{*this, "expiresAt"};
    Published<std::optional<std::int64_t>> daysLeft{*this, "daysLeft"};
    Published<bool> autopayEnabled{*this, "autopayEnabled", false};
    Published<std::optional<Date>> nextChargeAt{*this, "nextChargeAt"};
    Published<std::optional<KavriAPI::StatusResult::Referral>> referral{*this, "referral"};
    Published<std::vector<KavriAPI::StatusResult::Plan>> plans{*this, "plans"};
    Published<std::optional<StackAPI::Snapshot>> stack{*this, "stack"};
    Published<bool> recurringAvailable{*this, "recurringAvailable", false};
    Published<bool> telegramLinked{*this, "telegramLinked", false};
    Published<bool> isProvisioning{*this, "isProvisioning", false};
    Published<bool> isWorking{*this, "isWorking", false};  // a payment is being created

    const SubscriptionClient& client() const { return client_; }
    const KavriAPI& api() const { return api_; }
    // This device joined someone else's subscription.
    bool isMember() const { return role.get() == std::optional<std::string>("member"); }

    // Writes what the extension falls back on: "sub_token_ne" (the bare form
    // of the keychain's `token`) and "device_id_ne". Main thread.
    void mirrorForExtension(std::string_view token);

    // Merges a status into the fields (a member the status lacks keeps the
    // field as it is, except `recurringAvailable`, which it clears) and
    // keeps its id and price in the shared store. Only a live status may
    // replace the keychain's token with the one it rotates to (a kept body
    // is older than any token adopted since) and posts the account notices.
    // Main thread.
    void apply(const KavriAPI::StatusResult& status, StatusOrigin origin);

    // Tells the user about the account after a live status, against what the
    // shared store remembers of the previous one: cancels the pending
    // reminders, schedules the one the new state calls for, posts a payment,
    // a failed charge or a renewal at once, then remembers the state, the
    // expiry and the referral bonus. A status without a state does nothing.
    // Main thread.
    void postAccountNotices(const KavriAPI::StatusResult& status);

    // The operations, each in two forms: blocking, run inside a store call
    // (off the main thread, ending early with StoreCalls::Cancelled when the
    // call is cancelled), or started on a call of the store's own, with
    // `done` run on the main thread once it ended (not when cancelled).

    // Pulls again with the keychain's token (nothing without one); failures
    // go to `lastError`, a 402 to `state` (expired).
    void refresh(StoreCalls::Call& call);
    StoreCalls::Handle refresh(std::function<void()> done = nullptr);

    // Downloads with `token` (a bare token or a link) and, once that
    // succeeded, keeps the text as given in the keychain and persists the
    // pull. Throws SubscriptionClient::FetchError, or KeychainError (the
    // download is then dropped); no field changes on failure.
    void pull(StoreCalls::Call& call, const std::string& token);
    StoreCalls::Handle pull(std::string token, std::function<void(std::exception_ptr)> done = nullptr);

    // With a token in the keychain only reads the status; otherwise
    // provisions, pulls the issued token and reads the status, in that order.
    void ensureProvisioned(StoreCalls::Call& call);
    StoreCalls::Handle ensureProvisioned(std::function<void()> done = nullptr);

    // Provisions anew (forgetting the role and the quota), pulls the issued
    // token and reads the status. A failure goes to `lastError` and stores
    // no token.
    void provision(StoreCalls::Call& call);
    StoreCalls::Handle provision(std::function<void()> done = nullptr);

    // Reads the account status of the keychain's token, applies it and keeps
    // its body; every failure is silent and changes nothing.
    void refreshStatus(StoreCalls::Call& call);
    StoreCalls::Handle refreshStatus(std::function<void()> done = nullptr);

    // The two texts a failed payment creation shows.
    static constexpr const char* plansChangedText = "Тарифы обновились — выберите заново.";
    static constexpr const char* paymentFailedText = "Не удалось создать платёж. Попробуйте ещё раз.";

    // Creates a payment for `plan` with the keychain's token and returns the
    // page to open; nothing without a token (and `isWorking` stays down), or
    // when it failed: a plan the backend no longer offers reads the status
    // again before `lastError` says the plans changed; any other failure
    // says the payment could not be created.
    std::optional<std::string> buy(StoreCalls::Call& call, const std::optional<std::string>& plan,
                                   bool savePaymentMethod);
    StoreCalls::Handle buy(std::optional<std::string> plan, bool savePaymentMethod,
                           std::function<void(std::optional<std::string> url)> done = nullptr);

private:
    void restore();
    // Keeps a successful pull with `token` (mirrored for the extension) and
    // publishes it.
    void persistPull(const SubscriptionClient::FetchResult& result, std::string_view token);
    // Provisioning and what follows it; `fresh` forgets role and quota.
    void provisionAndPull(StoreCalls::Call& call, bool fresh);
    // The parts of provisionAndPull() and buy() that run with their flag up.
    void provisionAndPullRaised(StoreCalls::Call& call);
    std::optional<std::string> buyRaised(StoreCalls::Call& call, const std::string& token,
                                         const std::optional<std::string>& plan, bool savePaymentMethod);
    StoreCalls::Handle start(std::function<void(StoreCalls::Call&)> operation, std::function<void()> done);

    SubscriptionClient client_;
    KavriAPI api_;
    KavriStore& store_;
    Clock& clock_;
    std::function<nlohmann::json()> attribution_;
    // Lives as long as the store: a step posted to the main thread by a
    // cancelled call runs only while it exists.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    StoreCalls calls_;  // last: its end cancels and joins the calls before anything they use goes
};

}  // namespace kavri
