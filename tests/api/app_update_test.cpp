#include "api/app_update.h"

#include <gtest/gtest.h>

#include "core/deployment.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"

namespace kavri {
namespace {

using json = nlohmann::json;
using Reply = TestControlPlane::Reply;

const std::string manifestAt = "https://cp.example:2053/dl/latest.json";

TEST(AppUpdateTest, TheBuildIsAWholePositiveNumberThatFitsOrThereIsNoOffer) {
    struct Case {
        json build;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {57, 57},
        {"57", 57},
        {"+57", 57},
        {57.9, 57},
        {" 57", std::nullopt},
        {"", std::nullopt},
        {"5 7", std::nullopt},
        {0, std::nullopt},
        {-3, std::nullopt},
        {"-3", std::nullopt},
        {1e30, std::nullopt},                              // more than any build can be
        {"99999999999999999999", std::nullopt},            // likewise, as text
        {json::number_unsigned_t(18446744073709551615ull), std::nullopt},
        {-1e30, std::nullopt},
        {true, std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto offer = AppUpdate::parse(json{{"mac", {{"build", c.build}}}}.dump(), manifestAt);
        EXPECT_EQ(offer ? std::optional(offer->build) : std::nullopt, c.expected) << c.build.dump();
    }
}

TEST(AppUpdateTest, ManifestsWithoutAnOfferUnderMacGiveNothing) {
    for (const char* body : {R"({"build":57,"version":"2.0"})", R"({"mac":[57]})", R"({"mac":{"version":"2.0"}})",
                             "[]", "not json", ""}) {
        EXPECT_EQ(AppUpdate::parse(body, manifestAt), std::nullopt) << body;
    }
}

TEST(AppUpdateTest, VersionAndAddressAreReadWithTheirFallbacks) {
    const auto offer = [](json mac) { return *AppUpdate::parse(json{{"mac", mac}}.dump(), manifestAt); };
    EXPECT_EQ(offer({{"build", 3}}), (AppUpdateInfo{3, "?", std::nullopt}));
    EXPECT_EQ(offer({{"build", 3}, {"version", 2}, {"url", ""}}), (AppUpdateInfo{3, "?", std::nullopt}));
    EXPECT_EQ(offer({{"build", 3}, {"version", "2.1"}, {"url", "Kavri-3.dmg"}}).url,
              "https://cp.example:2053/dl/Kavri-3.dmg");
    EXPECT_EQ(offer({{"build", 3}, {"url", "https://cdn.example/x/Kavri.dmg?a=1"}}).url,
              "https://cdn.example/x/Kavri.dmg?a=1");

    // An entry made elsewhere is resolved against the distribution manifest.
    const Deployment saved = Deployment::current();
    Deployment d = saved;
    d.updateManifestURL = "https://dl.example/dl/latest.json";
    Deployment::install(d);
    EXPECT_EQ((AppUpdateInfo{3, "?", "../Kavri.dmg"}).downloadURL(), "https://dl.example/Kavri.dmg");
    EXPECT_EQ((AppUpdateInfo{3, "?", "ftp://x/y"}).downloadURL(), "ftp://x/y");
    EXPECT_EQ((AppUpdateInfo{3, "?", std::nullopt}).downloadURL(), std::nullopt);
    Deployment::install(saved);
}

TEST(AppUpdateTest, TheRunningBuildAndVersionComeFromTheInformation) {
    EXPECT_EQ(AppUpdate::buildNumber({{"CFBundleVersion", std::string("57")}}), 57);
    EXPECT_EQ(AppUpdate::buildNumber({{"CFBundleVersion", std::string("1.2")}}), 0);
    EXPECT_EQ(AppUpdate::buildNumber({{"CFBundleVersion", std::int64_t(57)}}), 0);
    EXPECT_EQ(AppUpdate::buildNumber({}), 0);
    EXPECT_EQ(AppUpdate::versionText({{"CFBundleShortVersionString", std::string("1.4")}}), "1.4");
    EXPECT_EQ(AppUpdate::versionText({}), "?");
}

class AppUpdateFetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        Deployment d = TestControlPlane::deploymentFor({&a, &b});
        d.updateManifestURL = dist.baseURL() + "/dl/latest.json";
        Deployment::install(d);
    }
    void TearDown() override { Deployment::install(saved); }

    const Deployment saved = Deployment::current();
    TestControlPlane a, b, dist;
    test::TempDir dir;
    KavriStore store{dir.path()};
};

TEST_F(AppUpdateFetchTest, TheFirstHostWithAnOfferAnswersAndNoOtherIsAsked) {
    a.script(Reply::withStatus(404), "/dl/latest.json");
    b.serveFile("/dl/latest.json", R"({"mac":{"build":"9","version":"1.9","url":"Kavri.dmg"}})");
    dist.serveFile("/dl/latest.json", R"({"mac":{"build":10}})");

    EXPECT_EQ(AppUpdate::fetchLatest({}, store), (AppUpdateInfo{9, "1.9", b.baseURL() + "/dl/Kavri.dmg"}));
    EXPECT_EQ(a.requestCount(), 1u);
    EXPECT_EQ(dist.requestCount(), 0u);
    const auto request = b.requests().at(0);
    EXPECT_EQ(request.call(), "GET /dl/latest.json");
    EXPECT_EQ(request.header("Cache-Control"), "no-cache");
    EXPECT_EQ(request.header("Pragma"), "no-cache");
}

TEST_F(AppUpdateFetchTest, TheDistributionHostComesLastAndEveryFailureGivesNothing) {
    a.scriptAlways(Reply::close());
    b.serveFile("/dl/latest.json", R"({"mac":{"build":-4}})");
    dist.serveFile("/dl/latest.json", R"({"mac":{"build":12}})");
    EXPECT_EQ(AppUpdate::fetchLatest({}, store), (AppUpdateInfo{12, "?", std::nullopt}));

    dist.scriptAlways(Reply::withStatus(500));
    a.clearRequests(), b.clearRequests(), dist.clearRequests();
    EXPECT_EQ(AppUpdate::fetchLatest({}, store), std::nullopt);
    EXPECT_EQ(a.requestCount() + b.requestCount() + dist.requestCount(), 3u);
}

}  // namespace
}  // namespace kavri
