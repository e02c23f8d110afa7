#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/kavri_store.h"
#include "platform/network/path_monitor.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"
#include "tunnel/clash_client.h"
#include "tunnel/group_tracker.h"
#include "tunnel/run_state.h"
#include "tunnel/telemetry.h"

namespace kavri {

// The telemetry loop and the connect report. The loop sends a "heartbeat"
// report after the first delay and then an interval after the end of each
// cycle, refreshes the group's member every fifth cycle and uploads the
// engine's pending stall dumps. The connect report runs once per engine
// start: a first-byte probe through the tunnel, then the report.
class TelemetryLoop {
public:
    struct Timing {
        std::chrono::milliseconds firstDelay{5000};
        std::chrono::milliseconds interval{12000};
        // First-byte attempts start while less than this has passed...
        std::chrono::milliseconds firstByteProbeLimit{15000};
        // ... and this long after a failed one.
        std::chrono::milliseconds firstByteRetryPause{1000};
    };
    struct Ports {
        // The subscription token, when known.
        std::function<std::optional<std::string>()> subToken;
        // The network path monitor's current path, and whether a monitor runs.
        std::function<std::optional<NetworkPath>()> currentPath;
        std::function<bool()> monitoring;
    };

    TelemetryLoop(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                  GroupTracker& group, Ports ports, Timing timing);

    // Starts the loop (or starts it over: the first delay again). A running
    // loop is cancelled, not waited for, and handed to `retired`.
    void start(std::vector<Task>& retired);
    // Cancels the loop without waiting; its task goes to `retired`.
    void cancel(std::vector<Task>& retired);

    // One connect report: a first-byte probe through the tunnel (when the
    // heartbeat inbound is there), then the report. Only `stop` ends it early.
    void connectReport(std::int64_t configLoadedMs, std::int64_t tunnelUpMs, std::stop_token stop = {});
    // Refreshes the telemetry's network type and radio from the monitor's
    // path; the known type stays when there is none.
    std::pair<std::optional<std::string>, std::optional<std::string>> updateNetworkType();

private:
    void loop(std::stop_token stop);
    // Sends the engine's pending stall dumps, described with the network
    // path in force at each one.
    void uploadPendingStallDumps(const std::string& token, std::stop_token stop);

    Clock& clock_;
    KavriStore& store_;
    ClashClient& clash_;
    Telemetry& telemetry_;
    RunState& run_;
    GroupTracker& group_;
    Ports ports_;
    Timing timing_;
    Task task_;
};

}  // namespace kavri
