#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "platform/runtime/base64.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/json_depth.h"
#include "platform/runtime/log.h"
#include "platform/runtime/spawner.h"
#include "platform/runtime/task.h"
#include "platform/runtime/uuid.h"
#include "tests/support/temp_dir.h"

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

TEST(Task, ARetiredLoopIsAskedToStopAndJoinedByItsNewOwner) {
    std::atomic<int> exits{0};
    std::vector<Task> retired;
    Task t([&](std::stop_token st) {
        while (Clock::system().sleepFor(1h, st)) {
        }
        ++exits;
    });
    t.retireInto(retired);
    EXPECT_FALSE(t.active());
    ASSERT_EQ(retired.size(), 1u);
    t.retireInto(retired);  // nothing runs: nothing is handed over
    EXPECT_EQ(retired.size(), 1u);
    retired.clear();
    EXPECT_EQ(exits, 1);
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

TEST(Log, StampsInUtcToTheMillisecond) {
    using namespace std::chrono;
    const struct {
        sys_time<milliseconds> when;
        const char* text;
    } cases[] = {
        {sys_days{2024y / 12 / 10} + 12h + 3min + 4s + 5ms, "2024-12-10T12:03:04.005Z"},
        {sys_days{1970y / 1 / 1} + 0ms, "1970-01-01T00:00:00.000Z"},
        {sys_days{2038y / 1 / 19} + 3h + 14min + 7s + 999ms, "2038-01-19T03:14:07.999Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Log::stamp(c.when), c.text);
        EXPECT_EQ(Log::withoutStamp(std::string(c.text) + " [Kavri] x"), "[Kavri] x");
    }
    EXPECT_EQ(Log::withoutStamp("[Kavri] 2024-12-10T12:03:04.005Z"), "[Kavri] 2024-12-10T12:03:04.005Z");
    EXPECT_EQ(Log::withoutStamp("2024-12-10 12:03:04 [Kavri] x"), "2024-12-10 12:03:04 [Kavri] x");
}

// The lines `write` sends to standard error.
std::vector<std::string> stderrLines(const std::function<void()>& write) {
    test::TempDir dir;
    const auto file = dir / "stderr.log";
    const int saved = ::dup(STDERR_FILENO);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    const bool wasQuiet = std::getenv("KAVRI_LOG_QUIET") != nullptr;
    Log::setQuiet(false);
    write();
    Log::setQuiet(wasQuiet);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Log, LinesFromManyThreadsReachStandardErrorWholeAndStamped) {
    const auto lines = stderrLines([] {
        std::vector<std::jthread> writers;
        for (int t = 0; t < 8; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < 100; ++i) Log::line("[Kavri] " + std::string(2000, static_cast<char>('a' + t)));
            });
    });
    const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[Kavri\] ([a-h])\1{1999})");
    for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, form)) << line;
    EXPECT_EQ(lines.size(), 800u);
}

TEST(Log, EveryLineOfATextWithLineBreaksIsStamped) {
    LogCapture capture;
    const auto lines = stderrLines([] {
        Log::line("[Qt] first\nsecond\n");
        Log::line("");
        Log::line("[Kavri] a\n\nb");
    });
    const std::vector<std::string> texts = {"[Qt] first", "second", "", "[Kavri] a", "", "b"};
    ASSERT_EQ(lines.size(), texts.size());
    const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .*)");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], stamp)) << lines[i];
        EXPECT_EQ(Log::withoutStamp(lines[i]), texts[i]) << lines[i];
    }
    EXPECT_TRUE(capture.contains("[Qt] first\nsecond\n"));  // captures get the text as logged
}

TEST(Log, CaptureSeesWholeLines) {
    LogCapture capture;
    Log::line("[Kavri] >> старт");
    Log::line("[Kavri][hb] beat");
    EXPECT_TRUE(capture.contains("[Kavri] >> старт"));
    EXPECT_EQ(capture.count("[Kavri]"), 2u);
    EXPECT_TRUE(capture.waitForText("beat", 10ms));
}
