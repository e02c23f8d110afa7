#include <gtest/gtest.h>

#include <chrono>

#include "platform/runtime/fake_clock.h"
#include "tests/ui/qt_app.h"
#include "ui/main/morvel_halo.h"
#include "ui/style/animations.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;

TEST(MorvelHaloTest, ElapsedText) {
    const struct {
        double seconds;
        const char* text;
    } rows[] = {
        {3725, "1:02:05"},     {59.9, "0:00:59"}, {0, "0:00:00"},     {0.999, "0:00:00"},
        {-5, "0:00:00"},       {-0.5, "0:00:00"}, {360000, "100:00:00"}, {3599, "0:59:59"},
        {86400 * 10 + 61, "240:01:01"},
    };
    for (const auto& row : rows) EXPECT_EQ(MorvelHalo::elapsedText(row.seconds), row.text) << row.seconds;
}

TEST(MorvelHaloTest, TheClockTicksOnWholeSecondsAfterTheConnectionStart) {
    test::qtApp();
    Animations::setEnabled(false);
    const Clock::WallTime t0{std::chrono::seconds(1'700'000'000)};
    const auto since = t0 + 300ms;
    FakeClock clock(t0 + 5900ms);
    MorvelHalo halo(true, since, 268, clock);
    halo.appear();
    EXPECT_EQ(halo.clockText(), "0:00:05");
    EXPECT_EQ(MorvelHalo::nextTick(since, clock.wallNow()), t0 + 6300ms);

    clock.setWall(t0 + 6299ms);  // not yet a whole second since the start
    halo.tick();
    EXPECT_EQ(halo.clockText(), "0:00:05");
    clock.setWall(t0 + 6300ms);
    halo.tick();
    EXPECT_EQ(halo.clockText(), "0:00:06");

    // A start in the future (the clock was set back) shows zero until it is reached.
    EXPECT_EQ(MorvelHalo::clockEntry(since, t0), since);
    EXPECT_EQ(MorvelHalo::nextTick(since, t0), since);

    // A new start restarts the count.
    halo.setConnectedSince(t0 + 6000ms);
    EXPECT_EQ(halo.clockText(), "0:00:00");
    Animations::setEnabled(true);
}

TEST(MorvelHaloTest, RingAndClockFollowTheState) {
    test::qtApp();
    Animations::setEnabled(false);
    FakeClock clock(Clock::WallTime{std::chrono::seconds(1'700'000'000)});
    MorvelHalo halo(true, std::nullopt, 268, clock);
    halo.appear();
    EXPECT_EQ(halo.sweep(), 1);  // on screen while active: the full ring at once
    EXPECT_FALSE(halo.clockShown());  // no start: no clock
    EXPECT_DOUBLE_EQ(halo.hero().opacity(), 1.0);

    halo.setActive(false);
    EXPECT_EQ(halo.sweep(), 0);
    EXPECT_DOUBLE_EQ(halo.hero().opacity(), MorvelHero::inactiveOpacity);
    EXPECT_DOUBLE_EQ(halo.hero().scale(), 1.0);

    halo.setActive(true);  // a later activation scales the hero without the pulse
    EXPECT_EQ(halo.sweep(), 1);
    EXPECT_DOUBLE_EQ(halo.hero().scale(), MorvelHero::activeScale);
    Animations::setEnabled(true);
}

}  // namespace
}  // namespace kavri
