#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/config_fetcher.h"
#include "core/kavri_store.h"
#include "platform/engine/extension_provider.h"
#include "platform/runtime/bounded_worker.h"
#include "platform/runtime/spawner.h"
#include "platform/runtime/task.h"
#include "tunnel/clash_client.h"
#include "tunnel/group_tracker.h"
#include "tunnel/heartbeat.h"
#include "tunnel/member_probe.h"
#include "tunnel/provider_settings.h"
#include "tunnel/rule_refresh.h"
#include "tunnel/run_state.h"
#include "tunnel/self_heal.h"
#include "tunnel/stall_watchdog.h"
#include "tunnel/telemetry.h"
#include "tunnel/telemetry_loop.h"

namespace kavri {

// The extension's packet-tunnel provider: prepares the start options,
// marks the run in the shared store, starts the engine through the
// framework and then the loops that keep the tunnel healthy (each a class
// of its own over the run state); records and reports every stop, ending
// the loops before the engine; drops the engine's connections after a long
// sleep; answers the app's messages.
//
// Platform events (start, stop, app messages) run on threads of their own;
// wake runs on the caller's thread.
class PacketTunnelProvider : public ExtensionProvider {
public:
    explicit PacketTunnelProvider(ProviderSettings settings = {});
    ~PacketTunnelProvider() override;

    // Platform events.
    void startTunnel(TunnelOptions options, StartCompletion completion) override;
    void stopTunnel(ProviderStopReason reason, StopCompletion completion) override;
    void wake() override;
    void handleAppMessage(std::string data, MessageCompletion completion) override;

    // The bodies of the events: start returns the engine's error, if any.
    std::optional<std::string> startTunnelBody(TunnelOptions options);
    void stopTunnelBody(ProviderStopReason reason);
    std::optional<std::string> dispatchAppMessage(const std::string& data, std::stop_token stop = {});
    static std::string stopReasonName(int rawReason);

    // Configuration preparation.
    std::string applyLocalPaths(const std::string& config);
    void learnRuntimeParams(const std::string& config);
    // Both passes over one parse of the text, as the start does them: the
    // text the engine gets.
    std::string prepareConfiguration(const std::string& config);

    // The configuration in force, the tokens and the server's tunables.
    std::optional<std::string> currentConfigText();
    // From `options`, else from the start options the provider holds, else
    // from the store's mirror. Before the engine starts the provider holds
    // no options yet: the start passes its own.
    std::optional<std::string> subToken(const TunnelOptions* options = nullptr) const;
    std::optional<std::string> deviceID(const TunnelOptions* options = nullptr) const;
    void applyServerTunables(const ConfigFetcher::Fetched& fetched);
    // The heartbeat's view of this provider.
    KavriHeartbeatDeps makeHeartbeatDeps();

    // Cancels every loop, the path monitor and the heartbeat, and returns
    // without waiting for them: callable from any thread, a loop's own
    // included. The run's stop waits for them (joinStoppedTasks()).
    void stopAll();

private:
    void handleWake();
    void logStartOptions(const TunnelOptions& options) const;
    struct StartTimes {
        Clock::MonoTime t0;
        std::int64_t configLoadMs = 0;
    };
    void didStartEngine(const StartTimes& times);
    std::optional<std::string> didFailEngineStart(const std::string& error, const StartTimes& times);
    std::int64_t millisSince(Clock::MonoTime t0) const;
    // Starts the path monitor and the self-heal loop, after stopAll().
    void startPathMonitorAndHealLoop();
    // Replaces the heartbeat with a new, started one.
    void startHeartbeat();
    // Waits for every loop that stopAll() cancelled or a restart replaced
    // (never for the calling thread's own). Called where no loop can be
    // waiting on the caller: the run's stop and the provider's end.
    void joinStoppedTasks();
    // The rewritten text of a parsed configuration (changed in place), or
    // nothing when it cannot be written out.
    std::optional<std::string> applyLocalPathsTo(nlohmann::json& root);
    void learnRuntimeParamsFrom(const nlohmann::json& root);
    // Brings rule-set files a download changed into the engine: a hot reload
    // of the configuration in force, then the usual reload follow-up.
    void applyNewRules(std::stop_token stop);
    // Starts fire-and-forget work held by the provider.
    void detach(std::function<void(std::stop_token)> work);
    // Queues a report for the run's report worker; dropped (and counted in
    // the log) when the queue is full.
    void postReport(std::function<void(std::stop_token)> work);
    void sendEventDetached(const std::string& event, const std::optional<std::string>& failPhase = std::nullopt,
                           Telemetry::Report fields = Telemetry::Report::object());

    ProviderSettings settings_;
    Clock& clock_;
    KavriStore& store_;

    // What the loops share.
    RunState run_;
    Telemetry telemetry_;
    ClashClient clash_;
    GroupTracker group_;

    // The loops (started and cancelled under tasksMutex_).
    std::mutex tasksMutex_;
    SelfHeal heal_;
    StallWatchdog stall_;
    MemberProbe members_;
    TelemetryLoop telemetryLoop_;
    RuleRefresh rules_;
    std::unique_ptr<Heartbeat> heartbeat_;
    // Loops cancelled by stopAll() or replaced by a restart, until joined.
    std::vector<Task> retiredTasks_;
    std::vector<std::unique_ptr<Heartbeat>> retiredHeartbeats_;

    // Work of the run outside its loops (reports, one-off polls, messages),
    // cancelled and joined by the run's stop; destroyed before the fields.
    Spawner spawner_;
    // The run's reports: a few threads and a bounded queue.
    BoundedWorker reports_{2, 32};
    std::atomic<std::uint64_t> reportsDropped_{0};
    // The platform's start and stop events, each on a thread of its own.
    Spawner events_;
};

}  // namespace kavri
