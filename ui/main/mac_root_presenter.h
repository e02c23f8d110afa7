#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "api/stack_api.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "app/stack/catalog_holder.h"
#include "app/stack/stack_pinger.h"
#include "app/subscription_store.h"
#include "app/sysext/system_extension_installer.h"
#include "app/vpn_manager/vpn_manager.h"
#include "core/kavri_store.h"
#include "platform/runtime/clock.h"
#include "ui/main/mac_root_view_state.h"
#include "ui/main/root_flows.h"

namespace kavri {

// The logic of the main window's root view: derives what it draws from the
// subscription store, the VPN manager, the extension installer and the
// shared store; keeps the view's own state (the four sheet flags, the
// toggle and switch flags, the switch error); remembers the last account
// state other than expired; disconnects a tunnel whose account expired; and
// refreshes the location catalog every 60 s while on screen. Main thread
// only; its blocking work runs off it as store calls.
class MacRootPresenter {
public:
    static constexpr double catalogBudgetSeconds = 15;
    static constexpr std::chrono::seconds catalogInterval{60};
    static constexpr const char* catalogWhy = "background_loop";

    struct Deps {
        SubscriptionStore& subscription;
        VPNManager& vpn;
        SystemExtensionInstaller& sysex;
        KavriStore& store;
        // The keychain's subscription token, as stored.
        std::function<std::optional<std::string>()> readToken;
        // The catalog the stack sheet shows.
        StackAPI stackAPI;
        CatalogHolder::Track track;
        // The app's own setting "last_active_state" ("" when unset).
        std::function<std::string()> loadLastActiveState;
        std::function<void(const std::string&)> saveLastActiveState;
        // The app's event reporter: "connect_start", "sheet_open",
        // "stack_select" (dropped when none).
        AppTelemetry* telemetry;
        Clock& clock = Clock::system();
        StackPinger::Connector connector = nullptr;
    };

    MacRootPresenter(MainExecutor& main, Deps deps);
    ~MacRootPresenter();
    MacRootPresenter(const MacRootPresenter&) = delete;
    MacRootPresenter& operator=(const MacRootPresenter&) = delete;

    const MacRootViewState& state() const { return state_; }
    // Called on the main thread whenever state() changed.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    // The view came on screen (creates the catalog holder and the prober
    // once, starts the catalog loop) or left it (ends the loop).
    void appear();
    void disappear();

    // The user's actions.
    void menuClicked();
    void logoClicked();
    void connectClicked();
    void payClicked();            // "Оплатить" and "Выбрать тариф"
    void restoreAccessClicked();  // "Вернуть доступ"
    void menuPlansChosen();       // from the account menu
    void menuDevicesChosen();
    void menuClosed();
    void plansClosed();
    void devicesClosed();
    void stackClosed();
    void alertDismissed();

    // The flows of the connect and stack switch read and write these.
    bool isToggling() const { return isToggling_; }
    void setToggling(bool on);
    void setApplyingStack(bool on);
    void setStackError(std::optional<std::string> message);
    void setShowStack(bool on);
    void setShowPlans(bool on);
    CatalogHolder* catalogHolder() { return catalogHolder_.get(); }
    SystemExtensionInstaller& sysex() { return deps_.sysex; }
    StackPinger* pinger() { return pinger_.get(); }
    // The connect, location sheet and switch flows: the location sheet's
    // callbacks are its refreshCatalog, applyStack and openPlansFromStack.
    RootFlows& flows() { return *flows_; }
    // The stack card's action.
    void stackCardClicked();

    // The last account state other than expired, as kept.
    const std::string& lastActiveState() const { return lastActiveState_; }
    bool isBlocked() const;
    // A tunnel in `status` is disconnected when the account turns expired.
    static bool disconnectsOnExpiry(const VPNManager::Status& status);

private:
    void recompute();
    void accountStateChanged();
    void catalogLoop(StoreCalls::Call& call);

    MainExecutor& main_;
    Deps deps_;
    std::function<void()> onChange_;
    MacRootViewState state_;

    bool showMenu_ = false;
    bool showPlans_ = false;
    bool showDevices_ = false;
    bool showStack_ = false;
    bool isToggling_ = false;
    bool applyingStack_ = false;
    std::optional<std::string> stackError_;
    std::string lastActiveState_;
    std::optional<SubscriptionState> seenState_;

    std::unique_ptr<StackPinger> pinger_;
    std::unique_ptr<CatalogHolder> catalogHolder_;
    std::unique_ptr<RootFlows> flows_;  // after what its calls use
    ObservableStore::Subscription subscriptionSub_, vpnSub_, sysexSub_;
    StoreCalls::Handle loop_;
    StoreCalls calls_;  // last: its calls end before what they use goes
};

}  // namespace kavri
