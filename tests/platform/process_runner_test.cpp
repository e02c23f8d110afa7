#include "platform/runtime/process_runner.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

TEST(ProcessRunnerTest, CollectsTheStreamsAskedForUpToItsCapAndTheExitStatus) {
    const auto sh = [](const std::string& script, ProcessRunner::Collect collect) {
        return ProcessRunner::run("/bin/sh", {"-c", script}, {}, collect);
    };
    using Collect = ProcessRunner::Collect;
    auto r = sh("echo out; echo err >&2; exit 3", Collect::outputAndError);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.output, "out\nerr\n");

    r = sh("echo out; echo err >&2", Collect::errorOnly);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "err\n");

    // A program that prints past the cap still runs to its end; the rest is dropped.
    r = sh("head -c 3000000 /dev/zero; exit 4", Collect::outputAndError);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.output.size(), ProcessRunner::maxOutputBytes);

    EXPECT_EQ(ProcessRunner::run("/no/such/program", {}).status, -1);
}

}  // namespace
}  // namespace kavri
