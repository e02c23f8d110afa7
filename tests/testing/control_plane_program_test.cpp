// The standalone control plane serving the sample subscription, fetched the
// way the extension fetches it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "api/subscription_meta.h"
#include "core/config_fetcher.h"
#include "core/deployment.h"
#include "core/kavri_http.h"
#include "tests/support/temp_dir.h"

extern char** environ;

using namespace kavri;
using json = nlohmann::json;

namespace {

const std::filesystem::path sourceRoot = std::filesystem::path(KAVRI_SOURCE_DIR);

std::optional<std::string> readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(ControlPlaneProgram, ServesTheSampleSubscriptionSealed) {
    const char* buildDir = std::getenv("KAVRI_BUILD_DIR");
    if (!buildDir) GTEST_SKIP() << "KAVRI_BUILD_DIR names the build tree";
    const std::string program = (std::filesystem::path(buildDir) / "testing" / "kavri-control-plane").string();
    test::TempDir dir;
    const std::string deploymentFile = (dir / "deployment.json").string();
    const std::string sample = (sourceRoot / "testing" / "sample").string();
    std::vector<std::string> args = {program, "--port", "0", "--subscriptions", sample,
                                     "--write-deployment", deploymentFile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    struct Reaper {  // ends the program whatever the test does
        pid_t& pid;
        ~Reaper() {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } reaper{pid};

    std::optional<std::string> written;
    for (int i = 0; i < 500 && !(written = readFile(deploymentFile)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(written) << "the program wrote no deployment";
    const auto deployment = Deployment::fromJson(*written);
    ASSERT_TRUE(deployment);
    ASSERT_EQ(deployment->hosts.size(), 1u);
    EXPECT_TRUE(deployment->hosts[0].host.starts_with("127.0.0.1:"));
    Deployment::install(*deployment);

    KavriStore store(dir / "store");
    const auto f = ConfigFetcher::fetch("devtoken", "DEV", false, false, false, KavriHTTP::api(), {},
                                        ConfigFetcher::standardLimits(), Clock::system(), store);
    EXPECT_EQ(f.state, SubscriptionState::trial);
    EXPECT_TRUE(f.detectRaw && f.detectRaw->is_object());
    EXPECT_TRUE(f.stallWatchRaw && f.stallWatchRaw->is_object());

    // The shapes the extension relies on.
    const json config = json::parse(f.config);
    EXPECT_FALSE(config.contains("_kavri_meta"));
    const std::string group = config["route"]["final"];
    std::map<std::string, json> outbounds;
    for (const auto& o : config["outbounds"]) outbounds[o["tag"]] = o;
    ASSERT_TRUE(outbounds.contains(group));
    EXPECT_TRUE(outbounds[group]["type"] == "selector" || outbounds[group]["type"] == "urltest");
    ASSERT_FALSE(outbounds[group]["outbounds"].empty());
    for (const auto& member : outbounds[group]["outbounds"]) {
        const auto& m = outbounds.at(member.get<std::string>());
        EXPECT_EQ(m["type"], "http");
        EXPECT_EQ(m["server"], "127.0.0.1");
        EXPECT_TRUE(m["server_port"].is_number_integer());
    }
    bool heartbeatInbound = false;
    for (const auto& in : config["inbounds"])
        if (in["tag"] == "hb-in")
            heartbeatInbound = (in["type"] == "mixed" || in["type"] == "http") && in["listen"] == "127.0.0.1" &&
                               in["listen_port"].is_number_integer();
    EXPECT_TRUE(heartbeatInbound);
    EXPECT_EQ(config["experimental"]["clash_api"]["external_controller"], "127.0.0.1:9090");
    EXPECT_FALSE(config["experimental"]["clash_api"]["secret"].get<std::string>().empty());
    std::set<std::string> ruleSets;
    for (const auto& r : config["route"]["rule_set"]) {
        EXPECT_EQ(r["type"], "local");
        EXPECT_EQ(r["path"], "rules/" + r["tag"].get<std::string>() + ".srs");
        ruleSets.insert(r["tag"]);
    }
    EXPECT_EQ(ruleSets, (std::set<std::string>{"geoip-ru", "geosite-category-ru", "ru-extra"}));

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    pid = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ControlPlaneProgram, TheSampleMetadataIsWhatTheAppAccepts) {
    const auto sample = readFile(sourceRoot / "testing" / "sample" / "devtoken.json");
    ASSERT_TRUE(sample);
    const json body = json::parse(*sample);
    const SubscriptionMeta meta = SubscriptionMeta::fromJson(body.at("_kavri_meta"));
    EXPECT_EQ(meta.version, 1);
    EXPECT_EQ(meta.pullIntervalSeconds, 900);
}
