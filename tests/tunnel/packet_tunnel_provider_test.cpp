// The provider's life cycle against the stand-in engine, member proxies and
// a control plane on loopback.
#include "tunnel/packet_tunnel_provider.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tests/support/fresh_shared_store.h"

using namespace kavri;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        rig.prepareStore(test::freshSharedStore());
    }
    static KavriStore& store() { return KavriStore::shared(); }

    ProviderSettings settings(Clock& clock = Clock::system()) {
        ProviderSettings s;
        s.clock = &clock;
        s.controllerBase = rig.controllerBase();
        s.reloadSettle = 20ms;
        return s;
    }
    static std::optional<std::string> start(PacketTunnelProvider& p, json options) {
        std::promise<std::optional<std::string>> done;
        p.startTunnel(std::move(options), [&](std::optional<std::string> e) { done.set_value(e); });
        return done.get_future().get();
    }
    static void stop(PacketTunnelProvider& p, int reason) {
        std::promise<void> done;
        p.stopTunnel(static_cast<ProviderStopReason>(reason), [&] { done.set_value(); });
        done.get_future().get();
    }

    TunnelRig rig;
    LogCapture log;
};

// A connection through the heartbeat inbound to the origin, held open.
int openTunnelThrough(int inboundPort, const OriginServer& origin) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(inboundPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    const std::string req = "CONNECT " + origin.hostPort() + " HTTP/1.1\r\nHost: " + origin.hostPort() + "\r\n\r\n";
    (void)!::write(fd, req.data(), req.size());
    char buf[256];
    if (::read(fd, buf, sizeof buf) <= 0) return -1;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

bool closedByPeer(int fd) {
    char buf[64];
    return ::read(fd, buf, sizeof buf) == 0;
}

}  // namespace

TEST_F(ProviderTest, StartRunsThePreparedConfigurationAndMarksTheRun) {
    PacketTunnelProvider provider(settings());
    ASSERT_EQ(start(provider, rig.options()), std::nullopt);

    const auto held = provider.tunnelOptions().value();
    const json running = json::parse(held["configContent"].get<std::string>());
    const auto shared = KavriStore::directory();
    EXPECT_EQ(running["experimental"]["cache_file"]["path"], (shared / "cache.db").string());
    EXPECT_EQ(running["experimental"]["cache_file"]["enabled"], true);
    for (const auto& rs : running["route"]["rule_set"])
        EXPECT_EQ(rs["path"], (shared / "rules" / (rs["tag"].get<std::string>() + ".srs")).string());
    EXPECT_EQ(held["ignoreMemoryLimit"], false);
    EXPECT_EQ(held["systemProxyEnabled"], true);  // passed through with its type
    EXPECT_EQ(held["configVersion"], 3);

    EXPECT_TRUE(store().boolValue("session_dirty"));
    EXPECT_TRUE(log.contains("[Kavri] >> startTunnel (тонкий клиент)"));
    EXPECT_TRUE(log.contains("[Kavri] subToken в options: есть(tok12345…) (самолечение включено)"));
    EXPECT_TRUE(log.contains("[Kavri] route.final = proxy"));
    EXPECT_TRUE(log.contains("[Kavri] group selector proxy default=m1 members=[\"m1\", \"m2\"]"));
    EXPECT_TRUE(log.contains("[Kavri] outbound http m1 -> 127.0.0.1:" + std::to_string(rig.m1.port())));
    EXPECT_TRUE(log.containsText("[Kavri] >> sing-box СТАРТОВАЛ успешно ("));
    EXPECT_TRUE(log.containsText("[Kavri] cache_file.path -> "));

    ASSERT_TRUE(rig.waitForEvent("connect_start"));
    const auto report = rig.events("connect_start").front();
    EXPECT_EQ(report["sub_token"], rig.token);
    EXPECT_EQ(report["device_id"], rig.device);
    EXPECT_EQ(report["config_version"], 3);
    EXPECT_TRUE(rig.events("tunnel_stop").empty());  // the previous run stopped cleanly
    stop(provider, 1);
}

TEST_F(ProviderTest, StopRecordsTheReasonAndReportsIt) {
    PacketTunnelProvider provider(settings());
    ASSERT_EQ(start(provider, rig.options()), std::nullopt);
    stop(provider, 1);
    EXPECT_EQ(store().string("last_stop_reason"), "user_initiated");
    EXPECT_FALSE(store().boolValue("session_dirty"));
    const auto stops = rig.events("tunnel_stop");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0]["stop_reason"], "user_initiated");
    EXPECT_EQ(stops[0]["user_initiated"], true);
}

TEST_F(ProviderTest, AHangingStopReportCostsAtMostTheLimit) {
    FakeClock clock;
    store().set("sub_token_ne", "stored-token");
    rig.controlPlane.scriptAlways(TestControlPlane::Reply::hang(), "/telemetry");
    PacketTunnelProvider provider(settings(clock));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        provider.stopTunnelBody(ProviderStopReason::superceded);
        stopped = true;
    });
    ASSERT_TRUE(clock.waitForSleepers(1));
    ASSERT_TRUE(rig.controlPlane.waitForRequests(1));
    clock.advance(1999ms);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(stopped);
    clock.advance(1ms);
    stopper.join();
    EXPECT_EQ(store().string("last_stop_reason"), "superceded");
    rig.controlPlane.releaseHangs();
}

TEST_F(ProviderTest, AStartAfterARunThatNeverStoppedReportsItLate) {
    store().set("session_dirty", true);
    PacketTunnelProvider provider(settings());
    ASSERT_EQ(start(provider, rig.options()), std::nullopt);
    ASSERT_TRUE(rig.waitForEvent("tunnel_stop"));
    const auto late = rig.events("tunnel_stop").front();
    EXPECT_EQ(late["stop_reason"], "system_killed");
    EXPECT_EQ(late["user_initiated"], false);
    EXPECT_EQ(late["detected_late"], true);
    EXPECT_TRUE(store().boolValue("session_dirty"));
    stop(provider, 1);
}

TEST_F(ProviderTest, AFailedEngineStartIsReportedAndClearsTheMark) {
    PacketTunnelProvider provider(settings());
    const auto error = start(provider, rig.options("not json"));
    ASSERT_TRUE(error);
    EXPECT_FALSE(store().boolValue("session_dirty"));
    EXPECT_TRUE(log.contains("[Kavri] !! configContent НЕ парсится как JSON"));
    EXPECT_TRUE(log.containsText("[Kavri] !! ОШИБКА СТАРТА sing-box: "));
    const auto reports = rig.reports();
    const auto failed = std::find_if(reports.begin(), reports.end(),
                                     [](const json& r) { return r.value("report", "") == "connect_report"; });
    ASSERT_NE(failed, reports.end());
    EXPECT_EQ((*failed)["connect_outcome"], "failed");
    EXPECT_EQ((*failed)["retries"], 0);
    EXPECT_EQ((*failed)["trace"].get<std::string>().rfind("start: ", 0), 0u);
}

TEST_F(ProviderTest, AStartWithoutOptionsStillReachesTheFramework) {
    PacketTunnelProvider provider(settings());
    EXPECT_TRUE(start(provider, json::object()));
    EXPECT_EQ(provider.tunnelOptions().value(), (json{{"ignoreMemoryLimit", false}}));
    EXPECT_TRUE(log.contains("[Kavri] subToken в options: НЕТ (самолечение НЕ будет работать)"));
    EXPECT_TRUE(log.contains("[Kavri] !! configContent ОТСУТСТВУЕТ в options"));
}

TEST_F(ProviderTest, WakeAfterALongSleepDropsTheEnginesConnections) {
    PacketTunnelProvider provider(settings());
    ASSERT_EQ(start(provider, rig.options()), std::nullopt);
    const int held = openTunnelThrough(rig.hbPort, rig.origin);
    ASSERT_GE(held, 0);
    provider.wake();  // the first wake counts as one after a long sleep
    EXPECT_TRUE(closedByPeer(held));
    ::close(held);
    ASSERT_TRUE(rig.waitForEvent("wake_reset"));
    EXPECT_TRUE(log.containsText("[Kavri] сон "));

    // A second wake right away is no long sleep: nothing happens.
    const int again = openTunnelThrough(rig.hbPort, rig.origin);
    provider.wake();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rig.events("wake_reset").size(), 1u);
    ::close(again);
    stop(provider, 1);
}

TEST_F(ProviderTest, WakeWhileDownloadsMovedRecentlyKeepsConnections) {
    FakeClock clock;
    PacketTunnelProvider provider(settings(clock));
    ASSERT_EQ(start(provider, rig.options()), std::nullopt);
    // The first telemetry cycle samples the engine's connections: downloads
    // count as moved then. The loops may not all sleep yet: step the clock.
    auto heartbeats = [&] {
        std::size_t n = 0;
        for (const auto& r : rig.reports()) n += r.value("report", "") == "heartbeat";
        return n;
    };
    for (int i = 0; i < 100 && heartbeats() == 0; ++i) {
        clock.advance(1s);
        for (int j = 0; j < 50 && heartbeats() == 0; ++j) std::this_thread::sleep_for(2ms);
    }
    ASSERT_GT(heartbeats(), 0u);
    const int held = openTunnelThrough(rig.hbPort, rig.origin);
    ASSERT_GE(held, 0);
    provider.wake();
    ASSERT_TRUE(rig.waitForEvent("wake_reset_skipped"));
    EXPECT_TRUE(rig.events("wake_reset").empty());
    const auto skipped = rig.events("wake_reset_skipped").front();
    EXPECT_GT(std::stoll(skipped["fail_phase"].get<std::string>()), 1'000'000'000LL);  // since the distant past
    ::close(held);
    stop(provider, 1);
}

TEST(ProviderNames, StopReasons) {
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "none"}, {1, "user_initiated"}, {4, "network_change"}, {11, "superceded"}, {15, "sleep"},
        {16, "app_update"}, {17, "unknown(17)"}, {-1, "unknown(-1)"}};
    for (const auto& [raw, name] : cases) EXPECT_EQ(PacketTunnelProvider::stopReasonName(raw), name);
}
