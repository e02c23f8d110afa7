#pragma once

#include <functional>
#include <memory>
#include <string>

#include "api/kavri_api.h"
#include "api/subscription_client.h"
#include "app/runtime/main_executor.h"
#include "app/runtime/store_calls.h"
#include "app/settings/settings_store.h"
#include "app/subscription_store.h"
#include "app/sysext/system_extension_installer.h"
#include "app/telemetry/app_telemetry.h"
#include "app/vpn_manager/vpn_manager.h"

namespace kavri {

// The app itself: seeds the rule sets at start, owns the long-lived stores,
// runs the start-up task each time the main window's content is shown and
// routes the URLs of the app's scheme. Main thread only; the blocking steps
// run off it, one after another, each after the previous one ended.
class KavriMacApp {
public:
    struct Deps {
        SystemExtensionInstaller::Deps sysex{};
        VPNManager::Deps vpn{};
        // The account's backend clients, over the one shared API session.
        SubscriptionClient client{};
        KavriAPI api{};
        // Reports "app_open"; nothing when empty. The program gives
        // reportOpen(AppTelemetry::shared()).
        std::function<void()> reportAppOpen;
    };

    // Reports "app_open" unless `telemetry` already did in this process, and
    // marks it done.
    static void reportOpen(AppTelemetry& telemetry);

    // Seeds the rule-set folder, reports the open and creates the stores
    // (the account, the VPN profile, the user's settings, the extension
    // installer), in this order.
    KavriMacApp(MainExecutor& main, Deps deps);
    // Cancels the tasks under way and waits for them, before the stores go.
    ~KavriMacApp();

    SubscriptionStore& subscription() { return *subscription_; }
    VPNManager& vpn() { return *vpn_; }
    SettingsStore& settings() { return *settings_; }
    SystemExtensionInstaller& sysex() { return *sysex_; }
    // The main thread the stores live on.
    MainExecutor& mainExecutor() { return main_; }

    // Starts the start-up task anew (a running one is cancelled first):
    // clean-up after an earlier update, extension activation (not awaited),
    // then provisioning, subscription refresh, status refresh and the
    // profile update. No step stops the next: each publishes its own outcome.
    void startupTask();
    // Cancels the start-up task (the window's content went away).
    void cancelStartup();

    // Handles one URL that the app was opened with: "kavri://paid" reads
    // the account status; any other URL of the scheme is pulled as a token
    // link and followed by the profile update; other schemes are ignored.
    void openURL(const std::string& url);

    // Waits until every task has ended (tests). Not from a task.
    void waitIdle() { calls_.waitIdle(); }

private:
    // Runs one step; a failure other than a cancellation is logged and dropped.
    void runStep(StoreCalls::Call& call, const char* name, const std::function<void()>& step);
    // When a subscription is known and the shared store holds configuration
    // bytes, hands them to the VPN manager, which saves the profile.
    void updateProfile(StoreCalls::Call& call);

    MainExecutor& main_;
    std::unique_ptr<SubscriptionStore> subscription_;
    std::unique_ptr<VPNManager> vpn_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<SystemExtensionInstaller> sysex_;
    StoreCalls::Handle startup_;
    StoreCalls calls_;  // last: its tasks end before the stores go
};

}  // namespace kavri
