#include "app/telemetry/app_telemetry.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "api/device_id.h"
#include "core/deployment.h"
#include "core/kavri_http.h"
#include "core/keychain.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "platform/runtime/system_info.h"
#include "testing/test_control_plane.h"
#include "tests/support/loopback_port.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Reply = TestControlPlane::Reply;

class AppTelemetryTest : public ::testing::Test {
protected:
    void SetUp() override { Keychain::deleteItem(Keychain::Item::subToken); }
    void TearDown() override {
        Deployment::install(saved);
        Keychain::deleteItem(Keychain::Item::subToken);
    }
    void use(const std::vector<const TestControlPlane*>& planes) {
        Deployment::install(TestControlPlane::deploymentFor(planes));
    }
    std::unique_ptr<AppTelemetry> make(AppTelemetry::Limits limits = {}) {
        return std::make_unique<AppTelemetry>(
            shared, clock, KavriHTTP::apiSession(AppTelemetry::requestSeconds, AppTelemetry::resourceSeconds),
            limits);
    }

    const Deployment saved = Deployment::current();
    test::TempDir dir;
    KavriStore shared{dir.path()};
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1)) + 1500ms};
};

TEST_F(AppTelemetryTest, EventsArriveInOrderWithTheTimeSinceTheLastOne) {
    TestControlPlane a, b;
    use({&a, &b});
    Keychain::write("kavri://import?token=abc123", Keychain::Item::subToken);
    // One request at a time: side by side, reports may reach the host in any order.
    auto telemetry = make({.running = 1});

    telemetry->track("app_open");
    clock.advance(1234ms);
    telemetry->track("catalog_fetch", 87, {{"result", "ok"}, {"http_code", 200}, {"had_cache", false}});
    clock.advance(1s);
    telemetry->track("sheet_open", std::nullopt, {{"event", "renamed"}, {"platform", "other"}});
    telemetry->waitIdle();

    const auto reports = a.reports();
    ASSERT_EQ(reports.size(), 3u);
    const std::string device = DeviceID::current(shared);
    EXPECT_EQ(reports[0], (json{{"report", "event"},
                                {"event", "app_open"},
                                {"platform", "macos"},
                                {"app_version", AppTelemetry::appVersion()},
                                {"os_version", SystemInfo::osVersion()},
                                {"device_id", device},
                                {"ts", 1740787201},  // truncated
                                {"sub_token", "abc123"}}));
    EXPECT_EQ(reports[1]["interval_ms"], 1234);
    EXPECT_EQ(reports[1]["elapsed_ms"], 87);
    EXPECT_EQ(reports[1]["http_code"], 200);
    EXPECT_EQ(reports[1]["had_cache"], false);
    EXPECT_EQ(reports[1]["ts"], 1740787202);
    EXPECT_EQ(reports[2]["interval_ms"], 1000);
    EXPECT_EQ(reports[2]["event"], "renamed");  // an extra key replaces the report's own
    EXPECT_EQ(reports[2]["platform"], "other");
    EXPECT_FALSE(reports[2].contains("elapsed_ms"));

    const auto request = a.requests().front();
    EXPECT_EQ(request.call(), "POST /telemetry");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("User-Agent"), "KavriApp iOS-UI");
    EXPECT_EQ(request.header("X-Device-Id"), device);
    EXPECT_TRUE(request.body.starts_with(R"({"report":"event","event":"app_open","platform":"macos",)"));
    EXPECT_EQ(b.requestCount(), 0u);
}

TEST_F(AppTelemetryTest, WithoutATokenTheReportCarriesNoToken) {
    TestControlPlane a;
    use({&a});
    auto telemetry = make();
    telemetry->track("connect_start");
    telemetry->waitIdle();
    ASSERT_EQ(a.reports().size(), 1u);
    EXPECT_FALSE(a.reports()[0].contains("sub_token"));
    EXPECT_FALSE(a.reports()[0].contains("interval_ms"));
}

TEST_F(AppTelemetryTest, AReportGoesToTheSecondHostOnlyWhenTheFirstFailsAndNeverToAThird) {
    const struct {
        const char* name;
        std::optional<Reply> first;  // none: the host is down
        Reply second;
        int planes;  // hosts known besides a closed one
        std::vector<std::size_t> counts;
    } cases[] = {
        {"first answers 500, second 204", Reply::withStatus(500), Reply::withStatus(204), 3, {1, 1, 0}},
        {"first drops the connection", Reply::close(), Reply::withStatus(200), 3, {1, 1, 0}},
        {"first is down", std::nullopt, Reply::withStatus(200), 3, {0, 1, 0}},
        {"both fail", Reply::withStatus(503), Reply::withStatus(404), 3, {1, 1, 0}},
        {"first takes it", Reply::withStatus(201), Reply::withStatus(200), 3, {1, 0, 0}},
        {"one host only", Reply::withStatus(500), Reply::withStatus(200), 1, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LoopbackPort closed(-1);
        TestControlPlane a, b, third;
        std::vector<const TestControlPlane*> planes = {&a, &b, &third};
        planes.resize(c.planes);
        Deployment d = TestControlPlane::deploymentFor(planes);
        if (c.first) {
            a.script(*c.first);
        } else {
            d.hosts.insert(d.hosts.begin(), {"127.0.0.1:" + closed.number(), {}});
            d.hosts.erase(d.hosts.begin() + 1);  // `a` stands for the closed port
        }
        if (c.planes > 1) b.script(c.second);
        Deployment::install(d);
        auto telemetry = make();
        telemetry->track("connect_start");
        telemetry->waitIdle();
        std::vector<std::size_t> counts;
        for (const auto* plane : planes) counts.push_back(plane->requestCount());
        EXPECT_EQ(counts, c.counts);
        if (c.first && c.planes > 1 && counts[1] == 1) {
            EXPECT_EQ(a.requests()[0].body, b.requests()[0].body);
        }
    }
}

TEST_F(AppTelemetryTest, EventsFromManyThreadsArriveInEachThreadsOrder) {
    TestControlPlane a;
    use({&a});
    // One request at a time, so that the order of arrival is the order of
    // the starts; room for the whole burst.
    auto telemetry = make({.running = 1, .waiting = 1000});
    constexpr int threads = 4, each = 250;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) telemetry->track("tick", std::nullopt, {{"thread", t}, {"seq", i}});
        });
    for (auto& caller : callers) caller.join();
    telemetry->waitIdle();

    const auto reports = a.reports();
    ASSERT_EQ(reports.size(), std::size_t(threads * each));
    std::map<int, int> next;
    for (const auto& r : reports) {
        const int t = r["thread"], seq = r["seq"];
        EXPECT_EQ(seq, next[t]) << "thread " << t;
        next[t] = seq + 1;
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(next[t], each);
}

TEST_F(AppTelemetryTest, ABurstBehindAHangingHostReachesTheSecondHostTogether) {
    TestControlPlane a, b;
    use({&a, &b});
    a.scriptAlways(Reply::hang());
    auto telemetry = make();
    constexpr std::size_t running = AppTelemetry::Limits{}.running;
    for (std::size_t i = 0; i <= running; ++i) telemetry->track("tick", std::nullopt, {{"seq", i}});

    // As many requests as may run hang at the first host at once (one after
    // the other this would take one time-out each); the next one waits.
    ASSERT_TRUE(a.waitForRequests(running, std::chrono::seconds(15)));
    EXPECT_EQ(a.requestCount(), running);
    EXPECT_EQ(b.requestCount(), 0u);

    // Once the first host fails them, every report goes to the second one.
    a.clearScript();
    a.scriptAlways(Reply::withStatus(500));
    a.releaseHangs();
    telemetry->waitIdle();
    std::set<int> seqs;
    for (const auto& r : b.reports()) seqs.insert(r["seq"].get<int>());
    EXPECT_EQ(seqs.size(), running + 1);
    EXPECT_EQ(a.requestCount(), running + 1);
}

TEST_F(AppTelemetryTest, ReportsBeyondWhatMayWaitAreDroppedAndCounted) {
    TestControlPlane a;
    use({&a});
    a.scriptAlways(Reply::hang());
    LogCapture log;
    auto telemetry = make({.running = 1, .waiting = 2});
    telemetry->track("first");
    ASSERT_TRUE(a.waitForRequests(1));
    // While it hangs, two reports may wait to start; the other four are
    // dropped, whether before they were built or after.
    for (int i = 0; i < 6; ++i) telemetry->track("later");
    EXPECT_TRUE(log.waitForText("\"later\" dropped (4 so far)")) << ::testing::PrintToString(log.lines());
    a.clearScript();
    a.releaseHangs();
    telemetry->waitIdle();
    EXPECT_EQ(a.requestCount(), 3u);
    EXPECT_EQ(log.count("dropped ("), 4u);
}

TEST_F(AppTelemetryTest, FailuresStayWithTheReporterAndQuittingEndsItsWorker) {
    TestControlPlane a;
    use({&a});
    auto telemetry = make();
    // A report that cannot be serialised is dropped; the next one goes.
    EXPECT_NO_THROW(telemetry->track("bad", std::nullopt, {{"name", std::string("\xff\xfe")}}));
    telemetry->track("good");
    telemetry->waitIdle();
    ASSERT_EQ(a.reports().size(), 1u);
    EXPECT_EQ(a.reports()[0]["event"], "good");
    EXPECT_EQ(a.reports()[0]["interval_ms"], 0);  // the dropped one was built

    // Quitting while a report hangs cancels it; later events are dropped.
    a.scriptAlways(Reply::hang());
    telemetry->track("hangs");
    ASSERT_TRUE(a.waitForRequests(2));
    telemetry->shutdown();
    telemetry->track("after");
    a.clearScript();
    EXPECT_EQ(a.requestCount(), 2u);
}

}  // namespace
}  // namespace kavri
