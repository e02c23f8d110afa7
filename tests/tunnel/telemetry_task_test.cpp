// The telemetry loop, the connect report and the rule-set refresh, against
// the stand-in engine, member proxies and a control plane on loopback, timed
// by a fake clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "core/detect_config.h"
#include "core/kavri_store.h"
#include "core/ru_rules.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "testing/engine_rig.h"
#include "testing/tunnel_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/tunnel/loop_parts.h"
#include "tunnel/rule_refresh.h"

using namespace kavri;
using json = nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using RuleFile = TestControlPlane::RuleFile;

namespace {

// Waits in real time (at most 30 s) until `condition` holds.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A moment for a loop that should stay asleep to show it did not.
void settle() { std::this_thread::sleep_for(50ms); }

std::vector<json> reportsOf(const TestControlPlane& plane, const std::string& kind) {
    std::vector<json> out;
    for (auto& r : plane.reports())
        if (r.value("report", "") == kind) out.push_back(r);
    return out;
}

std::vector<json> eventsOf(const TestControlPlane& plane, const std::string& name) {
    std::vector<json> out;
    for (auto& r : plane.reports())
        if (r.value("event", "") == name) out.push_back(r);
    return out;
}

std::size_t ruleRequests(const TestControlPlane& plane) {
    std::size_t n = 0;
    for (const auto& r : plane.requests())
        if (r.path.starts_with("/rules/")) ++n;
    return n;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ino_t inodeOf(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

const std::vector<std::string> kRuleFiles = {"geoip-ru.srs", "geosite-category-ru.srs", "ru-extra.srs"};

// The shared store cleared, the subscription token and device mirrored by
// the app, probes aimed at `origin`, the rule files seeded from the resources.
void prepareStore(const OriginServer& origin) {
    KavriStore& store = KavriStore::shared();
    for (const auto& [key, value] : store.snapshot()) store.removeObject(key);
    store.set("sub_token_ne", "tok12345abcdef");
    store.set("device_id_ne", "DEVICE-1");
    DetectConfig::persist(json{{"hb_url", origin.url("/generate_204")}}, {}, store);
    std::error_code ec;
    fs::remove_all(RuRules::rulesDirectory(), ec);
    RuRules::setResourcesDirectory(fs::path(KAVRI_SOURCE_DIR) / "resources");
    RuRules::ensureSeeded();
}

// The fake clock, counting the sleeps that begin on it, so that a test can
// tell one sleep of a loop from the next.
class CountingClock final : public Clock {
public:
    explicit CountingClock(FakeClock& inner) : inner_(inner) {}
    WallTime wallNow() const override { return inner_.wallNow(); }
    MonoTime monoNow() const override { return inner_.monoNow(); }
    bool sleepFor(Duration d, std::stop_token stop) override {
        ++sleeps;
        return inner_.sleepFor(d, stop);
    }
    std::atomic<int> sleeps{0};

private:
    FakeClock& inner_;
};

// The loops over parts of their own and a provider that is not started, on
// a fake clock, whose controller is the stand-in engine of an EngineRig: only
// the loop under test runs on the clock.
class LoopTasks : public ::testing::Test {
protected:
    void SetUp() override {
        Deployment::install(plane.deployment());
        prepareStore(engine.origin);
        ASSERT_EQ(engine.start(), std::nullopt);
        ProviderSettings s;
        s.clock = &counting;
        const std::string base = "http://127.0.0.1:" + std::to_string(engine.controllerPort());
        s.controllerBase = base;
        provider = std::make_unique<PacketTunnelProvider>(s);
        parts = std::make_unique<test::LoopParts>(*provider, counting, base, engine.secret);
        parts->clash.setHbPort(engine.hbPort());
        parts->clash.setHbInboundPresent(true);
    }
    void TearDown() override {
        ruleRefresh.cancel(retired);
        retired.clear();
        parts.reset();
        provider.reset();
    }

    // Advances the clock past the deadline of the one loop asleep on it and
    // waits until the loop has woken and, after `work` is seen, slept again.
    void wakeLoop(Clock::Duration d, const std::function<bool()>& work) {
        clock.advance(d);
        ASSERT_TRUE(eventually(work));
        ASSERT_TRUE(clock.waitForSleepers(1));
    }

    TestControlPlane plane;
    EngineRig engine;
    FakeClock clock;
    CountingClock counting{clock};
    LogCapture log;
    std::unique_ptr<PacketTunnelProvider> provider;
    std::unique_ptr<test::LoopParts> parts;
    // The rule-set refresh, counting the downloads that changed a file.
    std::atomic<int> rulesApplied{0};
    RuleRefresh ruleRefresh{counting,
                      {30s, 12h, 30min},
                      [] { return KavriStore::shared().string("device_id_ne"); },
                      [this](std::stop_token) { ++rulesApplied; }};
    std::vector<Task> retired;
};

json connection(const std::string& id, std::int64_t down) {
    return {{"id", id}, {"download", down}, {"upload", 0}, {"chains", {"m1", "proxy"}}};
}

json table(const std::vector<json>& conns) {
    return {{"downloadTotal", 1000}, {"uploadTotal", 100}, {"connections", conns}};
}

}  // namespace

// ---- Telemetry task -------------------------------------------------------------

TEST_F(LoopTasks, TelemetryLoopReportsAtFiveSecondsThenTwelveAfterEachCycle) {
    const auto heartbeats = [&] { return reportsOf(plane, "heartbeat").size(); };
    const auto t0 = std::chrono::duration_cast<std::chrono::seconds>(clock.wallNow().time_since_epoch()).count();
    parts->telemetryLoop.start(parts->retired);
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(4999ms);
    settle();
    EXPECT_EQ(heartbeats(), 0u);
    wakeLoop(1ms, [&] { return heartbeats() == 1; });
    EXPECT_EQ(reportsOf(plane, "heartbeat")[0]["ts"], t0 + 5);
    // The first cycle refreshed the group's state.
    EXPECT_EQ(parts->run.activeMember(), "m1");

    // The engine moves to m2: the reports see it at once, the group refresh
    // only in the sixth cycle.
    ASSERT_EQ(engine.api("PUT", "proxies/proxy", R"({"name":"m2"})").status, 204);
    for (std::size_t cycle = 2; cycle <= 6; ++cycle) {
        clock.advance(11999ms);
        settle();
        ASSERT_EQ(heartbeats(), cycle - 1);
        wakeLoop(1ms, [&] { return heartbeats() == cycle; });
        const json report = reportsOf(plane, "heartbeat").back();
        EXPECT_EQ(report["ts"], t0 + 5 + 12 * static_cast<std::int64_t>(cycle - 1));
        EXPECT_EQ(report["active_member"], "m2");
        EXPECT_EQ(report["sub_token"], "tok12345abcdef");
        EXPECT_EQ(parts->run.activeMember(), cycle < 6 ? "m1" : "m2") << "cycle " << cycle;
    }
}

TEST_F(LoopTasks, TelemetryLoopCountsScriptedConnectionsAndUploadsPendingStallDumps) {
    // c0 never carries a byte, c1 goes silent at 5000 bytes, c2 keeps moving.
    EngineScript& script = engine.provider.engineScript();
    script.setConnections(table({connection("c0", 0), connection("c1", 5000), connection("c2", 100)}));
    script.pushStallDump({{"at", "2025-01-01T00:00:00Z"}, {"groups", 3}, {"log_tail", {"a", "b"}}});
    parts->telemetryLoop.start(parts->retired);
    ASSERT_TRUE(clock.waitForSleepers(1));

    wakeLoop(5s, [&] { return eventsOf(plane, "stall_dump").size() == 1; });
    const auto first = reportsOf(plane, "heartbeat");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0]["conn_total"], 3);
    EXPECT_EQ(first[0]["conn_new"], 3);
    EXPECT_EQ(first[0]["conn_stalled"], 0);  // new connections are not stalled yet
    EXPECT_EQ(first[0]["stall_dumps_pending"], 1);
    const json dump = eventsOf(plane, "stall_dump")[0];
    EXPECT_EQ(dump["stall_groups"], 3);
    EXPECT_EQ(dump["stall_log_tail"], "a\nb");
    EXPECT_TRUE(log.contains("[Kavri][diag] stall_dump отправлен (групп 3)"));

    script.setConnections(table({connection("c0", 0), connection("c1", 5000), connection("c2", 9000)}));
    wakeLoop(12s, [&] { return reportsOf(plane, "heartbeat").size() == 2; });
    const json second = reportsOf(plane, "heartbeat")[1];
    EXPECT_EQ(second["conn_stalled"], 1);      // c0, 12 s without a byte
    EXPECT_EQ(second["conn_silent_open"], 2);  // c0 and c1
    EXPECT_EQ(second["conn_carrying"], 1);     // c2
    EXPECT_EQ(second["conn_silent_ms_max"], 12000);
    EXPECT_EQ(second["stalled_hist_lt2k"], 1);
    EXPECT_EQ(second["stalled_hist_2k_8k"], 1);
    EXPECT_EQ(second["bytes_down"], 8900);
    EXPECT_EQ(second["stall_dumps_pending"], 0);
    EXPECT_EQ(eventsOf(plane, "stall_dump").size(), 1u);  // nothing pending: no upload

    // Each cycle takes the threshold from the stored detection settings.
    DetectConfig::persist(json{{"hb_url", engine.origin.url("/generate_204")}, {"stalled_age_sec", 30}}, {},
                          KavriStore::shared());
    script.setConnections(table({connection("c0", 0), connection("c1", 5000), connection("c2", 9500)}));
    wakeLoop(12s, [&] { return reportsOf(plane, "heartbeat").size() == 3; });
    const json third = reportsOf(plane, "heartbeat")[2];
    EXPECT_EQ(third["conn_stalled"], 0);  // 24 s old, under 30
    EXPECT_EQ(third["conn_silent_open"], 0);
}

// ---- Connect report ---------------------------------------------------------------

TEST_F(LoopTasks, ConnectReportProbesTheFirstByteForAtMostFifteenSeconds) {
    struct Case {
        std::string name;
        int failures;  // attempts that fail before member m1 comes up; -1: it never does
        std::string surface;
        std::string outcome;
        std::int64_t retries;
        std::optional<std::int64_t> firstByte;
        std::string trace;
    };
    const std::string longSurface = [] {
        std::string s;
        for (int i = 0; i < 500; ++i) s += "ж";
        return s;
    }();
    std::string cappedTrace = "first_byte timeout surface=";
    for (int i = 0; i < 373; ++i) cappedTrace += "ж";
    const std::vector<Case> cases = {
        {"passes at once", 0, "edge-1", "ok", 0, 700, ""},
        {"passes after three failures", 3, "edge-1", "ok", 3, 3700, ""},
        {"never passes", -1, "edge-1", "timeout", 15, std::nullopt,
         "first_byte timeout surface=edge-1 member=m1 net=-/- retries=15"},
        {"never passes, long surface", -1, longSurface, "timeout", 15, std::nullopt, cappedTrace},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plane.clearRequests();
        log.clear();
        parts->run.setActiveMember("m1");
        parts->telemetry.update([&](Telemetry::Fields& f) { f.surfaceID = c.surface; });
        if (c.failures != 0) engine.m1.stop();

        std::atomic<bool> done{false};
        std::thread report([&] {
            parts->telemetryLoop.connectReport(40, 700);
            done = true;
        });
        // Each failed attempt sleeps a second on the clock before the next.
        const int base = counting.sleeps;
        for (int failed = 0;; ++failed) {
            ASSERT_TRUE(eventually([&] { return done || (counting.sleeps > base + failed && clock.sleepers() == 1); }));
            if (done) break;
            if (failed + 1 == c.failures) engine.m1.start();
            clock.advance(1s);
        }
        report.join();
        engine.m1.start();

        const auto reports = plane.reports();
        ASSERT_EQ(reports.size(), c.firstByte ? 1u : 2u);
        const json& r = reports[0];
        EXPECT_EQ(r["report"], "connect_report");
        EXPECT_EQ(r["t_config_loaded_ms"], 40);
        EXPECT_EQ(r["t_tunnel_up_ms"], 700);
        EXPECT_EQ(r["connect_outcome"], c.outcome);
        EXPECT_EQ(r["retries"], c.retries);
        EXPECT_EQ(r.contains("t_first_byte_ms"), c.firstByte.has_value());
        if (c.firstByte) {
            EXPECT_EQ(r["t_first_byte_ms"], *c.firstByte);
        }
        EXPECT_EQ(r.value("trace", ""), c.trace);
        EXPECT_TRUE(log.contains("[Kavri] connect_report: старт пробы first_byte"));
        EXPECT_TRUE(log.contains("[Kavri] connect_report: outcome=" + c.outcome +
                                 " retries=" + std::to_string(c.retries) + " firstByte=" +
                                 (c.firstByte ? std::to_string(*c.firstByte) : "nil") + " → POST"));
        EXPECT_TRUE(log.contains("[Kavri] connect_report: POST завершён"));
        if (!c.firstByte) {
            EXPECT_EQ(reports[1]["report"], "event");
            EXPECT_EQ(reports[1]["event"], "connect_fail");
            EXPECT_EQ(reports[1]["fail_phase"], "first_byte");
        }
    }
}

TEST_F(LoopTasks, ConnectReportWithoutTheHeartbeatInboundSaysOkAtOnce) {
    parts->clash.setHbInboundPresent(false);
    parts->telemetryLoop.connectReport(12, 345);
    const auto reports = plane.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["report"], "connect_report");
    EXPECT_EQ(reports[0]["connect_outcome"], "ok");
    EXPECT_EQ(reports[0]["retries"], 0);
    EXPECT_EQ(reports[0]["t_config_loaded_ms"], 12);
    EXPECT_EQ(reports[0]["t_tunnel_up_ms"], 345);
    EXPECT_FALSE(reports[0].contains("t_first_byte_ms"));
    EXPECT_FALSE(reports[0].contains("trace"));
    EXPECT_FALSE(log.containsText("connect_report"));

    KavriStore::shared().removeObject("sub_token_ne");
    plane.clearRequests();
    parts->telemetryLoop.connectReport(12, 345);  // no token: no report of any kind
    EXPECT_TRUE(plane.reports().empty());
}

// ---- Rule-set refresh -------------------------------------------------------------

TEST_F(LoopTasks, InvalidRuleDownloadsChangeNothing) {
    const fs::path rules = RuRules::rulesDirectory();
    std::map<std::string, std::string> before;
    for (const auto& f : kRuleFiles) {
        before[f] = readFile(rules / f);
        plane.setRuleFile(f, before[f]);  // the server has the same bytes
    }

    const std::vector<std::pair<std::string, std::optional<RuleFile>>> cases = {
        {"identical bytes", std::nullopt},   {"short", RuleFile::Short},
        {"without SRS", RuleFile::NotRuleSet}, {"error status", RuleFile::ErrorStatus},
        {"hang", RuleFile::Hang},
    };
    ruleRefresh.start(retired);
    ASSERT_TRUE(clock.waitForSleepers(1));
    bool first = true;
    for (const auto& row : cases) {
        const std::string& name = row.first;
        const std::optional<RuleFile>& kind = row.second;  // a plain reference: clang 14 lambdas cannot capture bindings
        SCOPED_TRACE(name);
        if (kind) plane.setRuleFile("geoip-ru.srs", *kind);
        const std::size_t seen = ruleRequests(plane);
        clock.advance(first ? 30s : 12h);  // all files present: twelve hours apart
        first = false;
        // A hanging answer is let go once it hangs (the host then answers 503).
        ASSERT_TRUE(eventually([&] {
            if (kind == RuleFile::Hang) plane.releaseHangs();
            return ruleRequests(plane) == seen + 3;
        }));
        ASSERT_TRUE(clock.waitForSleepers(1));
        for (const auto& f : kRuleFiles) EXPECT_EQ(readFile(rules / f), before[f]) << f;
        EXPECT_EQ(std::distance(fs::directory_iterator(rules), fs::directory_iterator()), 3);
    }
    for (const auto& r : plane.requests()) {
        if (r.path.starts_with("/rules/")) {
            EXPECT_EQ(r.header("X-Device-Id"), "DEVICE-1");
        }
    }
    EXPECT_EQ(rulesApplied, 0);  // no file was taken for changed
}

TEST_F(LoopTasks, AMissingRuleFileShortensThePeriodToThirtyMinutes) {
    const fs::path rules = RuRules::rulesDirectory();
    test::TempDir noResources;
    RuRules::setResourcesDirectory(noResources.path());
    fs::remove(rules / "ru-extra.srs");
    for (const auto& f : kRuleFiles) plane.setRuleFile(f, readFile(rules / f));
    plane.setRuleFile("ru-extra.srs", RuleFile::ErrorStatus);

    const auto requestsAfter = [&](Clock::Duration d) {
        clock.advance(d);
        settle();
        return ruleRequests(plane);
    };
    ruleRefresh.start(retired);
    ASSERT_TRUE(clock.waitForSleepers(1));
    EXPECT_EQ(requestsAfter(29999ms), 0u);
    wakeLoop(1ms, [&] { return ruleRequests(plane) == 3; });
    EXPECT_FALSE(RuRules::hasAllFiles());
    EXPECT_EQ(requestsAfter(30min - 1ms), 3u);
    wakeLoop(1ms, [&] { return ruleRequests(plane) == 6; });

    // Once the file arrives the period is twelve hours again.
    plane.setRuleFile("ru-extra.srs", RuleFile::Valid);
    wakeLoop(30min, [&] { return ruleRequests(plane) == 9; });
    EXPECT_EQ(readFile(rules / "ru-extra.srs"), TestControlPlane::ruleFileBytes("ru-extra.srs"));
    EXPECT_EQ(rulesApplied, 1);
    EXPECT_EQ(requestsAfter(30min), 9u);
    EXPECT_EQ(requestsAfter(12h - 30min - 1ms), 9u);
    wakeLoop(1ms, [&] { return ruleRequests(plane) == 12; });
    RuRules::setResourcesDirectory(std::nullopt);
}

// ---- A running tunnel -------------------------------------------------------------------

namespace {

class RunningTunnel : public ::testing::Test {
protected:
    void SetUp() override {
        prepareStore(rig.origin);
        ProviderSettings s;
        s.clock = &clock;
        s.controllerBase = rig.controllerBase();
        s.reloadSettle = 0ms;
        provider = std::make_unique<PacketTunnelProvider>(s);
    }
    void TearDown() override {
        if (started) {
            std::promise<void> done;
            provider->stopTunnel(ProviderStopReason::userInitiated, [&] { done.set_value(); });
            done.get_future().get();
        }
        provider.reset();
    }
    // Every loop of the running tunnel sleeps on the clock, and a loop just
    // started may not be asleep yet: the clock moves a step at a time until
    // `condition` holds.
    bool advanceUntil(Clock::Duration step, const std::function<bool()>& condition) {
        for (int i = 0; i < 200; ++i) {
            for (int j = 0; j < 20; ++j) {
                if (condition()) return true;
                std::this_thread::sleep_for(1ms);
            }
            clock.advance(step);
        }
        return condition();
    }
    void start() {
        std::promise<std::optional<std::string>> done;
        provider->startTunnel(rig.options(), [&](std::optional<std::string> e) { done.set_value(e); });
        ASSERT_EQ(done.get_future().get(), std::nullopt);
        started = true;
    }

    TunnelRig rig;
    FakeClock clock;
    LogCapture log;
    std::unique_ptr<PacketTunnelProvider> provider;
    bool started = false;
};

}  // namespace

TEST_F(RunningTunnel, AStartedEngineGetsItsConnectReportTelemetryAndRuleRefresh) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return !reportsOf(rig.controlPlane, "connect_report").empty(); }));
    const json connect = reportsOf(rig.controlPlane, "connect_report")[0];
    EXPECT_EQ(connect["connect_outcome"], "ok");
    EXPECT_EQ(connect["retries"], 0);
    EXPECT_EQ(connect["t_first_byte_ms"], connect["t_tunnel_up_ms"]);  // the clock stood still

    EXPECT_TRUE(advanceUntil(1s, [&] { return !reportsOf(rig.controlPlane, "heartbeat").empty(); }));
    EXPECT_TRUE(advanceUntil(1s, [&] { return ruleRequests(rig.controlPlane) == 3; }));
}

TEST_F(RunningTunnel, AChangedRuleFileReplacesTheOldOneAndReloadsTheEngineOnceOnItsMember) {
    const fs::path rules = RuRules::rulesDirectory();
    for (const auto& f : kRuleFiles) rig.controlPlane.setRuleFile(f, readFile(rules / f));
    rig.controlPlane.setRuleFile("geoip-ru.srs", RuleFile::Valid, 2);
    const ino_t oldInode = inodeOf(rules / "geoip-ru.srs");
    ASSERT_NO_FATAL_FAILURE(start());
    ClashClient controller(ClashClientSettings{rig.controllerBase() + "/"});
    controller.setSecret(rig.secret);
    ASSERT_TRUE(controller.clashSelect("m2"));
    log.clear();

    ASSERT_TRUE(advanceUntil(30s, [&] { return ruleRequests(rig.controlPlane) > 0; }));
    ASSERT_TRUE(log.waitForText("[Kavri] rules: обновлён union .srs, hot-reload"));
    EXPECT_EQ(readFile(rules / "geoip-ru.srs"), TestControlPlane::ruleFileBytes("geoip-ru.srs", 2));
    EXPECT_NE(inodeOf(rules / "geoip-ru.srs"), oldInode);  // a new file moved into place
    EXPECT_EQ(std::distance(fs::directory_iterator(rules), fs::directory_iterator()), 3);
    EXPECT_EQ(log.count("[engine] configuration reloaded"), 1u);
    EXPECT_EQ(controller.groupState()->now, "m2");  // selected again after the reload
    EXPECT_EQ(eventsOf(rig.controlPlane, "rules_refresh").size(), 1u);
    EXPECT_FALSE(log.containsText("rules hot-reload failed"));
}
