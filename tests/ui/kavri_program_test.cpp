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
#include <iostream>
#include <sstream>

#include "core/kavri_constants.h"
#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"
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

    // `env` adds to (or replaces) the variables every start has.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> args, const std::string& log,
                                        std::map<std::string, std::string> env = {}) {
        env.merge(std::map<std::string, std::string>{
            {"QT_QPA_PLATFORM", "offscreen"},
            {"XDG_RUNTIME_DIR", (temp / "runtime").string()},
            {"KAVRI_SHARED_DIR", (temp / "shared").string()},
            {"KAVRI_DATA_DIR", (temp / "data").string()},
            {"KAVRI_KEYCHAIN_DIR", (temp / "keychain").string()},
            {"KAVRI_APPLICATIONS_DIR", (temp / "Applications").string()},
            {"KAVRI_CONFIG_DIR", (temp / "config").string()},
            {"KAVRI_DEPLOYMENT", (temp / "deployment.json").string()},
        });
        return std::make_unique<ChildProcess>(AppBundle::executable(bundle()), std::move(args), std::move(env),
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
    // with its time. The profile is on disk before its line is written.
    for (const char* step : {"[Kavri] provisioning: this device is registered", "[Kavri] pull: the configuration from ",
                             "[Kavri] status: state trial", "[Kavri] VPN: profile saved"})
        EXPECT_TRUE(test::eventually([&] { return app->output().find(step) != std::string::npos; },
                                     std::chrono::seconds(60)))
            << step << "\n" << app->output();
    const std::string log = app->output();
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

// The peak resident memory of a running process, in bytes.
std::uint64_t peakMemory(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

TEST_F(KavriProgramTest, HostileStatusRepliesLeaveTheAppUpSmallAndItsNoticesRight) {
    const std::string token = "0123456789abcdef";
    const std::string meta = R"("_kavri_meta":{"version":1,"pull_interval_seconds":900,"tier_0_apps":{"ios":[]}})";
    plane.setProvisionedToken(token);
    plane.setSubscription(token, R"({"outbounds":[{"tag":"issued"}],)" + meta + "}");
    plane.setStatus(token, R"({"state":"trial","expires_at":"2027-05-01T10:00:00Z"})");

    // Notices go to the log: no notification service on this bus.
    auto app = start({}, "app.log",
                     {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (temp / "no-bus").string()}, {"TZ", "UTC"}});
    ASSERT_TRUE(test::eventually([&] { return profileRevision() == 1 || !app->running(); }, std::chrono::seconds(60)))
        << app->output();

    const std::string statusCall = "GET /status/" + token;
    const auto statusCalls = [&] {
        const auto all = calls();
        return std::count(all.begin(), all.end(), statusCall);
    };
    // Each status in turn, read when the app is asked to ("kavri://paid");
    // one it takes is seen in the state it remembers.
    const auto remembered = [&] { return KavriStore(temp / "shared").string(KavriDefaultsKey::lastKnownState); };
    const auto answer = [&](std::string body, std::optional<std::string> state = std::nullopt) {
        plane.setStatus(token, std::move(body));
        const auto before = statusCalls();
        auto later = start({"kavri://paid"}, "later.log");
        const int exit = exitStatus(*later);
        EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << later->output();
        EXPECT_TRUE(test::eventually([&] { return statusCalls() > before || !app->running(); },
                                     std::chrono::seconds(60)));
        if (state) {
            EXPECT_TRUE(test::eventually([&] { return remembered() == state || !app->running(); },
                                         std::chrono::seconds(60)));
        }
    };
    ASSERT_TRUE(test::eventually([&] { return remembered() == "trial"; }, std::chrono::seconds(60)));
    answer(R"({"state":"expired","note":")" + std::string(100 << 20, 'x') + R"("})");  // 100 MB
    answer(R"({"state":"expired","x":)" + std::string(200'000, '[') + std::string(200'000, ']') + "}");
    answer(R"({"state":"paid_autopay","expires_at":"9999-12-31T23:59:59Z","price_month":390})", "paid_autopay");
    answer(R"({"state":"expired"})", "expired");
    answer(R"({"state":"paid_autopay","expires_at":"2027-05-20T10:00:00Z","price_month":390})", "paid_autopay");
    // Neither hostile status was taken: the app still remembered "trial"
    // when the year-9999 one came, and posted no notice for it.

    // The payment's notice names its date; none named a wrapped one.
    const std::string paid = "[Kavri] notification paid: Оплачено ✅ Каври с вами до 20 мая. Спасибо, что выбрали нас.";
    ASSERT_TRUE(test::eventually([&] { return app->output().find(paid) != std::string::npos || !app->running(); },
                                 std::chrono::seconds(60)))
        << app->output();
    EXPECT_TRUE(app->running()) << app->output();
    const auto log = app->output();
    std::size_t notices = 0;
    for (auto at = log.find("notification paid:"); at != std::string::npos; at = log.find("notification paid:", at + 1))
        ++notices;
    EXPECT_EQ(notices, 1u) << log;
    EXPECT_EQ(log.find("1816"), std::string::npos);

    const auto peak = peakMemory(app->pid());
    std::cout << "app peak memory: " << peak / (1 << 20) << " MB, shared store: "
              << fs::file_size(temp / "shared" / "shared.plist") << " bytes\n";
    EXPECT_GT(peak, 0u);
    EXPECT_LT(peak, 400u << 20);
    EXPECT_LT(fs::file_size(temp / "shared" / "shared.plist"), 2u << 20);
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
