#include "api/device_id.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "core/kavri_defaults_key.h"
#include "core/keychain.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

const std::regex uuidForm("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

class DeviceIDTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("KAVRI_KEYCHAIN_DIR", (dir / "keychain").c_str(), 1); }
    void TearDown() override { ::setenv("KAVRI_KEYCHAIN_DIR", savedKeychainDir.c_str(), 1); }

    std::optional<PlistValue> mirrored() { return store.object(KavriDefaultsKey::deviceIDForNE); }

    const std::string savedKeychainDir = ::getenv("KAVRI_KEYCHAIN_DIR");
    test::TempDir dir;
    KavriStore store{dir.path()};
};

TEST_F(DeviceIDTest, KeychainFirstThenTheStoreElseANewIdentifierWrittenToBoth) {
    const struct {
        const char* name;
        std::optional<std::string> keychain;  // before
        std::optional<PlistValue> stored;     // "device_id_ne" before
        std::optional<std::string> expected;  // none: a new identifier
        bool storeKept;                       // "device_id_ne" left as it was
    } cases[] = {
        {"both empty", std::nullopt, std::nullopt, std::nullopt, false},
        {"only the store", std::nullopt, PlistValue(std::string("abc")), "abc", true},
        {"both, differing", "K-1", PlistValue(std::string("S-1")), "K-1", true},
        {"empty keychain text", "", PlistValue(std::string("abc")), "abc", true},
        {"empty store text", std::nullopt, PlistValue(std::string("")), std::nullopt, false},
        {"a number in the store", std::nullopt, PlistValue(std::int64_t{5}), std::nullopt, false},
        // A copy that could not travel as "X-Device-Id" counts as none.
        {"a line break in the keychain", "K\r\nX-Injected: 1", PlistValue(std::string("abc")), "abc", true},
        {"a line break in the store", std::nullopt, PlistValue(std::string("S\nX-Injected: 1")), std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Keychain::deleteItem(Keychain::Item::deviceID);
        if (c.keychain) Keychain::write(*c.keychain, Keychain::Item::deviceID);
        store.set(KavriDefaultsKey::deviceIDForNE, c.stored);

        const std::string id = DeviceID::current(store);

        if (c.expected)
            EXPECT_EQ(id, *c.expected);
        else
            EXPECT_TRUE(std::regex_match(id, uuidForm)) << id;
        const bool keychainKept = c.keychain && !c.keychain->empty() && c.keychain->find('\n') == std::string::npos;
        EXPECT_EQ(Keychain::read(Keychain::Item::deviceID), keychainKept ? *c.keychain : id);
        EXPECT_EQ(mirrored(), c.storeKept ? c.stored : PlistValue(id));
        EXPECT_EQ(DeviceID::current(store), id);  // and stays
    }
}

TEST_F(DeviceIDTest, StaysStableThroughTheStoreWhenTheKeychainRefusesEveryWrite) {
    std::ofstream(dir / "not-a-folder") << "x";
    ::setenv("KAVRI_KEYCHAIN_DIR", (dir / "not-a-folder" / "keychain").c_str(), 1);

    const std::string id = DeviceID::current(store);
    EXPECT_TRUE(std::regex_match(id, uuidForm)) << id;
    EXPECT_EQ(Keychain::read(Keychain::Item::deviceID), std::nullopt);
    EXPECT_EQ(store.string(KavriDefaultsKey::deviceIDForNE), id);
    EXPECT_EQ(DeviceID::current(store), id);
}

TEST_F(DeviceIDTest, FirstReadsAtOnceOnManyThreadsAgreeOnOneIdentifier) {
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&] { slot = DeviceID::current(store); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(Keychain::read(Keychain::Item::deviceID), seen.front());
    EXPECT_EQ(store.string(KavriDefaultsKey::deviceIDForNE), seen.front());
}

}  // namespace
}  // namespace kavri
