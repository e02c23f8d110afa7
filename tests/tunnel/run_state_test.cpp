// What the loops of one run share, each operation one step under its lock.
#include "tunnel/run_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace kavri;
using namespace std::chrono_literals;

TEST(RunState, PollsCloserThanTheThrottleAreRefusedUntilItIsReset) {
    RunState run;
    const Clock::WallTime t0{std::chrono::hours(24 * 365 * 50)};
    struct Step {
        std::chrono::milliseconds at;
        bool reset;
        bool passes;
    };
    const std::vector<Step> steps = {
        {0ms, false, true},   {19999ms, false, false}, {20000ms, false, true},
        {20001ms, true, true}, {39000ms, false, false}, {40001ms, false, true},
    };
    for (const auto& s : steps) {
        if (s.reset) run.resetPollThrottle();
        EXPECT_EQ(run.beginPoll(t0 + s.at), s.passes) << s.at.count();
    }
}

TEST(RunState, PollsStartedTogetherPassOneAtATimeAndEndTheRunOnce) {
    RunState run;
    const Clock::WallTime now{std::chrono::hours(24 * 365 * 50)};
    std::atomic<int> passed{0};
    std::atomic<int> ended{0};
    std::vector<std::jthread> polls;
    for (int i = 0; i < 8; ++i)
        polls.emplace_back([&] {
            passed += run.beginPoll(now);
            ended += run.claimRunEnd();
        });
    polls.clear();
    EXPECT_EQ(passed, 1);
    EXPECT_EQ(ended, 1);
    run.reopenRun();
    EXPECT_TRUE(run.claimRunEnd());
}

TEST(RunState, TimesMembersAndTheRunningConfiguration) {
    RunState run;
    EXPECT_EQ(run.lastWakeAt(), StallWatch::distantPast());
    EXPECT_EQ(run.lastNetChangeAt(), StallWatch::distantPast());
    const Clock::WallTime t{std::chrono::seconds(1'700'000'000)};
    EXPECT_EQ(run.noteWake(t), StallWatch::distantPast());  // the previous wake
    EXPECT_EQ(run.noteWake(t + 5s), t);
    EXPECT_EQ(run.lastWakeAt(), t + 5s);
    run.noteNetChange(t);
    EXPECT_EQ(run.lastNetChangeAt(), t);

    // The member probe's first run is long due.
    EXPECT_TRUE(run.groupProbeDue(t, 20));
    run.noteGroupProbe(t);
    EXPECT_FALSE(run.groupProbeDue(t + 19s, 20));
    EXPECT_TRUE(run.groupProbeDue(t + 20s, 20));

    EXPECT_TRUE(run.setActiveMember(std::nullopt));  // nothing known yet
    EXPECT_TRUE(run.setActiveMember("m1"));
    EXPECT_FALSE(run.setActiveMember("m1"));
    EXPECT_TRUE(run.setActiveMember("m2"));
    EXPECT_EQ(run.activeMember(), "m2");

    EXPECT_TRUE(run.runs("anything"));  // not known: counts as running
    run.setRunningConfig("a");
    EXPECT_TRUE(run.runs("a"));
    EXPECT_FALSE(run.runs("b"));
}
