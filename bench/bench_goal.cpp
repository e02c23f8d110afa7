#include "bench/bench_goal.h"

#include <algorithm>

namespace kavri::bench {
namespace {

std::vector<BenchGoal>& registry() {
    static std::vector<BenchGoal> goals;
    return goals;
}

std::optional<double> figureOf(const BenchGoal::Figure& f, const BenchGoal::Results& results, std::string* why) {
    if (auto e = results.errors.find(f.benchmark); e != results.errors.end()) {
        if (why) *why = f.benchmark + " failed: " + e->second;
        return std::nullopt;
    }
    const auto run = results.figures.find(f.benchmark);
    if (run == results.figures.end()) {
        if (why) *why = f.benchmark + " did not run";
        return std::nullopt;
    }
    const auto value = run->second.find(f.counter);
    if (value == run->second.end()) {
        if (why) *why = f.benchmark + " reported no " + (f.counter.empty() ? "time" : f.counter);
        return std::nullopt;
    }
    return value->second;
}

}  // namespace

bool BenchGoal::add(BenchGoal goal) {
    registry().push_back(std::move(goal));
    return true;
}

const std::vector<BenchGoal>& BenchGoal::all() { return registry(); }

bool BenchGoal::timeWithin(std::string what, std::string benchmark, std::string baseline, double times) {
    return add({std::move(what), {std::move(benchmark), ""}, Figure{std::move(baseline), ""}, Bound::atMost, times});
}

bool BenchGoal::cpuTimeWithin(std::string what, std::string benchmark, std::string baseline, double times) {
    return add({std::move(what), {std::move(benchmark), "cpu"}, Figure{std::move(baseline), "cpu"}, Bound::atMost, times});
}

bool BenchGoal::counterAtMost(std::string what, std::string benchmark, std::string counter, double limit) {
    return add({std::move(what), {std::move(benchmark), std::move(counter)}, std::nullopt, Bound::atMost, limit});
}

bool BenchGoal::counterAtLeast(std::string what, std::string benchmark, std::string counter, double limit) {
    return add({std::move(what), {std::move(benchmark), std::move(counter)}, std::nullopt, Bound::atLeast, limit});
}

std::optional<double> BenchGoal::value(const Results& results, std::string* why) const {
    if (!baseline) return figureOf(figure, results, why);
    const auto once = ratio(results, why);
    if (!once) return std::nullopt;
    const auto paired = results.pairedRatios.find(what);
    if (paired == results.pairedRatios.end() || paired->second.empty()) return once;
    return median(paired->second);
}

double BenchGoal::median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::optional<double> BenchGoal::ratio(const Results& results, std::string* why) const {
    const auto measured = figureOf(figure, results, why);
    if (!measured || !baseline) return std::nullopt;
    const auto base = figureOf(*baseline, results, why);
    if (!base) return std::nullopt;
    if (*base <= 0) {
        if (why) *why = baseline->benchmark + " measured nothing";
        return std::nullopt;
    }
    return *measured / *base;
}

BenchGoal::Verdict BenchGoal::judge(const Results& results, std::string* why) const {
    const auto v = value(results, why);
    if (!v) {
        // Not run when a benchmark of the goal is absent altogether (left out
        // by a filter); a benchmark that failed or lacks the figure misses.
        auto absent = [&](const Figure& f) {
            return !results.figures.contains(f.benchmark) && !results.errors.contains(f.benchmark);
        };
        return absent(figure) || (baseline && absent(*baseline)) ? Verdict::notRun : Verdict::missed;
    }
    return (bound == Bound::atMost ? *v <= limit : *v >= limit) ? Verdict::met : Verdict::missed;
}

}  // namespace kavri::bench
