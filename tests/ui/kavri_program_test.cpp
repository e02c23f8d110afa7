// The app program from the bundle the build makes, started off screen.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/kavri_constants.h"
#include "core/property_list.h"
#include "platform/bundle/app_bundle.h"
#include "platform/ne/tunnel_provider_preferences.h"
#include "platform/runtime/log.h"
#include "testing/child_process.h"
#include "testing/test_control_plane.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

fs::path bundle() { return fs::path(KAVRI_BINARY_DIR) / "Kavri.app"; }

class KavriProgramTest : public ::testing::Test {
protected:
    KavriProgramTest() {
        fs::create_directories(temp / "runtime");
        fs::permissions(temp / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        std::ofstream(temp / "deployment.json") << plane.deployment().toJson();
    }

    std::unique_ptr<ChildProcess> start(std::vector<std::string> args, const std::string& log) {
        return std::make_unique<ChildProcess>(AppBundle::executable(bundle()), std::move(args),
                                              std::map<std::string, std::string>{
                                                  {"QT_QPA_PLATFORM", "offscreen"},
                                                  {"XDG_RUNTIME_DIR", (temp / "runtime").string()},
                                                  {"KAVRI_SHARED_DIR", (temp / "shared").string()},
                                                  {"KAVRI_DATA_DIR", (temp / "data").string()},
                                                  {"KAVRI_KEYCHAIN_DIR", (temp / "keychain").string()},
                                                  {"KAVRI_APPLICATIONS_DIR", (temp / "Applications").string()},
                                                  {"KAVRI_CONFIG_DIR", (temp / "config").string()},
                                                  {"KAVRI_DEPLOYMENT", (temp / "deployment.json").string()},
                                              },
                                              temp / log);
    }

    // The wait status once the process ended on its own.
    static int exitStatus(ChildProcess& child) {
        EXPECT_TRUE(test::eventually([&] { return !child.running(); })) << child.output();
        return child.kill(SIGKILL);
    }

    std::vector<std::string> calls() const { return plane.accountCalls(); }
    std::uint64_t profileRevision() const {
        try {
            const auto all = TunnelProviderPreferences(temp / "config").loadAll();
            return all.empty() ? 0 : all.front().revision;
        } catch (const std::exception&) {
            return 0;
        }
    }

    test::TempDir temp;
    TestControlPlane plane;  // every start's backend
};

TEST_F(KavriProgramTest, TheBundleCarriesTheBuildsVersionAndBothPrograms) {
    const auto info = PropertyList::decode(test::readFile(AppBundle::infoPlist(bundle())));
    ASSERT_TRUE(info && info->is<PlistValue::Dict>());
    const auto& dict = *info->get<PlistValue::Dict>();
    for (const auto& [key, value] : KavriConstants::bundleInfo()) EXPECT_EQ(dict.at(key), value) << key;
    EXPECT_EQ(dict.at("CFBundleExecutable"), PlistValue("kavri"));
    EXPECT_EQ(::access(AppBundle::executable(bundle()).c_str(), X_OK), 0);
    EXPECT_EQ(::access(AppBundle::extensionProgram(bundle()).c_str(), X_OK), 0);
    EXPECT_TRUE(fs::exists(bundle() / "Contents" / "MacOS" / "resources" / "rules" / "geoip-ru.srs"));
}

TEST_F(KavriProgramTest, ALaterStartHandsItsURLToTheRunningAppAndEnds) {
    auto app = start({}, "app.log");
    ASSERT_TRUE(test::eventually([&] { return fs::exists(temp / "runtime" / "kavri.sock") || !app->running(); }));
    ASSERT_TRUE(app->running()) << app->output();
    // seeded at start
    EXPECT_TRUE(test::eventually([&] { return fs::exists(temp / "shared" / "rules" / "geoip-ru.srs"); }));

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"kavri://paid"}, {"kavri://link?token=abc"}, {}}) {
        auto later = start(args, "later.log");
        const int status = exitStatus(*later);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << later->output();
    }
    EXPECT_TRUE(app->running());
}

TEST_F(KavriProgramTest, AFreshStartProvisionsAndSavesTheProfileAndLaterStartsReachTheRunningApp) {
    const std::string token = "0123456789abcdef", linked = "abcdefabcdefabcdef";
    const std::string meta = R"("_kavri_meta":{"version":1,"pull_interval_seconds":900,"tier_0_apps":{"ios":[]}})";
    plane.setProvisionedToken(token);
    plane.setSubscription(token, R"({"outbounds":[{"tag":"issued"}],)" + meta + "}");
    plane.setSubscription(linked, R"({"outbounds":[{"tag":"linked"}],)" + meta + "}");
    plane.setStatus(token, R"({"state":"trial"})");
    plane.setStatus(linked, R"({"state":"trial"})");

    auto app = start({}, "app.log");
    const std::string sub = "GET /sub/" + token, status = "GET /status/" + token;
    ASSERT_TRUE(test::eventually([&] { return profileRevision() == 1 || !app->running(); }, std::chrono::seconds(60)))
        << app->output();
    EXPECT_EQ(calls(), (std::vector<std::string>{"POST /provision", sub, status, sub, status})) << app->output();
    // Its log traces each step, and every line of it (Qt's own too) starts
    // with its time.
    const std::string log = app->output();
    for (const char* step : {"[Kavri] provisioning: this device is registered", "[Kavri] pull: the configuration from ",
                             "[Kavri] status: state trial", "[Kavri] VPN: profile saved"})
        EXPECT_NE(log.find(step), std::string::npos) << step << "\n" << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) EXPECT_NE(Log::withoutStamp(line), line);
    EXPECT_TRUE(test::eventually([&] {
        const auto reports = plane.reports();
        return std::any_of(reports.begin(), reports.end(), [](const auto& r) { return r.value("event", "") == "app_open"; });
    }, std::chrono::seconds(60))) << app->output();

    const auto handOver = [&](const std::string& url) {
        auto later = start({url}, "later.log");
        const int exit = exitStatus(*later);
        EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << later->output();
    };
    plane.clearRequests();
    handOver("kavri://paid");  // the status only
    ASSERT_TRUE(test::eventually([&] { return !calls().empty(); }, std::chrono::seconds(60)));
    handOver("kavri://link?token=" + linked);  // a pull, then the profile
    EXPECT_TRUE(test::eventually([&] { return profileRevision() == 2; }, std::chrono::seconds(60))) << app->output();
    EXPECT_EQ(calls(), (std::vector<std::string>{status, "GET /sub/" + linked})) << app->output();
    EXPECT_TRUE(app->running());
}

TEST_F(KavriProgramTest, AStaleSocketDoesNotStopTheNextStart) {
    {
        auto first = start({}, "first.log");
        ASSERT_TRUE(test::eventually([&] { return fs::exists(temp / "runtime" / "kavri.sock"); }));
        first->kill(SIGKILL);  // leaves its socket behind
    }
    // Someone listens on the socket: a connection is taken.
    const auto listening = [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, (temp / "runtime" / "kavri.sock").c_str(), sizeof addr.sun_path - 1);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    };
    ASSERT_FALSE(listening());
    auto next = start({"kavri://paid"}, "next.log");
    ASSERT_TRUE(test::eventually([&] { return !next->running() || listening(); }));
    auto later = start({}, "later.log");
    const int status = exitStatus(*later);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << later->output();
    EXPECT_TRUE(next->running()) << next->output();
}

}  // namespace
}  // namespace kavri
