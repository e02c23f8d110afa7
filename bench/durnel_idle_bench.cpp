// The durnel program with a tunnel up and no traffic but its own heartbeats,
// with the app in the foreground (beats every 1.75-2.5 s) and in the
// background (the store's "app_state" unset, every 31.5-45 s): the share of
// one core it takes and its peak resident memory in bytes, read from /proc
// over the idle window. The engine runs inside durnel, so its memory is
// counted too; of the resident figure, about 15 MB are pages of shared
// libraries (libcrypto, libstdc++, libcurl, ...) that other processes share.
// Goal: a peak of at most 20,000,000 bytes in either state.
// KAVRI_IDLE_SECONDS shortens the window (60 s by default).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/bench_dir.h"
#include "bench/bench_goal.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "testing/child_process.h"
#include "testing/tunnel_rig.h"

using namespace kavri;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// utime + stime of a process, in clock ticks.
long long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');  // the command name may hold spaces
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return utime + stime;
}

// A line in kB of /proc/<pid>/status ("VmHWM", "RssFile") or of another
// file of that form ("smaps_rollup").
long long statusKB(pid_t pid, const std::string& key, const char* file = "status") {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
    return -1;
}

int idleSeconds() {
    if (const char* v = std::getenv("KAVRI_IDLE_SECONDS")) {
        const int n = std::atoi(v);
        if (n > 0) return n;
    }
    return 60;
}

void BM_DurnelIdle(benchmark::State& state, bool foreground) {
    const fs::path durnelPath = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tunnel" / "durnel";
    const bench::BenchDir temporary("kavri-bench-idle");
    const fs::path dir = temporary.path();
    const fs::path shared = dir / "shared";
    fs::create_directories(shared / "rules");

    TunnelRig rig;
    for (const char* tag : {"geoip-ru", "geosite-category-ru", "ru-extra"}) {
        const std::string file = std::string(tag) + ".srs";
        std::ofstream(shared / "rules" / file, std::ios::binary) << TestControlPlane::ruleFileBytes(file);
    }
    std::ofstream(dir / "deployment.json") << rig.controlPlane.deployment().toJson();
    {
        KavriStore store(shared);
        rig.prepareStore(store);
        if (foreground) store.set(KavriDefaultsKey::appState, "foreground");
    }

    const int seconds = idleSeconds();
    for (auto _ : state) {
        ChildProcess durnel(durnelPath, {},
                            {{"KAVRI_SHARED_DIR", shared.string()},
                             {"KAVRI_DEPLOYMENT", (dir / "deployment.json").string()},
                             {"KAVRI_CONTROLLER", "127.0.0.1:" + std::to_string(rig.controllerPort)}},
                            dir / "durnel.log");
        std::unique_ptr<TunnelControlClient> client;
        for (int i = 0; i < 1000 && !client; ++i) {
            try {
                client = std::make_unique<TunnelControlClient>(TunnelControlClient::socketPath(shared), 200ms);
            } catch (const TunnelControlClient::Error&) {
                std::this_thread::sleep_for(20ms);
            }
        }
        if (!client || client->start(rig.options()).status != TunnelStatus::connected) {
            state.SkipWithError("durnel did not start a tunnel");
            break;
        }
        std::this_thread::sleep_for(2s);  // the start's own work settles

        const long long before = cpuTicks(durnel.pid());
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const long long after = cpuTicks(durnel.pid());
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpuSeconds = static_cast<double>(after - before) / static_cast<double>(::sysconf(_SC_CLK_TCK));

        state.counters["cpu_pct"] = 100.0 * cpuSeconds / wall;
        constexpr double kB = 1024.0;
        state.counters["peak_rss_bytes"] = static_cast<double>(statusKB(durnel.pid(), "VmHWM")) * kB;
        state.counters["rss_bytes"] = static_cast<double>(statusKB(durnel.pid(), "VmRSS")) * kB;
        // Of the resident memory, the pages of shared libraries mapped from
        // files, and what is durnel's alone (not shared with any process).
        state.counters["file_rss_bytes"] = static_cast<double>(statusKB(durnel.pid(), "RssFile")) * kB;
        state.counters["private_bytes"] = static_cast<double>(statusKB(durnel.pid(), "Private_Clean", "smaps_rollup") +
                                                              statusKB(durnel.pid(), "Private_Dirty", "smaps_rollup")) *
                                          kB;
        state.counters["idle_s"] = wall;
        state.counters["hb_events"] = static_cast<double>(rig.events("hb").size());
        client->stop();
    }
}

}  // namespace

BENCHMARK_CAPTURE(BM_DurnelIdle, foreground, true)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DurnelIdle, background, false)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

namespace {
using bench::BenchGoal;
const bool goals = BenchGoal::counterAtMost("an idle durnel in the foreground peaks at 20,000,000 bytes or less",
                                            "BM_DurnelIdle/foreground", "peak_rss_bytes", 20'000'000) &&
                   BenchGoal::counterAtMost("an idle durnel in the background peaks at 20,000,000 bytes or less",
                                            "BM_DurnelIdle/background", "peak_rss_bytes", 20'000'000);
}  // namespace
