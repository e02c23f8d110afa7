#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/config_fetcher.h"
#include "core/kavri_store.h"
#include "platform/network/path_monitor.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"
#include "tunnel/clash_client.h"
#include "tunnel/group_tracker.h"
#include "tunnel/run_state.h"
#include "tunnel/telemetry.h"

namespace kavri {

// Self-heal configuration polling and the network path monitor. The loop
// polls the subscription at the server's interval; a poll (from the loop or
// any other caller) hot-reloads a newer plausible configuration, keeps the
// last-good one otherwise, and ends the run for a revoked subscription. The
// path monitor feeds the telemetry and marks changes of the primary
// interface in the run state.
class SelfHeal {
public:
    struct Ports {
        // The subscription token and the device identifier, when known.
        std::function<std::optional<std::string>()> subToken;
        std::function<std::optional<std::string>()> deviceID;
        // Hands the engine a configuration text (as received); throws when
        // the engine refuses it.
        std::function<void(const std::string& config, std::stop_token)> reload;
        // Learns the runtime parameters of the configuration now running.
        std::function<void(const std::string& config)> learn;
        // Stores the server's tunables of a fetched configuration.
        std::function<void(const ConfigFetcher::Fetched&)> applyTunables;
        // Sends a telemetry event (with a fail phase, when given); returns at once.
        std::function<void(const std::string& event, const std::optional<std::string>& failPhase)> sendEvent;
        // Ends the run: every loop and the tunnel are cancelled; returns at once.
        std::function<void()> endRun;
        // Makes the network path monitor.
        std::function<std::unique_ptr<PathMonitor>()> makePathMonitor;
    };

    SelfHeal(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
             GroupTracker& group, Ports ports, ConfigFetcher::Limits pollLimits);

    // Starts the path monitor and the loop (or starts them over). A running
    // loop is cancelled, not waited for, and handed to `retired` for its
    // owner to join.
    void start(std::vector<Task>& retired);
    // Cancels the monitor and the loop without waiting; the loop's task goes
    // to `retired`.
    void cancel(std::vector<Task>& retired);

    // One configuration poll: true when the engine now runs the newest
    // configuration. `reason` only names the caller in the log; `shed` asks
    // the backend to shed the current server. Refused within the run
    // state's poll throttle.
    bool poll(const std::string& reason, bool shed, std::stop_token stop = {});
    // The loop's interval: the server's own interval when it is at least
    // 20 s and below the detection setting, else the detection setting.
    static std::chrono::seconds interval(std::int64_t configPollSec, std::int64_t serverIntervalSec);

    // A configuration text the engine may be given: at least 201 bytes, a
    // JSON object with a non-empty "outbounds" array of objects and a
    // "route" object.
    static bool isPlausibleConfig(const std::string& config);

    // The monitor's current path; nothing without a monitor.
    std::optional<NetworkPath> currentPath() const;
    bool monitoring() const;

private:
    void loop(std::stop_token stop);
    // The monitor's report; `lastType` is the handler's memory of the
    // primary interface type.
    void pathUpdated(const NetworkPath& path, std::optional<NetworkPath::InterfaceType>& lastType);

    Clock& clock_;
    KavriStore& store_;
    ClashClient& clash_;
    Telemetry& telemetry_;
    RunState& run_;
    GroupTracker& group_;
    Ports ports_;
    ConfigFetcher::Limits pollLimits_;

    mutable std::mutex mutex_;  // the monitor, against readers of its path
    std::unique_ptr<PathMonitor> monitor_;
    Task task_;
};

}  // namespace kavri
