// A tunnel run of the extension's provider as the durnel host drives it:
// events from clients on the control socket, against the stand-in engine,
// member proxies and a control plane on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "core/kavri_defaults_key.h"
#include "platform/ne/tunnel_control_client.h"
#include "platform/ne/tunnel_host.h"
#include "platform/runtime/fake_clock.h"
#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/support/temp_dir.h"
#include "tunnel/packet_tunnel_provider.h"

using namespace kavri;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

class TunnelRunTest : public ::testing::Test {
protected:
    void SetUp() override { rig.prepareStore(test::freshSharedStore()); }
    static KavriStore& store() { return KavriStore::shared(); }

    ProviderSettings settings() {
        ProviderSettings s;
        s.clock = &clock;
        s.controllerBase = rig.controllerBase();
        s.reloadSettle = 0ms;
        return s;
    }
    TunnelHostConfig hostConfig() const {
        TunnelHostConfig config;
        config.directory = dir.path();
        config.wake.interval = 1h;
        return config;
    }
    std::unique_ptr<TunnelControlClient> connect() const {
        return std::make_unique<TunnelControlClient>(TunnelControlClient::socketPath(dir.path()));
    }
    template <class Pred>
    static bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    test::TempDir dir;
    TunnelRig rig;
    FakeClock clock;
    LogCapture log;
};

}  // namespace

// A stop sent while the engine is still starting reaches the provider after
// the start: the engine ends stopped, the run clean and no loop alive, and
// the next start succeeds.
TEST_F(TunnelRunTest, AStopWhileConnectingEndsTheRunCleanly) {
    for (const bool withToken : {true, false}) {
        SCOPED_TRACE(withToken ? "with a token" : "without a token");
        SetUp();
        json options = rig.options();
        if (!withToken) {
            options.erase("subToken");
            store().removeObject(KavriDefaultsKey::subTokenForNE);
        }
        auto owned = std::make_unique<PacketTunnelProvider>(settings());
        auto& provider = *owned;
        TunnelHost host(std::move(owned), hostConfig());
        auto starter = connect();
        auto stopper = connect();

        provider.engineScript().holdStarts();
        auto starting = std::async(std::launch::async, [&] { return starter->start(options, 20s); });
        ASSERT_TRUE(eventually([&] { return provider.engineScript().startWaited(); }));
        auto stopping =
            std::async(std::launch::async, [&] { return stopper->stop(ProviderStopReason::userInitiated, 20s); });
        ASSERT_TRUE(eventually([&] { return host.snapshot().status == TunnelStatus::disconnecting; }));
        std::this_thread::sleep_for(100ms);  // time for a stop to go ahead of the start
        provider.engineScript().releaseStarts();

        EXPECT_THROW(starting.get(), TunnelControlClient::Error);
        EXPECT_EQ(stopping.get().status, TunnelStatus::disconnected);
        EXPECT_EQ(provider.engine(), nullptr);
        EXPECT_FALSE(store().boolValue(KavriDefaultsKey::sessionDirty));
        EXPECT_TRUE(eventually([&] { return clock.sleepers() == 0; }, 2s)) << clock.sleepers() << " loops left";

        EXPECT_EQ(starter->start(options).status, TunnelStatus::connected);
        EXPECT_EQ(starter->stop().status, TunnelStatus::disconnected);
        EXPECT_EQ(log.count("[engine] start failed: the engine is already running"), 0u);
    }
}

// A start sent while the previous run is still stopping (its stop report
// held at the control plane) waits for that stop: the run's provider is gone
// before the next one is made, and the new run starts its engine cleanly.
TEST_F(TunnelRunTest, AStartWhileTheRunStopsWaitsForTheStop) {
    struct Counted : PacketTunnelProvider {
        Counted(ProviderSettings s, std::atomic<int>& alive) : PacketTunnelProvider(std::move(s)), alive_(alive) {
            ++alive_;
        }
        ~Counted() override { --alive_; }
        std::atomic<int>& alive_;
    };
    std::atomic<int> alive{0};
    std::mutex mutex;
    std::vector<int> aliveAtMake;  // providers alive as each one is made
    TunnelHost host(
        [&]() -> std::unique_ptr<PacketTunnelProviderBase> {
            {
                std::lock_guard lock(mutex);
                aliveAtMake.push_back(alive);
            }
            return std::make_unique<Counted>(settings(), alive);
        },
        hostConfig());
    auto made = [&] {
        std::lock_guard lock(mutex);
        return aliveAtMake;
    };
    auto client = connect();
    ASSERT_EQ(client->start(rig.options()).status, TunnelStatus::connected);

    rig.controlPlane.scriptAlways(TestControlPlane::Reply::hang(), "/telemetry");
    auto stopper = connect();
    auto stopping = std::async(std::launch::async, [&] { return stopper->stop(ProviderStopReason::userInitiated, 20s); });
    ASSERT_TRUE(eventually([&] {
        for (const auto& r : rig.controlPlane.requests())
            if (r.path == "/telemetry" && r.body.find("tunnel_stop") != std::string::npos) return true;
        return false;
    }));
    auto starter = connect();
    auto starting = std::async(std::launch::async, [&] { return starter->start(rig.options(), 20s); });
    ASSERT_TRUE(log.waitForText("start queued until the tunnel has stopped"));
    EXPECT_EQ(made().size(), 1u);
    EXPECT_EQ(host.snapshot().status, TunnelStatus::disconnecting);

    rig.controlPlane.clearScript();
    rig.controlPlane.releaseHangs();
    EXPECT_EQ(stopping.get().status, TunnelStatus::disconnected);
    EXPECT_EQ(starting.get().status, TunnelStatus::connected);
    EXPECT_EQ(made(), (std::vector<int>{0, 0}));
    EXPECT_EQ(alive, 1);
    EXPECT_TRUE(store().boolValue(KavriDefaultsKey::sessionDirty));
    EXPECT_EQ(log.count("[engine] start failed: the engine is already running"), 0u);
    for (const auto& e : rig.events("tunnel_stop")) EXPECT_NE(e.value("stop_reason", ""), "system_killed");

    EXPECT_EQ(client->stop().status, TunnelStatus::disconnected);
    EXPECT_EQ(alive, 0);
}
