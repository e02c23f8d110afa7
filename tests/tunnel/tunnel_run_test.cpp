// A tunnel run of the extension's provider as the durnel host drives it:
// events from clients on the control socket, against the stand-in engine,
// member proxies and a control plane on loopback.
#include <gtest/gtest.h>

#include <future>
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
