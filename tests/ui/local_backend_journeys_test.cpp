// Three journeys of a user against the local backend program as the local
// run starts it (kavri-control-plane --account), with the app's window and
// stores drawn off screen: paying on the payment page, sharing a code with a
// second device (this program again, in a process with folders of its own),
// and installing the update the backend offers.
#include <QCoreApplication>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "api/app_update.h"
#include "api/device_link_api.h"
#include "app/shell/kavri_mac_app.h"
#include "app/telemetry/app_telemetry.h"
#include "app/updater/mac_updater.h"
#include "core/deployment.h"
#include "core/keychain.h"
#include "core/property_list.h"
#include "platform/pasteboard/pasteboard.h"
#include "testing/child_process.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/main/mac_root_view.h"
#include "ui/object_names.h"
#include "ui/sheets/mac_devices_sheet.h"
#include "ui/sheets/mac_menu_sheet_presenter.h"
#include "ui/shell/app_scenes.h"
#include "ui/shell/qt_main_executor.h"
#include "ui/style/plain_button.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// What the first device hands the second one's process.
constexpr const char* joinCodeVariable = "KAVRI_TEST_JOIN_CODE";
constexpr const char* joinDeploymentVariable = "KAVRI_TEST_JOIN_DEPLOYMENT";

// The backend program, with a subscription of three members and folders
// for downloads and the signer of updates, stopped at the end.
class LocalBackend {
public:
    explicit LocalBackend(const fs::path& dir) : dir_(dir) {
        fs::create_directories(dir / "downloads");
        json members = json::array();
        json outbounds = json::array();
        for (const char* tag : {"member-a", "member-b", "member-c"}) {
            members.push_back(tag);
            outbounds.push_back({{"type", "http"}, {"tag", tag}, {"server", "127.0.0.1"}, {"server_port", 9}});
        }
        outbounds.insert(outbounds.begin(), json{{"type", "selector"}, {"tag", "proxy"}, {"outbounds", members}});
        std::ofstream(dir / "subscription.json")
            << json{{"outbounds", outbounds},
                    {"_kavri_meta", {{"version", 1}, {"pull_interval_seconds", 900}, {"tier_0_apps", {{"ios", json::array()}}}}}}
                   .dump();
        program_ = std::make_unique<ChildProcess>(
            fs::path(KAVRI_BINARY_DIR) / "testing" / "kavri-control-plane",
            std::vector<std::string>{"--account", (dir / "subscription.json").string(), "--downloads",
                                     (dir / "downloads").string(), "--signing-identity", (dir / "signer").string(),
                                     "--write-deployment", (dir / "deployment.json").string()},
            std::map<std::string, std::string>{}, dir / "control-plane.log");
        EXPECT_TRUE(test::eventually([&] { return fs::exists(dir / "deployment.json") || !program_->running(); }, 60s));
        deployment_ = Deployment::fromJson(test::readFile(dir / "deployment.json")).value_or(Deployment::builtIn());
    }
    ~LocalBackend() { program_->kill(SIGTERM); }

    const Deployment& deployment() const { return deployment_; }
    fs::path deploymentFile() const { return dir_ / "deployment.json"; }
    fs::path downloads() const { return dir_ / "downloads"; }
    fs::path signer() const { return dir_ / "signer"; }
    std::string log() const { return test::readFile(dir_ / "control-plane.log"); }

    // An HTTPS request to the backend, trusting its authority.
    HttpResponse call(const std::string& method, const std::string& path, const json& body = nullptr) const {
        HttpSessionConfig config;
        config.caBundle = deployment_.caBundle;
        HttpRequest request;
        request.method = method;
        request.url = deployment_.apiBaseURL + path;
        if (!body.is_null()) request.body = body.dump();
        return HttpSession(config).send(request);
    }

private:
    fs::path dir_;
    std::unique_ptr<ChildProcess> program_;
    Deployment deployment_;
};

// The app of one device: its stores and scenes over the deployment of the
// backend, in this process's own folders.
class Device {
public:
    explicit Device(const fs::path& dir) : manager_(dir / "Kavri.app") {
        KavriMacApp::Deps d;
        d.sysex.bundle = dir / "Kavri.app";
        d.sysex.applicationsRoot = (dir / "Applications").string() + "/";
        d.sysex.manager = &manager_;
        d.sysex.terminateAfter = [](auto) {};
        d.vpn.tunnel.preferencesDirectory = dir / "config";
        app_ = std::make_unique<KavriMacApp>(main_, std::move(d));
        scenes_ = std::make_unique<AppScenes>(*app_);
    }
    ~Device() {
        scenes_.reset();
        AppTelemetry::shared().waitIdle();
        main_.shutdown();
        app_.reset();
    }

    KavriMacApp& app() { return *app_; }
    AppScenes& scenes() { return *scenes_; }
    MainExecutor& main() { return main_; }

    // Runs the event loop until every task of the app ended.
    bool settle() {
        std::atomic<bool> idle{false};
        std::thread waiter([&] {
            app_->waitIdle();
            idle = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + 2min;
        while (!idle && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!idle) main_.shutdown();
        waiter.join();
        return idle;
    }
    static bool pump(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    }
    // The devices sheet, opened and loaded.
    MacDevicesSheet* openDevices() {
        scenes_->rootPresenter().menuDevicesChosen();
        MacDevicesSheet* sheet = nullptr;
        pump([&] { return (sheet = scenes_->rootView().findChild<MacDevicesSheet*>()) != nullptr; });
        return sheet;
    }
    void closeDevices() {
        if (auto* sheet = scenes_->rootView().findChild<MacDevicesSheet*>())
            sheet->findChild<PlainButton*>(ObjectName::devicesDone)->click();
        pump([&] { return scenes_->rootView().findChild<MacDevicesSheet*>() == nullptr; });
    }

private:
    QApplication& qt_ = test::qtApp();  // first: the main executor needs it
    SystemExtensionManager manager_;
    QtMainExecutor main_;
    std::unique_ptr<KavriMacApp> app_;
    std::unique_ptr<AppScenes> scenes_;
};

class LocalBackendJourneys : public ::testing::Test {
protected:
    void SetUp() override {
        Keychain::deleteItem(Keychain::Item::subToken);
        Deployment::install(backend.deployment());
        AppTelemetry::shared().didSendOpen = false;
        device = std::make_unique<Device>(temp / "first");
        device->scenes().show();
        ASSERT_TRUE(device->settle());
        ASSERT_TRUE(device->app().subscription().hasSubscription) << backend.log();
    }
    void TearDown() override {
        device.reset();
        Deployment::install(saved);
        Keychain::deleteItem(Keychain::Item::subToken);
    }

    // Refreshes the account as the desktop's "kavri://paid" does.
    void paidLink() {
        device->scenes().handleMessage("kavri://paid");
        ASSERT_TRUE(device->settle());
    }

    const Deployment saved = Deployment::current();
    test::TempDir temp;
    KavriStore& store = test::freshSharedStore();
    LocalBackend backend{temp / "backend"};
    std::unique_ptr<Device> device;
};

TEST_F(LocalBackendJourneys, PayingOnThePageShowsThePaidStateThroughTheAppsLink) {
    auto& subscription = device->app().subscription();
    EXPECT_EQ(subscription.state.get(), SubscriptionState::trial);
    EXPECT_EQ(subscription.subscriptionID.get(), 1001);
    EXPECT_FALSE(subscription.plans.get().empty());
    EXPECT_EQ(device->scenes().rootPresenter().state().banner.kind, AccountBanner::Kind::stateLine);

    // The plan sheet's purchase: the store creates the payment; the browser
    // shows its page, and the page's button pays and names the app's link.
    std::optional<std::string> page;
    bool created = false;
    subscription.buy(subscription.plans.get().front().key, true, [&](std::optional<std::string> url) {
        page = std::move(url);
        created = true;
    });
    ASSERT_TRUE(Device::pump([&] { return created; }));
    ASSERT_TRUE(page) << backend.log();
    HttpRequest open;
    open.url = *page;
    const auto shown = HttpSession().send(open);
    std::smatch action;
    ASSERT_TRUE(std::regex_search(shown.body, action, std::regex(R"re(action="([^"]+)")re"))) << shown.body;
    HttpRequest button;
    button.method = "POST";
    button.url = page->substr(0, page->find("/pay/")) + action[1].str();
    const auto done = HttpSession().send(button);
    ASSERT_NE(done.body.find("url=kavri://paid"), std::string::npos) << done.body;

    paidLink();
    EXPECT_EQ(subscription.state.get(), SubscriptionState::paidAutopay);
    const auto& banner = device->scenes().rootPresenter().state().banner;
    EXPECT_EQ(banner.kind, AccountBanner::Kind::stateLine);
    EXPECT_TRUE(banner.title.starts_with("Подписка активна до ")) << banner.title;
}

TEST_F(LocalBackendJourneys, ACodeSharedByAPaidOwnerBringsASecondDeviceWithItsOwnFoldersOntoTheAccount) {
    ASSERT_EQ(backend.call("POST", "/admin/account", {{"set", "paid"}}).status, 200);
    paidLink();
    auto* sheet = device->openDevices();
    ASSERT_TRUE(sheet);
    ASSERT_EQ(sheet->viewState().section, MacDevicesSheetViewState::Section::share);
    sheet->findChild<QAbstractButton*>(ObjectName::devicesShowCode)->click();
    ASSERT_TRUE(Device::pump([&] { return sheet->viewState().code.has_value(); })) << backend.log();
    const std::string code = *sheet->viewState().code;
    EXPECT_TRUE(sheet->viewState().rows.empty());
    device->closeDevices();

    ChildProcess second(fs::read_symlink("/proc/self/exe"),
                        {"--gtest_filter=LocalBackendSecondDevice.JoinsByTheCodeItWasGiven"},
                        {{joinCodeVariable, code}, {joinDeploymentVariable, backend.deploymentFile().string()}},
                        temp / "second.log");
    const int status = second.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << second.output() << backend.log();
    ASSERT_NE(backend.log().find("joined by code"), std::string::npos) << second.output() << backend.log();

    sheet = device->openDevices();
    ASSERT_TRUE(sheet);
    ASSERT_TRUE(Device::pump([&] { return sheet->viewState().rows.size() == 1; })) << backend.log();
    EXPECT_EQ(sheet->viewState().usageText, "Вы можете добавить ещё 3 из 5 устройств");
}

// The second device of the journey above: runs only when its first device
// started it.
TEST(LocalBackendSecondDevice, JoinsByTheCodeItWasGiven) {
    const char* code = std::getenv(joinCodeVariable);
    const char* deployment = std::getenv(joinDeploymentVariable);
    if (!code || !deployment) GTEST_SKIP() << "started by the journey of the first device";
    Deployment::install(*Deployment::fromJson(test::readFile(deployment)));
    test::TempDir temp;
    Device device(temp / "second");
    device.scenes().show();
    ASSERT_TRUE(device.settle());
    ASSERT_TRUE(device.app().subscription().hasSubscription);

    auto* sheet = device.openDevices();
    ASSERT_TRUE(sheet);
    ASSERT_EQ(sheet->viewState().section, MacDevicesSheetViewState::Section::join);  // a trial of its own
    auto* field = sheet->findChild<QLineEdit*>(ObjectName::devicesCodeField);
    ASSERT_TRUE(field);
    QTest::keyClicks(field, QString::fromStdString(code));
    sheet->findChild<QAbstractButton*>(ObjectName::devicesConfirm)->click();
    // Joined, the sheet pulls the account's subscription and closes; the
    // next status names this device a member.
    ASSERT_TRUE(Device::pump([&] { return device.scenes().rootView().findChild<MacDevicesSheet*>() == nullptr; }));
    bool read = false;
    device.app().subscription().refreshStatus([&] { read = true; });
    ASSERT_TRUE(Device::pump([&] { return read; }));
    EXPECT_TRUE(device.app().subscription().isMember());

    // Both devices are on the list the account now keeps.
    const auto token = Keychain::read(Keychain::Item::subToken);
    ASSERT_TRUE(token);
    std::optional<DeviceLinkAPI::DeviceList> list;
    std::thread([&] { list = DeviceLinkAPI().listDevices(*token); }).join();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->devices.size(), 2u);
    EXPECT_TRUE(list->devices[1].current);
}

// The update the backend offers: found by the account menu's check,
// downloaded, verified, swapped into the applications folder and started.
TEST_F(LocalBackendJourneys, TheOfferedUpdateIsFoundInstalledIntoTheApplicationsFolderAndStarted) {
    const fs::path apps = temp / "Applications", current = apps / "Kavri.app", launches = temp / "launches";
    const auto writeBuild = [](const fs::path& app, const std::string& build) {
        std::ofstream(app / "Contents" / "Info.plist", std::ios::binary)
            << *PropertyList::encodeBinary(PlistValue(PlistValue::Dict{{"CFBundleVersion", build}}));
    };
    test::writeFakeBundle(current, "old", launches);
    writeBuild(current, "5");
    const fs::path release = temp / "release" / "Kavri.app";
    test::writeFakeBundle(release, "new", launches);
    writeBuild(release, "6");
    const std::string command = std::string(KAVRI_BINARY_DIR) + "/testing/kavri-pack-update --bundle '" +
                                release.string() + "' --certificate '" + (backend.signer() / "signer.pem").string() +
                                "' --key '" + (backend.signer() / "signer.key").string() + "' --output '" +
                                (backend.downloads() / "Kavri-6.dmg").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ofstream(backend.downloads() / "latest.json") << R"({"mac":{"build":6,"version":"2.0","url":"Kavri-6.dmg"}})";

    const std::string tools = std::string(KAVRI_BINARY_DIR) + "/platform/tools/";
    MacUpdater::Deps updater;
    updater.bundle = current;
    updater.temporaryDirectory = temp.path();
    updater.pid = 4194304;  // above any process id: the swap does not wait
    int terminations = 0;
    updater.terminateAfter = [&](auto) { ++terminations; };
    updater.tools = {tools + "hdiutil", tools + "codesign", tools + "spctl", tools + "xattr"};
    updater.currentBuild = 5;
    updater.teamIdentifier = backend.deployment().teamIdentifier;
    updater.codeSigningRoots = backend.deployment().codeSigningRoots;
    HttpSessionConfig config;
    config.caBundle = backend.deployment().caBundle;
    updater.downloads = HttpSession(config);

    std::vector<std::shared_ptr<MacUpdater>> kept;
    MacMenuSheetPresenter menu(
        device->main(),
        MacMenuSheetPresenter::Deps{device->app().subscription(),
                                    [] {},
                                    [] {},
                                    [] {},
                                    [](const std::string&) {},
                                    std::make_shared<TextPasteboard>(""),
                                    [](std::stop_token stop) { return AppUpdate::fetchLatest(stop); },
                                    [&] { return std::make_shared<MacUpdater>(device->main(), updater); },
                                    [&](std::shared_ptr<MacUpdater> u) { kept.push_back(std::move(u)); },
                                    5,
                                    "1.0",
                                    MacMenuSheetPresenter::Links::deployment()});
    menu.appear();
    ASSERT_TRUE(Device::pump([&] { return menu.latest().has_value(); })) << backend.log();
    EXPECT_EQ(menu.state().update.text, "Обновите приложение до 2.0 (6)");
    menu.updateClicked();
    ASSERT_TRUE(Device::pump([&] { return terminations > 0; }, 120s)) << menu.state().update.text;
    ASSERT_TRUE(test::eventually([&] { return test::readFile(launches).find("new") != std::string::npos; }, 60s));
    EXPECT_EQ(test::readFile(current / "Contents" / "version"), "new");
    EXPECT_NE(backend.log().find("GET /dl/Kavri-6.dmg → 200"), std::string::npos);
}

}  // namespace
}  // namespace kavri
