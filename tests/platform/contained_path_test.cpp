#include "platform/runtime/contained_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/runtime/file_descriptor.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

TEST(ContainedPathTest, FollowsEveryLinkOnTheWayAndStopsAtTheRoot) {
    test::TempDir temp;
    const fs::path root = temp / "root";
    fs::create_directories(root / "a" / "b");
    for (const auto& [link, target] : std::vector<std::pair<const char*, const char*>>{
             {"a/up", ".."},            // the root
             {"a/out", "up/.."},        // above the root, by way of a/up
             {"a/deep", "b"},           // a/b
             {"a/chain", "deep/../b"},  // a/b
             {"a/abs", "/etc"},
             {"a/loop1", "loop2"},
             {"a/loop2", "loop1"},
             {"a/dangling", "missing/../up/.."},  // nothing at "missing": the rest is still looked up
         }) {
        fs::create_symlink(target, root / link);
    }
    FileDescriptor fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(fd);
    using Parts = std::vector<std::string>;
    const struct Case {
        Parts path;
        std::optional<Parts> leadsTo;
    } cases[] = {
        {{"a", "b"}, Parts{"a", "b"}},
        {{"a", "up"}, Parts{}},
        {{"a", "up", "a", "deep"}, Parts{"a", "b"}},
        {{"a", "chain", "x"}, Parts{"a", "b", "x"}},
        {{"a", "out"}, std::nullopt},
        {{"a", "up", ".."}, std::nullopt},
        {{"a", "abs"}, std::nullopt},
        {{"a", "loop1"}, std::nullopt},
        {{"a", "dangling"}, std::nullopt},
        {{"no", "such", "..", "thing"}, Parts{"no", "thing"}},
    };
    for (const auto& c : cases) {
        std::string name;
        for (const auto& p : c.path) name += "/" + p;
        EXPECT_EQ(ContainedPath::resolve(fd.get(), c.path), c.leadsTo) << name;
    }
}

}  // namespace
}  // namespace kavri
