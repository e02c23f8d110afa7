#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/kavri_store.h"
#include "platform/engine/engine_settings.h"
#include "platform/network/path_monitor.h"
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

    // Stall watchdog, member probe and app messages.
    // The member probe's tick.
    std::chrono::milliseconds memberProbeTick{5000};
    // Least time from a failed shed poll of the stall watchdog to its next one.
    std::chrono::milliseconds shedRetrySpacing{20000};
    // Longest wait of a "ping:" connect probe.
    std::chrono::milliseconds pingLimit{1500};
};

}  // namespace kavri
