// The VPN manager against a real durnel on loopback, started by the VPN
// service's stand-in as the app's first connect needs it.
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "api/device_id.h"
#include "app/stack/stack_pinger.h"
#include "app/vpn_manager/vpn_manager.h"
#include "core/kavri_defaults_key.h"
#include "core/keychain.h"
#include "core/last_resort_surface.h"
#include "platform/ne/tunnel_provider_error.h"
#include "platform/ne/tunnel_provider_preferences.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "tests/support/loopback_port.h"
#include "tests/support/vpn_fixture.h"

using namespace kavri;
using namespace std::chrono_literals;
using Kind = VPNManager::Status::Kind;
using nlohmann::json;

namespace {

class VPNManagerTest : public test::VpnFixture {
protected:
    void SetUp() override {
        VpnFixture::SetUp();
        store.set(KavriDefaultsKey::cachedSingboxConfig, Data{rig.config().dump()});
        store.set(KavriDefaultsKey::cachedSubscriptionMeta,
                  Data{R"({"version":3,"pull_interval_seconds":900,"tier_0_apps":{"ios":[]}})"});
    }

    VPNManager::Deps deps() {
        VPNManager::Deps d;
        d.tunnel = environment();
        d.store = &store;  // the device identifier and the metadata's version come from it
        return d;
    }

    std::unique_ptr<VPNManager> makeManager(Clock* clock = nullptr) {
        VPNManager::Deps d = deps();
        d.clock = clock;
        auto vpn = std::make_unique<VPNManager>(main, std::move(d));
        EXPECT_TRUE(main.runUntil([&] { return !vpn->loading(); }));
        return vpn;
    }

    // Runs the main thread until the manager shows `kind`.
    bool reaches(VPNManager& vpn, Kind kind, std::chrono::seconds limit = 60s) {
        return main.runUntil([&] { return vpn.status->kind == kind; }, limit);
    }

    std::optional<TunnelProviderPreferences::Stored> savedProfile() {
        const auto all = TunnelProviderPreferences(config).loadAll();
        if (all.empty()) return std::nullopt;
        return all.front();
    }

    KavriStore store{shared};
};

TEST_F(VPNManagerTest, ConnectDeliversTheOptionsWithTheirTypesAndFollowsTheStatus) {
    Keychain::write("https://cp.example/sub/" + rig.token, Keychain::Item::subToken);
    // The keychain's identifier is the one the app sends; the store's mirror
    // is out of date (a keychain kept from an earlier install): the first
    // report already names the start option's.
    const auto keptID = Keychain::read(Keychain::Item::deviceID);
    Keychain::write("device-of-the-keychain", Keychain::Item::deviceID);
    store.set(KavriDefaultsKey::deviceIDForNE, std::string("stale-mirror"));
    struct Restore {
        std::optional<std::string> id;
        ~Restore() {
            if (id)
                Keychain::write(*id, Keychain::Item::deviceID);
            else
                Keychain::deleteItem(Keychain::Item::deviceID);
        }
    } restore{keptID};
    auto vpn = makeManager();
    EXPECT_EQ(vpn->status.get(), VPNManager::Status::of(Kind::invalid));  // no profile yet
    EXPECT_THROW(offMain([&] { vpn->connect(); }), VPNError);

    std::vector<Kind> seen;
    auto sub = vpn->subscribe([&](std::string_view field) {
        if (field == "status" && (seen.empty() || seen.back() != vpn->status->kind)) seen.push_back(vpn->status->kind);
        if (field == "status" && vpn->status->kind == Kind::connected) {
            EXPECT_TRUE(vpn->connectedSince.get());
        }
    });
    // An empty saved text counts as none: the stored configuration is sent.
    offMain([&] { vpn->saveConfiguration(""); });
    EXPECT_FALSE(savedProfile()->profile.isOnDemandEnabled);
    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::connected)) << durnelOutput();
    EXPECT_EQ(seen, (std::vector<Kind>{Kind::disconnected, Kind::connecting, Kind::connected}));
    EXPECT_TRUE(vpn->connectedSince.get());
    EXPECT_TRUE(savedProfile()->profile.isOnDemandEnabled);

    // At the extension: exactly these keys, flags as booleans, the version as
    // an integer (the provider adds its own "ignoreMemoryLimit").
    EXPECT_EQ(durnelLines("[engine] start options: autoRouteUseSubRangesByDefault=false configContent=<text> "
                          "configVersion=3 deviceID=<text> excludeAPNsRoute=false excludeDefaultRoute=false "
                          "ignoreMemoryLimit=false includeAllNetworks=false subToken=<text> systemProxyEnabled=true"),
              1u)
        << durnelOutput();
    EXPECT_EQ(durnelLines("[Kavri] route.final = proxy"), 1u);
    ASSERT_TRUE(rig.waitForEvent("connect_start"));
    const json report = rig.events("connect_start").front();
    EXPECT_EQ(report["sub_token"], rig.token);  // the bare token of the stored link
    EXPECT_EQ(report["device_id"], "device-of-the-keychain");
    EXPECT_EQ(DeviceID::current(store), "device-of-the-keychain");

    offMain([&] { vpn->disconnect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::disconnected));
    EXPECT_FALSE(vpn->connectedSince.get());
    EXPECT_FALSE(savedProfile()->profile.isOnDemandEnabled);
    // A later save (start-up saves at every window show) keeps it off.
    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    EXPECT_FALSE(savedProfile()->profile.isOnDemandEnabled);
    EXPECT_EQ(vpn->status->kind, Kind::disconnected);
}

TEST_F(VPNManagerTest, AKilledExtensionComesBackOnDemandAndAfterDisconnectStaysDown) {
    LogCapture log;
    auto vpn = makeManager();
    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::connected)) << durnelOutput();
    const auto first = durnelPid();
    ASSERT_TRUE(first);

    ASSERT_TRUE(killAndWait(*first));
    ASSERT_TRUE(reaches(*vpn, Kind::disconnected));
    ASSERT_TRUE(reaches(*vpn, Kind::connected)) << durnelOutput();
    EXPECT_TRUE(log.contains("[Kavri] VPN: the tunnel went down without a stop; on-demand starts it again"));
    const auto second = durnelPid();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_EQ(durnelLines("[engine] start options: "), 2u);  // the options of the last start, again

    offMain([&] { vpn->disconnect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::disconnected));
    // Brought up by someone else and killed: on-demand is off now.
    {
        TunnelControlClient other(socket());
        ASSERT_EQ(other.start(rig.options()).status, TunnelStatus::connected);
    }
    ASSERT_TRUE(reaches(*vpn, Kind::connected));
    ASSERT_TRUE(killAndWait(*second));
    ASSERT_TRUE(log.waitForText("on-demand is off, it stays down", 30s));
    main.runUntilIdle();
    EXPECT_EQ(vpn->status->kind, Kind::disconnected);
    EXPECT_EQ(log.count("[Kavri] VPN: on-demand start"), 1u);
    EXPECT_FALSE(durnelPid());
}

TEST_F(VPNManagerTest, ADurnelTheAppRestartsLogsWhereTheFirstOneDid) {
    // A local run names the file its first durnel logs to; every durnel the
    // app starts logs there too, not into the app's own log.
    const auto runLog = dir / "run-durnel.log";
    ::setenv("KAVRI_DURNEL_LOG", runLog.c_str(), 1);
    const std::shared_ptr<void> unset(nullptr, [](void*) { ::unsetenv("KAVRI_DURNEL_LOG"); });
    VPNManager::Deps d = deps();
    d.tunnel.durnel.logFile = std::nullopt;
    auto vpn = std::make_unique<VPNManager>(main, std::move(d));
    ASSERT_TRUE(main.runUntil([&] { return !vpn->loading(); }));
    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::connected));
    const auto first = durnelPid();
    ASSERT_TRUE(first);
    ASSERT_TRUE(killAndWait(*first));
    ASSERT_TRUE(reaches(*vpn, Kind::disconnected));
    ASSERT_TRUE(reaches(*vpn, Kind::connected));  // on demand: the app started another durnel

    std::ifstream in(runLog);
    std::size_t listening = 0;
    for (std::string line; std::getline(in, line);)
        listening += line.find("[Kavri] tunnel host: listening on " + socket().string()) != std::string::npos;
    EXPECT_EQ(listening, 2u);
}

// The app process that connects and quits (run by the next test).
TEST_F(VPNManagerTest, AppProcessThatConnectsAndQuits) {
    const char* sharedDir = std::getenv("KAVRI_TEST_APP_SHARED");
    if (!sharedDir) GTEST_SKIP() << "runs only as the app process of TheTunnelOutlivesTheApp";
    VPNManager::Deps deps;
    deps.tunnel.sharedDirectory = sharedDir;
    deps.tunnel.preferencesDirectory = std::getenv("KAVRI_TEST_APP_CONFIG");
    deps.tunnel.durnel.logFile = std::getenv("KAVRI_TEST_APP_DURNEL_LOG");
    KavriStore appStore(sharedDir);
    deps.store = &appStore;
    VPNManager vpn(main, std::move(deps));
    ASSERT_TRUE(main.runUntil([&] { return !vpn.loading(); }));
    offMain([&] { vpn.saveConfiguration(std::getenv("KAVRI_TEST_APP_CONFIG_TEXT")); });
    offMain([&] { vpn.connect(); });
    ASSERT_TRUE(main.runUntil([&] { return vpn.status->kind == Kind::connected; }, 60s));
}

TEST_F(VPNManagerTest, TheTunnelOutlivesTheAppAndANewAppShowsItConnected) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    ChildProcess app(self, {"--gtest_filter=VPNManagerTest.AppProcessThatConnectsAndQuits"},
                     {{"KAVRI_TEST_APP_SHARED", shared.string()},
                      {"KAVRI_TEST_APP_CONFIG", config.string()},
                      {"KAVRI_TEST_APP_DURNEL_LOG", durnelLog().string()},
                      {"KAVRI_TEST_APP_CONFIG_TEXT", rig.config().dump()},
                      {"KAVRI_DURNEL", (std::filesystem::path(KAVRI_BINARY_DIR) / "tunnel" / "durnel").string()},
                      {"KAVRI_DEPLOYMENT", (dir / "deployment.json").string()},
                      {"KAVRI_CONTROLLER", "127.0.0.1:" + std::to_string(rig.controllerPort)}},
                     dir / "app.log");
    int status = 0;
    while (app.running()) std::this_thread::sleep_for(10ms);
    status = app.kill(0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << app.output() << durnelOutput();

    ASSERT_TRUE(durnelPid()) << "the tunnel went away with the app";
    TunnelControlClient probe(socket());
    const auto up = probe.status();
    ASSERT_EQ(up.status, TunnelStatus::connected);

    auto vpn = makeManager();
    main.runUntil([&] { return vpn->status->kind == Kind::connected; }, 30s);
    EXPECT_EQ(vpn->status->kind, Kind::connected);
    EXPECT_EQ(vpn->connectedSince.get(), up.connectedDate);
}

TEST_F(VPNManagerTest, ProbesThroughTheExtension) {
    FakeClock clock;
    auto vpn = makeManager(&clock);
    test::LoopbackPort listening(16);
    EXPECT_FALSE(offMain([&] { return vpn->probeRTT("127.0.0.1", listening.port); }));  // no tunnel: nothing sent

    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::connected)) << durnelOutput();
    const auto ms = offMain([&] { return vpn->probeRTT("127.0.0.1", listening.port); });
    ASSERT_TRUE(ms);
    EXPECT_GE(*ms, 0);
    test::LoopbackPort closed(-1);
    EXPECT_FALSE(offMain([&] { return vpn->probeRTT("127.0.0.1", closed.port); }));

    // An extension that does not answer: the probe gives up after its time.
    const auto pid = durnelPid();
    ASSERT_TRUE(pid);
    ::kill(*pid, SIGSTOP);
    auto late = std::async(std::launch::async, [&] { return vpn->probeRTT("127.0.0.1", listening.port); });
    EXPECT_TRUE(main.runUntil([&] { return clock.sleepers() >= 1; }, 30s));
    clock.advance(VPNManager::probeTimeout);
    EXPECT_EQ(late.wait_for(30s), std::future_status::ready);
    ::kill(*pid, SIGCONT);
    EXPECT_FALSE(late.get());
}

TEST_F(VPNManagerTest, ThePingerMeasuresThroughTheRunningTunnel) {
    auto vpn = makeManager();
    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::connected)) << durnelOutput();
    test::LoopbackPort listening(16);
    std::atomic<int> direct = 0;
    StackPinger pinger(main, Clock::system(), [&](const std::string&, std::uint16_t, std::chrono::milliseconds,
                                                  std::stop_token) -> std::optional<std::int64_t> {
        ++direct;
        return 50;
    });
    pinger.extensionProbe = [&](const std::string& host, int port) { return vpn->probeRTT(host, port); };
    pinger.tunnelActive = [&] { return vpn->status->kind == Kind::connected; };
    StackAPI::Catalog::Location location;
    location.id = "here";
    location.probeHost = "127.0.0.1";
    location.probePort = listening.port;

    // A measurement the extension did not answer within its limit (a loaded
    // machine) is simply missing; the next probe asks again.
    bool measured = false;
    for (int attempt = 0; attempt < 6 && !measured; ++attempt) {
        pinger.probe({location});
        measured = main.runUntil([&] { return pinger.results->contains("here"); }, 10s);
    }
    ASSERT_TRUE(measured) << durnelOutput();
    EXPECT_EQ(direct, 0) << durnelOutput();
}

TEST_F(VPNManagerTest, AProfileSavedElsewhereIsLoadedAgainAndStartedOnce) {
    LogCapture log;
    auto vpn = makeManager();
    offMain([&] { vpn->saveConfiguration(rig.config().dump()); });
    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::connected)) << durnelOutput();
    TunnelControlClient(socket()).stop();  // stopped elsewhere; on-demand stays on
    ASSERT_TRUE(reaches(*vpn, Kind::disconnected));

    // Another writer saves the profile.
    auto other = TunnelProviderManager::loadAllFromPreferences(environment());
    ASSERT_EQ(other.size(), 1u);
    other.front()->edit([](TunnelProviderProfile& p) { p.localizedDescription = "Каври (2)"; });
    other.front()->saveToPreferences();
    other.clear();

    offMain([&] { vpn->connect(); });
    ASSERT_TRUE(reaches(*vpn, Kind::connected));
    EXPECT_EQ(log.count("loading it again before one more start"), 1u);
    EXPECT_EQ(durnelLines("[Kavri] tunnel host: starting the tunnel"), 2u);  // the stale start never left the app
    EXPECT_EQ(savedProfile()->profile.localizedDescription, "Каври (2)");
}

TEST_F(VPNManagerTest, WithNothingStoredTheBuiltInConfigurationIsUsedAndKept) {
    store.removeObject(KavriDefaultsKey::cachedSingboxConfig);
    VPNManager::Deps d = deps();
    d.tunnel.durnel.program = dir / "no-such-durnel";  // the start itself fails
    VPNManager vpn(main, std::move(d));
    ASSERT_TRUE(main.runUntil([&] { return !vpn.loading(); }));
    offMain([&] { vpn.saveConfiguration(""); });
    try {
        offMain([&] { vpn.connect(); });
        ADD_FAILURE() << "the start should have failed";
    } catch (const TunnelProviderError& e) {
        EXPECT_EQ(e.code(), TunnelProviderError::Code::connectionFailed);
    }
    EXPECT_EQ(store.data(KavriDefaultsKey::cachedSingboxConfig), LastResortSurface::config());
}

TEST_F(VPNManagerTest, AnUnreadableProfilesFileIsReportedAndKeptAside) {
    std::filesystem::create_directories(config);
    std::ofstream(config / "vpn-profiles.json") << "{not json";
    auto vpn = makeManager();
    EXPECT_EQ(vpn->status->kind, Kind::failed);
    EXPECT_EQ(vpn->status->failure.rfind("VPN configuration: ", 0), 0u) << vpn->status->failure;
    EXPECT_THROW(offMain([&] { vpn->connect(); }), VPNError);
    bool keptAside = false;
    for (const auto& e : std::filesystem::directory_iterator(config))
        keptAside |= e.path().filename().string().rfind("vpn-profiles.json.corrupt-", 0) == 0;
    EXPECT_TRUE(keptAside);
    offMain([&] { vpn->saveConfiguration("{}"); });
    EXPECT_EQ(vpn->status->kind, Kind::disconnected);
}

TEST(VPNManagerProbeReply, OnlyASignedDecimalIsAMeasurement) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::int64_t>>> cases = {
        {"87", 87},
        {"+87", 87},
        {"-1", -1},
        {"0", 0},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {" 87", std::nullopt},
        {"87ms", std::nullopt},
        {"87\n", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"", std::nullopt},
        {std::string("\xff"), std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& [reply, expected] : cases)
        EXPECT_EQ(VPNManager::parseProbeReply(reply), expected) << (reply ? *reply : "(no reply)");
}

}  // namespace
