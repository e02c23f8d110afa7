// The durnel program as the system runs it: a process of its own, driven
// over its control socket, with a shared directory of its own.
#include <gtest/gtest.h>

#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "tests/support/durnel_fixture.h"

using namespace kavri;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class DurnelProcess : public test::DurnelFixture {};

}  // namespace

TEST_F(DurnelProcess, StartsATunnelOverItsSocket) {
    auto durnel = launch();
    TunnelControlClient client(TunnelControlClient::socketPath(shared));
    std::vector<TunnelStatus> seen;
    std::mutex m;
    client.subscribe([&](const TunnelControlClient::Snapshot& s) {
        std::lock_guard lock(m);
        if (seen.empty() || seen.back() != s.status) seen.push_back(s.status);
    });
    const auto after = client.start(rig.options());
    EXPECT_EQ(after.status, TunnelStatus::connected);
    ASSERT_TRUE(client.waitForStatus(TunnelStatus::connected, 5s));
    {
        std::lock_guard lock(m);
        EXPECT_NE(std::find(seen.begin(), seen.end(), TunnelStatus::connecting), seen.end());
        EXPECT_EQ(seen.back(), TunnelStatus::connected);
    }
    EXPECT_TRUE(KavriStore(shared).boolValue("session_dirty"));
    EXPECT_TRUE(durnel->outputHasLine("[Kavri] >> startTunnel (тонкий клиент)"));
    EXPECT_TRUE(durnel->outputHasLine("[Kavri] cache_file.path -> " + (shared / "cache.db").string()));
    EXPECT_TRUE(durnel->outputHasLine("[Kavri] route.final = proxy"));
    ASSERT_TRUE(rig.waitForEvent("connect_start"));

    const auto stopped = client.stop(ProviderStopReason::userInitiated);
    EXPECT_EQ(stopped.status, TunnelStatus::disconnected);
    EXPECT_EQ(KavriStore(shared).string("last_stop_reason"), "user_initiated");
    EXPECT_FALSE(KavriStore(shared).boolValue("session_dirty"));
    ASSERT_TRUE(rig.waitForEvent("tunnel_stop"));
    EXPECT_EQ(rig.events("tunnel_stop").front()["user_initiated"], true);
}

TEST_F(DurnelProcess, AKilledRunIsReportedByTheNextStart) {
    {
        auto durnel = launch();
        TunnelControlClient client(TunnelControlClient::socketPath(shared));
        ASSERT_EQ(client.start(rig.options()).status, TunnelStatus::connected);
        durnel->kill(SIGKILL);
    }
    EXPECT_TRUE(KavriStore(shared).boolValue("session_dirty"));
    EXPECT_TRUE(rig.events("tunnel_stop").empty());

    auto durnel = launch();
    TunnelControlClient client(TunnelControlClient::socketPath(shared));
    ASSERT_EQ(client.start(rig.options()).status, TunnelStatus::connected);
    ASSERT_TRUE(rig.waitForEvent("tunnel_stop"));
    const auto late = rig.events("tunnel_stop").front();
    EXPECT_EQ(late["stop_reason"], "system_killed");
    EXPECT_EQ(late["detected_late"], true);
    client.stop();
}
