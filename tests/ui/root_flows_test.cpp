// The main window's connect, location sheet and switch flows with the app's
// real stores, the test control plane and, where a flow reaches it, a real
// durnel started by the VPN service's stand-in.
#include "ui/main/root_flows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "app/telemetry/app_telemetry.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_http.h"
#include "core/keychain.h"
#include "platform/ne/tunnel_control_client.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "platform/sysext/system_extension_manager.h"
#include "tests/support/vpn_fixture.h"
#include "tests/ui/qt_app.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/main/mac_root_view.h"
#include "ui/main/stack_card.h"
#include "ui/object_names.h"
#include "ui/style/animations.h"

#include <QTest>

namespace kavri {
namespace {

using namespace std::chrono_literals;
using Kind = VPNManager::Status::Kind;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Effect = RootFlows::SelectEffect;

TEST(RootFlowsRuleTest, ASelectionsStatusDecidesItsEffectAndMessage) {
    const struct {
        int status;
        Effect effect;
        std::optional<std::string> message;
    } rows[] = {
        {200, Effect::applied, std::nullopt},
        {409, Effect::unavailable, "Сейчас эта локация недоступна — попробуйте другую."},
        {403, Effect::plans, std::nullopt},
        {401, Effect::failed, "Не удалось переключиться. Попробуйте ещё раз."},
        {402, Effect::failed, "Не удалось переключиться. Попробуйте ещё раз."},
        {0, Effect::failed, "Не удалось переключиться. Попробуйте ещё раз."},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RootFlows::effectOf(row.status), row.effect) << row.status;
        EXPECT_EQ(RootFlows::messageOf(RootFlows::effectOf(row.status)), row.message) << row.status;
    }
}

const ojson subscriptionMeta = {{"version", 7}, {"pull_interval_seconds", 1800}, {"tier_0_apps", {{"ios", ojson::array()}}}};

json snapshot(const std::string& id, const std::string& label) {
    return {{"manual_allowed", true},
            {"location", {{"id", id}, {"mode", "manual"}, {"label", label}, {"country_code", "DE"}, {"online", true}}},
            {"protocol", {{"mode", "auto"}, {"label", "Авто"}, {"online", true}}}};
}

class RootFlowsTest : public test::VpnFixture {
protected:
    void SetUp() override {
        VpnFixture::SetUp();
        Keychain::write(token, Keychain::Item::subToken);
        serve(rig.config());
        std::filesystem::create_directories(dir / "Applications");
        sysex = std::make_unique<SystemExtensionInstaller>(
            main, SystemExtensionInstaller::Deps{dir / "Kavri.app", (dir / "Applications").string() + "/", &manager,
                                                 AdministratorShell{}, {}, [](auto) {}});
        subscription = std::make_unique<SubscriptionStore>(main, SubscriptionClient(KavriHTTP::api(), store, clock),
                                                           KavriAPI(KavriHTTP::api(), store, clock), store, clock);
        VPNManager::Deps d;
        d.tunnel = environment();
        d.store = &store;
        d.deviceID = [this] { return rig.device; };
        vpn = std::make_unique<VPNManager>(main, std::move(d));
        ASSERT_TRUE(main.runUntil([&] { return !vpn->loading(); }));
        presenter = std::make_unique<MacRootPresenter>(
            main, MacRootPresenter::Deps{*subscription,
                                         *vpn,
                                         *sysex,
                                         store,
                                         [] { return Keychain::read(Keychain::Item::subToken); },
                                         StackAPI(StackAPI::session(), store, clock),
                                         [](const std::string&, std::int64_t, const json&) {},
                                         [] { return std::string(); },
                                         [](const std::string&) {},
                                         &telemetry,
                                         clock,
                                         // Loopback connects too fast to count: a fixed figure.
                                         [](const std::string&, std::uint16_t, std::chrono::milliseconds,
                                            std::stop_token) { return std::optional<std::int64_t>(42); }});
    }
    void TearDown() override {
        presenter.reset();
        vpn.reset();
        subscription.reset();
        sysex.reset();
        telemetry.shutdown();
        Keychain::deleteItem(Keychain::Item::subToken);
        VpnFixture::TearDown();
    }

    RootFlows& flows() { return presenter->flows(); }
    const MacRootViewState& state() { return presenter->state(); }

    // The subscription the control plane serves for the rig's token.
    void serve(ojson config) {
        config["_kavri_meta"] = subscriptionMeta;
        rig.controlPlane.setSubscription(token, config);
    }
    // The rig's configuration with a third member "m3": the new location's.
    ojson newLocation() const {
        auto c = rig.config();
        c["outbounds"][0]["outbounds"].push_back("m3");
        c["outbounds"].push_back(
            ojson{{"type", "http"}, {"tag", "m3"}, {"server", "127.0.0.1"}, {"server_port", rig.m2.port()}});
        return c;
    }
    // A selection answered `status` with `stack`; on 200 the new location is served from then on.
    void answerSelections(int status, const json& stack = nullptr) {
        rig.controlPlane.route("POST", "/stack/[^/]+/select", [this, status, stack](const TestControlPlane::Request&) {
            if (status == 200) serve(newLocation());
            json body = json::object();
            if (!stack.is_null()) body["stack"] = stack;
            return TestControlPlane::Reply::json(body.dump(), status);
        });
    }

    // The app's own reports of `event`, as the control plane received them.
    std::vector<json> appEvents(const std::string& event) {
        telemetry.waitIdle();
        std::vector<json> out;
        for (const auto& r : rig.controlPlane.requests()) {
            if (r.path != "/telemetry" || r.header("User-Agent") != std::string(AppTelemetry::userAgent)) continue;
            const json body = json::parse(r.body, nullptr, false);
            if (body.is_object() && body.value("event", "") == event) out.push_back(body);
        }
        return out;
    }
    std::size_t pulls() {
        std::size_t n = 0;
        for (const auto& r : rig.controlPlane.requests()) n += r.path == "/sub/" + token;
        return n;
    }

    // Runs the main thread until `done`, moving the fake clock on whenever
    // a flow sleeps on it.
    bool drive(const std::function<bool()>& done, std::chrono::seconds limit = 120s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            main.runUntil([&] { return done() || clock.sleepers() > 0; }, 1s);
            if (done()) return true;
            if (clock.sleepers() > 0) clock.advance(RootFlows::reconnectCheck);
        }
        return done();
    }
    // Runs the main thread through one switch: its flag up, then down.
    bool switchRuns() {
        return drive([&] { return state().stackCardBusy; }) && drive([&] { return !state().stackCardBusy; });
    }

    void connectByToggle() {
        presenter->connectClicked();
        ASSERT_TRUE(drive([&] { return !presenter->isToggling() && vpn->status->kind == Kind::connected; }))
            << durnelOutput();
    }

    // The members of the engine's selector group, as its controller shows them.
    json groupMembers() const {
        HttpRequest request;
        request.url = rig.controllerBase() + "/proxies/proxy";
        request.headers.push_back({"Authorization", "Bearer " + rig.secret});
        try {
            const auto response = HttpSession().send(request);
            if (response.status == 200) return json::parse(response.body, nullptr, false).value("all", json());
        } catch (const HttpError&) {
        }
        return nullptr;
    }

    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 6 / 15))};
    KavriStore store{shared};
    AppTelemetry telemetry{store, clock,
                           KavriHTTP::apiSession(AppTelemetry::requestSeconds, AppTelemetry::resourceSeconds)};
    SystemExtensionManager manager{dir / "Kavri.app"};
    std::unique_ptr<SystemExtensionInstaller> sysex;
    std::unique_ptr<SubscriptionStore> subscription;
    std::unique_ptr<VPNManager> vpn;
    std::unique_ptr<MacRootPresenter> presenter;
    // The app's token (the rig's is too short for a subscription link).
    const std::string token = "f1005-0123456789abcdef";
};

TEST_F(RootFlowsTest, TwoQuickTogglesMakeOneConnectAndTheNextOneDisconnects) {
    presenter->connectClicked();
    EXPECT_TRUE(presenter->isToggling());
    EXPECT_TRUE(state().connectBusy);  // the label is a spinner
    EXPECT_EQ(state().status.caption, "Подключаемся...");
    presenter->connectClicked();  // ignored: the first still runs
    presenter->logoClicked();
    ASSERT_TRUE(drive([&] { return !presenter->isToggling(); })) << durnelOutput();
    ASSERT_EQ(vpn->status->kind, Kind::connected) << durnelOutput() << subscription->lastError->value_or("-");
    EXPECT_EQ(state().connectLabel, "Отключить");
    EXPECT_FALSE(state().connectBusy);

    EXPECT_EQ(appEvents("connect_start").size(), 1u);
    EXPECT_EQ(telemetry.connectStartAt, clock.wallNow());
    EXPECT_EQ(pulls(), 1u);  // pulled once before the connect
    EXPECT_EQ(durnelLines("tunnel host: starting the tunnel"), 1u);
    // The profile took the configuration just pulled.
    EXPECT_EQ(vpn->savedConfiguration(), store.data(KavriDefaultsKey::cachedSingboxConfig));

    presenter->connectClicked();  // connected: the toggle disconnects, with no report
    ASSERT_TRUE(drive([&] { return !presenter->isToggling() && vpn->status->kind == Kind::disconnected; }))
        << durnelOutput();
    EXPECT_EQ(appEvents("connect_start").size(), 1u);
    EXPECT_EQ(pulls(), 1u);
}

TEST_F(RootFlowsTest, ASwitchWhileDisconnectedRefreshesAndMarksTheConfigurationApplied) {
    answerSelections(200, snapshot("de", "Германия"));
    store.set(KavriDefaultsKey::pendingConfigRefresh, true);
    clock.advance(5min);
    flows().applyStack("de", std::nullopt);
    ASSERT_TRUE(switchRuns());

    const auto selections = rig.controlPlane.requests();
    const auto select = std::find_if(selections.begin(), selections.end(),
                                     [](const auto& r) { return r.path.ends_with("/select"); });
    ASSERT_NE(select, selections.end());
    EXPECT_EQ(json::parse(select->body), (json{{"location", "de"}, {"protocol", nullptr}}));
    EXPECT_EQ(pulls(), 1u);
    EXPECT_NE(store.data(KavriDefaultsKey::cachedSingboxConfig)->find("m3"), std::string::npos);
    EXPECT_EQ(store.object(KavriDefaultsKey::pendingConfigRefresh), std::optional<PlistValue>(PlistValue(false)));
    EXPECT_EQ(store.object(KavriDefaultsKey::configAppliedAt), std::optional<PlistValue>(PlistValue(clock.wallNow())));
    ASSERT_TRUE(subscription->stack.get());
    EXPECT_EQ(subscription->stack.get()->location.label, "Германия");
    EXPECT_TRUE(state().showsStackCard);
    const auto reported = appEvents("stack_select");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(reported[0].contains("elapsed_ms"));
    EXPECT_FALSE(state().stackError);
    // Down, it stays down: the new location is taken at the next connect.
    EXPECT_FALSE(durnelPid());
    EXPECT_EQ(vpn->status->kind, Kind::invalid);  // no profile was ever saved
}

TEST_F(RootFlowsTest, RefusedSwitchesShowTheirMessageOrOpenThePlans) {
    const struct {
        int status;
        std::optional<std::string> message;
        bool plans;
    } rows[] = {
        {409, "Сейчас эта локация недоступна — попробуйте другую.", false},
        {403, std::nullopt, true},
        {500, "Не удалось переключиться. Попробуйте ещё раз.", false},
    };
    for (const auto& row : rows) {
        answerSelections(row.status);
        flows().applyStack("de", "vless");
        ASSERT_TRUE(switchRuns()) << row.status;
        EXPECT_EQ(state().stackError, row.message) << row.status;
        EXPECT_EQ(state().showPlans, row.plans) << row.status;
        presenter->alertDismissed();
        presenter->plansClosed();
    }
    EXPECT_EQ(pulls(), 0u);  // no refusal pulls
    EXPECT_TRUE(appEvents("stack_select").empty());
    EXPECT_FALSE(store.object(KavriDefaultsKey::configAppliedAt));
}

TEST_F(RootFlowsTest, WithoutATokenASwitchDoesNothing) {
    Keychain::deleteItem(Keychain::Item::subToken);
    answerSelections(200);
    flows().applyStack("de", std::nullopt);
    main.runUntil([] { return false; }, 300ms);
    EXPECT_FALSE(state().stackCardBusy);
    EXPECT_TRUE(rig.controlPlane.requests().empty());
}

TEST_F(RootFlowsTest, ASecondSwitchCancelsTheFirstWhoseAnswerIsStillReported) {
    std::promise<void> release;
    auto released = release.get_future().share();
    int selections = 0;
    std::mutex m;
    rig.controlPlane.route("POST", "/stack/[^/]+/select", [&](const TestControlPlane::Request&) {
        int n;
        {
            std::lock_guard lock(m);
            n = ++selections;
        }
        if (n == 1) {
            released.wait();  // the first is answered only after the second ended
            return TestControlPlane::Reply::json(json{{"stack", snapshot("nl", "Нидерланды")}}.dump());
        }
        serve(newLocation());
        return TestControlPlane::Reply::json(json{{"stack", snapshot("de", "Германия")}}.dump());
    });
    flows().applyStack("nl", std::nullopt);
    ASSERT_TRUE(drive([&] { return rig.controlPlane.requestCount() >= 1; }));
    flows().applyStack("de", std::nullopt);
    ASSERT_TRUE(drive([&] { return pulls() == 1 && !state().stackCardBusy; }));
    EXPECT_EQ(subscription->stack.get()->location.id, "de");

    release.set_value();
    ASSERT_TRUE(drive([&] { return appEvents("stack_select").size() == 2; }));
    main.runUntil([] { return false; }, 300ms);
    // The first stopped after reporting: no pull, its stack not taken.
    EXPECT_EQ(pulls(), 1u);
    EXPECT_EQ(subscription->stack.get()->location.id, "de");
    EXPECT_FALSE(state().stackCardBusy);
    EXPECT_FALSE(state().stackError);
}

TEST_F(RootFlowsTest, ASwitchWhileConnectedReconnectsOnTheNewLocation) {
    connectByToggle();
    ASSERT_EQ(groupMembers(), (json{"m1", "m2"}));
    answerSelections(200, snapshot("de", "Германия"));
    flows().applyStack("de", std::nullopt);
    ASSERT_TRUE(switchRuns()) << durnelOutput();
    ASSERT_TRUE(drive([&] { return vpn->status->kind == Kind::connected; })) << durnelOutput();
    EXPECT_EQ(durnelLines("tunnel host: the tunnel is disconnected"), 1u);
    EXPECT_EQ(groupMembers(), (json{"m1", "m2", "m3"}));
    EXPECT_EQ(durnelLines("self-heal: hot-reloaded"), 0u);  // started anew, not reloaded
}

// Another start (the tray, a second app) brings the tunnel back up with the
// configuration it had before the switch's own connect: that connect then
// leaves it alone, and the extension is asked to take the new one. The
// switch has ended by then: the card is not held busy while the tunnel polls.
TEST_F(RootFlowsTest, ATunnelBackUpBeforeTheReconnectIsMovedToTheNewLocation) {
    LogCapture logs;
    connectByToggle();
    const std::string before = *store.data(KavriDefaultsKey::cachedSingboxConfig);
    TunnelControlClient other(socket());
    answerSelections(200, snapshot("de", "Германия"));
    flows().applyStack("de", std::nullopt);
    // The switch stops the tunnel; the main thread waits while the other
    // start brings it up again with the old configuration.
    ASSERT_TRUE(main.runUntil([&] { return other.status().status == TunnelStatus::disconnected; }, 60s))
        << durnelOutput();
    auto options = rig.options(before);
    options["subToken"] = token;
    ASSERT_EQ(other.start(options).status, TunnelStatus::connected) << durnelOutput();
    // The tunnel's poll gets its answer only once the switch has ended.
    std::promise<void> answer;
    auto answered = answer.get_future().share();
    rig.controlPlane.route("GET", "/sub/[^/]+", [this, answered](const TestControlPlane::Request&) {
        answered.wait();
        auto c = newLocation();
        c["_kavri_meta"] = subscriptionMeta;
        return TestControlPlane::Reply::subscription(c.dump());
    });
    ASSERT_TRUE(drive([&] { return !state().stackCardBusy; })) << durnelOutput();
    EXPECT_EQ(logs.count("the tunnel did not take the new configuration"), 0u);
    answer.set_value();

    ASSERT_TRUE(drive([&] { return logs.containsText("asking it for the new configuration"); }));
    ASSERT_TRUE(drive([&] { return durnelLines("self-heal: hot-reloaded new config (stack_select)") == 1; }))
        << durnelOutput();
    EXPECT_EQ(vpn->status->kind, Kind::connected);
    EXPECT_EQ(groupMembers(), (json{"m1", "m2", "m3"})) << durnelOutput();
    EXPECT_FALSE(state().stackCardBusy);
    EXPECT_EQ(logs.count("the tunnel did not take the new configuration"), 0u);
}

TEST_F(RootFlowsTest, TheSheetOpensWithTheCachedCatalogAndMeasuresWhatTheServerDoesNotKnow) {
    const json location = {{"id", "de"}, {"title", "DE"}, {"country_code", "DE"}, {"protocols", json::array()},
                           {"probe_host", "127.0.0.1"}, {"probe_port", rig.origin.port()}};
    const json catalog = {{"manual_allowed", true}, {"locations", {location}}};
    store.set(KavriDefaultsKey::stackCatalogCache, Data{catalog.dump()});
    store.set(KavriDefaultsKey::stackCatalogCacheAt, clock.wallNow() - 90s);
    presenter->appear();

    flows().openStackSheet(false);  // locked: the plans, nothing else
    EXPECT_TRUE(state().showPlans);
    EXPECT_FALSE(state().showStack);
    presenter->plansClosed();

    flows().openStackSheet(true);
    EXPECT_TRUE(state().showStack);
    ASSERT_TRUE(presenter->catalogHolder()->catalog.get());
    EXPECT_TRUE(presenter->pinger()->extensionProbe);
    EXPECT_FALSE(presenter->pinger()->tunnelActive());
    const auto opened = appEvents("sheet_open");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0]["source"], "cache");
    EXPECT_EQ(opened[0]["cache_age_s"], 90);
    EXPECT_EQ(opened[0]["tunnel"], "down");
    ASSERT_TRUE(drive([&] { return presenter->pinger()->results->contains("de"); }));

    // The sheet's refresh: the network's catalog, the sheet's reason.
    rig.controlPlane.setCatalog(token, catalog.dump());
    std::optional<bool> refreshed;
    flows().refreshCatalog("pull_to_refresh", [&](bool ok) { refreshed = ok; });
    ASSERT_TRUE(drive([&] { return refreshed.has_value(); }));
    EXPECT_TRUE(*refreshed);
    EXPECT_EQ(presenter->catalogHolder()->source, "net");

    flows().openPlansFromStack();
    EXPECT_FALSE(state().showStack);
    EXPECT_TRUE(state().showPlans);
}

TEST_F(RootFlowsTest, TheViewShowsTheStackCardAndATapOnALockedOneOpensThePlans) {
    test::qtApp();
    Animations::setEnabled(false);
    {
        MacRootView view(clock);
        view.bind(*presenter);
        view.show();
        auto* card = view.findChild<StackCard*>(ObjectName::stackCard);
        ASSERT_TRUE(card);
        EXPECT_FALSE(card->isVisible());  // no stack known yet
        auto locked = StackAPI::Snapshot::fromJson(snapshot("de", "Германия"));
        locked.manualAllowed = false;
        subscription->stack = locked;
        ASSERT_TRUE(card->isVisible());
        EXPECT_EQ(card->look().trailing, StackCard::Trailing::proChip);
        QTest::mouseClick(card, Qt::LeftButton, {}, card->rect().center());
        EXPECT_TRUE(state().showPlans);
        EXPECT_FALSE(state().showStack);
    }
    Animations::setEnabled(true);
}

TEST_F(RootFlowsTest, OnlyTheCurrentLocationIsMeasuredWhenTheServerHasAFreshFigure) {
    auto at = [](const std::string& id, std::optional<std::int64_t> rtt, std::optional<std::int64_t> age) {
        StackAPI::Catalog::Location l;
        l.id = id;
        l.rttMs = rtt;
        l.rttAgeSec = age;
        return l;
    };
    auto ids = [](const std::vector<StackAPI::Catalog::Location>& ls) {
        std::vector<std::string> out;
        for (const auto& l : ls) out.push_back(l.id);
        return out;
    };
    subscription->stack = StackAPI::Snapshot::fromJson(snapshot("nl", "Нидерланды"));
    const std::vector<std::string> all{"de", "nl"};
    const std::vector<std::string> mine{"nl"};
    const struct {
        std::vector<StackAPI::Catalog::Location> locations;
        std::vector<std::string> probed;
    } rows[] = {
        {{at("de", 40, 900), at("nl", std::nullopt, std::nullopt)}, mine},
        {{at("de", 40, std::nullopt), at("nl", std::nullopt, std::nullopt)}, mine},
        {{at("de", 40, 901), at("nl", 50, 1000)}, all},
        {{at("de", 0, 10), at("nl", std::nullopt, std::nullopt)}, all},
        {{at("de", std::nullopt, std::nullopt), at("nl", std::nullopt, std::nullopt)}, all},
    };
    for (const auto& row : rows) EXPECT_EQ(ids(flows().probeTargets(row.locations)), row.probed);
    subscription->stack = std::nullopt;  // fresh figures and no snapshot: nothing to measure
    EXPECT_TRUE(flows().probeTargets(rows[0].locations).empty());
}

}  // namespace
}  // namespace kavri
