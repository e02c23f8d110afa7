// The app's start-up task and URL routing with the real stores against the
// test control plane.
#include "app/shell/kavri_mac_app.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "core/keychain.h"
#include "platform/ne/tunnel_provider_preferences.h"
#include "testing/test_control_plane.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;
using Reply = TestControlPlane::Reply;

const std::string token = "0123456789abcdef";

// A subscription reply whose configuration names `tag`.
std::string served(const std::string& tag) {
    const ojson meta = {{"version", 4}, {"pull_interval_seconds", 1800}, {"tier_0_apps", {{"ios", ojson::array()}}}};
    return ojson{{"outbounds", ojson::array({{{"tag", tag}, {"type", "vless"}}})}, {"_kavri_meta", meta}}.dump();
}
std::string configurationOf(const std::string& tag) {
    return R"({"outbounds":[{"tag":")" + tag + R"(","type":"vless"}]})";
}

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        Keychain::deleteItem(Keychain::Item::subToken);
        Deployment::install(plane.deployment());
        plane.setSubscription(token, served("mine"));
        plane.setStatus(token, R"({"state":"trial","app_id":5})");
    }
    void TearDown() override {
        app.reset();
        Deployment::install(saved);
        Keychain::deleteItem(Keychain::Item::subToken);
    }

    KavriMacApp& make() {
        KavriMacApp::Deps d;
        d.sysex.bundle = temp / "Downloads" / "Kavri.app";
        d.sysex.applicationsRoot = (temp / "Applications").string() + "/";
        d.sysex.manager = &manager;
        d.sysex.terminateAfter = [](auto) {};
        d.vpn.tunnel.preferencesDirectory = config;
        d.reportAppOpen = [this] { ++opens; };
        app = std::make_unique<KavriMacApp>(main, std::move(d));
        EXPECT_TRUE(main.runUntil([&] { return !app->vpn().loading(); }));
        return *app;
    }

    // Drives the main thread until every task of the app has ended.
    void settle() {
        std::atomic<bool> idle{false};
        std::thread waiter([&] {
            app->waitIdle();
            idle = true;
        });
        EXPECT_TRUE(main.runUntil([&] { return idle.load(); }, std::chrono::seconds(120)));
        waiter.join();
    }

    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        for (const auto& r : plane.requests()) out.push_back(r.call());
        return out;
    }
    std::optional<std::uint64_t> profileRevision() const {
        const auto all = TunnelProviderPreferences(config).loadAll();
        if (all.empty()) return std::nullopt;
        return all.front().revision;
    }

    const Deployment saved = Deployment::current();
    test::TempDir temp;
    fs::path config = temp / "config";
    ManualExecutor main;
    SystemExtensionManager manager{temp / "Downloads" / "Kavri.app"};
    TestControlPlane plane;
    KavriStore& store = test::freshSharedStore();
    int opens = 0;
    std::unique_ptr<KavriMacApp> app;
};

TEST_F(AppTest, AFirstLaunchProvisionsPullsReadsTheStatusAndSavesTheProfileWithTheConfiguration) {
    plane.setProvisionedToken(token);
    fs::create_directories(temp / "Downloads" / ".kavri-previous-1.app");
    fs::remove_all(KavriStore::directory() / "rules");
    auto& a = make();
    EXPECT_EQ(opens, 1);
    EXPECT_TRUE(fs::exists(KavriStore::directory() / "rules" / "geoip-ru.srs"));
    EXPECT_FALSE(a.subscription().hasSubscription);

    a.startupTask();
    EXPECT_FALSE(fs::exists(temp / "Downloads" / ".kavri-previous-1.app"));
    EXPECT_EQ(a.sysex().state->kind, SystemExtensionInstaller::State::Kind::notInApplications);
    settle();

    const std::string sub = "GET /sub/" + token, status = "GET /status/" + token;
    EXPECT_EQ(calls(), (std::vector<std::string>{"POST /provision", sub, status, sub, status}));
    EXPECT_TRUE(a.subscription().hasSubscription);
    EXPECT_EQ(a.subscription().state.get(), SubscriptionState::trial);
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), token);
    EXPECT_EQ(a.vpn().savedConfiguration(), configurationOf("mine"));
    EXPECT_EQ(profileRevision(), 1u);
    EXPECT_EQ(a.vpn().status->kind, VPNManager::Status::Kind::disconnected);
    // Start options carry what the stores wrote.
    const auto options = a.vpn().startOptions("{}");
    EXPECT_EQ(options.at("deviceID"), *store.string(KavriDefaultsKey::deviceIDForNE));
    EXPECT_EQ(options.at("subToken"), token);
    EXPECT_EQ(options.at("configVersion"), 4);
}

TEST_F(AppTest, NoProfileIsSavedWithoutASubscriptionOrWithoutConfigurationBytes) {
    struct Case {
        const char* name;
        bool tokenStored;
        std::optional<PlistValue> cached;  // under "cached_singbox_config" before the start
    } cases[] = {
        {"provisioning refused", false, std::nullopt},
        {"provisioning refused, bytes kept", false, PlistValue(Data{"{}"})},
        {"a token, the download refused, no bytes", true, std::nullopt},
        {"a token, bytes of another type", true, PlistValue("{} as text")},
    };
    plane.scriptAlways(Reply::withStatus(403), "/provision");
    plane.scriptAlways(Reply::withStatus(500), "/sub/.*");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.tokenStored) Keychain::write(token, Keychain::Item::subToken);
        store.set(KavriDefaultsKey::cachedSingboxConfig, c.cached);
        auto& a = make();
        a.startupTask();
        settle();
        EXPECT_EQ(a.vpn().savedConfiguration(), std::nullopt);
        EXPECT_EQ(profileRevision(), std::nullopt);
        Keychain::deleteItem(Keychain::Item::subToken);
    }
}

TEST_F(AppTest, URLsOfTheSchemeReachTheStoresByHost) {
    plane.setSubscription("abcdefabcdefabcdef", served("linked"));
    Keychain::write(token, Keychain::Item::subToken);
    store.set(KavriDefaultsKey::cachedSingboxConfig, PlistValue(Data{configurationOf("kept")}));
    struct Case {
        std::string url;
        std::vector<std::string> requests;
        std::optional<std::string> handedOver;  // to the VPN manager; nothing: the profile is not touched
    } cases[] = {
        {"kavri://paid", {"GET /status/" + token}, std::nullopt},
        {"https://kavri.example/paid", {}, std::nullopt},
        {"KAVRI://paid", {}, std::nullopt},
        // no token in the link: the pull fails before any request, the profile is updated all the same
        {"kavri://link?code=123456", {}, configurationOf("kept")},
        {"kavri://link?token=abcdefabcdefabcdef", {"GET /sub/abcdefabcdefabcdef"}, configurationOf("linked")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto& a = make();
        const auto revision = profileRevision();
        plane.clearRequests();
        a.openURL(c.url);
        settle();
        EXPECT_EQ(calls(), c.requests);
        EXPECT_EQ(a.vpn().savedConfiguration(), c.handedOver);
        EXPECT_EQ(profileRevision(), c.handedOver ? std::optional(revision.value_or(0) + 1) : revision);
    }
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "kavri://link?token=abcdefabcdefabcdef");
    EXPECT_EQ(store.string(KavriDefaultsKey::subTokenForNE), "abcdefabcdefabcdef");
}

TEST_F(AppTest, ALaterStartUpCancelsTheOneUnderWay) {
    Keychain::write(token, Keychain::Item::subToken);
    plane.script(Reply::hang(), "/status/.*");
    auto& a = make();
    a.startupTask();
    ASSERT_TRUE(plane.waitForRequests(1));
    a.startupTask();  // the window's content was shown again
    settle();
    plane.releaseHangs();
    const std::string sub = "GET /sub/" + token, status = "GET /status/" + token;
    EXPECT_EQ(calls(), (std::vector<std::string>{status, status, sub, status}));
    EXPECT_EQ(a.vpn().savedConfiguration(), configurationOf("mine"));
}

}  // namespace
}  // namespace kavri
