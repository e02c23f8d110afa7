#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "app/subscription_store.h"
#include "app/vpn_manager/vpn_manager.h"
#include "platform/runtime/clock.h"
#include "ui/shell/mac_menu_view_state.h"

namespace kavri {

class AppTelemetry;

// The logic of the tray menu: the status line and the connect item follow
// the VPN manager's status and the subscription's ID live; the connect item
// connects or disconnects straight away (no guard, no refresh, the profile
// as it is), the other two open the window and quit. Main thread only.
class MacMenuPresenter {
public:
    struct Deps {
        SubscriptionStore& subscription;
        VPNManager& vpn;
        AppTelemetry& telemetry;
        // Brings the main window forward.
        std::function<void()> openWindow;
        // Ends the app.
        std::function<void()> quit;
        Clock& clock = Clock::system();
    };

    MacMenuPresenter(MainExecutor& main, Deps deps);
    MacMenuPresenter(const MacMenuPresenter&) = delete;
    MacMenuPresenter& operator=(const MacMenuPresenter&) = delete;

    const MacMenuViewState& state() const { return state_; }
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    static std::string statusText(const VPNManager::Status& status, std::optional<std::int64_t> subscriptionID);
    static MacMenuViewState stateFor(const VPNManager::Status& status, std::optional<std::int64_t> subscriptionID);

    // The menu's three items.
    void toggleConnection();
    void openMainWindow();
    void quit();

private:
    void recompute();

    MainExecutor& main_;
    Deps deps_;
    MacMenuViewState state_;
    std::function<void()> onChange_;
    ObservableStore::Subscription subscriptionSub_, vpnSub_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for work posted to the main thread
    StoreCalls calls_;  // last: its calls end before what they use goes
};

}  // namespace kavri
