// The durnel program as the system runs it: a process of its own, driven
// over its control socket, with a shared directory of its own.
#include <gtest/gtest.h>

#include <fstream>

#include "core/detect_config.h"
#include "core/kavri_store.h"
#include "platform/ne/tunnel_control_client.h"
#include "testing/child_process.h"
#include "testing/tunnel_rig.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class DurnelProcess : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(shared / "rules");
        for (const auto& e : fs::directory_iterator(fs::path(KAVRI_SOURCE_DIR) / "resources" / "rules"))
            fs::copy_file(e.path(), shared / "rules" / e.path().filename());
        std::ofstream(dir / "deployment.json") << rig.controlPlane.deployment().toJson();
        KavriStore store(shared);
        store.set("sub_token_ne", rig.token);
        store.set("device_id_ne", rig.device);
        // Probes through the tunnel go to the origin on loopback.
        DetectConfig::persist(nlohmann::json{{"hb_url", rig.origin.url("/generate_204")}}, {}, store);
    }

    std::unique_ptr<ChildProcess> launch() {
        auto child = std::make_unique<ChildProcess>(
            fs::path(KAVRI_BINARY_DIR) / "tunnel" / "durnel", std::vector<std::string>{},
            std::map<std::string, std::string>{{"KAVRI_SHARED_DIR", shared.string()},
                                               {"KAVRI_DEPLOYMENT", (dir / "deployment.json").string()},
                                               {"KAVRI_CONTROLLER", "127.0.0.1:" + std::to_string(rig.controllerPort)}},
            dir / "durnel.log");
        // A killed run leaves its socket file behind: wait until the new
        // process answers on it.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            try {
                TunnelControlClient probe(TunnelControlClient::socketPath(shared), 200ms);
                break;
            } catch (const TunnelControlClient::Error&) {
                std::this_thread::sleep_for(10ms);
            }
        }
        return child;
    }

    test::TempDir dir;
    fs::path shared = dir / "shared";
    TunnelRig rig;
};

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
