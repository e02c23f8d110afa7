#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/config_fetcher.h"
#include "core/kavri_store.h"
#include "core/stall_watch.h"
#include "platform/engine/extension_provider.h"
#include "platform/network/path_monitor.h"
#include "platform/runtime/bounded_worker.h"
#include "platform/runtime/spawner.h"
#include "platform/runtime/task.h"
#include "tunnel/clash_client.h"
#include "tunnel/heartbeat.h"
#include "tunnel/member_probe.h"
#include "tunnel/provider_settings.h"
#include "tunnel/rule_refresh.h"
#include "tunnel/run_state.h"
#include "tunnel/stall_watchdog.h"
#include "tunnel/telemetry.h"

namespace kavri {

// The extension's packet-tunnel provider: prepares the start options,
// marks the run in the shared store, starts the engine through the
// framework and keeps the tunnel healthy with its background tasks; records
// and reports every stop; drops the engine's connections after a long sleep.
//
// Platform events (start, stop, app messages) run on threads of their own;
// wake runs on the caller's thread. The fields the background tasks share
// are guarded by one mutex.
class PacketTunnelProvider : public ExtensionProvider {
public:
    explicit PacketTunnelProvider(ProviderSettings settings = {});
    ~PacketTunnelProvider() override;

    // Platform events.
    void startTunnel(TunnelOptions options, StartCompletion completion) override;
    void stopTunnel(ProviderStopReason reason, StopCompletion completion) override;
    void wake() override;

    // The bodies of the events: start returns the engine's error, if any.
    std::optional<std::string> startTunnelBody(TunnelOptions options);
    void stopTunnelBody(ProviderStopReason reason);
    static std::string stopReasonName(int rawReason);

    // Configuration preparation.
    std::string applyLocalPaths(const std::string& config);
    void learnRuntimeParams(const std::string& config);
    // Both passes over one parse of the text, as the start does them: the
    // text the engine gets.
    std::string prepareConfiguration(const std::string& config);

    // Engine reload and group state.
    struct GroupState {
        std::vector<std::string> members;
        std::optional<std::string> now;
        std::string type;
    };
    static bool isPlausibleConfig(const std::string& config);
    std::optional<std::string> currentConfigText();
    std::optional<GroupState> probeGroupState(std::stop_token stop = {});
    void reloadEngine(const std::optional<std::string>& previousMember, std::stop_token stop = {});
    std::pair<std::optional<std::string>, std::optional<std::string>> updateNetworkType();
    static std::optional<std::string> networkType(const NetworkPath& path);
    std::optional<std::string> subToken() const;
    std::optional<std::string> deviceID() const;
    void applyServerTunables(const ConfigFetcher::Fetched& fetched);

    // Path monitor, self-heal configuration polling and the heartbeat.
    // Starts the path monitor and the self-heal loop (after stopAll()).
    void startPathMonitorAndHealLoop();
    // One configuration poll: true when the engine now runs the newest
    // configuration. `reason` only names the caller in the log.
    bool selfHealPoll(const std::string& reason, bool shed, std::stop_token stop = {});
    // Lets the next poll through the throttle (callers that must not be throttled).
    void resetPollThrottle();
    // The self-heal loop's interval: the server's own interval when it is at
    // least 20 s and below the detection setting, else the detection setting.
    static std::chrono::seconds healInterval(std::int64_t configPollSec, std::int64_t serverIntervalSec);
    Clock::WallTime lastNetChangeAt() const;
    // The heartbeat's view of this provider.
    KavriHeartbeatDeps makeHeartbeatDeps();

    // Telemetry task, connect report and rule-set refresh.
    // Starts (or starts over) the loop that sends a heartbeat report after
    // the first delay and then an interval after each cycle.
    void startTelemetryTask();
    // One connect report: a first-byte probe through the tunnel (when the
    // heartbeat inbound is there), then the report. Runs to its end unless
    // the provider goes away.
    void connectReport(std::int64_t configLoadedMs, std::int64_t tunnelUpMs, std::stop_token stop = {});
    // Starts (or starts over) the loop that refreshes the rule-set files and
    // reloads the engine when one changed.
    void startRulesTask();

    // App messages.
    void handleAppMessage(std::string data, MessageCompletion completion) override;
    std::optional<std::string> dispatchAppMessage(const std::string& data, std::stop_token stop = {});

    // Cancels every background task, the path monitor and the heartbeat, and
    // returns without waiting for them: callable from any thread, a task's
    // own included. The run's stop waits for them (joinStoppedTasks()).
    void stopAll();

    Telemetry& telemetry() { return telemetry_; }
    ClashClient& clash() { return clash_; }
    KavriStore& store() { return store_; }
    Clock& clock() { return clock_; }
    const ProviderSettings& settings() const { return settings_; }

    // Provider fields shared with the background tasks.
    std::optional<std::string> currentActiveMember() const;
    void setCurrentActiveMember(std::optional<std::string> member);
    Clock::WallTime lastWakeAt() const;

private:
    void handleWake();
    void logStartOptions(const TunnelOptions& options) const;
    void refreshGroupMembers(std::stop_token stop = {});
    // Marks a change of the network's primary interface.
    void noteNetChange();
    // Replaces the heartbeat with a new, started one.
    void startHeartbeat();
    // Asks the running heartbeat for a beat at its next tick.
    void pulseHeartbeat();
    std::optional<std::int64_t> tcpConnectRTT(const std::string& host, std::uint16_t port, std::stop_token stop = {});
    // Waits for every task that stopAll() or restartTask() cancelled (never
    // for the calling thread's own). Called where no task can be waiting on
    // the caller: the run's stop and the provider's end.
    void joinStoppedTasks();
    // Cancels the task held in `slot` (without waiting for it) and starts
    // `body` in its place. The old task is joined by joinStoppedTasks().
    void restartTask(Task& slot, std::function<void(std::stop_token)> body);

    struct StartTimes {
        Clock::MonoTime t0;
        std::int64_t configLoadMs = 0;
    };
    void didStartEngine(const StartTimes& times);
    std::optional<std::string> didFailEngineStart(const std::string& error, const StartTimes& times);
    std::int64_t millisSince(Clock::MonoTime t0) const;
    // The rewritten text of a parsed configuration (changed in place), or
    // nothing when it cannot be written out.
    std::optional<std::string> applyLocalPathsTo(nlohmann::json& root);
    void learnRuntimeParamsFrom(const nlohmann::json& root);
    // Starts fire-and-forget work held by the provider.
    void detach(std::function<void(std::stop_token)> work);
    // Queues a report for the run's report worker; dropped (and counted in
    // the log) when the queue is full.
    void postReport(std::function<void(std::stop_token)> work);
    void sendEventDetached(const std::string& event, const std::optional<std::string>& failPhase = std::nullopt,
                           Telemetry::Report fields = Telemetry::Report::object());
    // The path monitor's report; `lastType` is the handler's memory of the
    // primary interface type.
    void pathUpdated(const NetworkPath& path, std::optional<NetworkPath::InterfaceType>& lastType);
    void healLoop(std::stop_token stop);

    // Telemetry task and rule-set refresh.
    void telemetryLoop(std::stop_token stop);
    // Brings rule-set files a download changed into the engine: a hot reload
    // of the configuration in force, then the usual reload follow-up.
    void applyNewRules(std::stop_token stop);
    // Sends the engine's pending stall dumps, described with the network
    // path in force at each one.
    void uploadPendingStallDumps(const std::string& token, std::stop_token stop);
    std::optional<NetworkPath> monitoredPath();

    ProviderSettings settings_;
    Clock& clock_;
    KavriStore& store_;

    // What the loops share.
    RunState run_;
    Telemetry telemetry_;
    ClashClient clash_;

    // Background tasks (guarded by tasksMutex_).
    std::mutex tasksMutex_;
    Task healTask_;
    std::unique_ptr<PathMonitor> pathMonitor_;
    StallWatchdog stall_;
    MemberProbe members_;
    Task telemetryTask_;
    RuleRefresh rules_;
    // Tasks cancelled by stopAll() or replaced by restartTask(), until joined.
    std::vector<Task> retiredTasks_;
    std::vector<std::unique_ptr<Heartbeat>> retiredHeartbeats_;
    std::unique_ptr<Heartbeat> heartbeat_;

    // Work of the run outside its tasks (reports, one-off polls, messages),
    // cancelled and joined by the run's stop; destroyed before the fields.
    Spawner spawner_;
    // The run's reports: a few threads and a bounded queue.
    BoundedWorker reports_{2, 32};
    std::atomic<std::uint64_t> reportsDropped_{0};
    // The platform's start and stop events, each on a thread of its own.
    Spawner events_;
};

}  // namespace kavri
