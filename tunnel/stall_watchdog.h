#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"
#include "core/stall_watch.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"
#include "tunnel/clash_client.h"
#include "tunnel/run_state.h"
#include "tunnel/telemetry.h"

namespace kavri {

// The stall watchdog: at the stored period it samples the engine's
// connection table, feeds the sample to the stall decision (its memory is the
// run state's) and carries out the verdict: drop every connection, or ask
// the backend for a configuration that sheds the current server. Each action
// is reported as a "heal" event when a subscription token is known.
class StallWatchdog {
public:
    struct Ports {
        // One configuration poll that asks the backend to shed the current
        // server: true when the engine now runs the newest configuration.
        std::function<bool(std::stop_token)> shedPoll;
        // The subscription token, when known.
        std::function<std::optional<std::string>()> subToken;
    };

    // `shedRetrySpacing`: least time from a failed shed poll to the next.
    StallWatchdog(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                  Ports ports, std::chrono::milliseconds shedRetrySpacing);

    // Starts the loop (or starts it over). A running loop is cancelled, not
    // waited for, and handed to `retired` for its owner to join.
    void start(std::vector<Task>& retired);
    // Cancels the loop without waiting; its task goes to `retired`.
    void cancel(std::vector<Task>& retired);

    // One pass after the loop's sleep: sample, decide, act, report.
    void pass(const StallWatch::Config& config, std::stop_token stop = {});
    // A connection table as a stall sample.
    static StallWatch::Snapshot snapshotOf(const nlohmann::json& table);

private:
    void loop(std::stop_token stop);

    Clock& clock_;
    KavriStore& store_;
    ClashClient& clash_;
    Telemetry& telemetry_;
    RunState& run_;
    Ports ports_;
    std::chrono::milliseconds shedRetrySpacing_;
    Task task_;

    std::mutex mutex_;
    // When the last shed poll failed; none after a success.
    std::optional<Clock::WallTime> lastFailedShedAt_;
};

}  // namespace kavri
