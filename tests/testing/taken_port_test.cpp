// The local run's servers on a port another program already listens on: each
// says so and ends with status 1, leaving no process and no file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include "testing/child_process.h"
#include "tests/support/loopback_port.h"
#include "tests/support/temp_dir.h"

using namespace kavri;

TEST(TakenPort, EachServerRefusesAndLeavesNothing) {
    test::LoopbackPort taken(16);
    const std::filesystem::path bin = std::filesystem::path(KAVRI_BINARY_DIR) / "testing";
    const struct {
        const char* program;
        std::vector<std::string> args;
    } cases[] = {
        {"kavri-peer", {"member", "--port", taken.number()}},
        {"kavri-peer", {"origin", "--port", taken.number()}},
        {"kavri-control-plane", {"--port", taken.number(), "--subscriptions", KAVRI_SOURCE_DIR "/testing/sample"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.args[0]);
        test::TempDir dir;
        const auto tmp = dir / "tmp";
        std::filesystem::create_directories(tmp);
        ChildProcess child(bin / c.program, c.args, {{"TMPDIR", tmp.string()}}, dir / "stderr.log");
        const int status = child.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status << "\n" << child.output();
        EXPECT_NE(child.output().find("127.0.0.1:" + taken.number() + ": Address already in use"), std::string::npos)
            << child.output();
        EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "left behind: "
                                                    << std::filesystem::directory_iterator(tmp)->path();
    }
}

// Two origins on one port (a second local run, say): the second is refused
// rather than sharing the port with the first.
TEST(TakenPort, SecondOriginIsRefused) {
    std::string port;
    {
        test::LoopbackPort free(-1);
        port = free.number();
    }
    const std::filesystem::path peer = std::filesystem::path(KAVRI_BINARY_DIR) / "testing" / "kavri-peer";
    test::TempDir dir;
    ChildProcess first(peer, {"origin", "--port", port}, {}, dir / "first.log");
    ASSERT_TRUE(first.waitForOutput(": serving on")) << first.output();
    ChildProcess second(peer, {"origin", "--port", port}, {}, dir / "second.log");
    EXPECT_FALSE(second.waitForOutput(": serving on")) << "two origins share port " << port;
    if (second.running()) second.kill(SIGTERM);
    const int status = second.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status << "\n" << second.output();
    EXPECT_TRUE(first.running());
}
