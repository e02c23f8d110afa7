// kavri-tunnel, the local run's stand-in for the app's connect button, run as
// a process against a real durnel and the HTTPS test control plane.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "core/deployment.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
#include "tests/support/durnel_fixture.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/loopback_port.h"

using namespace kavri;

namespace {

class TunnelTool : public test::DurnelFixture {
protected:
    struct Outcome {
        int exitCode = -1;
        std::string errors;
    };

    Outcome run(std::vector<std::string> args, const std::filesystem::path& deployment) {
        const auto log = dir / ("kavri-tunnel-" + std::to_string(++runs_) + ".log");
        ChildProcess tool(std::filesystem::path(KAVRI_BINARY_DIR) / "testing" / "kavri-tunnel", std::move(args),
                          {{"KAVRI_SHARED_DIR", shared.string()},
                           {"KAVRI_KEYCHAIN_DIR", (dir / "keychain").string()},
                           {"KAVRI_DEPLOYMENT", deployment.string()}},
                          log);
        const int status = tool.wait();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, tool.output()};
    }

    // The rig's configuration as the backend serves it, with its metadata.
    nlohmann::ordered_json served(nlohmann::json detect = nlohmann::json::object()) const {
        auto config = rig.config();
        config["_kavri_meta"] = {{"version", 4},
                                 {"pull_interval_seconds", 1200},
                                 {"tier_0_apps", {{"ios", nlohmann::json::array()}}},
                                 {"detect", std::move(detect)}};
        return config;
    }

    KavriStore store{shared};

private:
    int runs_ = 0;
};

}  // namespace

// A wrong token leaves the good one in place; the right one then connects,
// and the app state stays unset as the app leaves it.
TEST_F(TunnelTool, WrongTokenKeepsTheGoodOneAndTheRightOneConnects) {
    rig.controlPlane.setSubscription(rig.token, served());
    auto durnel = launch();

    const auto wrong = run({"connect", "--token", "not-a-token"}, dir / "deployment.json");
    EXPECT_EQ(wrong.exitCode, 1) << wrong.errors;
    EXPECT_NE(wrong.errors.find("could not be pulled: HTTP 401"), std::string::npos) << wrong.errors;
    EXPECT_EQ(store.string(KavriDefaultsKey::subTokenForNE), rig.token);

    const auto right = run({"connect", "--token", rig.token}, dir / "deployment.json");
    EXPECT_EQ(right.exitCode, 0) << right.errors << durnel->output();
    EXPECT_EQ(store.string(KavriDefaultsKey::subTokenForNE), rig.token);
    EXPECT_FALSE(store.object(KavriDefaultsKey::appState));

    const auto foreground = run({"app-state", "foreground"}, dir / "deployment.json");
    EXPECT_EQ(foreground.exitCode, 0);
    EXPECT_EQ(store.string(KavriDefaultsKey::appState), "foreground");
}

// The tool keeps its pull as the app does: with nothing but the pull in the
// store, the extension's beats go to the subscription's own heartbeat
// address (through the group's member) and are answered.
TEST_F(TunnelTool, ConnectKeepsThePullAsTheAppDoesAndTheBeatsReachTheSubscriptionsAddress) {
    store.set(KavriDefaultsKey::detectConfigJSON, std::nullopt);
    store.set(KavriDefaultsKey::subTokenForNE, std::nullopt);
    store.set(KavriDefaultsKey::deviceIDForNE, std::nullopt);
    rig.controlPlane.setSubscription(rig.token, served({{"hb_url", hbURL()}, {"hb_interval_bg_ms", 5000}}));
    auto durnel = launch();

    const auto connected = run({"connect", "--token", rig.token}, dir / "deployment.json");
    ASSERT_EQ(connected.exitCode, 0) << connected.errors << durnel->output();
    EXPECT_EQ(store.string(KavriDefaultsKey::subTokenForNE), rig.token);
    EXPECT_FALSE(store.string(KavriDefaultsKey::deviceIDForNE).value_or("").empty());
    EXPECT_EQ(store.integer(KavriDefaultsKey::nePollIntervalSec), 1200);
    EXPECT_TRUE(store.data(KavriDefaultsKey::cachedSubscriptionMeta));
    EXPECT_TRUE(store.object(KavriDefaultsKey::lastSubscriptionPull));
    const auto detect = store.data(KavriDefaultsKey::detectConfigJSON);
    ASSERT_TRUE(detect);
    EXPECT_EQ(nlohmann::json::parse(*detect).value("hb_url", ""), hbURL());
    EXPECT_TRUE(test::eventually([&] { return rig.origin.hits("/generate_204") > 0; }, std::chrono::seconds(60)))
        << durnel->output();
}

// No host answers: every host tried is named with its own error.
TEST_F(TunnelTool, ExhaustedNamesEveryHostTried) {
    test::LoopbackPort first(-1), second(-1);  // bound, not listening: refused
    Deployment d = rig.controlPlane.deployment();
    d.hosts = {{"127.0.0.1:" + first.number(), {}}, {"127.0.0.1:" + second.number(), {}}};
    std::ofstream(dir / "closed.json") << d.toJson();
    auto durnel = launch();

    const auto outcome = run({"connect", "--token", rig.token}, dir / "closed.json");
    EXPECT_EQ(outcome.exitCode, 1);
    for (const auto* port : {&first, &second})
        EXPECT_NE(outcome.errors.find("127.0.0.1:" + port->number() + " ("), std::string::npos) << outcome.errors;
    EXPECT_EQ(outcome.errors.find("deployment"), std::string::npos) << outcome.errors;
}

// Without KAVRI_SHARED_DIR both programs keep the shared directory in the
// user's own folder, closed to others, and create nothing anywhere else.
TEST(SharedDirectory, DurnelAndTheToolUseTheUsersOwnFolder) {
    namespace fs = std::filesystem;
    test::TempDir home, logs;
    std::ofstream(logs / "deployment.json") << Deployment::current().toJson();
    const std::map<std::string, std::string> env = {{"KAVRI_SHARED_DIR", ""},
                                                    {"KAVRI_DATA_DIR", ""},
                                                    {"XDG_DATA_HOME", ""},
                                                    {"HOME", home.path().string()},
                                                    {"KAVRI_DEPLOYMENT", (logs / "deployment.json").string()}};
    const fs::path shared = home / ".local" / "share" / "kavri" / "shared";
    {
        ChildProcess durnel(fs::path(KAVRI_BINARY_DIR) / "tunnel" / "durnel", {}, env, logs / "durnel.log");
        ASSERT_TRUE(durnel.waitForOutput("tunnel host: listening on " + shared.string(), std::chrono::seconds(60)))
            << durnel.output();
        ChildProcess tool(fs::path(KAVRI_BINARY_DIR) / "testing" / "kavri-tunnel", {"app-state", "foreground"}, env,
                          logs / "tool.log");
        const int status = tool.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << tool.output();
        durnel.kill(SIGTERM);
        durnel.wait();
    }
    EXPECT_EQ(KavriStore(shared).string(KavriDefaultsKey::appState), "foreground");

    const auto mode = [](const fs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode : 0u;
    };
    std::vector<fs::path> top;
    for (const auto& e : fs::directory_iterator(home.path())) top.push_back(e.path().filename());
    EXPECT_EQ(top, std::vector<fs::path>{".local"});
    for (const auto& e : fs::recursive_directory_iterator(home.path())) {
        const auto m = mode(e.path());
        if (S_ISDIR(m)) {
            EXPECT_EQ(m & 07777, 0700u) << e.path();
        } else if (S_ISREG(m)) {
            EXPECT_EQ(m & 07777, 0600u) << e.path();
        }
    }
    EXPECT_TRUE(fs::exists(shared / "shared.plist"));
}
