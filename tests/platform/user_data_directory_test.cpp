#include "platform/userdata/user_data_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable (or removes it) for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* before = std::getenv(name)) before_ = before;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { before_ ? ::setenv(name_, before_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> before_;
};

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(UserDataDirectoryTest, TheRuntimeFolderIsTheUsersOwnOrTheOneInTheDataFolder) {
    test::TempDir temp;
    const fs::path data = temp / "data";
    const ScopedVariable dataDir("KAVRI_DATA_DIR", data.string());
    fs::create_directories(temp / "private");
    fs::permissions(temp / "private", fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directories(temp / "open");
    fs::permissions(temp / "open", fs::perms(0755), fs::perm_options::replace);
    fs::create_symlink(temp / "private", temp / "link");

    const struct {
        const char* name;
        std::optional<std::string> xdg;
        fs::path expected;
    } cases[] = {
        {"unset", std::nullopt, data / "run"},
        {"empty", "", data / "run"},
        {"a private folder", (temp / "private").string(), temp / "private"},
        {"relative", "private", data / "run"},
        {"others may enter", (temp / "open").string(), data / "run"},
        {"a link to a private folder", (temp / "link").string(), data / "run"},
        {"missing", (temp / "missing").string(), data / "run"},
    };
    for (const auto& c : cases) {
        const ScopedVariable xdg("XDG_RUNTIME_DIR", c.xdg);
        EXPECT_EQ(UserDataDirectory::runtimePath(), c.expected) << c.name;
    }
}

TEST(UserDataDirectoryTest, APrivateFolderIsMadeForTheUserAloneAndAnyOtherIsRefused) {
    test::TempDir temp;
    const fs::path made = temp / "data" / "run";
    ASSERT_TRUE(UserDataDirectory::ensurePrivate(made));
    EXPECT_EQ(modeOf(made), 0700u);
    EXPECT_EQ(modeOf(temp / "data"), 0700u);
    EXPECT_TRUE(UserDataDirectory::ensurePrivate(made));  // again: as it is

    fs::create_directories(temp / "open");
    fs::permissions(temp / "open", fs::perms(0770), fs::perm_options::replace);
    EXPECT_FALSE(UserDataDirectory::ensurePrivate(temp / "open"));
    EXPECT_EQ(modeOf(temp / "open"), 0770u);  // left as it is
    fs::create_symlink(made, temp / "link");
    EXPECT_FALSE(UserDataDirectory::ensurePrivate(temp / "link"));
    std::ofstream(temp / "file") << "x";
    EXPECT_FALSE(UserDataDirectory::ensurePrivate(temp / "file"));
}

TEST(UserDataDirectoryTest, AFolderAnotherUserOwnsIsNotPrivate) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a folder to another user";
    test::TempDir temp;
    fs::create_directories(temp / "theirs");
    fs::permissions(temp / "theirs", fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(::chown((temp / "theirs").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(UserDataDirectory::isPrivate(temp / "theirs"));
    const ScopedVariable xdg("XDG_RUNTIME_DIR", (temp / "theirs").string());
    EXPECT_NE(UserDataDirectory::runtimePath(), temp / "theirs");
}

}  // namespace
}  // namespace kavri
