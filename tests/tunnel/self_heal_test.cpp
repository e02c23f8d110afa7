// Configuration polling and the path monitor's wiring, against the stand-in
// engine, member proxies and a control plane on loopback. Loops run on a
// FakeClock.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <iostream>
#include <mutex>

#include "core/kavri_defaults_key.h"
#include "platform/ne/tunnel_control_client.h"
#include "platform/ne/tunnel_host.h"
#include "platform/network/fake_path_monitor.h"
#include "platform/notifications/desktop_notification_center.h"
#include "platform/notifications/freedesktop_notifications.h"
#include "platform/notifications/recording_notification_center.h"
#include "platform/userdata/private_file.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/support/temp_dir.h"
#include "tests/tunnel/loop_parts.h"

using namespace kavri;
using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;
using namespace std::chrono_literals;

namespace {

// Hands the provider a fake monitor that the test still sees after the
// provider has dropped it.
class SharedMonitor final : public PathMonitor {
public:
    explicit SharedMonitor(std::shared_ptr<FakePathMonitor> m) : m_(std::move(m)) {}
    void start(Handler handler) override { m_->start(std::move(handler)); }
    void cancel() override { m_->cancel(); }
    std::optional<NetworkPath> currentPath() const override { return m_->currentPath(); }

private:
    std::shared_ptr<FakePathMonitor> m_;
};

class SelfHealTest : public ::testing::Test {
protected:
    void SetUp() override {
        rig.prepareStore(test::freshSharedStore());
    }
    static KavriStore& store() { return KavriStore::shared(); }

    ProviderSettings settings() {
        ProviderSettings s;
        s.clock = &clock;
        s.controllerBase = rig.controllerBase();
        s.reloadSettle = reloadSettle;
        s.stopReportLimit = stopReportLimit;
        s.notificationCenter = noticeCenter ? noticeCenter : center;
        s.pollLimits.attemptTimeout = 3s;
        s.makePathMonitor = [this] {
            monitor = std::make_shared<FakePathMonitor>();
            return std::make_unique<SharedMonitor>(monitor);
        };
        return s;
    }
    PacketTunnelProvider& started() {
        provider = std::make_unique<PacketTunnelProvider>(settings());
        std::promise<std::optional<std::string>> done;
        provider->startTunnel(rig.options(), [&](std::optional<std::string> e) { done.set_value(e); });
        EXPECT_EQ(done.get_future().get(), std::nullopt);
        return *provider;
    }
    // A self-heal over parts of its own, wired as the provider wires its own,
    // with `p`'s engine, tokens and configuration work under it.
    test::LoopParts& healOver(PacketTunnelProvider& p) {
        test::LoopParts::Options o;
        o.reloadSettle = reloadSettle;
        o.pollLimits = settings().pollLimits;
        o.makePathMonitor = settings().makePathMonitor;
        parts = std::make_unique<test::LoopParts>(p, clock, rig.controllerBase(), rig.secret, o);
        return *parts;
    }
    test::LoopParts& heal() { return parts ? *parts : healOver(*provider); }
    // Waits (real time) until the run's loops all sleep on the clock: the
    // number of sleepers has stopped changing.
    void settle() {
        ASSERT_TRUE(clock.waitForSleepers(2));
        std::size_t last = clock.sleepers();
        for (int stable = 0, i = 0; stable < 20 && i < 1000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::size_t now = clock.sleepers();
            stable = now == last ? stable + 1 : 0;
            last = now;
        }
    }
    // A poll that the throttle lets through.
    bool poll(const std::string& reason = "interval", bool shed = false) {
        heal().run.resetPollThrottle();
        return heal().heal.poll(reason, shed);
    }
    void serve(ordered_json config, json meta = json::object()) {
        if (!meta.empty()) config["_kavri_meta"] = meta;
        rig.controlPlane.setSubscription(rig.token, config);
    }
    std::optional<std::string> lastGood() { return store().data(KavriDefaultsKey::cachedSingboxConfig); }
    std::vector<std::string> members() {
        const auto g = heal().clash.groupState();
        return g ? g->members : std::vector<std::string>{};
    }
    std::optional<std::string> selected() { return heal().group.now(); }
    std::size_t subRequests() const {
        std::size_t n = 0;
        for (const auto& r : rig.controlPlane.requests()) n += r.path.rfind("/sub/", 0) == 0;
        return n;
    }
    std::size_t phaseEvents(const std::string& event, const std::string& phase) const {
        std::size_t n = 0;
        for (const auto& e : rig.events(event)) n += e.value("fail_phase", "") == phase;
        return n;
    }
    // The rig's configuration with a third member "m3" in the group.
    ordered_json withThirdMember() const {
        auto c = rig.config();
        c["outbounds"][0]["outbounds"].push_back("m3");
        c["outbounds"].push_back(
            ordered_json{{"type", "http"}, {"tag", "m3"}, {"server", "127.0.0.1"}, {"server_port", rig.m2.port()}});
        return c;
    }

    TunnelRig rig;
    FakeClock clock;
    std::chrono::milliseconds reloadSettle = 0ms;
    std::chrono::milliseconds stopReportLimit = 2000ms;
    LogCapture log;
    std::shared_ptr<RecordingNotificationCenter> center = std::make_shared<RecordingNotificationCenter>();
    std::shared_ptr<NotificationCenter> noticeCenter;  // in place of `center` when set
    std::shared_ptr<FakePathMonitor> monitor;
    std::unique_ptr<PacketTunnelProvider> provider;
    std::unique_ptr<test::LoopParts> parts;  // ended before the provider
    void TearDown() override { parts.reset(); }
};

const std::string reloadedLine = "[Kavri] self-heal: hot-reloaded new config (interval) + сброс старых соединений";

}  // namespace

TEST_F(SelfHealTest, ANewerConfigurationIsHotReloadedAndTheMemberSelectedAgain) {
    auto& p = started();
    ASSERT_TRUE(heal().clash.clashSelect("m2"));
    store().set(KavriDefaultsKey::pendingConfigRefresh, true);
    serve(withThirdMember(), {{"pull_interval_seconds", 120}});
    const auto closes = p.engineScript().closeAllCount();

    EXPECT_TRUE(poll());
    EXPECT_EQ(members(), (std::vector<std::string>{"m1", "m2", "m3"}));  // the engine runs it
    EXPECT_EQ(selected(), "m2");                                          // and is back on m2
    EXPECT_GT(p.engineScript().closeAllCount(), closes);
    const auto stored = lastGood();
    ASSERT_TRUE(stored);
    EXPECT_EQ(json::parse(*stored)["outbounds"][0]["outbounds"], (json{"m1", "m2", "m3"}));
    EXPECT_EQ(stored->find("cache.db"), std::string::npos);  // stored as received, not as prepared
    EXPECT_FALSE(store().boolValue(KavriDefaultsKey::pendingConfigRefresh));
    EXPECT_TRUE(store().object(KavriDefaultsKey::configAppliedAt));
    EXPECT_EQ(store().integer(KavriDefaultsKey::nePollIntervalSec), 120);
    EXPECT_EQ(log.count(reloadedLine), 1u);
    EXPECT_TRUE(rig.waitForEvent("config_refresh_ok"));

    // The same text 20 s later: nothing to do, and that counts as current.
    clock.advance(20s);
    const auto polls = subRequests();
    EXPECT_TRUE(heal().heal.poll("interval", false));
    EXPECT_EQ(subRequests(), polls + 1);
    EXPECT_EQ(log.count(reloadedLine), 1u);

    // A shed poll reloads it all the same and says so to the server.
    const auto before = p.engineScript().closeAllCount();
    EXPECT_TRUE(poll("stall_shed", true));
    EXPECT_TRUE(log.contains("[Kavri] self-heal: hot-reloaded new config (stall_shed) + сброс старых соединений"));
    EXPECT_GT(p.engineScript().closeAllCount(), before);
    const auto requests = rig.controlPlane.requests();
    const auto shedPoll = std::find_if(requests.rbegin(), requests.rend(),
                                       [](const auto& r) { return r.path.rfind("/sub/", 0) == 0; });
    ASSERT_NE(shedPoll, requests.rend());
    EXPECT_EQ(shedPoll->header("X-Kavri-Shed"), "1");
}

TEST_F(SelfHealTest, AnImplausibleReplyIsRefusedAndTheLastGoodStays) {
    started();
    const std::string good = rig.config().dump();
    store().set(KavriDefaultsKey::cachedSingboxConfig, Data{good});
    auto padded = [](ordered_json c) {
        c["pad"] = std::string(300, 'x');
        return c;
    };
    const std::vector<std::pair<const char*, ordered_json>> cases = {
        {"short", ordered_json{{"outbounds", {{{"type", "direct"}, {"tag", "d"}}}}, {"route", ordered_json::object()}}},
        {"no outbounds", padded({{"outbounds", ordered_json::array()}, {"route", ordered_json::object()}})},
        {"no route", padded({{"outbounds", {{{"type", "direct"}, {"tag", "d"}}}}})},
        {"route not an object", padded({{"outbounds", {{{"type", "direct"}, {"tag", "d"}}}}, {"route", "x"}})},
    };
    for (const auto& [name, body] : cases) {
        SCOPED_TRACE(name);
        // The account notices and tunables of the reply are taken all the same.
        serve(body, {{"state", "charge_failed"}, {"price_month", 299}, {"pull_interval_seconds", 60}});
        EXPECT_FALSE(poll());
        EXPECT_EQ(lastGood(), good);
        EXPECT_EQ(members(), (std::vector<std::string>{"m1", "m2"}));
    }
    EXPECT_EQ(log.count("[Kavri] self-heal: new config implausible, keep last-good"), cases.size());
    EXPECT_EQ(center->count("autocharge_failed"), 1u);
    EXPECT_EQ(store().integer(KavriDefaultsKey::nePollIntervalSec), 60);
    ASSERT_TRUE(rig.waitForEvent("config_refresh_fail"));
    for (int i = 0; i < 500 && phaseEvents("config_refresh_fail", "implausible") < cases.size(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(phaseEvents("config_refresh_fail", "implausible"), cases.size());
}

TEST_F(SelfHealTest, ARefusedReloadKeepsTheLastGood) {
    auto& p = started();
    const std::string good = rig.config().dump();
    store().set(KavriDefaultsKey::cachedSingboxConfig, Data{good});
    auto refused = withThirdMember();
    refused["route"]["final"] = "nowhere";

    serve(refused);
    EXPECT_FALSE(poll());
    EXPECT_EQ(lastGood(), good);
    EXPECT_EQ(members(), (std::vector<std::string>{"m1", "m2"}));  // still the old configuration
    EXPECT_TRUE(log.containsText("[Kavri] self-heal: hotReload failed, keep last-good: "));
    ASSERT_TRUE(rig.waitForEvent("config_refresh_fail"));
    EXPECT_EQ(phaseEvents("config_refresh_fail", "hot_reload"), 1u);
    EXPECT_EQ(p.engineScript().closeAllCount(), 0u);
}

TEST_F(SelfHealTest, ANewEpochIsAppliedUnconditionallyButNeverLosesTheLastGood) {
    started();
    serve(rig.config(), {{"config_epoch", 1}});
    ASSERT_TRUE(poll());
    const auto good = lastGood();
    ASSERT_TRUE(good);
    EXPECT_EQ(store().integer(KavriDefaultsKey::configEpoch), 1);

    auto refused = withThirdMember();
    refused["route"]["final"] = "nowhere";
    const std::vector<std::pair<const char*, ordered_json>> bad = {
        {"implausible", ordered_json{{"outbounds", ordered_json::array()}, {"route", ordered_json::object()}}},
        {"refused", refused},
    };
    std::int64_t epoch = 1;
    for (const auto& [name, body] : bad) {
        SCOPED_TRACE(name);
        serve(body, {{"config_epoch", ++epoch}});
        EXPECT_FALSE(poll());
        EXPECT_EQ(store().integer(KavriDefaultsKey::configEpoch), epoch);
        EXPECT_EQ(lastGood(), good);  // the tunnel still has its last-good configuration
        EXPECT_EQ(members(), (std::vector<std::string>{"m1", "m2"}));
    }

    // A new epoch reloads even an unchanged text, and selects nothing again.
    ASSERT_TRUE(heal().clash.clashSelect("m2"));
    log.clear();
    serve(rig.config(), {{"config_epoch", ++epoch}});
    EXPECT_TRUE(poll());
    EXPECT_TRUE(log.contains("[Kavri] config_epoch вырос → кэш last-good выброшен, применяем свежий безусловно"));
    EXPECT_EQ(log.count(reloadedLine), 1u);
    EXPECT_EQ(selected(), "m1");
    EXPECT_EQ(lastGood(), good);

    // An older epoch changes nothing.
    serve(rig.config(), {{"config_epoch", 2}});
    EXPECT_TRUE(poll());
    EXPECT_EQ(store().integer(KavriDefaultsKey::configEpoch), epoch);
    EXPECT_EQ(log.count(reloadedLine), 1u);
}

TEST_F(SelfHealTest, ARevokedSubscriptionStopsEveryTaskAndTheTunnel) {
    test::TempDir dir;
    auto owned = std::make_unique<PacketTunnelProvider>(settings());
    auto& p = *owned;
    TunnelHostConfig config;
    config.directory = dir.path();
    config.wake.interval = 1h;
    TunnelHost host(std::move(owned), config);
    TunnelControlClient client(TunnelControlClient::socketPath(dir.path()));
    ASSERT_EQ(client.start(rig.options()).status, TunnelStatus::connected);
    ASSERT_TRUE(clock.waitForSleepers(2));  // the self-heal loop and the heartbeat

    rig.controlPlane.script(TestControlPlane::Reply::withStatus(402), "/sub/.*");
    auto& own = healOver(p);
    own.run.resetPollThrottle();
    EXPECT_FALSE(own.heal.poll("interval", false));
    EXPECT_TRUE(log.contains("[Kavri] подписка недействительна (HTTP 402) — останавливаем туннель"));
    const auto invalid = rig.events("sub_invalid");  // sent before the tunnel stops
    ASSERT_EQ(invalid.size(), 1u);
    EXPECT_EQ(invalid[0]["fail_phase"], "402");
    EXPECT_EQ(invalid[0]["sub_token"], rig.token);
    EXPECT_TRUE(monitor->cancelled());

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (host.snapshot().status != TunnelStatus::disconnected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(host.snapshot().status, TunnelStatus::disconnected);
    EXPECT_EQ(clock.sleepers(), 0u);  // no loop is left
    EXPECT_EQ(subRequests(), 1u);
}

TEST_F(SelfHealTest, ARevokedSubscriptionMetByTheLoopEndsTheLoopToo) {
    store().set(KavriDefaultsKey::nePollIntervalSec, 20);
    std::atomic<int> cancels{0};
    auto& p = started();
    p.setCancelHandler([&](std::optional<std::string> error) {
        EXPECT_EQ(error, std::nullopt);
        ++cancels;
    });
    rig.controlPlane.scriptAlways(TestControlPlane::Reply::withStatus(403), "/sub/.*");
    // Every loop of the run sleeps on this clock; step it until the self-heal
    // loop (whenever it began its sleep) has polled.
    for (int i = 0; i < 60 && rig.events("sub_invalid").empty(); ++i) {
        clock.advance(1s);
        rig.controlPlane.waitForRequests(rig.controlPlane.requestCount() + 1, 50ms);
    }
    ASSERT_TRUE(rig.waitForEvent("sub_invalid"));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((cancels == 0 || clock.sleepers() != 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(clock.sleepers(), 0u);  // the loop that met it ended with the rest
    EXPECT_EQ(rig.events("sub_invalid").front()["fail_phase"], "403");
    provider.reset();  // joins the loop's thread, which ended the run itself
}

TEST_F(SelfHealTest, PollsCloserThanTwentySecondsAreRefused) {
    provider = std::make_unique<PacketTunnelProvider>(settings());
    auto& p = heal().heal;
    rig.controlPlane.scriptAlways(TestControlPlane::Reply::withStatus(500), "/sub/.*");

    // Without a token: one line, no request, and the throttle still counts it.
    store().removeObject(KavriDefaultsKey::subTokenForNE);
    EXPECT_FALSE(p.poll("interval", false));
    EXPECT_EQ(log.count("[Kavri] self-heal: НЕТ sub-токена — поллинг невозможен"), 1u);
    store().set(KavriDefaultsKey::subTokenForNE, rig.token);

    clock.advance(19900ms);
    EXPECT_FALSE(p.poll("interval", false));
    EXPECT_EQ(subRequests(), 0u);
    EXPECT_EQ(log.count("НЕТ sub-токена"), 1u);

    clock.advance(100ms);
    EXPECT_FALSE(p.poll("interval", false));  // fetched; the server failed
    EXPECT_EQ(subRequests(), 1u);
    EXPECT_TRUE(log.containsText("[Kavri] self-heal fetch failed (interval), keep last-good: "));
    EXPECT_FALSE(store().object(KavriDefaultsKey::configAppliedAt));

    // A caller that resets the throttle is let through at once.
    clock.advance(1s);
    heal().run.resetPollThrottle();
    EXPECT_FALSE(p.poll("stack_select", false));
    EXPECT_EQ(subRequests(), 2u);
    EXPECT_TRUE(rig.events("sub_invalid").empty());
}

TEST(SelfHealInterval, TheServerMayOnlyShortenTheSetting) {
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {0, 900}, {19, 900}, {20, 20}, {899, 899}, {900, 900}, {901, 900}, {-5, 900}};
    for (const auto& [server, expected] : cases)
        EXPECT_EQ(SelfHeal::interval(900, server).count(), expected) << server;
}

TEST_F(SelfHealTest, TheLoopPollsAtItsIntervalAndAPendingRefreshPollsAtStart) {
    store().set(KavriDefaultsKey::nePollIntervalSec, 30);
    store().set(KavriDefaultsKey::pendingConfigRefresh, true);
    serve(withThirdMember());
    started();
    ASSERT_TRUE(log.waitForText("[Kavri] self-heal: hot-reloaded new config (pending_select)"));
    EXPECT_EQ(subRequests(), 1u);
    EXPECT_FALSE(store().boolValue(KavriDefaultsKey::pendingConfigRefresh));

    settle();
    clock.advance(29s);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(subRequests(), 1u);
    clock.advance(1s);
    for (int i = 0; i < 500 && subRequests() < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(subRequests(), 2u);
}

TEST_F(SelfHealTest, PathUpdatesFeedTheTelemetryAndMarkChangesOfThePrimaryInterface) {
    provider = std::make_unique<PacketTunnelProvider>(settings());
    auto& own = heal();
    own.heal.start(own.retired);
    ASSERT_TRUE(monitor && monitor->started());

    using T = NetworkPath::InterfaceType;
    auto path = [](std::vector<T> types, bool satisfied = true) {
        NetworkPath n;
        n.status = satisfied ? NetworkPath::Status::satisfied : NetworkPath::Status::unsatisfied;
        for (std::size_t i = 0; i < types.size(); ++i) {
            const int index = static_cast<int>(i) + 1;
            n.availableInterfaces.push_back({"if" + std::to_string(index), index, types[i]});
        }
        return n;
    };
    struct Step {
        NetworkPath path;
        std::optional<std::string> kind;
        bool changed;
    };
    const std::vector<Step> steps = {
        {path({T::wifi}), "wifi", false},  // the first report is no change
        {path({T::wifi, T::wiredEthernet}), "wifi", false},
        {path({T::wiredEthernet}), "ethernet", true},
        {path({}, false), std::nullopt, true},  // losing every interface is one
        {path({T::wifi}), "wifi", false},       // regaining one is not
        {path({T::cellular}, false), std::nullopt, true},
        {path({T::loopback}), "other", true},
    };
    std::int64_t changes = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        clock.advance(1s);
        const auto before = own.run.lastNetChangeAt();
        monitor->push(steps[i].path);
        const auto f = own.telemetry.fields();
        EXPECT_EQ(f.networkType, steps[i].kind);
        EXPECT_EQ(f.radioTech, steps[i].kind == "wifi" ? std::optional<std::string>("wifi") : std::nullopt);
        EXPECT_EQ(f.pathSatisfied, steps[i].path.status == NetworkPath::Status::satisfied);
        changes += steps[i].changed;
        EXPECT_EQ(f.pathChangesSinceLast, changes);
        EXPECT_EQ(own.run.lastNetChangeAt(), steps[i].changed ? clock.wallNow() : before);
        if (steps[i].changed) {
            EXPECT_EQ(f.pathChangedAt, clock.wallNow());
        }
    }
}

namespace {

// Holds every subscription request at the control plane until opened, then
// answers it with `body`.
class HeldSubscriptions {
public:
    HeldSubscriptions(TestControlPlane& plane, std::string body) : body_(std::move(body)) {
        plane.route("GET", "/sub/.*", [this](const TestControlPlane::Request&) {
            std::unique_lock lock(mutex_);
            ++held_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return open_; });
            ++answered_;
            changed_.notify_all();
            return TestControlPlane::Reply::subscription(body_);
        });
    }
    ~HeldSubscriptions() { open(); }
    bool waitHeld(int n) { return waitFor([&] { return held_ >= n; }); }
    bool waitAnswered(int n) { return waitFor([&] { return answered_ >= n; }); }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, pred);
    }
    std::string body_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    int answered_ = 0;
    bool open_ = false;
};

}  // namespace

TEST_F(SelfHealTest, PollsAnsweredAfterTheStopChangeNothing) {
    auto newer = withThirdMember();
    newer["_kavri_meta"] = {{"pull_interval_seconds", 120}};
    HeldSubscriptions held(rig.controlPlane, newer.dump());
    store().set(KavriDefaultsKey::pendingConfigRefresh, true);
    const auto lastGoodBefore = lastGood();

    auto& p = started();
    ASSERT_TRUE(held.waitHeld(1));  // the start's own poll
    std::promise<std::optional<std::string>> answer;
    p.handleAppMessage("poll-now", [&](std::optional<std::string> r) { answer.set_value(std::move(r)); });
    ASSERT_TRUE(held.waitHeld(2));  // the app's poll
    const auto closes = p.engineScript().closeAllCount();

    std::promise<void> stopped;
    p.stopTunnel(ProviderStopReason::userInitiated, [&] { stopped.set_value(); });
    ASSERT_EQ(stopped.get_future().wait_for(10s), std::future_status::ready);
    held.open();
    ASSERT_TRUE(held.waitAnswered(2));

    EXPECT_EQ(p.engine(), nullptr);
    EXPECT_EQ(lastGood(), lastGoodBefore);
    EXPECT_TRUE(store().boolValue(KavriDefaultsKey::pendingConfigRefresh));
    EXPECT_EQ(p.engineScript().closeAllCount(), closes);
    EXPECT_FALSE(log.containsText("hot-reloaded new config"));
    EXPECT_EQ(clock.sleepers(), 0u);
    auto reply = answer.get_future();
    ASSERT_EQ(reply.wait_for(10s), std::future_status::ready);
    EXPECT_NE(reply.get(), "ok");
    provider.reset();
    EXPECT_TRUE(rig.events("config_refresh_ok").empty());
}

// A stop that comes while a poll reloads the engine cuts the reload short,
// whether the engine itself takes its time (held here until the test lets
// it go) or the pause after it lasts (the clock stands still): either would
// hold the stop for good without the cut.
TEST_F(SelfHealTest, AStopDuringAReloadEndsWithinASecond) {
    for (const bool slowEngine : {true, false}) {
        SCOPED_TRACE(slowEngine ? "the engine's reload is slow" : "the pause after the reload");
        SetUp();
        reloadSettle = slowEngine ? 0ms : 300ms;
        stopReportLimit = 0ms;  // only the reload stands between the stop and its end
        auto& p = started();
        settle();
        const auto loops = clock.sleepers();
        ASSERT_TRUE(heal().clash.clashSelect("m2"));
        serve(withThirdMember(), {{"pull_interval_seconds", 120}});
        if (slowEngine) p.engineScript().holdReloads();

        std::promise<std::optional<std::string>> answer;
        p.handleAppMessage("poll-now", [&](std::optional<std::string> r) { answer.set_value(std::move(r)); });
        if (slowEngine) {
            for (int i = 0; i < 1000 && !p.engineScript().reloadWaited(); ++i) std::this_thread::sleep_for(10ms);
            ASSERT_TRUE(p.engineScript().reloadWaited());
        } else {
            ASSERT_TRUE(clock.waitForSleepers(loops + 1));
            EXPECT_EQ(members(), (std::vector<std::string>{"m1", "m2", "m3"}));  // reloaded, in its pause
        }

        std::promise<void> stopped;
        const auto before = std::chrono::steady_clock::now();
        p.stopTunnel(ProviderStopReason::userInitiated, [&] { stopped.set_value(); });
        auto done = stopped.get_future();
        const bool prompt = done.wait_for(1s) == std::future_status::ready;
        EXPECT_TRUE(prompt) << "the stop took longer than 1 s";
        if (!prompt) {  // let the reload end so that the test can finish
            p.engineScript().releaseReloads();
            clock.advance(1s);
            done.wait();
        }
        std::cout << "stop took " << std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - before).count() << " ms\n";
        p.engineScript().releaseReloads();
        auto reply = answer.get_future();
        ASSERT_EQ(reply.wait_for(10s), std::future_status::ready);
        // A reload cut short leaves the last-good; one that took effect counts.
        EXPECT_EQ(reply.get() == "ok", !slowEngine);
        EXPECT_EQ(p.engine(), nullptr);
        EXPECT_EQ(clock.sleepers(), 0u);
        EXPECT_FALSE(log.containsText("hotReload failed"));
        parts.reset();
        provider.reset();
    }
}

// The account notice a poll posts waits for the notices' file, which another
// process holds: neither the poll nor the run's stop waits with it, and the
// notice is shown once the file is free.
TEST_F(SelfHealTest, ANoticeWaitingForItsFileHoldsNeitherThePollNorTheStop) {
    test::TempDir notices;
    const auto presenter = std::make_shared<FreedesktopNotifications>("unix:path=" + (notices / "no-bus").string());
    auto desktop = std::make_shared<DesktopNotificationCenter>(notices.path(), presenter, Clock::system(), 1h);
    noticeCenter = desktop;
    auto& p = started();
    std::optional<PrivateFile::Lock> held(std::in_place, notices / "notifications.lock");
    ASSERT_TRUE(held->held());
    serve(withThirdMember(), {{"state", "charge_failed"}, {"price_month", 299}, {"pull_interval_seconds", 120}});

    std::promise<std::optional<std::string>> answer;
    p.handleAppMessage("poll-now", [&](std::optional<std::string> r) { answer.set_value(std::move(r)); });
    auto reply = answer.get_future();
    ASSERT_EQ(reply.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reply.get(), "ok");
    EXPECT_TRUE(log.containsText("[Kavri] charge_failed → отправлено локальное уведомление"));
    std::promise<void> stopped;
    p.stopTunnel(ProviderStopReason::userInitiated, [&] { stopped.set_value(); });
    ASSERT_EQ(stopped.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(p.engine(), nullptr);
    EXPECT_FALSE(log.containsText("[Kavri] notification autocharge_failed"));

    held.reset();
    ASSERT_TRUE(desktop->drain());
    EXPECT_EQ(log.count("[Kavri] notification autocharge_failed: "), 1u);
    provider.reset();
    NotificationCenter::install(nullptr);
}
