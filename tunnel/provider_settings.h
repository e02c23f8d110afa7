#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/config_fetcher.h"
#include "core/kavri_store.h"
#include "platform/engine/engine_settings.h"
#include "platform/network/path_monitor.h"
#include "platform/notifications/notification_center.h"
#include "platform/runtime/clock.h"

namespace kavri {

// What the extension's provider runs on. A real run takes the defaults;
// tests and local runs replace the clock, the store, the controller's
// address and the intervals of the loops.
struct ProviderSettings {
    Clock* clock = &Clock::system();
    KavriStore* store = nullptr;  // KavriStore::shared() when none
    // The engine's local controller.
    std::string controllerBase = "http://127.0.0.1:9090";
    // Settings of the engine the framework runs.
    EngineSettings engine;
    // Makes the network path monitor (the machine's own when none).
    std::function<std::unique_ptr<PathMonitor>()> makePathMonitor;

    // Longest wait for the stop report.
    std::chrono::milliseconds stopReportLimit{2000};
    // Pause after a hot reload before the group is looked at again.
    std::chrono::milliseconds reloadSettle{300};

    // Where the account notices go: installed as the process's centre when
    // set; none keeps the process's own (the desktop one).
    std::shared_ptr<NotificationCenter> notificationCenter;
    // Limits of one configuration poll's walk over the control-plane hosts.
    ConfigFetcher::Limits pollLimits = ConfigFetcher::standardLimits();
    // The heartbeat's tick and its wait between looks while disabled.
    std::chrono::milliseconds heartbeatTick{200};
    std::chrono::milliseconds heartbeatDisabledWait{2000};
    // Telemetry loop: the first cycle after telemetryFirstDelay, then
    // telemetryInterval after the end of each cycle.
    std::chrono::milliseconds telemetryFirstDelay{5000};
    std::chrono::milliseconds telemetryInterval{12000};
    // Connect report: first-byte attempts start while less than
    // firstByteProbeLimit has passed, firstByteRetryPause after a failure.
    std::chrono::milliseconds firstByteProbeLimit{15000};
    std::chrono::milliseconds firstByteRetryPause{1000};
    // Rule-set refresh: the first after rulesFirstDelay, then rulesInterval
    // after each cycle, or rulesMissingInterval while a rule file is missing.
    std::chrono::milliseconds rulesFirstDelay{30000};
    std::chrono::milliseconds rulesInterval{std::chrono::hours(12)};
    std::chrono::milliseconds rulesMissingInterval{std::chrono::minutes(30)};
    // Stall watchdog, member probe and app messages.
    // The member probe's tick.
    std::chrono::milliseconds memberProbeTick{5000};
    // Least time from a failed shed poll of the stall watchdog to its next one.
    std::chrono::milliseconds shedRetrySpacing{20000};
    // Longest wait of a "ping:" connect probe.
    std::chrono::milliseconds pingLimit{1500};
};

}  // namespace kavri
