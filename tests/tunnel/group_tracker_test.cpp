// The run's view of the proxy group, against the stand-in engine of a
// started provider and member proxies on loopback.
#include "tunnel/group_tracker.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/runtime/log.h"
#include "testing/tunnel_rig.h"
#include "tests/support/fresh_shared_store.h"
#include "tests/tunnel/loop_parts.h"

using namespace kavri;
using namespace std::chrono_literals;

namespace {

class GroupTrackerTest : public ::testing::Test {
protected:
    void SetUp() override { rig.prepareStore(test::freshSharedStore()); }
    void TearDown() override {
        parts.reset();
        if (provider.engine()) {
            std::promise<void> done;
            provider.stopTunnel(ProviderStopReason::userInitiated, [&] { done.set_value(); });
            done.get_future().get();
        }
    }
    ProviderSettings settings() {
        ProviderSettings s;
        s.controllerBase = rig.controllerBase();
        return s;
    }
    void start() {
        std::promise<std::optional<std::string>> done;
        provider.startTunnel(rig.options(), [&](std::optional<std::string> e) { done.set_value(e); });
        ASSERT_EQ(done.get_future().get(), std::nullopt);
    }

    TunnelRig rig;
    LogCapture log;
    PacketTunnelProvider provider{settings()};
    std::unique_ptr<test::LoopParts> parts = std::make_unique<test::LoopParts>(
        provider, Clock::system(), rig.controllerBase(), rig.secret, test::LoopParts::Options{20ms});
};

}  // namespace

TEST_F(GroupTrackerTest, AReloadPutsTheGroupBackOnThePreviousMember) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto& group = parts->group;
    ASSERT_TRUE(parts->clash.clashSelect("m2"));
    provider.hotReload(provider.applyLocalPaths(rig.config().dump()));
    ASSERT_EQ(group.now(), "m1");  // the reload went back to the default
    group.reselect("m2");
    EXPECT_EQ(group.now(), "m2");
    EXPECT_TRUE(log.contains("[Kavri] анти-snap-back: ре-селект активного члена m2 после reload"));
    EXPECT_EQ(parts->run.activeMember(), "m2");
    EXPECT_EQ(parts->telemetry.fields().activeMember, "m2");

    log.clear();
    group.reselect("m2");  // already current: no request, no line
    group.reselect("gone");
    group.reselect(std::nullopt);
    EXPECT_FALSE(log.containsText("анти-snap-back"));
}

// What the heartbeat reports of its switches.
TEST_F(GroupTrackerTest, TheActiveMemberIsNotedInTheRunStateAndTheTelemetry) {
    auto& group = parts->group;
    group.noteActive("m2");
    EXPECT_EQ(parts->run.activeMember(), "m2");
    EXPECT_EQ(parts->telemetry.fields().activeMember, "m2");
    parts->telemetry.update([](Telemetry::Fields& f) { f.activeMember = "other"; });
    group.noteActive("m2");  // known already: nothing changes
    EXPECT_EQ(parts->telemetry.fields().activeMember, "other");
    group.noteActive("m1");
    EXPECT_EQ(parts->run.activeMember(), "m1");
    EXPECT_EQ(parts->telemetry.fields().activeMember, "m1");
}
