// Member failover: the time from the selected member's death to the group's
// switch to the next member, through the stand-in engine on loopback with
// 1 s beats, beside the bound misses × (beat interval + beat timeout) of the
// same run (goal: within 1.1× the bound).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <future>
#include <thread>

#include "core/detect_config.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "platform/network/fake_path_monitor.h"
#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tunnel/packet_tunnel_provider.h"

using namespace kavri;
using namespace std::chrono_literals;

namespace {

// The shared store of this run lives in a directory of its own, chosen
// before anything opens the store.
[[maybe_unused]] const bool sharedDirectoryChosen = [] {
    if (!getenv("KAVRI_SHARED_DIR")) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kavri-bench-hb-XXXXXX").string();
        if (mkdtemp(pattern.data())) setenv("KAVRI_SHARED_DIR", pattern.c_str(), 1);
    }
    return true;
}();

void BM_HeartbeatSwitchAfterMemberDeath(benchmark::State& state) {
    Log::setQuiet(true);
    KavriStore& store = KavriStore::shared();
    double totalMs = 0, worstMs = 0, boundMs = 0;
    for (auto _ : state) {
        TunnelRig rig;
        for (const auto& [key, value] : store.snapshot()) store.removeObject(key);
        store.set(KavriDefaultsKey::appState, "foreground");  // beats at the foreground interval
        DetectConfig::persist(nlohmann::json{{"hb_url", rig.origin.url("/generate_204")}, {"hb_interval_ms", 1000}},
                              {}, store);
        const DetectConfig cfg = DetectConfig::current(store);
        boundMs = static_cast<double>(cfg.hbMissToSwitch * (cfg.hbIntervalMs + cfg.hbTimeoutMs));

        auto config = rig.config();
        config["route"].erase("rule_set");
        config["route"].erase("rules");
        ProviderSettings settings;
        settings.controllerBase = rig.controllerBase();
        settings.makePathMonitor = [] { return std::make_unique<FakePathMonitor>(); };
        PacketTunnelProvider provider(settings);
        std::promise<std::optional<std::string>> started;
        provider.startTunnel(rig.options(config.dump()),
                             [&](std::optional<std::string> e) { started.set_value(std::move(e)); });
        if (started.get_future().get()) {
            state.SkipWithError("the engine did not start");
            break;
        }
        std::this_thread::sleep_for(1500ms);  // a beat or two on the healthy member

        const auto died = std::chrono::steady_clock::now();
        rig.m1.stop();
        while (provider.currentActiveMember() != "m2" && std::chrono::steady_clock::now() - died < 30s)
            std::this_thread::sleep_for(1ms);
        const double switchMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - died).count();
        if (provider.currentActiveMember() != "m2") {
            state.SkipWithError("no switch within 30 s");
            break;
        }
        state.SetIterationTime(switchMs / 1000.0);
        totalMs += switchMs;
        worstMs = std::max(worstMs, switchMs);
        provider.stopAll();
    }
    if (state.iterations() == 0 || boundMs == 0) return;
    state.counters["switch_ms_mean"] = totalMs / static_cast<double>(state.iterations());
    state.counters["switch_ms_worst"] = worstMs;
    state.counters["bound_ms"] = boundMs;
    state.counters["worst_to_bound"] = worstMs / boundMs;
}
BENCHMARK(BM_HeartbeatSwitchAfterMemberDeath)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
