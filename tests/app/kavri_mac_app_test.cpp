#include "app/shell/kavri_mac_app.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "app/runtime/manual_executor.h"
#include "core/kavri_defaults_key.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

// Records the steps that start-up and URL handling ask for, in order.
class AppTest : public ::testing::Test {
protected:
    KavriMacApp::Deps deps() {
        KavriMacApp::Deps d;
        d.sysex.bundle = temp / "Downloads" / "Kavri.app";
        d.sysex.applicationsRoot = (temp / "Applications").string() + "/";
        d.sysex.manager = &manager;
        d.sysex.terminateAfter = [](auto) {};
        const auto step = [this](std::string name) {
            return [this, name](std::stop_token) { record(name); };
        };
        d.account.ensureProvisioned = step("ensureProvisioned");
        d.account.refresh = step("refresh");
        d.account.refreshStatus = step("refreshStatus");
        d.account.pull = [this](std::stop_token, const std::string& link) {
            record("pull " + link);
            if (link.find("token=") == std::string::npos) throw std::runtime_error("no token");
        };
        d.account.hasSubscription = [this] {
            EXPECT_TRUE(main.isMainThread());
            return hasSubscription;
        };
        d.account.saveConfiguration = [this](std::stop_token, const std::string& configuration) {
            record("save " + configuration);
            throw std::runtime_error("profile refused");  // dropped
        };
        d.account.reportOpen = [this] { record("app_open"); };
        return d;
    }

    void record(std::string step) {
        std::lock_guard lock(mutex);
        steps.push_back(std::move(step));
    }
    std::vector<std::string> recorded() {
        std::lock_guard lock(mutex);
        return steps;
    }
    void settle(KavriMacApp& app) {
        std::atomic<bool> idle{false};
        std::thread waiter([&] {
            app.waitIdle();
            idle = true;
        });
        main.runUntil([&] { return idle.load(); });
        waiter.join();
    }

    test::TempDir temp;
    ManualExecutor main;
    SystemExtensionManager manager{temp / "Downloads" / "Kavri.app"};
    KavriStore& store = test::freshSharedStore();
    bool hasSubscription = true;
    std::mutex mutex;
    std::vector<std::string> steps;
};

TEST_F(AppTest, StartUpRunsEveryStepInOrderAndHandsTheConfigurationOver) {
    fs::create_directories(temp / "Downloads" / ".kavri-previous-1.app");
    store.set(KavriDefaultsKey::cachedSingboxConfig, PlistValue(Data{"{\"outbounds\":[]}"}));
    KavriMacApp app(main, deps());
    EXPECT_TRUE(fs::exists(KavriStore::directory() / "rules" / "geoip-ru.srs"));
    app.startupTask();
    EXPECT_FALSE(fs::exists(temp / "Downloads" / ".kavri-previous-1.app"));
    EXPECT_EQ(app.sysex().state->kind, SystemExtensionInstaller::State::Kind::notInApplications);
    settle(app);
    EXPECT_EQ(recorded(), (std::vector<std::string>{"app_open", "ensureProvisioned", "refresh", "refreshStatus",
                                                    "save {\"outbounds\":[]}"}));
}

TEST_F(AppTest, NoProfileUpdateWithoutASubscriptionOrWithoutConfigurationBytes) {
    struct Case {
        bool subscription;
        std::optional<PlistValue> stored;
    } cases[] = {
        {false, PlistValue(Data{"{}"})},
        {true, std::nullopt},
        {true, PlistValue("{} as text, not data")},
    };
    for (const auto& c : cases) {
        store.set(KavriDefaultsKey::cachedSingboxConfig, c.stored);
        hasSubscription = c.subscription;
        steps.clear();
        KavriMacApp app(main, deps());
        app.startupTask();
        settle(app);
        EXPECT_EQ(recorded().back(), "refreshStatus");
    }
}

TEST_F(AppTest, URLsOfTheSchemeAreRoutedByHost) {
    store.set(KavriDefaultsKey::cachedSingboxConfig, PlistValue(Data{"cfg"}));
    struct Case {
        std::string url;
        std::vector<std::string> expected;
    } cases[] = {
        {"kavri://paid", {"refreshStatus"}},
        {"kavri://link?token=abc", {"pull kavri://link?token=abc", "save cfg"}},
        {"kavri://link?code=123456", {"pull kavri://link?code=123456", "save cfg"}},  // the pull fails
        {"https://kavri.example/paid", {}},
        {"KAVRI://paid", {}},
    };
    for (const auto& c : cases) {
        KavriMacApp app(main, deps());
        steps.clear();
        app.openURL(c.url);
        settle(app);
        EXPECT_EQ(recorded(), c.expected) << c.url;
    }
}

}  // namespace
}  // namespace kavri
