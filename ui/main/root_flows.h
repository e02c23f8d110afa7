#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/stack_api.h"
#include "app/runtime/main_executor.h"
#include "app/runtime/store_calls.h"
#include "app/vpn_manager/vpn_manager.h"

namespace kavri {

class MacRootPresenter;
class AppTelemetry;
class CatalogHolder;
class KavriStore;
class StackPinger;
class SubscriptionStore;

// What the main window's buttons and its location sheet set going: the
// connect toggle, opening the location sheet, the sheet's refresh, apply and
// locked callbacks, the location or protocol switch with its reconnect, and
// the prober's two ways through the tunnel. They sequence the stores and
// tell the root presenter's flags how it went. Main thread only; the
// blocking steps run as calls off it.
class RootFlows {
public:
    using Location = StackAPI::Catalog::Location;

    // What the flows use: the presenter's stores and ports.
    struct Ports {
        SubscriptionStore& subscription;
        VPNManager& vpn;
        KavriStore& store;
        std::function<std::optional<std::string>()> readToken;  // the keychain's token, as stored
        StackAPI stackAPI;
        AppTelemetry* telemetry;  // events are dropped when none
        Clock& clock;
    };

    // The reconnect after a switch waits this long for the tunnel to go down,
    // looking every reconnectCheck.
    static constexpr std::chrono::seconds reconnectWait{3};
    static constexpr std::chrono::milliseconds reconnectCheck{100};
    // A tunnel that stayed up through the reconnect is asked to poll its
    // configuration once it is up, within this time.
    static constexpr std::chrono::seconds upWait{30};
    // The sheet's catalog refresh: seconds of host failover.
    static constexpr double refreshBudgetSeconds = 5;
    // A server latency figure younger than this many seconds is used as is.
    static constexpr std::int64_t freshLatencySeconds = 901;

    static constexpr const char* unavailableText = "Сейчас эта локация недоступна — попробуйте другую.";
    static constexpr const char* switchFailedText = "Не удалось переключиться. Попробуйте ещё раз.";

    // What an answer to a selection does, by its HTTP status (0: none came).
    enum class SelectEffect {
        applied,      // 200: refresh, store, reconnect when the tunnel was up
        unavailable,  // 409: unavailableText
        plans,        // 403: the plan sheet opens
        failed,       // any other: switchFailedText
    };
    static SelectEffect effectOf(int status);
    // The alert's text for an effect; nothing for applied and plans.
    static std::optional<std::string> messageOf(SelectEffect effect);

    RootFlows(MainExecutor& main, MacRootPresenter& root, Ports ports);
    // Cancels the flows under way and waits for them to end.
    ~RootFlows();
    RootFlows(const RootFlows&) = delete;
    RootFlows& operator=(const RootFlows&) = delete;

    // The logo's and the connect button's action: disconnects a connected
    // tunnel, else reports "connect_start", pulls the subscription, saves
    // the stored configuration into the profile and connects. Ignored while
    // an earlier toggle runs.
    void toggleConnection();

    // The stack card's action, with the shown snapshot's `manualAllowed`:
    // the plans when choosing by hand is not allowed, else the location
    // sheet with the cached catalog, latencies measured, "sheet_open".
    void openStackSheet(bool manualAllowed);

    // The location sheet's refresh: fetches the catalog (5 s of failover)
    // with the sheet's reason and measures its locations anew; `done` gets
    // true when a catalog came, false without a token or on failure. Runs
    // on the main thread, not when cancelled.
    StoreCalls::Handle refreshCatalog(std::string why, std::function<void(bool)> done = nullptr);

    // The locations the app measures itself: all of them, unless one has a
    // fresh server figure; then only the user's current location.
    std::vector<Location> probeTargets(const std::vector<Location>& locations) const;

    // The location sheet's choice (nothing: automatic), sent to the
    // backend; cancels the switch started before it.
    void applyStack(std::optional<std::string> location, std::optional<std::string> proto);

    // The location sheet's answer to a locked tap: closes it, opens the plans.
    void openPlansFromStack();

    // The prober's hooks: a measurement from inside the tunnel (blocking,
    // off the main thread), and whether the tunnel is connected (main thread).
    std::optional<std::int64_t> probeThroughTunnel(const std::string& host, int port);
    bool isTunnelActive() const;

private:
    // One switch's own cancellation: looked at between its steps only, so
    // that a request under way still ends and is reported.
    using CancelFlag = std::shared_ptr<std::atomic<bool>>;

    void toggle(StoreCalls::Call& call);
    // Returns whether it raised the switch flag; `pollAfter` when the
    // reconnect's start was refused and the tunnel is to be asked to poll.
    bool runSwitch(StoreCalls::Call& call, const CancelFlag& cancelled, const std::optional<std::string>& location,
                   const std::optional<std::string>& proto, bool& pollAfter);
    // Stops the tunnel, waits for it to go down and starts it again; false
    // when the start was refused.
    bool reconnect(StoreCalls::Call& call, const CancelFlag& cancelled);
    // A tunnel that came through the reconnect up (another connect started
    // it meanwhile, or it never stopped) runs the configuration it had: ask
    // it to poll and reload the new one. Runs after the switch has ended
    // and its flag is down; a newer switch ends it.
    void pollWhenUp(StoreCalls::Call& call, const CancelFlag& cancelled);
    void saveStoredConfiguration();
    void measure();
    void track(const std::string& event, std::optional<std::int64_t> ms = std::nullopt,
               const nlohmann::json& extra = nullptr);

    MainExecutor& main_;
    MacRootPresenter& root_;
    Ports ports_;
    CancelFlag switch_;  // the latest switch's
    StoreCalls calls_;   // last: its calls end before what they use goes
};

}  // namespace kavri
