#include "ui/main/mac_root_presenter.h"

#include <gtest/gtest.h>

#include <chrono>

#include "core/kavri_http.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_notifications.h"
#include "platform/runtime/fake_clock.h"
#include "platform/sysext/system_extension_manager.h"
#include "tests/support/vpn_fixture.h"
#include "tests/ui/qt_app.h"
#include "ui/main/mac_root_view.h"
#include "ui/main/stack/stack_sheet_view.h"
#include "ui/object_names.h"
#include "ui/style/animations.h"

#include <QAbstractButton>
#include <QPointer>
#include <QTest>

namespace kavri {
namespace {

using namespace std::chrono_literals;
using Kind = VPNManager::Status::Kind;
using Status = VPNManager::Status;
using json = nlohmann::json;

// --- the status row and the banner as tables ---

TEST(RootStatusTest, CaptionAndDotByStateFirstMatchWins) {
    const struct {
        bool blocked, toggling;
        Status status;
        RootStatus expected;
    } rows[] = {
        {true, false, Status::of(Kind::connected), {"Отключено", PaletteColor::neutral}},  // blocked wins
        {true, true, Status::of(Kind::connecting), {"Отключено", PaletteColor::neutral}},
        {false, true, Status::of(Kind::disconnected), {"Подключаемся...", PaletteColor::warning}},
        {false, false, Status::of(Kind::disconnected), {"Готов к подключению", PaletteColor::neutral}},
        {false, false, Status::of(Kind::connecting), {"Подключаемся...", PaletteColor::warning}},
        {false, false, Status::of(Kind::connected), {"Подключено", PaletteColor::success}},
        {false, false, Status::of(Kind::reasserting), {"Переподключаемся...", PaletteColor::warning}},
        {false, false, Status::of(Kind::disconnecting), {"Отключаемся...", PaletteColor::neutral}},
        {false, false, Status::of(Kind::invalid), {"Модуль ещё не разрешён", PaletteColor::neutral}},
        {false, false, Status::failed("Нет сети: 42%"), {"Нет сети: 42%", PaletteColor::danger}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RootStatus::of(row.blocked, row.toggling, row.status), row.expected) << row.expected.caption;
    }
}

TEST(AccountBannerTest, OneBannerChosenInOrder) {
    FakeClock clock(Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 6 / 15)));
    const Date thisYear = clock.wallNow() + 24h * 20;  // 05.07
    const Date nextYear = clock.wallNow() + 24h * 365;
    using K = AccountBanner::Kind;
    using S = SubscriptionState;
    const std::string thisYearText = KavriNotifications::dayMonthNumeric(thisYear);
    const std::string nextYearText = KavriNotifications::shortDate(nextYear);
    ASSERT_EQ(thisYearText.size(), 5u);
    ASSERT_EQ(nextYearText.size(), 10u);
    const struct {
        AccountBanner::Account account;
        K kind;
        std::string title;
        PaletteColor color;
        bool pay;
    } rows[] = {
        // Device removed wins over expired.
        {{true, S::expired, {}, {}, "trial"}, K::deviceRemoved, "Доступ на этом устройстве отключён", PaletteColor::danger, false},
        {{true, std::nullopt, {}, {}, ""}, K::deviceRemoved, "Доступ на этом устройстве отключён", PaletteColor::danger, false},
        {{false, S::expired, {}, {}, "trial"}, K::expired, "Пробный период закончился", PaletteColor::danger, false},
        {{false, S::expired, {}, {}, "paid_autopay"}, K::expired, "Подписка закончилась", PaletteColor::danger, false},
        {{false, S::expired, {}, {}, ""}, K::expired, "Подписка закончилась", PaletteColor::danger, false},
        {{false, S::trial, 2, thisYear, ""}, K::stateLine, "Бесплатно ещё 2 дня", PaletteColor::textSecondary, true},
        {{false, S::trial, 0, {}, ""}, K::stateLine, "Бесплатно ещё 0 дней", PaletteColor::textSecondary, true},
        {{false, S::trial, -1, {}, ""}, K::stateLine, "Бесплатно ещё -1 дней", PaletteColor::textSecondary, true},
        {{false, S::trial, 5, thisYear, ""}, K::stateLine, "Бесплатно до " + thisYearText, PaletteColor::textSecondary, true},
        {{false, S::trial, {}, {}, ""}, K::none, "", PaletteColor::textSecondary, false},
        {{false, S::paidAutopay, {}, nextYear, ""}, K::stateLine, "Подписка активна до " + nextYearText, PaletteColor::textSecondary, false},
        {{false, S::granted, {}, thisYear, ""}, K::stateLine, "Подписка активна до " + thisYearText, PaletteColor::textSecondary, false},
        {{false, S::paidCancelled, {}, thisYear, ""}, K::stateLine, "Оплачено до " + thisYearText, PaletteColor::textSecondary, false},
        {{false, S::paidCancelled, {}, {}, ""}, K::none, "", PaletteColor::textSecondary, false},
        {{false, S::granted, {}, {}, ""}, K::none, "", PaletteColor::textSecondary, false},
        {{false, S::chargeFailed, {}, {}, ""}, K::stateLine, "Списание не прошло", PaletteColor::danger, true},
        {{false, std::nullopt, 1, thisYear, "trial"}, K::none, "", PaletteColor::textSecondary, false},
    };
    for (const auto& row : rows) {
        const auto b = AccountBanner::choose(row.account, clock);
        EXPECT_EQ(b.kind, row.kind) << row.title;
        EXPECT_EQ(b.title, row.title);
        if (b.kind != K::none) {
            EXPECT_EQ(b.color, row.color) << row.title;
        }
        EXPECT_EQ(b.payLink, row.pay) << row.title;
    }
    const auto removed = AccountBanner::choose({true, {}, {}, {}, ""}, clock);
    EXPECT_EQ(removed.subtitle, "Подписка жива — платить второй раз не нужно.");
    EXPECT_EQ(removed.button, "Вернуть доступ");
    EXPECT_EQ(AccountBanner::choose({false, S::expired, {}, {}, ""}, clock).button, "Выбрать тариф");
}

TEST(MacRootPresenterRuleTest, OnlyATunnelUpOrComingUpIsDisconnectedOnExpiry) {
    for (Kind k : {Kind::connected, Kind::connecting}) EXPECT_TRUE(MacRootPresenter::disconnectsOnExpiry(Status::of(k)));
    for (Kind k : {Kind::disconnected, Kind::reasserting, Kind::disconnecting, Kind::invalid})
        EXPECT_FALSE(MacRootPresenter::disconnectsOnExpiry(Status::of(k)));
    EXPECT_FALSE(MacRootPresenter::disconnectsOnExpiry(Status::failed("x")));
}

// --- the presenter with the app's real stores ---

class MacRootPresenterTest : public test::VpnFixture {
protected:
    void SetUp() override {
        VpnFixture::SetUp();
        store.set(KavriDefaultsKey::cachedSingboxConfig, Data{rig.config().dump()});
        std::filesystem::create_directories(dir / "Applications");
        sysex = std::make_unique<SystemExtensionInstaller>(
            main, SystemExtensionInstaller::Deps{dir / "Kavri.app", (dir / "Applications").string() + "/", &manager,
                                                 AdministratorShell{}, {}, [](auto) {}});
        subscription = std::make_unique<SubscriptionStore>(main, SubscriptionClient(KavriHTTP::api(), store, clock),
                                                           KavriAPI(KavriHTTP::api(), store, clock), store, clock);
        VPNManager::Deps d;
        d.tunnel = environment();
        d.store = &store;
        d.deviceID = [] { return std::string("DEVICE-1"); };
        d.metadataVersion = [](std::string_view) { return std::optional<std::int64_t>(1); };
        vpn = std::make_unique<VPNManager>(main, std::move(d));
        ASSERT_TRUE(main.runUntil([&] { return !vpn->loading(); }));
    }
    void TearDown() override {
        presenter.reset();
        vpn.reset();
        subscription.reset();
        sysex.reset();
        VpnFixture::TearDown();
    }

    MacRootPresenter& make() {
        presenter = std::make_unique<MacRootPresenter>(
            main, MacRootPresenter::Deps{
                      *subscription,
                      *vpn,
                      *sysex,
                      store,
                      [this] { return token; },
                      StackAPI(StackAPI::session(), store, clock),
                      [this](const std::string& event, std::int64_t, const json& extra) {
                          json e = extra;
                          e["event"] = event;
                          events.push_back(e);
                      },
                      [this] { return kept; },
                      [this](const std::string& v) { kept = v; ++writes; },
                      nullptr,
                      clock,
                      [this](const std::string& host, std::uint16_t, std::chrono::milliseconds, std::stop_token) {
                          probed.push_back(host);
                          return std::optional<std::int64_t>(42);
                      },
                  });
        return *presenter;
    }

    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 6 / 15))};
    KavriStore store{shared};
    SystemExtensionManager manager{dir / "Kavri.app"};
    std::unique_ptr<SystemExtensionInstaller> sysex;
    std::unique_ptr<SubscriptionStore> subscription;
    std::unique_ptr<VPNManager> vpn;
    std::unique_ptr<MacRootPresenter> presenter;
    std::optional<std::string> token;
    std::string kept;
    int writes = 0;
    std::vector<json> events;
    std::vector<std::string> probed;
};

TEST_F(MacRootPresenterTest, TheLastActiveStateIsKeptOnChangesOnlyAndNamesTheExpiredBanner) {
    subscription->state = SubscriptionState::paidAutopay;  // what the account is when the view comes
    auto& p = make();
    EXPECT_EQ(writes, 0);
    subscription->state = SubscriptionState::paidAutopay;  // an equal assignment is no change
    EXPECT_EQ(writes, 0);
    subscription->state = SubscriptionState::trial;
    EXPECT_EQ(kept, "trial");
    subscription->state = SubscriptionState::expired;
    EXPECT_EQ(kept, "trial");
    EXPECT_EQ(p.state().banner.title, "Пробный период закончился");
    EXPECT_EQ(p.state().status.caption, "Отключено");
    EXPECT_DOUBLE_EQ(p.state().connectOpacity, 0.4);
    EXPECT_FALSE(p.state().connectEnabled);

    // Under the setup guide the handler is not on screen: a change writes nothing.
    sysex->state = SystemExtensionInstaller::State{SystemExtensionInstaller::State::Kind::needsApproval};
    EXPECT_TRUE(p.state().showsSetupGuide);
    subscription->state = SubscriptionState::granted;
    EXPECT_EQ(kept, "trial");
    sysex->state = SystemExtensionInstaller::State{SystemExtensionInstaller::State::Kind::installing};
    EXPECT_FALSE(p.state().showsSetupGuide);
}

TEST_F(MacRootPresenterTest, DeviceRemovedBlocksAndTheSheetsRouteAsTheButtonsSay) {
    store.set(KavriDefaultsKey::deviceRemoved, PlistValue(true));
    subscription->state = SubscriptionState::expired;
    auto& p = make();
    EXPECT_EQ(p.state().banner.kind, AccountBanner::Kind::deviceRemoved);
    EXPECT_EQ(p.state().status.caption, "Отключено");
    EXPECT_FALSE(p.state().haloActive);

    p.restoreAccessClicked();
    EXPECT_TRUE(p.state().showDevices);
    p.devicesClosed();
    p.menuClicked();
    p.menuPlansChosen();  // closes the menu and opens the plans in one update
    EXPECT_FALSE(p.state().showMenu);
    EXPECT_TRUE(p.state().showPlans);
    p.plansClosed();
    p.payClicked();
    EXPECT_TRUE(p.state().showPlans);

    p.setToggling(true);
    EXPECT_FALSE(p.state().logoEnabled);
    p.setStackError("Не удалось сменить локацию");
    EXPECT_EQ(p.state().stackError, "Не удалось сменить локацию");
    p.alertDismissed();
    EXPECT_FALSE(p.state().stackError);
}

TEST_F(MacRootPresenterTest, TheCatalogIsRefreshedEveryMinuteWhileOnScreenAndProbedOnlyWithTheSheetOpen) {
    rig.controlPlane.setCatalog("tok-1", json{{"locations",
                                               {{{"id", "de"},
                                                 {"title", "DE"},
                                                 {"country_code", "DE"},
                                                 {"protocols", json::array()},
                                                 {"probe_host", "de.probe"},
                                                 {"probe_port", 443}}}}}
                                               .dump());
    auto& p = make();
    p.appear();
    // The loop reads the token on the main thread: drive it while waiting.
    const auto sleeping = [&] { return main.runUntil([&] { return clock.sleepers() == 1; }, 30s); };
    ASSERT_TRUE(sleeping());  // no token: only sleeps
    main.runUntilIdle();
    EXPECT_TRUE(events.empty());

    token = "https://example.invalid/sub/tok-1";  // the stored text goes through the bare form
    clock.advance(60s);
    ASSERT_TRUE(main.runUntil([&] { return events.size() == 1 && p.catalogHolder()->catalog.get(); }, 60s));
    EXPECT_EQ(events[0]["event"], "catalog_fetch");
    EXPECT_EQ(events[0]["why"], "background_loop");
    EXPECT_TRUE(probed.empty());  // the stack sheet is closed

    p.setShowStack(true);
    ASSERT_TRUE(sleeping());
    clock.advance(60s);
    ASSERT_TRUE(main.runUntil([&] { return p.pinger()->results->contains("de"); }, 60s));
    EXPECT_EQ(probed, std::vector<std::string>{"de.probe"});

    p.disappear();  // the loop ends with the view
    main.runUntil([&] { return clock.sleepers() == 0; }, 10s);
    EXPECT_EQ(clock.sleepers(), 0u);
}

TEST_F(MacRootPresenterTest, AnAccountThatExpiresWhileConnectedDisconnectsTheTunnel) {
    subscription->state = SubscriptionState::paidAutopay;
    auto& p = make();
    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(main.runUntil([&] { return vpn->status->kind == Kind::connected; }, 60s)) << durnelOutput();
    EXPECT_TRUE(p.state().haloActive);
    EXPECT_EQ(p.state().status.caption, "Подключено");
    EXPECT_EQ(p.state().connectLabel, "Отключить");

    subscription->state = SubscriptionState::expired;
    EXPECT_EQ(p.state().status, (RootStatus{"Отключено", PaletteColor::neutral}));  // at once
    EXPECT_FALSE(p.state().haloActive);
    ASSERT_TRUE(main.runUntil([&] { return vpn->status->kind == Kind::disconnected; }, 60s)) << durnelOutput();
}

TEST_F(MacRootPresenterTest, TheViewDrawsThePresentersStateAndSendsItTheClicks) {
    test::qtApp();
    Animations::setEnabled(false);
    subscription->state = SubscriptionState::expired;
    auto& p = make();
    {
        MacRootView view(clock);
        view.bind(p);
        view.show();
        EXPECT_EQ(view.viewState(), p.state());
        auto* choosePlan = view.findChild<QAbstractButton*>(ObjectName::bannerButton);
        ASSERT_TRUE(choosePlan);
        QTest::mouseClick(choosePlan, Qt::LeftButton, {}, choosePlan->rect().center());
        EXPECT_TRUE(p.state().showPlans);
        EXPECT_TRUE(view.findChild<QWidget*>(ObjectName::plansSheet)->isVisible());
        p.plansClosed();
        auto* menu = view.findChild<QAbstractButton*>(ObjectName::menuButton);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->rect().center());
        EXPECT_TRUE(p.state().showMenu);
        EXPECT_TRUE(view.findChild<QWidget*>(ObjectName::menuSheet)->isVisible());
    }
    p.menuClosed();  // the view is gone: nothing draws any more
    Animations::setEnabled(true);
}

TEST_F(MacRootPresenterTest, TheStackSheetLiesInItsBottomSheetAndClosesThroughTheRoot) {
    test::qtApp();
    Animations::setEnabled(false);
    auto& p = make();
    {
        MacRootView view(clock);
        view.bind(p);
        std::vector<std::string> refreshes;
        view.setSheetContent(3, StackSheetView::builder(p, *subscription,
                                                        {[&](std::string why, std::function<void(bool)> done) {
                                                             refreshes.push_back(why);
                                                             done(false);
                                                             return StoreCalls::Handle();
                                                         },
                                                         {},
                                                         {},
                                                         {}}));
        view.show();  // the root's catalog and prober come with it
        p.setShowStack(true);
        QPointer<StackSheetView> sheet = view.findChild<StackSheetView*>(ObjectName::stackSheetView);
        ASSERT_TRUE(sheet && sheet->isVisible());
        ASSERT_TRUE(main.runUntil([&] { return sheet->viewState().content == StackSheetState::Content::failed; }, 30s));
        EXPECT_EQ(refreshes, std::vector<std::string>{"sheet_open"});

        auto* close = sheet->findChild<QAbstractButton*>(ObjectName::stackClose);
        QTest::mouseClick(close, Qt::LeftButton, {}, close->rect().center());
        main.runUntilIdle();
        EXPECT_FALSE(p.state().showStack);
        EXPECT_FALSE(sheet);  // each opening starts afresh
    }
    Animations::setEnabled(true);
}

}  // namespace
}  // namespace kavri
