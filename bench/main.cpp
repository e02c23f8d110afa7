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

// Keeps the figures of a run's benchmarks for the goals.
void record(const std::vector<benchmark::BenchmarkReporter::Run>& runs, BenchGoal::Results& results) {
    using Run = benchmark::BenchmarkReporter::Run;
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

// The console report, and the figures it reports kept for the goals.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    // Plain lines (each benchmark's counters after its figures), coloured on a terminal.
    RecordingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        record(runs, results);
    }
    BenchGoal::Results results;
};

// The figures of the paired rounds, kept without a report.
class QuietReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override { record(runs, results); }
    BenchGoal::Results results;
};

// Paired rounds of each goal with a baseline whose two sides ran without
// error in the main run.
constexpr int pairedRounds = 7;

// The filter that selects the benchmark `name` (a run's full name may go on
// with its settings: "/real_time", "/min_time:2.000", ...).
std::string only(const std::string& name) {
    std::string pattern = "^";
    for (char c : name) {
        if (std::strchr("\\^$.|?*+()[]{}", c)) pattern += '\\';
        pattern += c;
    }
    return pattern + "(/|$)";
}

// Runs the two sides of each such goal one right after the other, in
// alternating order, `pairedRounds` times, and keeps the ratio of each round.
void runPairedRounds(BenchGoal::Results& results) {
    for (const BenchGoal& goal : BenchGoal::all()) {
        if (!goal.baseline || !goal.ratio(results)) continue;
        std::printf("Paired rounds: %s vs %s ...", goal.figure.benchmark.c_str(), goal.baseline->benchmark.c_str());
        std::fflush(stdout);
        auto& ratios = results.pairedRatios[goal.what];
        for (int round = 0; round < pairedRounds; ++round) {
            QuietReporter quiet;
            const bool baselineFirst = round % 2 == 1;
            for (int side = 0; side < 2; ++side) {
                const BenchGoal::Figure& f = (side == 0) != baselineFirst ? goal.figure : *goal.baseline;
                benchmark::RunSpecifiedBenchmarks(&quiet, only(f.benchmark));
            }
            std::string why;
            const auto ratio = goal.ratio(quiet.results, &why);
            if (!ratio) {
                // A side failed this time: the goal is judged on that failure.
                results.errors.merge(quiet.results.errors);
                if (!results.errors.contains(goal.figure.benchmark) &&
                    !results.errors.contains(goal.baseline->benchmark))
                    results.errors[goal.figure.benchmark] = "a paired round measured nothing: " + why;
                ratios.clear();
                break;
            }
            ratios.push_back(*ratio);
            std::printf(" %.3g", *ratio);
            std::fflush(stdout);
        }
        std::printf("\n");
    }
}

std::string describe(const BenchGoal& goal, const BenchGoal::Results& results) {
    std::string why;
    const auto value = goal.value(results, &why);
    char text[128];
    std::snprintf(text, sizeof text, "%s %g", goal.bound == BenchGoal::Bound::atMost ? "at most" : "at least",
                  goal.limit);
    std::string out = goal.what + " (" + text + "): ";
    if (!value) return out + why;
    std::snprintf(text, sizeof text, "%.4g", *value);
    out += text;
    if (const auto paired = results.pairedRatios.find(goal.what); paired != results.pairedRatios.end()) {
        std::snprintf(text, sizeof text, " (median of %zu paired rounds)", paired->second.size());
        out += text;
    }
    return out;
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
    std::printf("\n");
    runPairedRounds(reporter.results);
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
