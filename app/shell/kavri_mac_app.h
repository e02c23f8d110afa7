#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "app/runtime/main_executor.h"
#include "app/runtime/store_calls.h"
#include "app/sysext/system_extension_installer.h"

namespace kavri {

// The app itself: seeds the rule sets at start, owns the long-lived stores,
// runs the start-up task each time the main window's content is shown and
// routes the URLs of the app's scheme. Main thread only; the blocking steps
// run off it, one after another, each after the previous one ended.
class KavriMacApp {
public:
    // What start-up and URL handling ask of the account and the tunnel
    // profile. A step left empty is skipped. The blocking ones run off the
    // main thread with the task's stop token; a step that throws is dropped
    // and the next one runs all the same.
    struct Account {
        // Provisions the device without a stored token, else reads the status.
        std::function<void(std::stop_token)> ensureProvisioned;
        // Downloads the subscription configuration with the stored token.
        std::function<void(std::stop_token)> refresh;
        // Reads the account status.
        std::function<void(std::stop_token)> refreshStatus;
        // Pulls the subscription with the token that a pasted or opened link carries.
        std::function<void(std::stop_token, const std::string& link)> pull;
        // Main thread: whether a subscription is known.
        std::function<bool()> hasSubscription;
        // Keeps the configuration for the next connect and saves the tunnel profile.
        std::function<void(std::stop_token, const std::string& configuration)> saveConfiguration;
        // Reports "app_open" once per process.
        std::function<void()> reportOpen;
    };

    struct Deps {
        SystemExtensionInstaller::Deps sysex;
        Account account;
    };

    // Seeds the rule-set folder, reports the open and creates the stores.
    KavriMacApp(MainExecutor& main, Deps deps);
    ~KavriMacApp();

    SystemExtensionInstaller& sysex() { return *sysex_; }

    // Starts the start-up task anew (a running one is cancelled first):
    // clean-up after an earlier update, extension activation (not awaited),
    // then provisioning, subscription refresh, status refresh and the
    // profile update.
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
    void runStep(StoreCalls::Call& call, const std::function<void(std::stop_token)>& step, const char* name);
    // When a subscription is known and the shared store holds configuration
    // bytes, hands them to the tunnel profile.
    void updateProfile(StoreCalls::Call& call);

    MainExecutor& main_;
    Account account_;
    std::unique_ptr<SystemExtensionInstaller> sysex_;
    StoreCalls::Handle startup_;
    StoreCalls calls_;  // last: its tasks end before the rest goes
};

}  // namespace kavri
