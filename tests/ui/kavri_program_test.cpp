// The app program from the bundle the build makes, started off screen.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/kavri_constants.h"
#include "core/property_list.h"
#include "platform/bundle/app_bundle.h"
#include "testing/child_process.h"
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
                                              },
                                              temp / log);
    }

    // The wait status once the process ended on its own.
    static int exitStatus(ChildProcess& child) {
        EXPECT_TRUE(test::eventually([&] { return !child.running(); })) << child.output();
        return child.kill(SIGKILL);
    }

    test::TempDir temp;
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
