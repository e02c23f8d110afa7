// The threads of durnel's tunnel host (the host and a provider per run, as
// durnel's entry makes them) with a connected run whose control plane is
// blackholed: its one host takes connections (the kernel does) and never
// answers, so every report and poll hangs until its own time limit. The app
// is in the foreground (a beat every 1.75-2.5 s); an injected clock runs five
// minutes of beats in a few seconds while the hanging requests wait in real
// time, which is harder on the run than the real pace. The peak number of
// threads the run adds to the process is sampled from /proc/self/task.
// Goal: a peak of at most 40 threads.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "bench/bench_dir.h"
#include "bench/bench_goal.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "platform/ne/tunnel_host.h"
#include "platform/network/fake_path_monitor.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tunnel/packet_tunnel_provider.h"

using namespace kavri;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The shared store of this run lives in a folder of its own, chosen before
// anything opens the store (unless another benchmark chose one first).
const bench::BenchDir& sharedDirectory() {
    static const bench::BenchDir dir("kavri-bench-threads");
    return dir;
}
[[maybe_unused]] const bool sharedDirectoryChosen = [] {
    if (!getenv("KAVRI_SHARED_DIR")) setenv("KAVRI_SHARED_DIR", sharedDirectory().path().c_str(), 1);
    return true;
}();

// A loopback port whose connections the kernel completes and nobody reads.
class Blackhole {
public:
    Blackhole() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4096) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            port_ = 0;
        else
            port_ = ntohs(a.sin_port);
    }
    ~Blackhole() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

std::size_t threadCount() {
    std::error_code ec;
    std::size_t n = 0;
    for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}

void BM_DurnelThreadsBlackholed(benchmark::State& state) {
    Log::setQuiet(true);
    KavriStore& store = KavriStore::shared();
    const bench::BenchDir hostDir("kavri-bench-threads-host");
    for (auto _ : state) {
        TunnelRig rig;
        Blackhole blackhole;
        Deployment deployment = rig.controlPlane.deployment();
        deployment.hosts = {{"127.0.0.1:" + std::to_string(blackhole.port()), {}}};
        deployment.apiBaseURL = "https://127.0.0.1:" + std::to_string(blackhole.port());
        Deployment::install(deployment);
        for (const auto& [key, value] : store.snapshot()) store.removeObject(key);
        rig.prepareStore(store);
        store.set(KavriDefaultsKey::appState, "foreground");

        FakeClock clock;
        ProviderSettings settings;
        settings.clock = &clock;
        settings.controllerBase = rig.controllerBase();
        settings.makePathMonitor = [] { return std::make_unique<FakePathMonitor>(); };
        auto config = rig.config();
        config["route"].erase("rule_set");
        config["route"].erase("rules");

        // Sampled from before the host exists (the sampler's own thread counted).
        std::atomic<bool> sampling{true};
        std::atomic<std::size_t> peak{0};
        std::atomic<std::size_t> before{0};
        std::jthread sampler([&] {
            before = threadCount();
            while (sampling) {
                const std::size_t n = threadCount();
                if (n > peak) peak = n;
                std::this_thread::sleep_for(2ms);
            }
        });
        while (before == 0) std::this_thread::sleep_for(1ms);

        TunnelHostConfig hostConfig;
        hostConfig.directory = hostDir.path();
        hostConfig.wake.interval = 1h;
        TunnelHost host([settings] { return std::make_unique<PacketTunnelProvider>(settings); }, hostConfig, clock);
        TunnelControlClient client(TunnelControlClient::socketPath(hostDir.path()));
        if (client.start(rig.options(config.dump()), 30s).status != TunnelStatus::connected) {
            state.SkipWithError("the tunnel did not connect");
            break;
        }
        // Five minutes of the run, a heartbeat tick at a time, each given a
        // moment of real time for its work.
        const ProviderSettings defaults;
        for (auto run = 0ms; run < 5min; run += defaults.heartbeatTick) {
            clock.advance(defaults.heartbeatTick);
            std::this_thread::sleep_for(3ms);
        }
        const std::size_t beats = rig.origin.hits("/generate_204");
        auto stopping = std::async(std::launch::async, [&] { return client.stop(ProviderStopReason::userInitiated, 60s); });
        while (stopping.wait_for(5ms) != std::future_status::ready) clock.advance(100ms);  // the stop report's limit
        const bool stopped = stopping.get().status == TunnelStatus::disconnected;
        sampling = false;
        sampler.join();
        if (!stopped) {
            state.SkipWithError("the tunnel did not stop");
            break;
        }
        state.counters["peak_threads"] = static_cast<double>(peak - before);
        state.counters["threads_before"] = static_cast<double>(before);
        state.counters["beats"] = static_cast<double>(beats);
    }
}

}  // namespace

BENCHMARK(BM_DurnelThreadsBlackholed)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

namespace {
using bench::BenchGoal;
const bool goals = BenchGoal::counterAtMost(
    "a connected durnel with a blackholed control plane peaks at 40 threads or fewer over 5 minutes of beats",
    "BM_DurnelThreadsBlackholed", "peak_threads", 40);
}  // namespace
