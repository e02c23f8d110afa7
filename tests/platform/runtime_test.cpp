#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "platform/runtime/base64.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/json_depth.h"
#include "platform/runtime/log.h"
#include "platform/runtime/spawner.h"
#include "platform/runtime/task.h"
#include "platform/runtime/uuid.h"

using namespace kavri;
using namespace std::chrono_literals;

TEST(FakeClock, SleeperWakesOnlyWhenAdvancedPastDeadline) {
    FakeClock clock;
    std::atomic<int> woke{0};
    Task t([&](std::stop_token st) {
        if (clock.sleepFor(5s, st)) ++woke;
    });
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(4999ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woke, 0);
    clock.advance(1ms);
    t.cancelAndJoin();
    EXPECT_EQ(woke, 1);
}

TEST(FakeClock, StopEndsSleepAtOnce) {
    FakeClock clock;
    std::atomic<bool> result{true};
    Task t([&](std::stop_token st) { result = clock.sleepFor(24h, st); });
    ASSERT_TRUE(clock.waitForSleepers(1));
    t.cancelAndJoin();
    EXPECT_FALSE(result);
}

TEST(SystemClock, SleepIsCancellable) {
    std::atomic<bool> result{true};
    const auto start = std::chrono::steady_clock::now();
    Task t([&](std::stop_token st) { result = Clock::system().sleepFor(1h, st); });
    std::this_thread::sleep_for(20ms);
    t.cancelAndJoin();
    EXPECT_FALSE(result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(Task, ReplacingCancelsThePreviousLoop) {
    std::atomic<int> exits{0};
    auto loop = [&](std::stop_token st) {
        while (Clock::system().sleepFor(1h, st)) {
        }
        ++exits;
    };
    Task t(loop);
    t = Task(loop);
    EXPECT_EQ(exits, 1);
    t.cancelAndJoin();
    EXPECT_EQ(exits, 2);
}

TEST(Task, ALoopMayEndItself) {
    std::atomic<bool> done{false}, ready{false};
    auto holder = std::make_unique<Task>();
    Task* self = holder.get();
    *self = Task([&, self](std::stop_token) {
        while (!ready) std::this_thread::yield();
        self->cancelAndJoin();  // from its own thread: must not deadlock
        done = true;
    });
    ready = true;
    for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(done);
}

TEST(Spawner, DrainWaitsForAllWork) {
    Spawner spawner;
    std::atomic<int> finished{0};
    for (int i = 0; i < 8; ++i)
        spawner.spawn([&] {
            std::this_thread::sleep_for(10ms);
            ++finished;
        });
    EXPECT_TRUE(spawner.drain());
    EXPECT_EQ(finished, 8);
    EXPECT_EQ(spawner.running(), 0u);
}

TEST(Spawner, StopAllCancelsSleepingWork) {
    Spawner spawner;
    std::atomic<int> cancelled{0};
    for (int i = 0; i < 3; ++i)
        spawner.spawn([&](std::stop_token st) {
            if (!Clock::system().sleepFor(1h, st)) ++cancelled;
        });
    spawner.stopAll();
    EXPECT_EQ(cancelled, 3);
}

TEST(Base64, EncodesAndDecodesStrictly) {
    EXPECT_EQ(Base64::encode(""), "");
    EXPECT_EQ(Base64::encode("f"), "Zg==");
    EXPECT_EQ(Base64::encode("fo"), "Zm8=");
    EXPECT_EQ(Base64::encode("foo"), "Zm9v");
    EXPECT_EQ(Base64::decode("Zg==").value(), "f");
    EXPECT_EQ(Base64::decode("Zm8=").value(), "fo");
    EXPECT_EQ(Base64::decode("").value(), "");
    const std::string binary("\x00\xff\x10\x80", 4);
    EXPECT_EQ(Base64::decode(Base64::encode(binary)).value(), binary);
    for (const char* bad : {"Zg=", "Zm9v\n", " Zm9v", "Zm9*", "Z===", "Zg==Zg==", "Zm=v"})
        EXPECT_FALSE(Base64::decode(bad).has_value()) << bad;
}

TEST(JsonDepth, CountsOnlyTheNestingOutsideStrings) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"42", 0},
        {"[]", 1},
        {R"({"a":[1,{"b":[]}],"c":{}})", 4},
        {R"(["[[[", "{{"])", 1},
        {R"(["a \"[[[\" b", [[]]])", 3},
        {R"(["\\", [[]]])", 3},  // an escaped backslash does not escape the quote after it
        {"]]][[", 2},
        {std::string(100'000, '['), 100'000},
    };
    for (const auto& [text, depth] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        EXPECT_EQ(JsonDepth::of(text), depth);
        EXPECT_TRUE(JsonDepth::within(text, depth));
        if (depth > 0) {
            EXPECT_FALSE(JsonDepth::within(text, depth - 1));
        }
    }
}

TEST(Uuid, UpperCaseVersion4Text) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const auto a = Uuid::make(), b = Uuid::make();
    EXPECT_TRUE(std::regex_match(a, form)) << a;
    EXPECT_NE(a, b);
}

TEST(Log, CaptureSeesWholeLines) {
    LogCapture capture;
    Log::line("[Kavri] >> старт");
    Log::line("[Kavri][hb] beat");
    EXPECT_TRUE(capture.contains("[Kavri] >> старт"));
    EXPECT_EQ(capture.count("[Kavri]"), 2u);
    EXPECT_TRUE(capture.waitForText("beat", 10ms));
}
