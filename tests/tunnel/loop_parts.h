#pragma once
// The parts of a tunnel run around one loop under test, wired as the
// provider wires its own: a controller client, telemetry, run state and
// group tracker of their own, and the loops over them. The configuration
// work, tokens and engine reloads are a provider's (started or not).
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/network/fake_path_monitor.h"
#include "tunnel/group_tracker.h"
#include "tunnel/member_probe.h"
#include "tunnel/packet_tunnel_provider.h"
#include "tunnel/run_state.h"
#include "tunnel/self_heal.h"
#include "tunnel/stall_watchdog.h"
#include "tunnel/telemetry_loop.h"

namespace kavri::test {

struct LoopPartsOptions {
    std::chrono::milliseconds reloadSettle{0};
    ConfigFetcher::Limits pollLimits = ConfigFetcher::standardLimits();
    std::function<std::unique_ptr<PathMonitor>()> makePathMonitor = [] {
        return std::make_unique<FakePathMonitor>();
    };
};

struct LoopParts {
    using Options = LoopPartsOptions;

    LoopParts(PacketTunnelProvider& provider, Clock& clock, const std::string& controllerBase,
              const std::string& secret, Options options = {})
        : clash(ClashClientSettings{controllerBase + "/"}, clock),
          telemetry(clock, KavriStore::shared(), telemetrySettings(controllerBase)),
          group(clock, KavriStore::shared(), clash, telemetry, run, options.reloadSettle),
          heal(clock, KavriStore::shared(), clash, telemetry, run, group,
               {[&provider] { return provider.subToken(); }, [&provider] { return provider.deviceID(); },
                [&provider](const std::string& config, std::stop_token stop) {
                    provider.hotReload(provider.applyLocalPaths(config), stop);
                },
                [&provider](const std::string& config) { provider.learnRuntimeParams(config); },
                [&provider](const ConfigFetcher::Fetched& fetched) { provider.applyServerTunables(fetched); },
                [this, &provider](const std::string& event, const std::optional<std::string>& phase) {
                    if (const auto token = provider.subToken())
                        telemetry.sendEvent(*token, event, phase, Telemetry::Report::object());
                },
                [&provider] {
                    provider.stopAll();
                    provider.cancelTunnelWithError(std::nullopt);
                },
                options.makePathMonitor},
               options.pollLimits),
          watchdog(clock, KavriStore::shared(), clash, telemetry, run,
                   {[this](std::stop_token stop) { return heal.poll("stall_shed", true, stop); },
                    [&provider] { return provider.subToken(); }},
                   std::chrono::seconds(20)),
          probe(clock, KavriStore::shared(), clash, telemetry, run, std::chrono::seconds(5)),
          telemetryLoop(clock, KavriStore::shared(), clash, telemetry, run, group,
                        {[&provider] { return provider.subToken(); }, [this] { return heal.currentPath(); },
                         [this] { return heal.monitoring(); }},
                        {}) {
        clash.setSecret(secret);
        telemetry.update([&](Telemetry::Fields& f) { f.clashSecret = secret; });
    }
    ~LoopParts() {
        heal.cancel(retired);
        watchdog.cancel(retired);
        probe.cancel(retired);
        telemetryLoop.cancel(retired);
        retired.clear();  // joined
    }
    static Telemetry::Settings telemetrySettings(const std::string& controllerBase) {
        Telemetry::Settings s;
        s.clashBase = controllerBase;
        return s;
    }

    ClashClient clash;
    Telemetry telemetry;
    RunState run;
    GroupTracker group;
    SelfHeal heal;
    StallWatchdog watchdog;
    MemberProbe probe;
    TelemetryLoop telemetryLoop;
    std::vector<Task> retired;
};

}  // namespace kavri::test
