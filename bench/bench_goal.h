#pragma once
// What a benchmark must show, checked by `kavri_bench --check` (scripts/bench
// --check): a figure of one benchmark, divided by a figure of a baseline
// benchmark measured in the same run, must stay at or below (or at or above)
// a limit. A goal without a baseline compares the figure itself, for goals
// that are absolute by nature (a number of bytes, a count).
//
// A benchmark file states its goals next to its benchmarks:
//
//   const bool goals = BenchGoal::timeWithin(
//       "a store write within 3x a bare write, fsync and rename", "BM_StoreWrite", "BM_BareWriteFsyncRename", 3);
//
// Benchmark names are as registered, with arguments ("BM_Parse/1024") or a
// BENCHMARK_CAPTURE suffix ("BM_DurnelIdle/background").
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavri::bench {

struct BenchGoal {
    enum class Bound { atMost, atLeast };
    struct Figure {
        std::string benchmark;
        std::string counter;  // "": the real time per iteration; "cpu": the CPU time per iteration
    };
    // The figures of one run, by benchmark name: "" for the real time and
    // "cpu" for the CPU time per iteration in seconds, else the counters as
    // reported. A benchmark that
    // failed has an entry "error" only, with its message.
    struct Results {
        std::map<std::string, std::map<std::string, double>> figures;
        std::map<std::string, std::string> errors;
        // For a goal with a baseline (by its `what`): the ratio of each
        // paired round, in which the two sides ran one right after the other.
        // Their median is the goal's value: a machine's load shifts both
        // sides of a pair alike, and a disturbed round moves no median.
        std::map<std::string, std::vector<double>> pairedRatios;
    };
    enum class Verdict { met, missed, notRun };

    std::string what;
    Figure figure;
    std::optional<Figure> baseline;
    Bound bound = Bound::atMost;
    double limit = 0;

    // Registers a goal; returns true, so that a constant at namespace scope
    // can hold the registration.
    static bool add(BenchGoal goal);
    static const std::vector<BenchGoal>& all();

    // The usual shapes: a time within `times` its baseline's time (the CPU
    // time, for work that never waits, which a loaded machine skews less); a counter
    // at most or at least a limit, alone or as a ratio to a baseline's counter.
    static bool timeWithin(std::string what, std::string benchmark, std::string baseline, double times);
    static bool cpuTimeWithin(std::string what, std::string benchmark, std::string baseline, double times);
    static bool counterAtMost(std::string what, std::string benchmark, std::string counter, double limit);
    static bool counterAtLeast(std::string what, std::string benchmark, std::string counter, double limit);

    // The value compared with the limit, or nothing when a benchmark of the
    // goal did not run (filtered out, or failed: `why` says which). For a
    // goal with a baseline, the median of its paired ratios when there are
    // any, else the ratio of the two figures.
    std::optional<double> value(const Results& results, std::string* why = nullptr) const;
    // The ratio of the goal's figure to its baseline's figure in one run of
    // the two; nothing when either is missing or the baseline is not positive.
    std::optional<double> ratio(const Results& results, std::string* why = nullptr) const;
    static double median(std::vector<double> values);
    Verdict judge(const Results& results, std::string* why = nullptr) const;
};

}  // namespace kavri::bench
