#include "core/kavri_constants.h"

#include <gtest/gtest.h>

#include "core/kavri_http.h"

using namespace kavri;
using namespace std::chrono_literals;

TEST(KavriConstants, CapabilityListIsExact) {
    const std::string caps = KavriConstants::clientCaps;
    EXPECT_EQ(caps.size(), 109u);
    EXPECT_EQ(caps.find(' '), std::string::npos);
    EXPECT_EQ(caps.substr(caps.rfind(',') + 1), "proto=reality|httpupgrade|hysteria2|anytls|ss2022");
}

TEST(KavriConstants, BuildNumberComesFromTheInfoDictionary) {
    EXPECT_EQ(KavriConstants::buildFromInfo({{"CFBundleVersion", "417"}}), "417");
    EXPECT_EQ(KavriConstants::buildFromInfo({}), "0");
    EXPECT_EQ(KavriConstants::buildFromInfo({{"CFBundleVersion", 417}}), "0");
    EXPECT_EQ(KavriConstants::clientBuild(), KavriConstants::buildFromInfo(KavriConstants::bundleInfo()));
}

TEST(KavriConstants, VersionTextMarksWhatIsMissing) {
    EXPECT_EQ(KavriConstants::versionText({{"CFBundleShortVersionString", "1.4.0"}, {"CFBundleVersion", "57"}}),
              "1.4.0 (57)");
    EXPECT_EQ(KavriConstants::versionText({{"CFBundleVersion", "57"}}), "? (57)");
    EXPECT_EQ(KavriConstants::versionText({{"CFBundleShortVersionString", 1}}), "? (?)");
}

TEST(KavriHTTP, SessionsCarryTheirLimits) {
    EXPECT_EQ(KavriHTTP::api().config().requestTimeout, 15s);
    EXPECT_EQ(KavriHTTP::api().config().resourceTimeout, 20s);
    EXPECT_EQ(KavriHTTP::apiSession(8).config().requestTimeout, 8s);
    EXPECT_EQ(KavriHTTP::apiSession(8).config().resourceTimeout, 13s);
    EXPECT_EQ(KavriHTTP::apiSession(4, 6).config().requestTimeout, 4s);
    EXPECT_EQ(KavriHTTP::apiSession(4, 6).config().resourceTimeout, 6s);
    EXPECT_TRUE(KavriHTTP::api().config().proxy.empty());
}
