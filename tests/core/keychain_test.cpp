#include "core/keychain.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>

#include "platform/keychain/keychain_file.h"
#include "platform/userdata/private_file.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

mode_t modeOf(const std::filesystem::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("KAVRI_KEYCHAIN_DIR", dir().c_str(), 1); }
    void TearDown() override { ::unsetenv("KAVRI_KEYCHAIN_DIR"); }
    std::filesystem::path dir() const { return temp_ / "data" / "kavri"; }
    std::filesystem::path file() const { return dir() / "keychain.json"; }

    test::TempDir temp_;
};

TEST_F(KeychainTest, WritesReadsReplacesAndDeletesEachItemApart) {
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), std::nullopt);

    Keychain::write("токен-1 ✓", Keychain::Item::subToken);
    Keychain::write("DEVICE-1", Keychain::Item::deviceID);
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "токен-1 ✓");

    Keychain::write("tok-2", Keychain::Item::subToken);
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "tok-2");
    EXPECT_EQ(Keychain::read(Keychain::Item::deviceID), "DEVICE-1");

    Keychain::deleteItem(Keychain::Item::subToken);
    Keychain::deleteItem(Keychain::Item::subToken);  // a missing item is no error
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), std::nullopt);
    EXPECT_EQ(Keychain::read(Keychain::Item::deviceID), "DEVICE-1");

    // Only the user may read the secrets.
    EXPECT_EQ(modeOf(file()), 0600u);
    EXPECT_EQ(modeOf(dir()), 0700u);
}

TEST_F(KeychainTest, FailedWriteThrowsAndKeepsTheOldToken) {
    Keychain::write("old-token", Keychain::Item::subToken);
    // The replacement file cannot be created: something else sits at every
    // name it may take.
    const auto blocker = file().string() + ".tmp-" + std::to_string(::getpid());
    for (int n = 0; n < PrivateFile::temporaryNames; ++n)
        std::filesystem::create_directory(n == 0 ? blocker : blocker + "-" + std::to_string(n));

    try {
        Keychain::write("new-token", Keychain::Item::subToken);
        FAIL() << "write did not throw";
    } catch (const KeychainError& e) {
        EXPECT_EQ(e.status(), KeychainStatus::ioError);
    }
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "old-token");

    std::filesystem::remove(blocker);
    Keychain::write("new-token", Keychain::Item::subToken);
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "new-token");
}

TEST_F(KeychainTest, BytesThatAreNotUtf8ReadAsNoValue) {
    ASSERT_EQ(KeychainFile(dir()).set(Keychain::rawValue(Keychain::Item::deviceID), "\xC3\x28",
                                      KeychainAccessibility::afterFirstUnlock),
              KeychainStatus::success);
    EXPECT_EQ(Keychain::read(Keychain::Item::deviceID), std::nullopt);
}

TEST_F(KeychainTest, DamagedFileReadsAsEmptyAndIsKeptAsideOnTheNextWrite) {
    std::filesystem::create_directories(dir());
    std::ofstream(file()) << "{ not json";

    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), std::nullopt);
    Keychain::write("fresh", Keychain::Item::subToken);
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "fresh");

    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir())) {
        if (entry.path().filename().string().starts_with("keychain.json.corrupt-")) {
            std::ifstream in(entry.path());
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{ not json");
            ++kept;
        }
    }
    EXPECT_EQ(kept, 1);
}

// Everything set aside, by content.
std::multiset<std::string> keptAside(const std::filesystem::path& dir) {
    std::multiset<std::string> kept;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().starts_with("keychain.json.corrupt-")) {
            std::ifstream in(entry.path());
            kept.insert(std::string(std::istreambuf_iterator<char>(in), {}));
        }
    return kept;
}

TEST_F(KeychainTest, FilesSetAsideInTheSameSecondAreAllKept) {
    std::filesystem::create_directories(dir());
    // Files already set aside under this second's name and the next one's.
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    for (auto second : {now, now + 1})
        std::ofstream(file().string() + ".corrupt-" + std::to_string(second)) << "earlier " << second;

    for (const char* damaged : {"{ first", "{ second"}) {
        std::ofstream(file()) << damaged;
        Keychain::write("fresh", Keychain::Item::subToken);
        EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "fresh");
    }
    EXPECT_EQ(keptAside(dir()), (std::multiset<std::string>{"earlier " + std::to_string(now),
                                                            "earlier " + std::to_string(now + 1), "{ first",
                                                            "{ second"}));
}

TEST_F(KeychainTest, DeeplyNestedFileReadsAsEmptyWithoutBuildingIt) {
    std::filesystem::create_directories(dir());
    const std::string deep = R"({"items":{"a":)" + std::string(200'000, '[') + std::string(200'000, ']') + "}}";
    std::ofstream(file()) << deep;

    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), std::nullopt);
    Keychain::write("fresh", Keychain::Item::subToken);
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "fresh");
    EXPECT_EQ(keptAside(dir()), (std::multiset<std::string>{deep}));
}

TEST(KeychainItem, RawValuesAreTheAccountNames) {
    EXPECT_EQ(Keychain::rawValue(Keychain::Item::subToken), "com.kavri-app.app.subToken");
    EXPECT_EQ(Keychain::rawValue(Keychain::Item::deviceID), "com.kavri-app.app.deviceID");
    EXPECT_EQ(Keychain::itemFromRawValue("com.kavri-app.app.deviceID"), Keychain::Item::deviceID);
    for (const char* other : {"", "subToken", "com.kavri-app.app.subtoken", " com.kavri-app.app.subToken"}) {
        EXPECT_EQ(Keychain::itemFromRawValue(other), std::nullopt) << other;
    }
}

}  // namespace
}  // namespace kavri
