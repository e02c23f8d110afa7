// The app side of the VPN service: profiles saved by several writers, and
// what a start refuses before it reaches any extension.
#include <gtest/gtest.h>

#include "platform/ne/tunnel_provider_error.h"
#include "platform/ne/tunnel_provider_manager.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using Code = TunnelProviderError::Code;

namespace {

class TunnelProviderTest : public ::testing::Test {
protected:
    TunnelProviderEnvironment environment() const {
        TunnelProviderEnvironment env;
        env.sharedDirectory = dir / "shared";
        env.preferencesDirectory = dir / "config";
        env.durnel.program = dir / "no-durnel";  // a start that got past its checks would fail to launch
        return env;
    }

    std::shared_ptr<TunnelProviderManager> saved(bool enabled = true) {
        auto m = std::make_shared<TunnelProviderManager>(environment());
        m->edit([&](TunnelProviderProfile& p) {
            p.protocolConfiguration = {"com.kavri-app.mac.tunnel", "Kavri Proxy"};
            p.localizedDescription = "Каври";
            p.isEnabled = enabled;
            p.isOnDemandEnabled = true;
            p.onDemandRules = {OnDemandRule{}};
        });
        m->saveToPreferences();
        return m;
    }

    static Code codeOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const TunnelProviderError& e) {
            return e.code();
        }
        return Code::configurationUnknown;
    }

    test::TempDir dir;
};

TEST_F(TunnelProviderTest, AProfileSavedByAnotherWriterIsStaleUntilLoadedAgain) {
    auto mine = saved();
    EXPECT_EQ(mine->connection()->status(), TunnelStatus::disconnected);  // saved, no extension running

    auto all = TunnelProviderManager::loadAllFromPreferences(environment());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.front()->profile(), mine->profile());
    all.front()->edit([](TunnelProviderProfile& p) { p.isOnDemandEnabled = false; });
    all.front()->saveToPreferences();

    mine->edit([](TunnelProviderProfile& p) { p.localizedDescription = "mine"; });
    EXPECT_EQ(codeOf([&] { mine->saveToPreferences(); }), Code::configurationStale);
    EXPECT_EQ(codeOf([&] { mine->connection()->startVPNTunnel({{"configContent", "{}"}}); }), Code::configurationStale);
    // Nothing of the refused save reached the file.
    EXPECT_EQ(TunnelProviderManager::loadAllFromPreferences(environment()).front()->profile(), all.front()->profile());

    mine->loadFromPreferences();
    EXPECT_FALSE(mine->isOnDemandEnabled());
    EXPECT_EQ(mine->profile().localizedDescription, "Каври");
    mine->edit([](TunnelProviderProfile& p) { p.localizedDescription = "mine"; });
    mine->saveToPreferences();
    EXPECT_EQ(TunnelProviderManager::loadAllFromPreferences(environment()).front()->profile().localizedDescription,
              "mine");
}

TEST_F(TunnelProviderTest, AStartIsRefusedBeforeAnyExtensionForAProfileThatCannotRun) {
    auto unsaved = std::make_shared<TunnelProviderManager>(environment());
    EXPECT_EQ(unsaved->connection()->status(), TunnelStatus::invalid);
    EXPECT_EQ(codeOf([&] { unsaved->connection()->startVPNTunnel({}); }), Code::configurationInvalid);
    EXPECT_EQ(codeOf([&] { unsaved->loadFromPreferences(); }), Code::configurationInvalid);
    EXPECT_EQ(codeOf([&] { saved(false)->connection()->startVPNTunnel({}); }), Code::configurationDisabled);
    EXPECT_EQ(codeOf([&] { saved(true)->connection()->startVPNTunnel({}); }), Code::connectionFailed);  // got to the launch
    EXPECT_EQ(codeOf([&] { saved(true)->connection()->sendProviderMessage("ping:a:1", [](auto) {}); }),
              Code::connectionFailed);
    EXPECT_EQ(TunnelProviderManager::loadAllFromPreferences(environment()).size(), 3u);
}

}  // namespace
