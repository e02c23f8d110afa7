#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "api/kavri_api.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "app/subscription_store.h"
#include "ui/sheets/mac_plan_sheet_state.h"

namespace kavri {

// The logic of the plan sheet: the store's tariffs as rows, in its order;
// while it has none, the loading view, which reads the account status each
// time it comes on screen; a click buys: every row is disabled, the
// clicked one spins, and the payment page the store returns is opened
// before the sheet closes. A failed purchase leaves the sheet open (the
// store publishes its own error text). Main thread only.
class MacPlanSheetPresenter {
public:
    struct Deps {
        SubscriptionStore& subscription;
        std::function<void()> onClose;
        // Opens an address with the desktop's default handler.
        std::function<void(const std::string&)> openURL;
    };

    MacPlanSheetPresenter(MainExecutor& main, Deps deps);
    // A purchase under way goes on: its payment page still opens.
    ~MacPlanSheetPresenter();
    MacPlanSheetPresenter(const MacPlanSheetPresenter&) = delete;
    MacPlanSheetPresenter& operator=(const MacPlanSheetPresenter&) = delete;

    const MacPlanSheetState& state() const { return state_; }
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    // On screen (starts the loading view's status refresh when it shows) or off it (ends that refresh).
    void appear();
    void disappear();

    void closeClicked();
    void planClicked(const std::string& key);

    const std::optional<std::string>& busy() const { return busy_; }

    // The row's second line: "на 30 дней", then " · " and the subtitle when there is one.
    static std::string planTitle(const KavriAPI::StatusResult::Plan& plan);

private:
    void recompute();
    void startLoading();

    MainExecutor& main_;
    Deps deps_;
    std::function<void()> onChange_;
    MacPlanSheetState state_;
    std::optional<std::string> busy_;
    bool onScreen_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    ObservableStore::Subscription subscriptionSub_;
    StoreCalls::Handle loading_;
};

}  // namespace kavri
