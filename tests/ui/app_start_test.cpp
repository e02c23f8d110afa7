// The app's scenes over the real stores, drawn off screen against the test
// control plane on a fresh shared directory.
#include <QAction>
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/shell/kavri_mac_app.h"
#include "app/telemetry/app_telemetry.h"
#include "core/deployment.h"
#include "core/keychain.h"
#include "platform/ne/tunnel_provider_preferences.h"
#include "testing/test_control_plane.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"
#include "ui/object_names.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/main/mac_root_view.h"
#include "ui/shell/app_scenes.h"
#include "ui/shell/qt_main_executor.h"
#include "ui/sheets/mac_devices_sheet.h"
#include "ui/style/plain_button.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

const std::string token = "0123456789abcdef";

class AppStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        Keychain::deleteItem(Keychain::Item::subToken);
        Deployment::install(plane.deployment());
        const ojson meta = {{"version", 2}, {"pull_interval_seconds", 900}, {"tier_0_apps", {{"ios", ojson::array()}}}};
        plane.setProvisionedToken(token);
        plane.setSubscription(token, ojson{{"outbounds", ojson::array()}, {"_kavri_meta", meta}}.dump());
        plane.setStatus(token, R"({"state":"paid_autopay","app_id":9})");

        KavriMacApp::Deps d;
        d.sysex.bundle = temp / "Kavri.app";
        d.sysex.applicationsRoot = (temp / "Applications").string() + "/";
        d.sysex.manager = &manager;
        d.sysex.terminateAfter = [](auto) {};
        d.vpn.tunnel.preferencesDirectory = temp / "config";
        AppTelemetry::shared().didSendOpen = false;  // each test's app reports its own open
        d.reportAppOpen = [] { KavriMacApp::reportOpen(AppTelemetry::shared()); };
        app = std::make_unique<KavriMacApp>(main, std::move(d));
        scenes = std::make_unique<AppScenes>(*app);
    }
    void TearDown() override {
        scenes.reset();
        AppTelemetry::shared().waitIdle();  // no report outlives this test's control plane
        main.shutdown();  // nothing left waits for the main thread in vain
        app.reset();
        Deployment::install(saved);
        Keychain::deleteItem(Keychain::Item::subToken);
    }

    // Runs the event loop until every task of the app has ended (at most a
    // generous two minutes; then the main thread stops serving them).
    bool settle() {
        std::atomic<bool> idle{false};
        std::thread waiter([&] {
            app->waitIdle();
            idle = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (!idle && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!idle) main.shutdown();
        waiter.join();
        return idle;
    }
    std::vector<std::string> calls() const { return plane.accountCalls(); }
    QAction* menuAction(const char* name) {
        return scenes->menuBarExtra().menu().findChild<QAction*>(name);
    }

    QApplication& qt = test::qtApp();  // first: the main executor needs it
    const Deployment saved = Deployment::current();
    test::TempDir temp;
    KavriStore& store = test::freshSharedStore();
    TestControlPlane plane;
    SystemExtensionManager manager{temp / "Kavri.app"};
    QtMainExecutor main;
    std::unique_ptr<KavriMacApp> app;
    std::unique_ptr<AppScenes> scenes;
};

TEST_F(AppStartTest, TheShownWindowBringsTheAccountAndTheProfileUpToDate) {
    scenes->show();
    ASSERT_TRUE(settle());
    const std::string sub = "GET /sub/" + token, status = "GET /status/" + token;
    EXPECT_EQ(calls(), (std::vector<std::string>{"POST /provision", sub, status, sub, status}));
    EXPECT_TRUE(app->subscription().hasSubscription);
    EXPECT_EQ(app->subscription().state.get(), SubscriptionState::paidAutopay);
    EXPECT_EQ(app->vpn().savedConfiguration(), R"({"outbounds":[]})");
    EXPECT_EQ(TunnelProviderPreferences(temp / "config").loadAll().size(), 1u);
    EXPECT_FALSE(scenes->menuBarExtra().connected());  // the tunnel is not up: the icon is dim

    // Closed, the window leaves the app in the tray; the menu brings it
    // back, and its content shown again runs the start-up anew.
    scenes->window().close();
    plane.clearRequests();
    ASSERT_NE(menuAction(ObjectName::menuQuit), nullptr);
    ASSERT_NE(menuAction(ObjectName::menuOpenWindow), nullptr);
    menuAction(ObjectName::menuOpenWindow)->trigger();
    EXPECT_TRUE(scenes->window().isVisible());
    ASSERT_TRUE(settle());
    EXPECT_EQ(calls(), (std::vector<std::string>{status, sub, status}));  // provisioned: only the status first
}

TEST_F(AppStartTest, TheWindowShowsTheAccountOfTheAppsStoreAndTheOpenIsReported) {
    plane.setStatus(token, R"({"state":"trial","days_left":2})");
    EXPECT_EQ(scenes->rootPresenter().state().banner.kind, AccountBanner::Kind::none);  // nothing known yet
    scenes->show();
    ASSERT_TRUE(settle());
    const auto& state = scenes->rootPresenter().state();
    EXPECT_EQ(state.banner.kind, AccountBanner::Kind::stateLine);
    EXPECT_EQ(state.banner.title, "Бесплатно ещё 2 дня");
    EXPECT_TRUE(state.banner.payLink);
    EXPECT_EQ(state.status.caption, "Готов к подключению");

    AppTelemetry::shared().waitIdle();
    int opens = 0;
    for (const auto& report : plane.reports()) opens += report.value("event", "") == "app_open";
    EXPECT_EQ(opens, 1);
}

TEST_F(AppStartTest, MessagesOfLaterStartsReachTheStores) {
    Keychain::write(token, Keychain::Item::subToken);
    plane.setSubscription("abcdefabcdefabcdef",
                          std::string(R"({"outbounds":[{"tag":"linked"}],"_kavri_meta":{"version":3,"pull_interval_seconds":900,)"
                          R"("tier_0_apps":{"ios":[]}}})"));
    scenes->handleMessage("kavri://paid");
    ASSERT_TRUE(settle());
    EXPECT_EQ(calls(), (std::vector<std::string>{"GET /status/" + token}));
    EXPECT_EQ(app->subscription().state.get(), SubscriptionState::paidAutopay);
    EXPECT_EQ(app->vpn().savedConfiguration(), std::nullopt);

    plane.clearRequests();
    scenes->handleMessage("kavri://link?token=abcdefabcdefabcdef");
    ASSERT_TRUE(settle());
    EXPECT_EQ(calls(), (std::vector<std::string>{"GET /sub/abcdefabcdefabcdef"}));
    EXPECT_EQ(app->vpn().savedConfiguration(), R"({"outbounds":[{"tag":"linked"}]})");
}

TEST_F(AppStartTest, TheDevicesSheetOpensOverTheWindowWithTheListAndCloses) {
    plane.setDevices(token, R"({"limit":5,"devices":[{"device_id":"me","current":true},)"
                            R"({"device_id":"p1","name":"Телефон","platform":"ios"}]})");
    scenes->show();
    ASSERT_TRUE(settle());
    scenes->rootPresenter().menuDevicesChosen();
    const auto until = [](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    };
    const auto sheet = [&] { return scenes->rootView().findChild<MacDevicesSheet*>(); };
    ASSERT_TRUE(until([&] { return sheet() && sheet()->viewState().rows.size() == 1; }));
    EXPECT_EQ(sheet()->viewState().rows[0].title, "Телефон");
    EXPECT_EQ(sheet()->viewState().usageText, "Вы можете добавить ещё 3 из 5 устройств");
    EXPECT_EQ(sheet()->viewState().section, MacDevicesSheetViewState::Section::share);  // a paid owner

    auto* done = sheet()->findChild<PlainButton*>(ObjectName::devicesDone);
    ASSERT_TRUE(done);
    done->click();
    EXPECT_TRUE(until([&] { return sheet() == nullptr; }));  // built anew on the next opening
    EXPECT_FALSE(scenes->rootPresenter().state().showDevices);
}

}  // namespace
}  // namespace kavri
