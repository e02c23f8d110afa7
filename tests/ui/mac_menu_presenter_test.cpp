#include "ui/shell/mac_menu_presenter.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/telemetry/app_telemetry.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_http.h"
#include "platform/runtime/fake_clock.h"
#include "tests/support/vpn_fixture.h"
#include "tests/ui/qt_app.h"
#include "ui/object_names.h"
#include "ui/shell/mac_menu_view.h"

namespace kavri {
namespace {

using Kind = VPNManager::Status::Kind;
using Status = VPNManager::Status;

TEST(MacMenuPresenterRuleTest, TheItemsByStatusAndSubscription) {
    const std::optional<std::int64_t> none;
    const struct {
        Status status;
        std::optional<std::int64_t> id;
        MacMenuViewState expected;
    } rows[] = {
        {Status::of(Kind::disconnected), 42, {"Выключено", "Подключить", true}},
        {Status::of(Kind::disconnected), none, {"Выключено", "Подключить", true}},
        {Status::of(Kind::connecting), 42, {"Подключение…", "Подключить", false}},
        {Status::of(Kind::connected), 42, {"Подключено · ID 0042", "Отключить", true}},
        {Status::of(Kind::connected), 123456, {"Подключено · ID 123456", "Отключить", true}},
        {Status::of(Kind::connected), 0, {"Подключено · ID 0000", "Отключить", true}},
        {Status::of(Kind::connected), none, {"Подключено", "Отключить", true}},
        {Status::of(Kind::reasserting), 42, {"Восстанавливаем связь…", "Подключить", false}},
        {Status::of(Kind::disconnecting), 42, {"Отключение…", "Подключить", false}},
        {Status::of(Kind::invalid), 42, {"Выключено", "Подключить", true}},
        {Status::failed("Нет сети"), 42, {"Ошибка соединения", "Подключить", true}},
        {Status::failed(""), none, {"Ошибка соединения", "Подключить", true}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MacMenuPresenter::stateFor(row.status, row.id), row.expected) << row.expected.statusText;
    }
}

TEST(MacMenuViewTest, TheMenuDrawsItsStateAndSendsTheChoices) {
    test::qtApp();
    QMenu menu;
    MacMenuView view(menu);
    view.setState({"Отключение…", "Подключить", false});
    auto* status = menu.findChild<QAction*>(ObjectName::menuStatus);
    auto* connect = menu.findChild<QAction*>(ObjectName::menuConnect);
    ASSERT_TRUE(status && connect);
    EXPECT_EQ(status->text(), "Отключение…");
    EXPECT_FALSE(status->isEnabled());  // a line, not a choice
    EXPECT_EQ(connect->text(), "Подключить");
    EXPECT_FALSE(connect->isEnabled());
    const QList<QAction*> items = menu.actions();
    ASSERT_EQ(items.size(), 6);
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[3]->text(), "Открыть Каври");
    EXPECT_TRUE(items[4]->isSeparator());
    EXPECT_EQ(items[5]->text(), "Выйти");

    view.setState({"Подключено", "Отключить", true});
    QSignalSpy clicks(&view, &MacMenuView::connectClicked);
    connect->trigger();
    EXPECT_EQ(clicks.count(), 1);
}

class MacMenuPresenterTest : public test::VpnFixture {
protected:
    void SetUp() override {
        VpnFixture::SetUp();
        Deployment::install(rig.controlPlane.deployment());
        store.set(KavriDefaultsKey::cachedSingboxConfig, Data{rig.config().dump()});
        subscription = std::make_unique<SubscriptionStore>(main, SubscriptionClient(KavriHTTP::api(), store, clock),
                                                           KavriAPI(KavriHTTP::api(), store, clock), store, clock);
        vpn = std::make_unique<VPNManager>(main, vpnDeps(store));
        ASSERT_TRUE(main.runUntil([&] { return !vpn->loading(); }));
        telemetry = std::make_unique<AppTelemetry>(
            store, clock, KavriHTTP::apiSession(AppTelemetry::requestSeconds, AppTelemetry::resourceSeconds));
        presenter = std::make_unique<MacMenuPresenter>(
            main, MacMenuPresenter::Deps{*subscription, *vpn, *telemetry, [this] { ++opened; }, [this] { ++quits; },
                                         clock});
        presenter->setOnChange([this] { ++changes; });
    }
    void TearDown() override {
        presenter.reset();
        telemetry.reset();
        vpn.reset();
        subscription.reset();
        Deployment::install(saved);
        VpnFixture::TearDown();
    }
    // The app's "connect_start" reports (the tunnel's own, with its session,
    // reach the same plane).
    std::vector<nlohmann::json> connectStarts() const {
        std::vector<nlohmann::json> found;
        for (const auto& r : rig.controlPlane.reports())
            if (r.value("event", "") == "connect_start" && !r.contains("session_id")) found.push_back(r);
        return found;
    }
    bool reaches(Kind kind) {
        return main.runUntil([&] { return vpn->status->kind == kind; }, std::chrono::seconds(60));
    }

    const Deployment saved = Deployment::current();
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 6 / 15))};
    KavriStore store{shared};
    std::unique_ptr<SubscriptionStore> subscription;
    std::unique_ptr<VPNManager> vpn;
    std::unique_ptr<AppTelemetry> telemetry;
    std::unique_ptr<MacMenuPresenter> presenter;
    int opened = 0, quits = 0, changes = 0;
};

TEST_F(MacMenuPresenterTest, TheConnectItemConnectsAndDisconnectsTheTunnelAndTheItemsFollow) {
    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    EXPECT_EQ(presenter->state(), (MacMenuViewState{"Выключено", "Подключить", true}));

    presenter->toggleConnection();
    ASSERT_TRUE(reaches(Kind::connected));
    EXPECT_EQ(telemetry->connectStartAt, clock.wallNow());
    subscription->subscriptionID = 42;
    EXPECT_EQ(presenter->state(), (MacMenuViewState{"Подключено · ID 0042", "Отключить", true}));
    telemetry->waitIdle();
    auto starts = connectStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_FALSE(starts[0].contains("elapsed_ms"));

    const int before = changes;
    presenter->toggleConnection();
    ASSERT_TRUE(reaches(Kind::disconnected));
    EXPECT_GT(changes, before);
    EXPECT_EQ(presenter->state(), (MacMenuViewState{"Выключено", "Подключить", true}));
    telemetry->waitIdle();
    EXPECT_EQ(connectStarts().size(), 1u);  // a disconnect reports nothing

    presenter->openMainWindow();
    presenter->quit();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(quits, 1);

    presenter->toggleConnection();
    presenter.reset();  // gone before its work ran: nothing happens
    main.runUntilIdle();
    EXPECT_EQ(vpn->status->kind, Kind::disconnected);
}

}  // namespace
}  // namespace kavri
