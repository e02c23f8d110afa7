// The main window's idle cost while connected: the CPU time of the window's
// content shown with its clock running, against the same program with the
// window never shown, over the same window of time once both have settled
// (KAVRI_IDLE_SECONDS, default 30) in the same run. Goal: the shown window adds under 1% of one
// core (only the clock repaints, once a second).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_goal.h"

namespace {

namespace fs = std::filesystem;

// CPU seconds (user and system) that one run of the program reports for
// its settled window of time, or a negative number when it failed.
double cpuOfRun(const fs::path& program, const char* mode, int seconds) {
    const std::string command = program.string() + " " + mode + " " + std::to_string(seconds) + " 2>/dev/null";
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return -1;
    double cpu = -1;
    if (std::fscanf(out, "%lf", &cpu) != 1) cpu = -1;
    return ::pclose(out) == 0 ? cpu : -1;
}

void BM_WindowIdle(benchmark::State& state) {
    const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
    const fs::path program = build / "bench" / "kavri-window-idle";
    const char* env = std::getenv("KAVRI_IDLE_SECONDS");
    const int seconds = env ? std::max(2, std::atoi(env)) : 30;
    double shown = 0, hidden = 0;
    for (auto _ : state) {
        shown = cpuOfRun(program, "shown", seconds);
        hidden = cpuOfRun(program, "hidden", seconds);
        if (shown < 0 || hidden < 0) {
            state.SkipWithError("the window program failed");
            return;
        }
    }
    state.counters["shown_cpu_s"] = shown;
    state.counters["hidden_cpu_s"] = hidden;
    state.counters["added_core_percent"] = 100 * (shown - hidden) / seconds;
}

}  // namespace

BENCHMARK(BM_WindowIdle)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

namespace {
const bool goals = kavri::bench::BenchGoal::counterAtMost(
    "the shown main window, connected, adds under 1% of one core to the hidden one", "BM_WindowIdle",
    "added_core_percent", 1);
}  // namespace
