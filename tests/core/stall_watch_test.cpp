#include "core/stall_watch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>

#include "core/kavri_store.h"
#include "tests/support/temp_dir.h"

namespace kavri {

void PrintTo(const StallWatch::Decision& d, std::ostream* os) {
    switch (d.kind) {
        case StallWatch::Decision::Kind::nothing: *os << "nothing"; return;
        case StallWatch::Decision::Kind::rebuild:
            *os << "rebuild(" << d.stallMs << ", " << d.streams << ", " << d.newConns << ", #" << d.index << ")";
            return;
        case StallWatch::Decision::Kind::switchCandidate:
            *os << "switchCandidate(" << d.stallMs << ", " << d.streams << ", " << d.newConns << ")";
            return;
    }
}

}  // namespace kavri

using namespace kavri;
using Decision = StallWatch::Decision;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

const Date T0 = Date(seconds(1'800'000'000));

Date at(double sec) { return T0 + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(sec)); }

StallWatch::Config enabledDefaults() {
    StallWatch::Config c;
    c.enabled = true;
    return c;
}

// ---------------------------------------------------------------- parsing

struct ParseCase {
    const char* json;
    std::function<void(StallWatch::Config&)> expected;  // applied to the defaults
};

const std::vector<ParseCase> kParseCases = {
    {"null", {}},
    {"[1, 2]", {}},
    {"\"enabled\"", {}},
    {"{}", {}},
    {"{\"enabled\": true}", [](auto& c) { c.enabled = true; }},
    {"{\"enabled\": 1}", {}},
    {"{\"enabled\": \"true\"}", {}},
    {"{\"version\": -7}", [](auto& c) { c.version = -7; }},
    {"{\"stall_seconds\": 1}", [](auto& c) { c.stallSeconds = 3; }},
    {"{\"stall_seconds\": 500}", [](auto& c) { c.stallSeconds = 120; }},
    {"{\"stall_seconds\": 10.0}", [](auto& c) { c.stallSeconds = 10; }},
    {"{\"stall_seconds\": 10.5}", {}},
    {"{\"stall_seconds\": \"10\"}", {}},
    {"{\"stall_seconds\": true}", {}},
    {"{\"stall_seconds\": 1e30}", {}},
    {"{\"stall_seconds_bg\": 1000}", [](auto& c) { c.stallSecondsBg = 300; }},
    {"{\"poll_ms\": 100}", [](auto& c) { c.pollMs = 500; }},
    {"{\"poll_ms\": 750.5}", {}},
    {"{\"path_change_grace_ms\": -5}", [](auto& c) { c.pathChangeGraceMs = 0; }},
    {"{\"switch_min_interval_sec\": 10}", [](auto& c) { c.switchMinIntervalSec = 30; }},
    {"{\"quiet_after_switch_sec\": 9999}", [](auto& c) { c.quietAfterSwitchSec = 600; }},
    {"{\"max_rebuilds_per_min\": 0}", [](auto& c) { c.maxRebuildsPerMin = 1; }},
    {"{\"rebuilds_before_switch\": 50}", [](auto& c) { c.rebuildsBeforeSwitch = 10; }},
    {"{\"min_new_conns\": 0}", [](auto& c) { c.minNewConns = 1; }},
    {"{\"cooldown_ladder_sec\": [0, -3]}", {}},
    {"{\"cooldown_ladder_sec\": []}", {}},
    {"{\"cooldown_ladder_sec\": [10, 0, 20]}", [](auto& c) { c.cooldownLadderSec = {10, 20}; }},
    {"{\"cooldown_ladder_sec\": [90000, 7.0, 2]}", [](auto& c) { c.cooldownLadderSec = {90000, 7, 2}; }},
    {"{\"cooldown_ladder_sec\": \"5,15\"}", {}},
    {"{\"cooldown_ladder_sec\": [10, \"20\"]}", {}},
    {"{\"member_probe_sec\": 7, \"unknown\": {}}", {}},
    {R"({"enabled": true, "version": 4, "stall_seconds": 5, "stall_seconds_bg": 9, "min_new_conns": 2,
         "path_change_grace_ms": 0, "max_rebuilds_per_min": 20, "cooldown_ladder_sec": [1],
         "poll_ms": 30000, "rebuilds_before_switch": 1, "switch_min_interval_sec": 3600,
         "quiet_after_switch_sec": 5})",
     [](auto& c) {
         c = {true, 4, 5, 9, 2, 0, 20, {1}, 30000, 1, 3600, 5};
     }},
};

TEST(StallWatchConfig, ParsesWithDefaultsAndLimitsFromJsonAndPropertyLists) {
    for (const auto& row : kParseCases) {
        SCOPED_TRACE(row.json);
        StallWatch::Config expected;
        if (row.expected) row.expected(expected);
        const auto json = nlohmann::json::parse(row.json);
        EXPECT_EQ(StallWatch::Config::parseJson(json), expected);
        // The stored form is the same object as a property list.
        const std::optional<PlistValue> plist =
            json.is_null() ? std::nullopt : std::optional<PlistValue>(PlistValue::fromJson(json));
        EXPECT_EQ(StallWatch::Config::parse(plist), expected);
    }
    // Invariants the decision relies on.
    EXPECT_EQ(StallWatch::Config{}.cooldownLadderSec, (std::vector<std::int64_t>{5, 15, 30}));
    EXPECT_FALSE(StallWatch::Config{}.enabled);
}

TEST(StallWatchConfig, ReadsTheStoredDictionary) {
    test::TempDir dir;
    KavriStore store(dir.path());
    EXPECT_EQ(StallWatch::Config::stored(store), StallWatch::Config{});

    store.set("stall_watch_raw", PlistValue(PlistValue::Dict{{"enabled", true},
                                                             {"stall_seconds", std::int64_t(2)},
                                                             {"poll_ms", 1500.0},
                                                             {"cooldown_ladder_sec", PlistValue::Array{4, 8}}}));
    StallWatch::Config expected;
    expected.enabled = true;
    expected.stallSeconds = 3;
    expected.pollMs = 1500;
    expected.cooldownLadderSec = {4, 8};
    EXPECT_EQ(StallWatch::Config::stored(store), expected);

    store.set("stall_watch_raw", PlistValue("enabled"));
    EXPECT_EQ(StallWatch::Config::stored(store), StallWatch::Config{});
}

// ---------------------------------------------------------------- sequences

// One row of a recorded run: samples come every 2 s with one open connection
// that is new each time; downloads stand still except where a row sets them.
// A sample without a row must give nothing.
struct Row {
    int t;
    std::optional<std::int64_t> downBytes = std::nullopt;
    Decision expect = Decision::nothing();
    bool switched = false;                // the backend confirmed the switch
    std::optional<int> cooldownUntil = std::nullopt;  // seconds after T0
};

void runSequence(const StallWatch::Config& config, const std::vector<Row>& rows) {
    StallWatch::State state;
    std::int64_t bytes = 0;
    const Date lastPathChange = at(-10);
    size_t next = 0;
    for (int t = 0; t <= rows.back().t; t += 2) {
        SCOPED_TRACE("t=" + std::to_string(t));
        const Row* row = next < rows.size() && rows[next].t == t ? &rows[next++] : nullptr;
        if (row && row->downBytes) bytes = *row->downBytes;
        StallWatch::Snapshot s{bytes, 1000 + t, 1, {"c" + std::to_string(t)}};
        StallWatch::relaxLadder(state, at(t));
        const Decision d = StallWatch::decide(config, state, s, at(t), true, lastPathChange);
        EXPECT_EQ(d, row ? row->expect : Decision::nothing());
        if (row && row->switched) StallWatch::noteSwitched(config, state, at(t));
        if (row && row->cooldownUntil) {
            EXPECT_EQ(state.cooldownUntil, at(*row->cooldownUntil));
        }
    }
    ASSERT_EQ(next, rows.size()) << "rows must be at even seconds, in order";
}

TEST(StallWatchDecide, RebuildsTwiceThenAsksForASwitchThenKeepsQuiet) {
    runSequence(enabledDefaults(),
                {
                    {0, 100},  // first sample only records
                    {8, {}, Decision::rebuild(8000, 1, 4, 1)},
                    {16, {}, Decision::rebuild(8000, 1, 8, 2)},  // new connections add up
                    {24, {}, Decision::switchCandidate(8000, 1, 12)},
                    {26, {}, Decision::switchCandidate(10000, 1, 13), true},
                    // 60 s of quiet; then the silence since the switch counts.
                    {86, {}, Decision::rebuild(60000, 1, 30, 1)},
                    {94, {}, Decision::rebuild(8000, 1, 34, 2)},
                    // The last switch was 76 s ago: no new switch for now.
                    {102, {}},
                });
}

TEST(StallWatchDecide, PerMinuteLimitStartsTheCooldownLadder) {
    runSequence(enabledDefaults(),
                {
                    {0, 100},
                    {8, {}, Decision::rebuild(8000, 1, 4, 1)},
                    {10, 200},  // downloads move: the index starts again, the window does not
                    {18, {}, Decision::rebuild(8000, 1, 4, 1)},
                    {20, 300},
                    {28, {}, Decision::rebuild(8000, 1, 4, 1)},
                    {30, 400},
                    {38, {}, Decision::nothing(), false, 43},  // three rebuilds in the window
                    {44, {}, Decision::nothing(), false, 59},
                    {60, {}, Decision::nothing(), false, 90},
                    // The window has emptied: rebuilds are allowed again.
                    {90, {}, Decision::rebuild(60000, 1, 30, 1)},
                    {92, 500},
                    {100, {}, Decision::rebuild(8000, 1, 4, 1)},
                    {102, 600},
                    {110, {}, Decision::rebuild(8000, 1, 4, 1)},
                    {112, 700},
                    {120, {}, Decision::nothing(), false, 150},  // fourth cooldown: 30 s again
                });
}

// ---------------------------------------------------------------- single verdicts

// After a first sample at T0 (downloads 100, nothing open), the state is
// prepared and one sample is judged.
struct VerdictCase {
    const char* name;
    double atSec = 8;
    std::int64_t downBytes = 100;
    int openStreams = 1;
    int newIDs = 1;
    bool foreground = true;
    double pathChangeAgoSec = 3600;
    Decision expect = Decision::nothing();
    std::function<void(StallWatch::Config&)> config = {};
    std::function<void(StallWatch::State&)> prepare = {};
    std::function<void(const StallWatch::State&, Date now)> check = {};
};

const std::vector<VerdictCase> kVerdictCases = {
    {.name = "silence of exactly the threshold", .expect = Decision::rebuild(8000, 1, 1, 1)},
    {.name = "silence just short of the threshold", .atSec = 7.999},
    {.name = "stallMs is truncated", .atSec = 8.0019, .expect = Decision::rebuild(8001, 1, 1, 1)},
    {.name = "no open connection", .openStreams = 0},
    {.name = "fewer new connections than required", .newIDs = 2, .config = [](auto& c) { c.minNewConns = 3; }},
    {.name = "enough new connections", .newIDs = 3, .expect = Decision::rebuild(8000, 1, 3, 1),
     .config = [](auto& c) { c.minNewConns = 3; }},
    {.name = "network change 4 s ago", .pathChangeAgoSec = 4},
    {.name = "network change exactly at the grace", .pathChangeAgoSec = 5},
    {.name = "network change just past the grace", .pathChangeAgoSec = 5.001,
     .expect = Decision::rebuild(8000, 1, 1, 1)},
    {.name = "network change in the future", .pathChangeAgoSec = -30},
    {.name = "background threshold", .foreground = false},
    {.name = "background threshold reached", .atSec = 16, .foreground = false,
     .expect = Decision::rebuild(16000, 1, 1, 1)},
    {.name = "disabled", .config = [](auto& c) { c.enabled = false; },
     .check = [](const auto& s, Date now) {
         EXPECT_EQ(s.lastChangeAt, now);
         EXPECT_EQ(s.seenIDs.size(), 1u);
     }},
    {.name = "downloads moved: silence counters reset, cooldown kept", .downBytes = 200,
     .prepare = [](auto& s) {
         s.rebuildsSinceBytes = 1;
         s.newConnsInWindow = 5;
         s.rebuildsAt = {at(1)};
         s.cooldownUntil = at(5);
         s.ladderStep = 1;
     },
     .check = [](const auto& s, Date now) {
         EXPECT_EQ(s.lastBytes, 200);
         EXPECT_EQ(s.lastChangeAt, now);
         EXPECT_EQ(s.newConnsInWindow, 0);
         EXPECT_EQ(s.rebuildsSinceBytes, 0);
         EXPECT_EQ(s.rebuildsAt.size(), 1u);
         EXPECT_EQ(s.cooldownUntil, at(5));
         EXPECT_EQ(s.ladderStep, 1);
     }},
    {.name = "quiet time after a switch", .prepare = [](auto& s) { s.quietUntil = at(8.5); }},
    {.name = "cooldown running", .prepare = [](auto& s) { s.cooldownUntil = at(8.5); }},
    {.name = "rebuilds spent, last switch 100 s ago",
     .prepare = [](auto& s) {
         s.rebuildsSinceBytes = 2;
         s.lastSwitchAt = at(8 - 100);
     },
     .check = [](const auto& s, Date) { EXPECT_TRUE(s.rebuildsAt.empty()); }},
    {.name = "rebuilds spent, last switch 600 s ago", .expect = Decision::switchCandidate(8000, 1, 1),
     .prepare = [](auto& s) {
         s.rebuildsSinceBytes = 2;
         s.lastSwitchAt = at(8 - 600);
     },
     .check = [](const auto& s, Date) {
         EXPECT_EQ(s.rebuildsSinceBytes, 2);
         EXPECT_EQ(s.lastSwitchAt, at(8 - 600));
     }},
    {.name = "a rebuild exactly 60 s old still counts",
     .prepare = [](auto& s) { s.rebuildsAt = {at(8 - 60), at(1), at(2)}; },
     .check = [](const auto& s, Date) {
         EXPECT_EQ(s.cooldownUntil, at(13));
         EXPECT_EQ(s.ladderStep, 1);
     }},
    {.name = "a rebuild older than 60 s does not", .expect = Decision::rebuild(8000, 1, 1, 1),
     .prepare = [](auto& s) { s.rebuildsAt = {at(8 - 60.001), at(1), at(2)}; },
     .check = [](const auto& s, Date) { EXPECT_EQ(s.rebuildsAt, (std::vector<Date>{at(1), at(2), at(8)})); }},
    {.name = "the ladder stays on its last entry",
     .prepare = [](auto& s) {
         s.rebuildsAt = {at(1), at(2), at(3)};
         s.ladderStep = 2;
     },
     .check = [](const auto& s, Date) {
         EXPECT_EQ(s.cooldownUntil, at(38));
         EXPECT_EQ(s.ladderStep, 2);
     }},
    {.name = "an empty hand-made ladder falls back to the default",
     .config = [](auto& c) { c.cooldownLadderSec.clear(); },
     .prepare = [](auto& s) { s.rebuildsAt = {at(1), at(2), at(3)}; },
     .check = [](const auto& s, Date) {
         EXPECT_EQ(s.cooldownUntil, at(13));
         EXPECT_EQ(s.ladderStep, 1);
     }},
    {.name = "a huge cooldown does not wrap around",
     .config = [](auto& c) { c.cooldownLadderSec = {INT64_MAX}; },
     .prepare = [](auto& s) { s.rebuildsAt = {at(1), at(2), at(3)}; },
     .check = [](const auto& s, Date now) { EXPECT_GT(s.cooldownUntil, now + std::chrono::hours(24 * 365 * 100)); }},
};

TEST(StallWatchDecide, SingleVerdicts) {
    for (const auto& row : kVerdictCases) {
        SCOPED_TRACE(row.name);
        StallWatch::Config config = enabledDefaults();
        if (row.config) row.config(config);
        StallWatch::State state;
        ASSERT_EQ(StallWatch::decide(config, state, {100, 0, 0, {}}, T0, true, at(-3600)), Decision::nothing());
        EXPECT_EQ(state.lastBytes, 100);
        if (row.prepare) row.prepare(state);

        StallWatch::Snapshot s{row.downBytes, 777, row.openStreams, {}};  // upload moved: no matter
        for (int i = 0; i < row.newIDs; ++i) s.connIDs.insert("n" + std::to_string(i));
        const Date now = at(row.atSec);
        const Date lastPathChange = now - milliseconds(std::llround(row.pathChangeAgoSec * 1000));
        EXPECT_EQ(StallWatch::decide(config, state, s, now, row.foreground, lastPathChange), row.expect);
        if (row.check) row.check(state, now);
    }
}

TEST(StallWatchDecide, OnlyNewIdentifiersCount) {
    StallWatch::Config config = enabledDefaults();
    config.minNewConns = 3;
    StallWatch::State state;
    StallWatch::decide(config, state, {100, 0, 2, {"a", "b"}}, T0, true, at(-3600));
    // "a" and "b" stay open: only "c" and "d" are new, then "e".
    EXPECT_EQ(StallWatch::decide(config, state, {100, 0, 4, {"a", "b", "c", "d"}}, at(4), true, at(-3600)),
              Decision::nothing());
    EXPECT_EQ(StallWatch::decide(config, state, {100, 0, 4, {"a", "b", "c", "d"}}, at(8), true, at(-3600)),
              Decision::nothing());
    EXPECT_EQ(StallWatch::decide(config, state, {100, 0, 3, {"c", "d", "e"}}, at(10), true, at(-3600)),
              Decision::rebuild(10000, 3, 3, 1));
}

TEST(StallWatchRelaxLadder, ResetsOnlyOnceCalm) {
    struct Case {
        const char* name;
        std::vector<Date> rebuildsAt;
        Date cooldownUntil;
        int expectedStep;
    };
    const Date now = at(100);
    const std::vector<Case> cases = {
        {"a rebuild within the last minute", {at(50)}, at(60), 2},
        {"cooldown not yet over", {}, now, 2},
        {"no rebuild remembered, cooldown over", {}, at(99), 0},
        // Rebuilds older than the window are not recent even when no stall
        // since has dropped them.
        {"only rebuilds older than a minute", {at(10), at(20), at(30)}, at(60), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StallWatch::State state;
        state.rebuildsAt = c.rebuildsAt;
        state.cooldownUntil = c.cooldownUntil;
        state.ladderStep = 2;
        StallWatch::relaxLadder(state, now);
        EXPECT_EQ(state.ladderStep, c.expectedStep);
    }
}

TEST(StallWatchDecide, ARelaxedLadderStartsAgainAtItsFirstCooldown) {
    StallWatch::Config config = enabledDefaults();
    StallWatch::State state;
    state.lastBytes = 100;
    state.lastChangeAt = at(0);
    state.newConnsInWindow = 1;
    state.ladderStep = 2;
    state.rebuildsAt = {at(-100), at(-90), at(-80)};
    state.cooldownUntil = at(-50);
    StallWatch::relaxLadder(state, at(8));
    EXPECT_EQ(StallWatch::decide(config, state, {100, 0, 1, {}}, at(8), true, at(-3600)),
              Decision::rebuild(8000, 1, 1, 1));
    state.rebuildsAt = {at(6), at(7), at(8)};
    state.lastChangeAt = at(8);
    EXPECT_EQ(StallWatch::decide(config, state, {100, 0, 1, {}}, at(16), true, at(-3600)), Decision::nothing());
    EXPECT_EQ(state.cooldownUntil, at(21));
}

}  // namespace
