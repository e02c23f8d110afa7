// The member heartbeat: its timing, miss counting and switching rules on a
// FakeClock with a scripted group, then end to end through the stand-in
// engine and member proxies on loopback.
#include "tunnel/heartbeat.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>

#include "core/detect_config.h"
#include "core/stall_watch.h"
#include "platform/network/fake_path_monitor.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tests/support/fresh_shared_store.h"
#include "tunnel/packet_tunnel_provider.h"

using namespace kavri;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// The provider's side of a heartbeat, scripted: a group, the probe's answers
// (204 once the script runs out), and a record of what the heartbeat did.
// tick() moves the FakeClock by one tick and waits until the loop has
// handled it and sleeps again.
class Rig {
    template <class F>
    auto locked(F&& f) const {
        std::lock_guard lock(mutex_);
        return f();
    }

public:
    explicit Rig(DetectConfig config = testConfig(), double jitter = 1.0) : cfg_(std::move(config)) {
        heartbeat_ = std::make_unique<Heartbeat>(deps(), clock, Heartbeat::Timing{}, [jitter] { return jitter; });
    }
    ~Rig() { heartbeat_.reset(); }

    // Foreground beats every 1 s, one miss switches, no time limits.
    static DetectConfig testConfig() {
        DetectConfig c;
        c.hbIntervalMs = 1000;
        c.hbMissToSwitch = 1;
        c.hbGraceAfterPathMs = 0;
        c.switchMinIntervalMs = 0;
        return c;
    }

    void start() {
        heartbeat_->start();
        ASSERT_TRUE(clock.waitForSleepers(1));
    }
    void tick(Clock::Duration step = 200ms) {
        clock.advance(step);
        // A loop in its long disabled wait is not due and sleeps on.
        ASSERT_TRUE(clock.waitUntilSettled(1));
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) tick();
    }
    // Ticks until the next beat (at most `limit` ticks); the ticks it took.
    int untilBeat(int limit = 2000) {
        const auto before = beats().size();
        for (int i = 1; i <= limit; ++i) {
            tick();
            if (beats().size() > before) return i;
        }
        ADD_FAILURE() << "no beat";
        return -1;
    }

    // Script.
    void setConfig(DetectConfig c) { locked([&] { cfg_ = std::move(c); }); }
    void setAppState(std::optional<std::string> s) { locked([&] { appState_ = std::move(s); }); }
    void setGroup(std::vector<std::string> members, std::optional<std::string> now) {
        locked([&] { group_ = KavriHeartbeatDeps::Group{std::move(members), std::move(now), "Selector"}; });
    }
    void noGroup() { locked([&] { group_.reset(); }); }
    void probes(std::vector<std::optional<int>> statuses) {
        locked([&] { probes_.insert(probes_.end(), statuses.begin(), statuses.end()); });
    }
    void refuseSelections() { locked([&] { selectOK_ = false; }); }
    void netChange() { locked([&] { netChange_ = clock.wallNow(); }); }

    // Record.
    std::vector<json> events(const std::string& name = "") const {
        std::lock_guard lock(mutex_);
        std::vector<json> out;
        for (const auto& [n, f] : events_)
            if (name.empty() || n == name) out.push_back(f);
        return out;
    }
    std::vector<std::string> eventNames() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_) out.push_back(e.first);
        return out;
    }
    std::vector<std::string> selections() const { return locked([&] { return selections_; }); }
    std::vector<std::string> active() const { return locked([&] { return active_; }); }
    std::vector<Clock::MonoTime> beats() const { return locked([&] { return beats_; }); }

    FakeClock clock;
    Heartbeat& heartbeat() { return *heartbeat_; }

private:
    KavriHeartbeatDeps deps() {
        KavriHeartbeatDeps d;
        d.cfg = [this] {
            std::lock_guard lock(mutex_);
            return cfg_;
        };
        d.appState = [this] { return locked([&] { return appState_; }); };
        d.groupMembers = [this](std::stop_token) { return locked([&] { return group_; }); };
        d.clashSelect = [this](const std::string& member, std::stop_token) {
            return locked([&] {
                selections_.push_back(member);
                if (selectOK_ && group_) group_->now = member;
                return selectOK_;
            });
        };
        d.setActiveMember = [this](const std::string& member) { locked([&] { active_.push_back(member); }); };
        d.heartbeatOnce = [this](const std::string&, std::int64_t, std::stop_token) {
            return locked([&] {
                beats_.push_back(clock.monoNow());
                std::optional<int> status = 204;
                if (!probes_.empty()) {
                    status = probes_.front();
                    probes_.pop_front();
                }
                ClashClient::HeartbeatResult r;
                r.status = status;
                if (status) r.rttMs = 12;
                return r;
            });
        };
        d.netChangeStamp = [this] { return locked([&] { return netChange_; }); };
        d.sendEvent = [this](const std::string& name, json fields) {
            locked([&] { events_.emplace_back(name, std::move(fields)); });
        };
        return d;
    }

    mutable std::mutex mutex_;
    DetectConfig cfg_;
    std::optional<std::string> appState_ = "foreground";
    std::optional<KavriHeartbeatDeps::Group> group_ = KavriHeartbeatDeps::Group{{"a", "b", "c"}, "a", "Selector"};
    std::deque<std::optional<int>> probes_;
    bool selectOK_ = true;
    Clock::WallTime netChange_ = StallWatch::distantPast();
    std::vector<std::pair<std::string, json>> events_;
    std::vector<std::string> selections_;
    std::vector<std::string> active_;
    std::vector<Clock::MonoTime> beats_;
    std::unique_ptr<Heartbeat> heartbeat_;
};

constexpr std::optional<int> miss = std::nullopt;

}  // namespace

TEST(Heartbeat, BeatsComeAfterTheJitteredIntervalOfTheAppState) {
    struct Case {
        std::optional<std::string> appState;
        double jitter;
        int ticks;  // to each beat: the interval in whole ticks, rounded up
    };
    const std::vector<Case> cases = {
        {std::nullopt, 0.7, 158}, {std::nullopt, 1.0, 225},  // 31.5 ... 45 s
        {"background", 0.7, 158}, {"foreground", 0.7, 9},    // 1.75 ... 2.5 s
        {"foreground", 1.0, 13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.appState.value_or("none") + " " + std::to_string(c.jitter));
        Rig rig(DetectConfig{}, c.jitter);
        rig.setAppState(c.appState);
        rig.start();
        EXPECT_EQ(rig.untilBeat(), c.ticks);
        EXPECT_EQ(rig.untilBeat(), c.ticks);
    }
}

TEST(Heartbeat, TheFirstTickThatSeesTheForegroundBeats) {
    Rig rig(DetectConfig{});
    rig.setAppState(std::nullopt);
    rig.start();
    rig.ticks(10);
    EXPECT_TRUE(rig.beats().empty());
    rig.setAppState("foreground");
    EXPECT_EQ(rig.untilBeat(), 1);
    // A pulse asks for one too.
    rig.ticks(2);
    rig.heartbeat().pulse();
    EXPECT_EQ(rig.untilBeat(), 1);
}

TEST(Heartbeat, MissesSwitchToTheNextMemberAndTheFirstGoodBeatReportsIt) {
    DetectConfig cfg = Rig::testConfig();
    cfg.hbMissToSwitch = 2;
    Rig rig(cfg);
    rig.setGroup({"a", "b", "c"}, "c");
    rig.probes({miss, 200, 204, 204});
    rig.start();

    rig.untilBeat();
    EXPECT_EQ(rig.events(), (std::vector<json>{
                                {{"hb_result", "miss"}, {"hb_rtt_ms", nullptr}, {"hb_member", "c"}, {"hb_miss_streak", 1}}}));
    EXPECT_TRUE(rig.selections().empty());

    rig.untilBeat();  // 200 is a miss too: the second in a row switches, wrapping to the first member
    EXPECT_EQ(rig.selections(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(rig.active(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(rig.events("hb").back()["hb_miss_streak"], 2);

    const auto switchedAt = rig.clock.wallNow();
    rig.untilBeat();
    const auto back = rig.events("member_switch");
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0]["from"], "c");
    EXPECT_EQ(back[0]["to"], "a");
    EXPECT_EQ(back[0]["reason"], "hb_miss");
    EXPECT_EQ(back[0]["ms_to_first_hb_ok"],
              std::chrono::duration_cast<std::chrono::milliseconds>(rig.clock.wallNow() - switchedAt).count());
    EXPECT_EQ(rig.events("hb").back(),
              (json{{"hb_result", "ok"}, {"hb_rtt_ms", 12}, {"hb_member", "a"}, {"hb_miss_streak", 0}}));

    rig.untilBeat();  // a second good beat reports nothing more
    EXPECT_EQ(rig.events("member_switch").size(), 1u);
}

TEST(Heartbeat, TheCandidateIsTheNextMemberInTheGroupsOrder) {
    struct Case {
        std::vector<std::string> members;
        std::optional<std::string> now;
        std::string candidate;
    };
    const std::vector<Case> cases = {
        {{"a", "b", "c"}, "a", "b"},
        {{"a", "b", "c"}, "c", "a"},
        {{"a", "b", "c"}, "zz", "a"},
        {{"a", "b", "c"}, std::nullopt, "a"},
        {{"x", "y"}, "x", "y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.now.value_or("none"));
        Rig rig;
        rig.setGroup(c.members, c.now);
        rig.probes({miss});
        rig.start();
        rig.untilBeat();
        EXPECT_EQ(rig.selections(), (std::vector<std::string>{c.candidate}));
    }
}

TEST(Heartbeat, NoSwitchWithinTheGraceAfterANetworkChange) {
    DetectConfig cfg = Rig::testConfig();
    cfg.hbGraceAfterPathMs = 15000;
    Rig rig(cfg);
    rig.probes(std::vector<std::optional<int>>(40, miss));
    rig.netChange();
    const auto changedAt = rig.clock.wallNow();
    rig.start();
    while (rig.selections().empty()) {
        rig.untilBeat();
        if (rig.clock.wallNow() - changedAt > 20s) break;
    }
    ASSERT_EQ(rig.selections().size(), 1u);
    EXPECT_GE(rig.clock.wallNow() - changedAt, 15s);
    EXPECT_LT(rig.clock.wallNow() - changedAt, 16s + 200ms);
    EXPECT_GE(rig.events("hb").size(), 15u);  // the streak kept growing meanwhile
}

TEST(Heartbeat, ANetworkChangeClearsTheStreak) {
    DetectConfig cfg = Rig::testConfig();
    cfg.hbMissToSwitch = 2;
    Rig rig(cfg);
    rig.probes({miss, miss, miss});
    rig.start();
    rig.untilBeat();
    rig.netChange();
    rig.untilBeat();
    EXPECT_EQ(rig.events("hb").back()["hb_miss_streak"], 1);
    EXPECT_TRUE(rig.selections().empty());
    rig.untilBeat();
    EXPECT_EQ(rig.selections().size(), 1u);
}

TEST(Heartbeat, TheRingIsExhaustedOnceEveryMemberWasTried) {
    Rig rig;
    rig.probes(std::vector<std::optional<int>>(6, miss));
    rig.start();
    for (int i = 0; i < 6; ++i) rig.untilBeat();
    EXPECT_EQ(rig.selections(), (std::vector<std::string>{"b", "c", "a"}));
    const auto exhausted = rig.events("ring_exhausted");
    ASSERT_EQ(exhausted.size(), 1u);
    EXPECT_EQ(exhausted[0], (json{{"members_tried", 3}}));
    EXPECT_EQ(rig.events("hb").back()["hb_miss_streak"], 2);  // counting on, no more switching

    // A good beat opens the ring again.
    rig.probes({204, miss});
    rig.untilBeat();
    rig.untilBeat();
    EXPECT_EQ(rig.selections().size(), 4u);

    // So does a network change.
    rig.probes({miss, miss, miss, miss});
    for (int i = 0; i < 3; ++i) rig.untilBeat();
    EXPECT_EQ(rig.events("ring_exhausted").size(), 2u);
    rig.netChange();
    rig.untilBeat();
    EXPECT_EQ(rig.selections().size(), 7u);
}

TEST(Heartbeat, SwitchesAreCapped) {
    struct Case {
        const char* name;
        std::int64_t maxPerHour;
        std::int64_t minIntervalMs;
        int switchesFirst;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"disabled", 0, 0, 0, "disabled"},
        {"max_per_hour", 20, 0, 20, "max_per_hour"},
        {"min_interval", 20, 15000, 1, "min_interval"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DetectConfig cfg = Rig::testConfig();
        cfg.maxSwitchPerHour = c.maxPerHour;
        cfg.switchMinIntervalMs = c.minIntervalMs;
        Rig rig(cfg);
        rig.start();
        // Each miss is due a switch; a good beat after it keeps the ring open.
        for (int i = 0; i < c.switchesFirst; ++i) {
            rig.probes({miss, 204});
            rig.untilBeat();
            rig.untilBeat();
        }
        EXPECT_EQ(rig.selections().size(), static_cast<std::size_t>(c.switchesFirst));
        EXPECT_TRUE(rig.events("switch_capped").empty());

        rig.probes({miss});
        rig.untilBeat();  // 2 s after the last switch at most
        EXPECT_EQ(rig.events("switch_capped"), (std::vector<json>{{{"reason", c.reason}}}));
        EXPECT_EQ(rig.selections().size(), static_cast<std::size_t>(c.switchesFirst));
    }
}

TEST(Heartbeat, TheHourlyBudgetAgesOut) {
    DetectConfig cfg = Rig::testConfig();
    cfg.maxSwitchPerHour = 2;
    Rig rig(cfg);
    rig.start();
    for (int i = 0; i < 2; ++i) {
        rig.probes({miss, 204});
        rig.untilBeat();
        rig.untilBeat();
    }
    rig.probes({miss});
    rig.untilBeat();
    EXPECT_EQ(rig.events("switch_capped").size(), 1u);

    rig.tick(3600s);  // one tick that lasts an hour
    rig.probes({miss});
    rig.untilBeat();
    EXPECT_EQ(rig.selections().size(), 3u);
}

TEST(Heartbeat, ARefusedSelectionOrAnUnreadableGroupChangesNothing) {
    Rig rig;
    rig.refuseSelections();
    rig.probes({miss, 204});
    rig.start();
    rig.untilBeat();
    rig.untilBeat();
    EXPECT_EQ(rig.selections().size(), 1u);
    EXPECT_TRUE(rig.active().empty());
    EXPECT_TRUE(rig.events("member_switch").empty());

    rig.noGroup();  // as for a group of one member
    rig.probes({miss, miss});
    rig.untilBeat();
    rig.untilBeat();
    EXPECT_EQ(rig.selections().size(), 1u);
    EXPECT_EQ(rig.events("hb").back()["hb_member"], nullptr);
    for (const auto& name : rig.eventNames()) EXPECT_EQ(name, "hb");
}

TEST(Heartbeat, DisabledItNeverBeatsAndForgetsTheOutage) {
    DetectConfig cfg = Rig::testConfig();
    cfg.hbMissToSwitch = 3;
    Rig rig(cfg);
    rig.probes({miss, miss});
    rig.start();
    rig.untilBeat();
    rig.untilBeat();

    DetectConfig off = cfg;
    off.enabled = false;
    rig.setConfig(off);
    for (int i = 0; i < 20; ++i) rig.tick(2200ms);
    EXPECT_EQ(rig.beats().size(), 2u);

    rig.setConfig(cfg);
    rig.probes({miss});
    rig.untilBeat();
    EXPECT_EQ(rig.events("hb").back()["hb_miss_streak"], 1);  // not 3: the streak was cleared
    EXPECT_TRUE(rig.selections().empty());
}

// ---- Through the engine -------------------------------------------------------------

namespace {

class HeartbeatThroughEngine : public ::testing::Test {
protected:
    void SetUp() override {
        // Beats every 3.5 ... 5 s of the FakeClock, two misses switch.
        rig.prepareStore(test::freshSharedStore(), {{"hb_interval_bg_ms", 5000},
                                                    {"hb_timeout_ms", 2000},
                                                    {"hb_miss_to_switch", 2},
                                                    {"switch_min_interval_ms", 5000}});
    }
    static KavriStore& store() { return KavriStore::shared(); }

    void start(const std::string& config) {
        ProviderSettings s;
        s.clock = &clock;
        s.controllerBase = rig.controllerBase();
        s.reloadSettle = 0ms;
        s.makePathMonitor = [] { return std::make_unique<FakePathMonitor>(); };
        provider = std::make_unique<PacketTunnelProvider>(s);
        std::promise<std::optional<std::string>> done;
        provider->startTunnel(rig.options(config), [&](std::optional<std::string> e) { done.set_value(e); });
        ASSERT_EQ(done.get_future().get(), std::nullopt);
        ASSERT_TRUE(clock.waitForSleepers(2));
        sleepers = clock.sleepers();
    }
    // Moves the FakeClock in steps (letting every loop settle after each)
    // until `done` holds or `limit` of fake time has passed. A loop that has
    // not woken yet when the next step comes only sees a longer step: the
    // heartbeat counts ticks, so its beats come later, never wrong.
    template <class Pred>
    bool advanceUntil(Pred done, Clock::Duration limit = 120s, Clock::Duration step = 200ms) {
        for (Clock::Duration passed{}; passed < limit; passed += step) {
            if (done()) return true;
            clock.advance(step);
            std::this_thread::sleep_for(1ms);
            clock.waitForSleepers(sleepers, 5s);
        }
        return done();
    }
    bool eventArrives(const std::string& name, std::size_t count = 1) {
        return advanceUntil([&] { return rig.events(name).size() >= count; });
    }
    std::optional<std::string> now() {
        ClashClient controller(ClashClientSettings{rig.controllerBase() + "/"});
        controller.setSecret(rig.secret);
        const auto g = controller.groupState();
        return g ? g->now : std::nullopt;
    }

    TunnelRig rig;
    FakeClock clock;
    std::unique_ptr<PacketTunnelProvider> provider;
    std::size_t sleepers = 0;
};

}  // namespace

TEST_F(HeartbeatThroughEngine, ADeadMemberIsLeftForTheNextAndBothDeadExhaustTheRing) {
    start(rig.config().dump());
    ASSERT_TRUE(eventArrives("hb"));
    EXPECT_EQ(rig.events("hb").front()["hb_result"], "ok");
    EXPECT_EQ(rig.events("hb").front()["hb_member"], "m1");

    rig.m1.stop();
    ASSERT_TRUE(eventArrives("member_switch"));
    const auto moved = rig.events("member_switch").front();
    EXPECT_EQ(moved["from"], "m1");
    EXPECT_EQ(moved["to"], "m2");
    EXPECT_EQ(moved["reason"], "hb_miss");
    EXPECT_EQ(moved["sub_token"], rig.token);
    EXPECT_EQ(now(), "m2");  // (the run's own record of it: GroupTrackerTest)
    auto misses = [&] {
        std::size_t n = 0;
        for (const auto& hb : rig.events("hb")) n += hb["hb_result"] == "miss";
        return n;
    };
    for (int i = 0; i < 3000 && misses() < 2; ++i) std::this_thread::sleep_for(10ms);  // reports in flight
    EXPECT_EQ(misses(), 2u);  // exactly the configured misses

    rig.m2.stop();
    ASSERT_TRUE(eventArrives("ring_exhausted"));
    EXPECT_EQ(rig.events("ring_exhausted").front()["members_tried"], 2);
}

TEST_F(HeartbeatThroughEngine, WithoutTheHeartbeatInboundNoBeatIsMade) {
    auto config = rig.config();
    config["inbounds"][0]["tag"] = "web-in";
    config["inbounds"][0]["type"] = "http";
    start(config.dump());
    EXPECT_FALSE(provider->makeHeartbeatDeps().cfg().enabled);
    advanceUntil([] { return false; }, 60s, 2200ms);
    EXPECT_TRUE(rig.events("hb").empty());
}
