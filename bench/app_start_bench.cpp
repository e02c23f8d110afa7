// The app's cold start: from starting the program to its first shown window
// (off screen), beside a bare Qt program that shows one empty window of the
// same size, in the same run. Each start gets a fresh runtime and shared
// folder, and a backend on loopback that refuses to provision. Goals: time_ratio (the
// median of the paired starts' ratios) and peak_ratio (app over bare) at most 2.
#include <benchmark/benchmark.h>

#include "bench/bench_goal.h"
#include "testing/test_control_plane.h"
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Start {
    double seconds = 0;
    double peakMB = 0;
    bool ok = false;
};

Start startOnce(const fs::path& program, const std::string& deployment) {
    char pattern[] = "/tmp/kavri-start-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    fs::create_directories(dir / "runtime");
    fs::permissions(dir / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    std::ofstream(dir / "deployment.json") << deployment;
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
        ::setenv("KAVRI_SHARED_DIR", (dir / "shared").c_str(), 1);
        ::setenv("KAVRI_DATA_DIR", (dir / "data").c_str(), 1);
        ::setenv("KAVRI_KEYCHAIN_DIR", (dir / "keychain").c_str(), 1);
        ::setenv("KAVRI_CONFIG_DIR", (dir / "config").c_str(), 1);
        ::setenv("KAVRI_DEPLOYMENT", (dir / "deployment.json").c_str(), 1);
        ::setenv("KAVRI_APPLICATIONS_DIR", (dir / "Applications").c_str(), 1);
        ::setenv("KAVRI_EXIT_WHEN_SHOWN", "1", 1);
        ::setenv("KAVRI_LOG_QUIET", "1", 1);
        ::execl(program.c_str(), program.c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Start s;
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    s.peakMB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    fs::remove_all(dir);
    return s;
}

void BM_AppColdStart(benchmark::State& state) {
    const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
    const fs::path app = build / "Kavri.app" / "Contents" / "MacOS" / "kavri";
    const fs::path bare = build / "bench" / "kavri-bare-window";
    const kavri::TestControlPlane plane;
    const std::string deployment = plane.deployment().toJson();
    double appSeconds = 0, bareSeconds = 0, appPeak = 0, barePeak = 0;
    std::vector<double> ratios;  // of each pair of starts, one right after the other
    int n = 0;
    for (auto _ : state) {
        const Start a = startOnce(app, deployment);
        const Start b = startOnce(bare, deployment);
        if (!a.ok || !b.ok) {
            state.SkipWithError("a program did not show its window");
            return;
        }
        ratios.push_back(a.seconds / b.seconds);
        appSeconds += a.seconds;
        bareSeconds += b.seconds;
        appPeak = std::max(appPeak, a.peakMB);
        barePeak = std::max(barePeak, b.peakMB);
        ++n;
    }
    if (n == 0) return;
    state.counters["app_ms"] = 1000 * appSeconds / n;
    state.counters["bare_ms"] = 1000 * bareSeconds / n;
    state.counters["time_ratio"] = kavri::bench::BenchGoal::median(ratios);
    state.counters["app_peak_MB"] = appPeak;
    state.counters["bare_peak_MB"] = barePeak;
    state.counters["peak_ratio"] = appPeak / barePeak;
}

}  // namespace

BENCHMARK(BM_AppColdStart)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace {
const bool goals = kavri::bench::BenchGoal::counterAtMost("the app's cold start within 2x a bare one-window Qt program",
                                                          "BM_AppColdStart", "time_ratio", 2) &&
                   kavri::bench::BenchGoal::counterAtMost("the app's peak memory at start within 2x the bare program's",
                                                          "BM_AppColdStart", "peak_ratio", 2);
}  // namespace
