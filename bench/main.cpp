// The benchmarks' entry: Google Benchmark's own flags, plus --check, which
// judges every goal of the run (BenchGoal) after the figures and exits with
// status 1 naming each goal missed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_goal.h"

using kavri::bench::BenchGoal;

namespace {

// The console report, and the figures it reports kept for the goals.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    // Plain lines (each benchmark's counters after its figures), coloured on a terminal.
    RecordingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            if (run.error_occurred) {
                results.errors[name] = run.error_message;
                continue;
            }
            auto& figures = results.figures[name];
            if (run.iterations > 0) {
                figures[""] = run.real_accumulated_time / static_cast<double>(run.iterations);
                figures["cpu"] = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            }
            for (const auto& [counter, value] : run.counters) figures[counter] = value.value;
        }
    }
    BenchGoal::Results results;
};

std::string describe(const BenchGoal& goal, const BenchGoal::Results& results) {
    std::string why;
    const auto value = goal.value(results, &why);
    char text[128];
    std::snprintf(text, sizeof text, "%s %g", goal.bound == BenchGoal::Bound::atMost ? "at most" : "at least",
                  goal.limit);
    std::string out = goal.what + " (" + text + "): ";
    if (!value) return out + why;
    std::snprintf(text, sizeof text, "%.4g", *value);
    return out + text;
}

}  // namespace

int main(int argc, char** argv) {
    bool check = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check") == 0)
            check = true;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::vector<std::string> missed;
    std::printf("\nGoals:\n");
    for (const BenchGoal& goal : BenchGoal::all()) {
        const auto verdict = goal.judge(reporter.results);
        const char* mark = verdict == BenchGoal::Verdict::met      ? "met    "
                           : verdict == BenchGoal::Verdict::missed ? "MISSED "
                                                                   : "not run";
        std::printf("  %s  %s\n", mark, describe(goal, reporter.results).c_str());
        if (verdict == BenchGoal::Verdict::missed) missed.push_back(goal.what);
    }
    if (!check) return 0;
    std::fflush(stdout);
    if (missed.empty()) {
        std::printf("\nEvery goal that ran was met.\n");
        return 0;
    }
    std::fprintf(stderr, "\n%zu goal(s) missed:\n", missed.size());
    for (const auto& what : missed) std::fprintf(stderr, "  %s\n", what.c_str());
    return 1;
}
