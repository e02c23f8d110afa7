// The VPN manager's connect() until it shows connected, against a running
// durnel, beside a bare start request over durnel's socket in the same run
// (goal: connect() within 1.3x the bare start). Each iteration stops the
// tunnel again outside the timing.
#include <benchmark/benchmark.h>

#include "bench/bench_goal.h"
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "app/runtime/manual_executor.h"
#include "app/vpn_manager/vpn_manager.h"
#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "testing/child_process.h"
#include "testing/tunnel_rig.h"

using namespace kavri;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// One rig and one durnel for both benchmarks.
struct ConnectRig {
    fs::path dir;
    fs::path shared;
    TunnelRig rig;
    std::unique_ptr<ChildProcess> durnel;
    std::unique_ptr<TunnelControlClient> client;

    ConnectRig() {
        char pattern[] = "/tmp/kavri-connect-XXXXXX";
        dir = ::mkdtemp(pattern);
        shared = dir / "shared";
        fs::create_directories(shared / "rules");
        for (const char* tag : {"geoip-ru", "geosite-category-ru", "ru-extra"}) {
            const std::string file = std::string(tag) + ".srs";
            std::ofstream(shared / "rules" / file, std::ios::binary) << TestControlPlane::ruleFileBytes(file);
        }
        std::ofstream(dir / "deployment.json") << rig.controlPlane.deployment().toJson();
        KavriStore store(shared);
        rig.prepareStore(store);
        store.set(KavriDefaultsKey::cachedSingboxConfig, Data{rig.config().dump()});
        durnel = std::make_unique<ChildProcess>(
            fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tunnel" / "durnel",
            std::vector<std::string>{},
            std::map<std::string, std::string>{{"KAVRI_SHARED_DIR", shared.string()},
                                               {"KAVRI_DEPLOYMENT", (dir / "deployment.json").string()},
                                               {"KAVRI_CONTROLLER", "127.0.0.1:" + std::to_string(rig.controllerPort)},
                                               {"KAVRI_LOG_QUIET", "1"}},
            dir / "durnel.log");
        for (int i = 0; i < 1000 && !client; ++i) {
            try {
                client = std::make_unique<TunnelControlClient>(TunnelControlClient::socketPath(shared), 200ms);
            } catch (const TunnelControlClient::Error&) {
                std::this_thread::sleep_for(20ms);
            }
        }
    }
    ~ConnectRig() {
        client.reset();
        durnel.reset();
        fs::remove_all(dir);
    }

    static ConnectRig& get() {
        static ConnectRig rig;
        return rig;
    }
};

void BM_TunnelStartBare(benchmark::State& state) {
    ConnectRig& r = ConnectRig::get();
    if (!r.client) return state.SkipWithError("durnel did not serve its socket");
    const TunnelOptions options = r.rig.options();
    for (auto _ : state) {
        if (r.client->start(options).status != TunnelStatus::connected) return state.SkipWithError("no tunnel");
        state.PauseTiming();
        r.client->stop();
        state.ResumeTiming();
    }
}

void BM_VPNManagerConnect(benchmark::State& state) {
    ConnectRig& r = ConnectRig::get();
    if (!r.client) return state.SkipWithError("durnel did not serve its socket");
    ManualExecutor main;
    KavriStore store(r.shared);
    VPNManager::Deps deps;
    deps.tunnel.sharedDirectory = r.shared;
    deps.tunnel.preferencesDirectory = r.dir / "config";
    deps.store = &store;
    deps.deviceID = [&] { return r.rig.device; };
    VPNManager vpn(main, std::move(deps));
    main.runUntil([&] { return !vpn.loading(); });
    auto offMain = [&](auto work) {
        auto done = std::async(std::launch::async, work);
        main.runUntil([&] { return done.wait_for(0s) == std::future_status::ready; }, 60s);
        done.get();
    };
    offMain([&] { vpn.saveConfiguration(r.rig.config().dump()); });
    using Kind = VPNManager::Status::Kind;
    for (auto _ : state) {
        vpn.connect();  // on the main thread: its steps there run at once
        if (!main.runUntil([&] { return vpn.status->kind == Kind::connected; }, 60s))
            return state.SkipWithError("no tunnel");
        state.PauseTiming();
        offMain([&] { vpn.disconnect(); });
        main.runUntil([&] { return vpn.status->kind == Kind::disconnected; }, 60s);
        state.ResumeTiming();
    }
}

}  // namespace

BENCHMARK(BM_TunnelStartBare)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_VPNManagerConnect)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

namespace {
const bool goals = kavri::bench::BenchGoal::timeWithin("connect() to connected within 1.3x a bare start request",
                                                       "BM_VPNManagerConnect", "BM_TunnelStartBare", 1.3);
}  // namespace
