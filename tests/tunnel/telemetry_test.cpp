#include "tunnel/telemetry.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "core/deployment.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_pki.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Serves scripted controller replies the way the engine's controller does.
struct ScriptedController {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::mutex m;
    std::map<std::string, json> replies;
    std::vector<std::string> authHeaders;

    ScriptedController() {
        server.Get(R"(/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(m);
            authHeaders.push_back(req.get_header_value("Authorization"));
            const auto it = replies.find(req.matches[1].str());
            if (it == replies.end()) {
                res.status = 404;
                return;
            }
            res.set_content(it->second.dump(), "application/json");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~ScriptedController() {
        server.stop();
        thread.join();
    }
    void set(const std::string& path, json reply) {
        std::lock_guard lock(m);
        replies[path] = std::move(reply);
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port); }
};

// HTTPS hosts that record what reaches "/telemetry".
struct ReportSink {
    httplib::SSLServer server{TestPki::shared().certFile().c_str(), TestPki::shared().keyFile().c_str()};
    std::thread thread;
    int port = 0;
    int status;
    std::mutex m;
    std::vector<json> reports;
    std::vector<std::string> userAgents;

    explicit ReportSink(int statusCode) : status(statusCode) {
        server.Post("/telemetry", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(m);
            reports.push_back(json::parse(req.body, nullptr, false));
            userAgents.push_back(req.get_header_value("User-Agent"));
            res.status = status;
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~ReportSink() {
        server.stop();
        thread.join();
    }
    std::size_t count() {
        std::lock_guard lock(m);
        return reports.size();
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port); }
};

json connection(const std::string& id, std::int64_t down, std::int64_t up, std::vector<std::string> chains) {
    return {{"id", id}, {"download", down}, {"upload", up}, {"chains", chains}};
}

json table(std::vector<json> conns, std::int64_t downTotal = 0, std::int64_t upTotal = 0) {
    return {{"downloadTotal", downTotal}, {"uploadTotal", upTotal}, {"connections", conns}};
}

class TelemetryTest : public ::testing::Test {
protected:
    test::TempDir dir;
    KavriStore store{dir.path()};
    FakeClock clock;
    ScriptedController engine;
    Telemetry telemetry{clock, store, Telemetry::Settings{engine.base(), (dir / "no-profile").string()}};
};

}  // namespace

TEST_F(TelemetryTest, ThroughputOverATwelveSecondWindow) {
    telemetry.update([](Telemetry::Fields& f) { f.activeMember = "m1"; });
    engine.set("connections", table({connection("c1", 10'000, 0, {"m1", "proxy"})}, 10'000));
    ASSERT_TRUE(telemetry.sampleConnections());
    clock.advance(12s);
    engine.set("connections", table({connection("c1", 60'000, 0, {"m1", "proxy"})}, 60'000));
    const auto s = telemetry.sampleConnections();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->downBytes, 50'000);
    EXPECT_EQ(s->downKbps, 33);
    EXPECT_EQ(s->upKbps, 0);
    EXPECT_EQ(s->windowMs, 12'000);
    EXPECT_EQ(s->connNew, 0);
    EXPECT_EQ(s->connCarrying, 1);
}

TEST_F(TelemetryTest, StalledSilentAndForeignConnections) {
    // c0: never a byte; c1..c4: silent with the histogram's edge sizes;
    // c5: belongs to no group.
    const std::vector<std::pair<std::string, std::int64_t>> silent = {
        {"c1", 2047}, {"c2", 2048}, {"c3", 8192}, {"c4", 32768}};
    std::vector<json> conns{connection("c0", 0, 0, {"proxy"})};
    for (const auto& [id, down] : silent) conns.push_back(connection(id, down, 0, {"proxy"}));
    conns.push_back(connection("c5", 100, 0, {"direct"}));
    engine.set("connections", table(conns, 1000));

    auto first = telemetry.sampleConnections();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->connNew, 6);
    EXPECT_EQ(first->connStalled, 0);  // new connections are not stalled yet
    EXPECT_FALSE(first->windowMs);
    EXPECT_FALSE(first->downKbps);

    clock.advance(6s);
    conns.back() = connection("c5", 5000, 0, {"direct"});
    engine.set("connections", table(conns, 5000));
    auto s = telemetry.sampleConnections();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->connStalled, 1);
    EXPECT_EQ(s->connActive, 5);
    EXPECT_EQ(s->connSilentOpen, 5);  // c0 too: its count has not moved either
    EXPECT_EQ(s->connCarrying, 1);
    EXPECT_EQ(s->downBytes, 0);  // c5 is outside the group
    EXPECT_EQ(s->silentHist, (std::map<std::string, std::int64_t>{{"lt2k", 2}, {"2k_8k", 1}, {"8k_32k", 1}, {"gt32k", 1}}));
    EXPECT_EQ(s->silentMsP50, 6000);
    EXPECT_EQ(s->silentMsMax, 6000);

    // A connection that disappears is forgotten and counts as new again.
    engine.set("connections", table({connection("c9", 1, 0, {"proxy"})}, 5000));
    EXPECT_EQ(telemetry.sampleConnections()->connNew, 1);
    engine.set("connections", table(conns, 5000));
    EXPECT_EQ(telemetry.sampleConnections()->connNew, 6);
}

TEST_F(TelemetryTest, SilencePercentilesAndTransportFallback) {
    std::vector<json> conns;
    for (int i = 0; i < 4; ++i) conns.push_back(connection("c" + std::to_string(i), 10, 0, {"proxy"}));
    engine.set("connections", table(conns));
    engine.set("proxies", json::parse(R"({"proxies": {
        "proxy": {"now": "de-hy2", "all": ["de-hy2", "de-ws"], "type": "Selector"},
        "de-ws": {"history": [{"delay": 120, "time": "t1"}]}}})"));
    telemetry.sampleConnections();
    // Each connection goes silent at a different moment.
    for (int step = 0; step < 3; ++step) {
        clock.advance(2s);
        conns[static_cast<std::size_t>(step + 1)]["download"] = 20 + step;
        engine.set("connections", table(conns));
        telemetry.sampleConnections();
    }
    clock.advance(1s);
    engine.set("proxies", json::parse(R"({"proxies": {
        "proxy": {"now": "de-ws", "all": ["de-hy2", "de-ws"]},
        "de-ws": {"history": [{"delay": 120, "time": "t1"}]}}})"));
    const auto s = telemetry.sampleConnections();
    ASSERT_TRUE(s);
    // Silences: 7000 (c0), 5000 (c1), 3000 (c2), 1000 (c3) -> only > 5 s count.
    EXPECT_EQ(s->connSilentOpen, 1);
    EXPECT_EQ(s->silentMsMax, 7000);
    EXPECT_EQ(s->transport, "ws");
    EXPECT_EQ(s->fallbackOccurred, true);
    ASSERT_TRUE(s->members);
    EXPECT_EQ((*s->members)[1], (json{{"tag", "de-ws"}, {"last_delay_ms", 120}, {"last_ok_at", "t1"}}));
    EXPECT_EQ((*s->members)[0], (json{{"tag", "de-hy2"}}));
    EXPECT_FALSE(telemetry.sampleConnections()->fallbackOccurred);
}

TEST_F(TelemetryTest, SilenceMedianIsTheUpperMiddle) {
    telemetry.update([](Telemetry::Fields& f) { f.stalledAgeSec = 0; });
    std::vector<json> conns;
    for (int i = 0; i < 4; ++i) conns.push_back(connection("c" + std::to_string(i), 10, 0, {"proxy"}));
    engine.set("connections", table(conns));
    telemetry.sampleConnections();
    for (int step = 0; step < 3; ++step) {
        clock.advance(2s);
        conns[static_cast<std::size_t>(step + 1)]["download"] = 20 + step;
        engine.set("connections", table(conns));
        telemetry.sampleConnections();
    }
    clock.advance(1s);
    const auto s = telemetry.sampleConnections();
    // c3 moved last, 1 s ago: silences 7000, 5000, 3000, 1000.
    EXPECT_EQ(s->connSilentOpen, 4);
    EXPECT_EQ(s->silentMsP50, 5000);
    EXPECT_EQ(s->silentMsMax, 7000);
}

TEST_F(TelemetryTest, EnvelopeAndHeartbeatReport) {
    ReportSink sink(200);
    Deployment d = Deployment::builtIn();
    d.hosts = {{sink.host(), {}}};
    d.caBundle = TestPki::shared().caFile();
    Deployment::install(d);

    telemetry.update([](Telemetry::Fields& f) {
        f.clashSecret = "s3cret";
        f.deviceID = "DEV";
        f.sessionID = "SES";
        f.configVersion = 7;
        f.memberDelays = {{"m1", 40}};
        f.pathSatisfied = true;
        f.pathChangesSinceLast = 3;
        f.handshakeMs = 250;
    });
    engine.set("connections", table({}));
    engine.set("kavri/diag", {{"conn_total", 99}, {"dials_total", 0}, {"dials_fail_dial", 0}, {"stall_dumps_pending", 2}, {"extra", "x"}});
    clock.advance(30s);
    telemetry.heartbeatReport("tok");

    ASSERT_EQ(sink.count(), 1u);
    const json r = sink.reports[0];
    EXPECT_EQ(r["report"], "heartbeat");
    EXPECT_EQ(r["sub_token"], "tok");
    EXPECT_EQ(r["platform"], "macos");
    EXPECT_EQ(r["device_id"], "DEV");
    EXPECT_EQ(r["session_id"], "SES");
    EXPECT_EQ(r["config_version"], 7);
    EXPECT_EQ(r["member_delays"], (json{{"m1", 40}}));
    EXPECT_EQ(r["path_ok"], "yes");
    EXPECT_EQ(r["path_ok_kind"], "nw_satisfied");
    EXPECT_EQ(r["app_state"], "unknown");
    EXPECT_EQ(r["low_power_mode"], false);
    EXPECT_EQ(r["seconds_since_path_change"], 30);
    EXPECT_EQ(r["conn_total"], 0);      // the report's own value wins over the diagnostics
    EXPECT_EQ(r["extra"], "x");         // other diagnostics are copied
    EXPECT_EQ(r["dials_started"], 0);
    EXPECT_EQ(r["idle"], true);
    EXPECT_EQ(r["path_change_count"], 3);
    EXPECT_EQ(r["reconnects"], 0);
    EXPECT_EQ(r["handshake_ms"], 250);
    EXPECT_EQ(r["net_stable_sec"], 30);
    EXPECT_EQ(r["app_version"], r["client_version"]);
    EXPECT_EQ(sink.userAgents[0], "KavriApp iOS-NE");
    EXPECT_EQ(telemetry.fields().pathChangesSinceLast, 0);
    EXPECT_EQ(telemetry.fields().stallDumpsPending, 2);
    EXPECT_EQ(engine.authHeaders.front(), "Bearer s3cret");
}

TEST_F(TelemetryTest, ReportsTryOnlyTheFirstTwoHosts) {
    ReportSink first(500), second(503), third(200);
    Deployment d = Deployment::builtIn();
    d.hosts = {{first.host(), {}}, {second.host(), {}}, {third.host(), {}}};
    d.caBundle = TestPki::shared().caFile();
    Deployment::install(d);
    telemetry.sendEvent("tok", "connect_start");
    EXPECT_EQ(first.count(), 1u);
    EXPECT_EQ(second.count(), 1u);
    EXPECT_EQ(third.count(), 0u);
    EXPECT_EQ(first.reports[0]["event"], "connect_start");

    second.status = 200;
    telemetry.sendEvent("tok", "tunnel_stop", std::nullopt, {{"stop_reason", "user_initiated"}, {"user_initiated", true}});
    EXPECT_EQ(second.count(), 2u);
    EXPECT_EQ(second.reports[1]["user_initiated"], true);
    EXPECT_EQ(third.count(), 0u);
}

TEST_F(TelemetryTest, StallDumpMapping) {
    ReportSink sink(200);
    Deployment d = Deployment::builtIn();
    d.hosts = {{sink.host(), {}}};
    d.caBundle = TestPki::shared().caFile();
    Deployment::install(d);

    engine.set("kavri/stall_dump", {{"empty", true}});
    EXPECT_FALSE(telemetry.fetchStallDump());
    engine.set("kavri/stall_dump", {{"at", 5}, {"groups", {1, 2}}, {"log_tail", {"a", "b"}}, {"runtime", {{"heap", 1}, {"event", "x"}}}});
    const auto dump = telemetry.fetchStallDump();
    ASSERT_TRUE(dump);
    telemetry.sendStallDump("tok", *dump, {{"reason", "stall"}, {"stall_at", "ignored"}});
    ASSERT_EQ(sink.count(), 1u);
    const json r = sink.reports[0];
    EXPECT_EQ(r["event"], "stall_dump");
    EXPECT_EQ(r["stall_at"], 5);
    EXPECT_EQ(r["stall_groups"], (json{1, 2}));
    EXPECT_EQ(r["stall_log_tail"], "a\nb");
    EXPECT_EQ(r["heap"], 1);
    EXPECT_EQ(r["reason"], "stall");
    EXPECT_FALSE(r.contains("stall_trigger_no_write"));
}

TEST(TelemetryVersions, ClientAndSystemVersionTexts) {
    EXPECT_EQ(Telemetry::clientVersion({{"CFBundleShortVersionString", "1.4.0"}, {"CFBundleVersion", "57"}}), "1.4.0 (57)");
    EXPECT_EQ(Telemetry::clientVersion({}), "? (?)");
    EXPECT_EQ(Telemetry::clientVersion({{"CFBundleVersion", 57}}), "? (?)");
}

TEST_F(TelemetryTest, CountersOutOfRangeStopAtTheLimits) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    // c1 goes from a negative count to the largest; c2 holds the largest
    // count both ways, so its total does not fit either.
    engine.set("connections", table({connection("c1", -kMax, 0, {"proxy"}), connection("c2", kMax, kMax, {"proxy"})}));
    const auto first = telemetry.sampleConnections();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->connActive, 1);  // c2
    clock.advance(12s);
    engine.set("connections", table({connection("c1", kMax, 0, {"proxy"}), connection("c2", kMax, kMax, {"proxy"})}));
    const auto second = telemetry.sampleConnections();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->downBytes, kMax);
    EXPECT_EQ(second->connActive, 2);
    EXPECT_GT(second->downKbps.value_or(0), 0);
}
