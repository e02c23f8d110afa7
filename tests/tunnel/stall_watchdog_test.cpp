// The stall watchdog and the member probe against the stand-in engine, its
// member proxies and a control plane on loopback, on a fake clock.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "core/kavri_defaults_key.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/tunnel/loop_parts.h"

using namespace kavri;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

class StallWatchdogTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Heartbeats are off here: they would switch away from a stalled
        // member by themselves.
        rig.prepareStore(test::freshSharedStore(), {{"hb_enabled", false}});
    }
    void TearDown() override { rig.m1.setStalled(false); }
    static KavriStore& store() { return KavriStore::shared(); }

    ProviderSettings settings() {
        ProviderSettings s;
        s.clock = &clock;
        s.controllerBase = rig.controllerBase();
        s.engine.defaultTestURL = rig.origin.url("/generate_204");
        s.reloadSettle = 0ms;
        return s;
    }
    // The engine runs with the rig's configuration; the provider's own
    // background tasks do not, so a test drives single passes.
    void startEngineOnly(PacketTunnelProvider& p) {
        const std::string config = rig.config().dump();
        std::promise<std::optional<std::string>> done;
        p.ExtensionProvider::startTunnel({{"configContent", config}},
                                         [&](std::optional<std::string> e) { done.set_value(e); });
        ASSERT_EQ(done.get_future().get(), std::nullopt);
        p.learnRuntimeParams(config);
    }
    static void enableWatch(PlistValue::Dict extra = {}) {
        extra["enabled"] = true;
        store().set("stall_watch_raw", PlistValue(extra));
    }
    // The watchdog and the member probe over parts of their own, as the
    // provider wires them, with the provider's engine under them.
    std::unique_ptr<test::LoopParts> loopsOver(PacketTunnelProvider& p) {
        auto parts = std::make_unique<test::LoopParts>(p, clock, rig.controllerBase(), rig.secret);
        parts->clash.setProbeTag("proxy");
        return parts;
    }
    std::vector<json> heals() const { return rig.events("heal"); }
    // The subscription fetches the control plane saw.
    std::vector<TestControlPlane::Request> fetches() const {
        std::vector<TestControlPlane::Request> out;
        for (const auto& r : rig.controlPlane.requests())
            if (r.path.rfind("/sub/", 0) == 0) out.push_back(r);
        return out;
    }
    // Serves the rig's configuration as the subscription.
    void serveSubscription() {
        auto body = rig.config();
        body["_kavri_meta"] = {{"state", "paid"}};
        rig.controlPlane.setSubscription(rig.token, body);
    }

    FakeClock clock;
    TunnelRig rig;
    LogCapture log;
};

// ---------------------------------------------------------------- samples

TEST(StallSamples, ConnectionTableBecomesASample) {
    struct Case {
        const char* table;
        StallWatch::Snapshot expected;

    };
    const std::vector<Case> cases = {
        {R"({"downloadTotal": 1200, "uploadTotal": 30, "connections": [{"id": "a"}, {"id": "b"}]})",
         {1200, 30, 2, {"a", "b"}}},
        {R"({"downloadTotal": 5.0, "uploadTotal": 7, "connections": [{"id": "a"}, {"chains": []}]})",
         {5, 7, 2, {"a"}}},
        {R"({"downloadTotal": 5.5, "connections": [{"id": 3}]})", {0, 0, 1, {}}},
        {R"({"downloadTotal": "5", "uploadTotal": 18446744073709551615})", {0, 0, 0, {}}},
        {R"({"downloadTotal": 9, "connections": [{"id": "a"}, "b"]})", {9, 0, 0, {}}},
        {R"({"downloadTotal": 9, "connections": {"id": "a"}})", {9, 0, 0, {}}},
        {R"({})", {0, 0, 0, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        const auto s = StallWatchdog::snapshotOf(json::parse(c.table));
        EXPECT_EQ(s.downBytes, c.expected.downBytes);
        EXPECT_EQ(s.upBytes, c.expected.upBytes);
        EXPECT_EQ(s.openStreams, c.expected.openStreams);
        EXPECT_EQ(s.connIDs, c.expected.connIDs);
    }
}

TEST(StallSamples, MemberProbeSettingsAndDelays) {
    using Dict = PlistValue::Dict;
    const std::vector<std::pair<std::optional<PlistValue>, std::int64_t>> probeSec = {
        {std::nullopt, 20},
        {PlistValue("x"), 20},
        {PlistValue(Dict{}), 20},
        {PlistValue(Dict{{"member_probe_sec", 45}}), 45},
        {PlistValue(Dict{{"member_probe_sec", 30.0}}), 30},
        {PlistValue(Dict{{"member_probe_sec", 2.5}}), 20},
        {PlistValue(Dict{{"member_probe_sec", "30"}}), 20},
        {PlistValue(Dict{{"member_probe_sec", true}}), 20},
        {PlistValue(Dict{{"member_probe_sec", 0}}), 0},
        {PlistValue(Dict{{"member_probe_sec", -5}}), -5},
        {PlistValue(Dict{{"member_probe_sec", 100000}}), 100000},
    };
    for (const auto& [raw, expected] : probeSec) EXPECT_EQ(MemberProbe::probeSec(raw), expected);

    using Delays = std::map<std::string, std::int64_t>;
    EXPECT_EQ(MemberProbe::delaysOf(json::parse(R"({"a": 120, "b": 0, "c": "x", "d": -4, "e": 7.0, "f": 7.5})")),
              (Delays{{"a", 120}, {"e", 7}}));
    EXPECT_EQ(MemberProbe::delaysOf(json::parse(R"({"b": 0})")), Delays{});
}

// ---------------------------------------------------------------- the watchdog's passes

// The worked sequence of the stall decision, carried out by the watchdog on
// the stand-in engine: a sample every 2 s, one new connection per sample,
// downloads standing still except where a row moves them. A pass without a
// row must do nothing at all.
struct Pass {
    int t;
    std::optional<std::int64_t> down = std::nullopt;
    std::string action = "";  // "", "rebuild_streams" or "shed"
    std::int64_t stallMs = 0;
    int newConns = 0;
    int index = 0;
};

TEST_F(StallWatchdogTest, CarriesOutTheWorkedStallSequence) {
    enableWatch({{"version", 7}});
    store().set("app_state", "foreground");
    serveSubscription();
    PacketTunnelProvider provider(settings());
    startEngineOnly(provider);
    auto& engine = provider.engineScript();
    auto loops = loopsOver(provider);

    const std::vector<Pass> passes = {
        {0, 100},
        {8, {}, "rebuild_streams", 8000, 4, 1},
        {16, {}, "rebuild_streams", 8000, 8, 2},
        {24, {}, "shed", 8000, 12},
        // 60 s of quiet after the switch; then the silence since the switch counts.
        {84, {}, "rebuild_streams", 60000, 30, 1},
        // Downloads move briefly between silences: the index starts again, the
        // per-minute window does not.
        {86, 200},
        {94, {}, "rebuild_streams", 8000, 4, 1},
        {96, 300},
        {104, {}, "rebuild_streams", 8000, 4, 1},
        {106, 400},
        // Three rebuilds within 60 s: cooldowns of 5, 15, then 30 s, no action.
        {114}, {120}, {136},
        {166, {}, "rebuild_streams", 60000, 30, 1},
        {174, {}, "rebuild_streams", 8000, 34, 2},
        // Rebuilds did not help, but the last switch was only 150 s ago.
        {182}, {200},
    };

    std::int64_t down = 0;
    std::size_t next = 0;
    for (int t = 0; t <= passes.back().t; t += 2) {
        SCOPED_TRACE("t=" + std::to_string(t));
        if (t > 0) clock.advance(2s);
        const Pass* row = next < passes.size() && passes[next].t == t ? &passes[next++] : nullptr;
        if (row && row->down) down = *row->down;
        engine.setConnections(json{{"downloadTotal", down},
                                   {"uploadTotal", 1000 + t},
                                   {"connections", json::array({{{"id", "c" + std::to_string(t)}}})}});
        const std::size_t closesBefore = engine.closeAllCount();
        const std::size_t healsBefore = heals().size();
        const std::size_t fetchesBefore = fetches().size();

        loops->watchdog.pass(StallWatch::Config::stored(store()));

        const std::string action = row ? row->action : "";
        // A rebuild drops the connections; so does the reload after a shed.
        EXPECT_EQ(engine.closeAllCount() - closesBefore, action.empty() ? 0u : 1u);
        const auto sheds = fetches();
        ASSERT_EQ(sheds.size() - fetchesBefore, action == "shed" ? 1u : 0u);
        if (action == "shed") {
            EXPECT_EQ(sheds.back().header("X-Kavri-Shed"), "1");
        }
        const auto all = heals();
        ASSERT_EQ(all.size() - healsBefore, action.empty() ? 0u : 1u);
        if (action.empty()) continue;
        const json& heal = all.back();
        EXPECT_EQ(heal["reason"], "stalled_session");
        EXPECT_EQ(heal["action"], action);
        EXPECT_EQ(heal["result"], "ok");
        json expected = {{"stall_ms", row->stallMs},
                         {"streams_killed", 1},
                         {"new_conns", row->newConns},
                         {"sw_version", 7},
                         {"foreground", true}};
        if (action == "rebuild_streams") {
            expected["rebuild_index"] = row->index;
            EXPECT_TRUE(log.contains("[Kavri] сторож: молчание " + std::to_string(row->stallMs) + " мс, 1 соединений, " +
                                     std::to_string(row->newConns) + " новых → пересборка #" +
                                     std::to_string(row->index)));
        } else {
            EXPECT_TRUE(log.contains("[Kavri] сторож: " + std::to_string(row->stallMs) +
                                     " мс молчания после пересборок → просим шед"));
        }
        EXPECT_EQ(heal["heal_result"], expected);
    }
    EXPECT_EQ(next, passes.size());
}

// While the backend cannot shed, the decision proposes the switch on every
// sample; the watchdog asks again only once the poll spacing has passed.
TEST_F(StallWatchdogTest, AFailedShedIsAskedAgainOnlyAfterThePollSpacing) {
    enableWatch({{"stall_seconds_bg", 3}, {"rebuilds_before_switch", 1}});
    serveSubscription();
    rig.controlPlane.scriptAlways(TestControlPlane::Reply::withStatus(503), "/sub/.*");
    PacketTunnelProvider provider(settings());
    startEngineOnly(provider);
    auto& engine = provider.engineScript();
    auto loops = loopsOver(provider);

    std::vector<std::pair<int, std::string>> sheds;  // second, result
    for (int t = 0; t <= 60; t += 2) {
        if (t == 40) rig.controlPlane.clearScript();  // the backend is back
        engine.setConnections(json{{"downloadTotal", 5}, {"connections", json::array({{{"id", "c" + std::to_string(t)}}})}});
        const std::size_t before = heals().size();
        loops->watchdog.pass(StallWatch::Config::stored(store()));
        const auto all = heals();
        if (all.size() > before && all.back()["action"] == "shed") sheds.emplace_back(t, all.back()["result"]);
        clock.advance(2s);
    }
    // Rebuild at 4 s; failed sheds at 8 s and 28 s (20 s later), none in
    // between; the one at 48 s succeeds, and the quiet time follows.
    EXPECT_EQ(sheds, (std::vector<std::pair<int, std::string>>{{8, "failed"}, {28, "failed"}, {48, "ok"}}));
    for (const auto& fetch : fetches()) EXPECT_EQ(fetch.header("X-Kavri-Shed"), "1");
    EXPECT_EQ(fetches().size(), 3u);
    EXPECT_EQ(log.count("[Kavri] self-heal fetch failed (stall_shed), keep last-good: "), 2u);
}

TEST_F(StallWatchdogTest, AShedThatMeetsARevokedSubscriptionEndsTheRunAndTheWatchdog) {
    enableWatch({{"stall_seconds_bg", 3}, {"rebuilds_before_switch", 1}});
    rig.controlPlane.scriptAlways(TestControlPlane::Reply::withStatus(403), "/sub/.*");
    PacketTunnelProvider provider(settings());
    std::atomic<int> cancels{0};
    provider.setCancelHandler([&](std::optional<std::string>) { ++cancels; });
    ASSERT_EQ(provider.startTunnelBody(rig.options()), std::nullopt);
    auto& engine = provider.engineScript();

    // Downloads stand still while new connections keep coming, second by second.
    int second = 0;
    auto tick = [&] {
        engine.setConnections(json{{"downloadTotal", 5}, {"connections", json::array({{{"id", "c" + std::to_string(second++)}}})}});
        clock.advance(1s);
        std::this_thread::sleep_for(5ms);
    };
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (cancels == 0 && std::chrono::steady_clock::now() < deadline) tick();
    ASSERT_EQ(cancels, 1);
    ASSERT_EQ(rig.events("sub_invalid").size(), 1u);
    EXPECT_EQ(rig.events("sub_invalid").front()["fail_phase"], "403");
    ASSERT_EQ(fetches().size(), 1u);
    EXPECT_EQ(fetches().front().header("X-Kavri-Shed"), "1");

    // The watchdog ended with the run: the stall goes on, nothing more happens.
    const std::size_t closes = engine.closeAllCount();
    for (int i = 0; i < 10; ++i) tick();
    EXPECT_EQ(engine.closeAllCount(), closes);
    EXPECT_EQ(fetches().size(), 1u);
    for (const auto& heal : heals()) EXPECT_EQ(heal["action"], "rebuild_streams");  // the failed shed is not reported
}

// The self-heal loop and the watchdog's shed poll meet a revoked subscription
// at the same moment: the run ends once, and every loop with it.
TEST_F(StallWatchdogTest, TwoPollsMeetingARevokedSubscriptionTogetherEndTheRunOnce) {
    enableWatch({{"stall_seconds_bg", 3}, {"rebuilds_before_switch", 1}});
    store().set(KavriDefaultsKey::nePollIntervalSec, 20);
    // Both polls are held until the second arrives, then both get 403; the
    // test lets a lone one go only when it ends.
    std::mutex held;
    std::condition_variable arrived;
    int polls = 0;
    bool released = false;
    const auto release = [&] {
        std::lock_guard lock(held);
        released = true;
        arrived.notify_all();
    };
    const std::shared_ptr<void> releaseAtEnd(nullptr, [&](void*) { release(); });
    rig.controlPlane.route("GET", "/sub/(.+)", [&](const TestControlPlane::Request&) {
        std::unique_lock lock(held);
        ++polls;
        arrived.notify_all();
        arrived.wait(lock, [&] { return polls >= 2 || released; });
        return TestControlPlane::Reply::withStatus(403);
    });
    // The held poll waits for the other one however long a loaded machine
    // takes to shed: its request has no time limit of its own here.
    ProviderSettings s = settings();
    s.pollLimits.attemptTimeout = std::chrono::minutes(10);
    auto provider = std::make_unique<PacketTunnelProvider>(s);
    std::atomic<int> cancels{0};
    provider->setCancelHandler([&](std::optional<std::string>) { ++cancels; });
    ASSERT_EQ(provider->startTunnelBody(rig.options()), std::nullopt);
    auto& engine = provider->engineScript();

    // Traffic moves until the self-heal loop's poll is held; then downloads
    // stand still while new connections keep coming, and the watchdog sheds.
    std::int64_t down = 0;
    int second = 0;
    const auto deadline = std::chrono::steady_clock::now() + 120s;  // only a hang meets it
    while (cancels == 0 && std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(held);
            if (polls == 0) down += 1000;
        }
        engine.setConnections(
            json{{"downloadTotal", down}, {"connections", json::array({{{"id", "c" + std::to_string(second++)}}})}});
        clock.advance(1s);
        std::this_thread::sleep_for(5ms);
    }
    const auto settled = std::chrono::steady_clock::now() + 60s;
    while (clock.sleepers() != 0 && std::chrono::steady_clock::now() < settled) std::this_thread::sleep_for(5ms);
    {
        std::lock_guard lock(held);
        EXPECT_EQ(polls, 2);
    }
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(clock.sleepers(), 0u);  // no loop is left
    if (cancels != 1 || clock.sleepers() != 0) {
        (void)provider.release();  // its loops wait on each other: leave them
        return;
    }
    provider->stopTunnelBody(ProviderStopReason::providerFailed);
}

TEST_F(StallWatchdogTest, ARebuildWithoutATokenDropsConnectionsButReportsNothing) {
    store().removeObject("sub_token_ne");
    enableWatch({{"stall_seconds_bg", 3}});
    PacketTunnelProvider provider(settings());
    startEngineOnly(provider);
    auto& engine = provider.engineScript();
    auto loops = loopsOver(provider);
    const auto config = StallWatch::Config::stored(store());
    for (int i = 0; i <= 4; ++i) {
        engine.setConnections(json{{"downloadTotal", 5}, {"connections", json::array({{{"id", "c" + std::to_string(i)}}})}});
        loops->watchdog.pass(config);
        clock.advance(1s);
    }
    EXPECT_EQ(engine.closeAllCount(), 1u);
    EXPECT_TRUE(log.contains("[Kavri] сторож: молчание 3000 мс, 1 соединений, 3 новых → пересборка #1"));
    EXPECT_TRUE(heals().empty());
}

// ---------------------------------------------------------------- member probe

TEST_F(StallWatchdogTest, MemberProbeMeasuresTheGroupOnlyWhileConnectionsExist) {
    PacketTunnelProvider provider(settings());
    startEngineOnly(provider);
    auto& engine = provider.engineScript();
    auto loops = loopsOver(provider);
    auto delays = [&] { return loops->telemetry.fields().memberDelays; };

    // No connection: no probe, and the next tick with connections probes at once.
    engine.setConnections(json{{"connections", json::array()}});
    loops->probe.pass(20);
    EXPECT_TRUE(delays().empty());

    rig.m2.stop();
    engine.setConnections(json{{"connections", json::array({{{"id", "a"}}})}});
    loops->probe.pass(20);
    ASSERT_EQ(delays().size(), 1u);  // a failed member is left out
    EXPECT_GE(delays().at("m1"), 1);

    rig.m2.start();
    clock.advance(19s);
    loops->probe.pass(20);  // too early
    EXPECT_EQ(delays().size(), 1u);
    clock.advance(1s);
    loops->probe.pass(20);
    EXPECT_EQ(delays().size(), 2u);

    rig.m2.stop();
    clock.advance(100s);
    loops->probe.pass(0);  // switched off
    loops->probe.pass(-5);
    EXPECT_EQ(delays().size(), 2u);
}

// ---------------------------------------------------------------- the loops

int openThroughInbound(int inboundPort, const std::string& url) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(inboundPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    const std::string request = "GET " + url + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    (void)!::write(fd, request.data(), request.size());
    return fd;
}

// Whether the peer ends the stream within a few seconds (unread bytes are
// skipped).
bool endedByPeer(int fd) {
    char buf[16384];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        const auto n = ::read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

TEST_F(StallWatchdogTest, AStalledDownloadIsRebuiltThenShedByTheRunningWatchdog) {
    enableWatch();
    serveSubscription();
    PacketTunnelProvider provider(settings());
    ASSERT_EQ(provider.startTunnelBody(rig.options()), std::nullopt);
    auto& engine = provider.engineScript();

    // A download runs, then its member stalls: the bytes stop while the
    // connection stays open, and the apps keep opening new ones.
    const int download = openThroughInbound(rig.hbPort, rig.origin.url("/stream"));
    ASSERT_GE(download, 0);
    char first[1024];
    ASSERT_GT(::read(download, first, sizeof first), 0);
    rig.m1.setStalled(true);

    std::vector<int> opened;
    auto stallFor = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (int second = 1; !done() && std::chrono::steady_clock::now() < deadline; ++second) {
            if (second % 2 == 0) opened.push_back(openThroughInbound(rig.hbPort, rig.origin.url("/hello")));
            clock.advance(1s);
            std::this_thread::sleep_for(5ms);
        }
    };
    stallFor([&] { return engine.closeAllCount() > 0; });
    ASSERT_EQ(engine.closeAllCount(), 1u);
    EXPECT_TRUE(endedByPeer(download));
    ASSERT_TRUE(rig.waitForEvent("heal"));
    EXPECT_EQ(heals().front()["action"], "rebuild_streams");
    EXPECT_EQ(heals().front()["heal_result"]["rebuild_index"], 1);
    EXPECT_EQ(heals().front()["heal_result"]["foreground"], false);

    // The stall goes on: a second rebuild, then the backend is asked to shed.
    stallFor([&] { return !fetches().empty(); });
    ASSERT_EQ(fetches().size(), 1u);
    EXPECT_EQ(fetches().front().header("X-Kavri-Shed"), "1");
    EXPECT_TRUE(log.waitForText("[Kavri] self-heal: hot-reloaded new config (stall_shed) + сброс старых соединений"));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (heals().size() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    const auto all = heals();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1]["heal_result"]["rebuild_index"], 2);
    EXPECT_EQ(all[2]["action"], "shed");
    EXPECT_EQ(all[2]["result"], "ok");

    ::close(download);
    for (int fd : opened) ::close(fd);
    rig.m1.setStalled(false);
    provider.stopTunnelBody(ProviderStopReason::userInitiated);
}

TEST_F(StallWatchdogTest, TheWatchdogRereadsItsSettingsEveryPass) {
    PacketTunnelProvider provider(settings());
    auto loops = loopsOver(provider);
    store().set("stall_watch_raw", PlistValue(PlistValue::Dict{{"version", 3}}));
    loops->watchdog.start(loops->retired);
    ASSERT_TRUE(clock.waitForSleepers(1));
    EXPECT_EQ(loops->telemetry.fields().stallWatchVersion, 3);

    store().set("stall_watch_raw", PlistValue(PlistValue::Dict{{"version", 4}}));
    clock.advance(2s);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (loops->telemetry.fields().stallWatchVersion != 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(loops->telemetry.fields().stallWatchVersion, 4);
    loops->watchdog.cancel(loops->retired);
}

}  // namespace
