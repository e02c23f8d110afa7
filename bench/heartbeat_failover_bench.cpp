// Member failover: the time from the moment the selected member stops
// answering (it takes requests and sends nothing back, so beats time out) to
// the group's switch to the next member, through the stand-in engine on
// loopback. The member stops at a random moment between two beats; with the
// app in the foreground, and with the store's "app_state" unset (the
// background timings, as the app leaves them). Each is held to its own bound
// from the detection settings in force: misses to switch x (beat interval +
// beat timeout), with the background interval at its least allowed value to
// keep the run short. Goal: the worst switch of each within its bound.
#include <benchmark/benchmark.h>

#include <future>
#include <random>
#include <thread>

#include "bench/bench_dir.h"
#include "bench/bench_goal.h"
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

// The shared store of this run lives in a folder of its own, chosen before
// anything opens the store and removed at the end.
const bench::BenchDir& sharedDirectory() {
    static const bench::BenchDir dir("kavri-bench-failover");
    return dir;
}
[[maybe_unused]] const bool sharedDirectoryChosen = [] {
    if (!getenv("KAVRI_SHARED_DIR")) setenv("KAVRI_SHARED_DIR", sharedDirectory().path().c_str(), 1);
    return true;
}();

template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void BM_HeartbeatFailover(benchmark::State& state, bool foreground) {
    Log::setQuiet(true);
    KavriStore& store = KavriStore::shared();
    std::mt19937 random{std::random_device{}()};
    double totalMs = 0, worstMs = 0, boundMs = 0;
    for (auto _ : state) {
        TunnelRig rig;
        for (const auto& [key, value] : store.snapshot()) store.removeObject(key);
        if (foreground) store.set(KavriDefaultsKey::appState, "foreground");
        DetectConfig::persist(nlohmann::json{{"hb_url", rig.origin.url("/generate_204")}, {"hb_interval_bg_ms", 5000}},
                              {}, store);
        const DetectConfig cfg = DetectConfig::current(store);
        const std::int64_t intervalMs = foreground ? cfg.hbIntervalMs : cfg.hbIntervalBgMs;
        boundMs = static_cast<double>(cfg.hbMissToSwitch * (intervalMs + cfg.hbTimeoutMs));

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
        // A good beat on the first member, then a random moment before the
        // next one (beats come 0.7 to 1.0 intervals apart).
        if (!waitUntil([&] { return !rig.events("hb").empty(); }, std::chrono::milliseconds(3 * intervalMs))) {
            state.SkipWithError("no beat on the healthy member");
            break;
        }
        std::uniform_int_distribution<std::int64_t> phase(0, intervalMs * 7 / 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));

        const auto stopped = std::chrono::steady_clock::now();
        rig.m1.setStalled(true);
        // The engine's group, as the heartbeat left it.
        ClashClient controller(ClashClientSettings{rig.controllerBase() + "/"});
        controller.setSecret(rig.secret);
        const bool switched = waitUntil(
            [&] {
                const auto group = controller.groupState();
                return group && group->now == "m2";
            },
            std::chrono::milliseconds(static_cast<std::int64_t>(3 * boundMs)));
        const double switchMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopped).count();
        provider.stopAll();
        rig.m1.setStalled(false);
        if (!switched) {
            state.SkipWithError("no switch within three times the bound");
            break;
        }
        state.SetIterationTime(switchMs / 1000.0);
        totalMs += switchMs;
        worstMs = std::max(worstMs, switchMs);
    }
    if (state.iterations() == 0 || boundMs == 0) return;
    state.counters["switch_ms_mean"] = totalMs / static_cast<double>(state.iterations());
    state.counters["switch_ms_worst"] = worstMs;
    state.counters["bound_ms"] = boundMs;
    state.counters["worst_to_bound"] = worstMs / boundMs;
}

}  // namespace

BENCHMARK_CAPTURE(BM_HeartbeatFailover, foreground, true)
    ->UseManualTime()
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HeartbeatFailover, background, false)
    ->UseManualTime()
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);

namespace {
using bench::BenchGoal;
const bool goals = BenchGoal::counterAtMost("failover in the foreground within its bound",
                                            "BM_HeartbeatFailover/foreground", "worst_to_bound", 1.0) &&
                   BenchGoal::counterAtMost("failover in the background within its bound",
                                            "BM_HeartbeatFailover/background", "worst_to_bound", 1.0);
}  // namespace
