#include "api/subscription_meta.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "api/decoding_error.h"
#include "api/subscription_userinfo.h"
#include "api/tier0_app.h"

namespace kavri {
namespace {

using json = nlohmann::json;

TEST(Tier0AppTest, DecodesEncodesAndIsIdentifiedByItsBundle) {
    const auto bare = Tier0App::fromJson(json::parse(R"({"name":"Mail","bundle_id":"com.x.mail","extra":1})"));
    EXPECT_EQ(bare.designatedRequirement, std::nullopt);
    EXPECT_EQ(bare.toJson().dump(), R"({"name":"Mail","bundle_id":"com.x.mail"})");
    EXPECT_EQ(
        Tier0App::fromJson(json::parse(R"({"name":"Mail","bundle_id":"com.x.mail","designated_requirement":null})")),
        bare);

    const Tier0App signedApp{"Mail", "com.x.mail", "anchor apple"};
    EXPECT_EQ(signedApp.toJson().dump(),
              R"({"name":"Mail","bundle_id":"com.x.mail","designated_requirement":"anchor apple"})");
    EXPECT_EQ(Tier0App::fromJson(json::parse(signedApp.toJson().dump())), signedApp);
    EXPECT_NE(signedApp, bare);  // an absent requirement never equals a present one

    const Tier0App renamed{"Post", "com.x.mail", std::nullopt};
    EXPECT_NE(renamed, bare);
    EXPECT_EQ(renamed.id(), bare.id());

    const std::unordered_set<Tier0App> set{bare, Tier0App{"Mail", "com.x.mail", std::nullopt}, signedApp, renamed};
    EXPECT_EQ(set.size(), 3u);
    EXPECT_NE(std::hash<Tier0App>{}(bare), std::hash<Tier0App>{}(Tier0App{"Mail", "com.x.mail", ""}));
}

TEST(SubscriptionMetaTest, DecodesStrictlyAsEachMemberIsTyped) {
    const char* minimal = R"("version":3,"pull_interval_seconds":600,"tier_0_apps":{"ios":[]})";
    const struct {
        std::string text;
        std::optional<DecodingError::Kind> error;  // none: decodes
        std::string path;                          // of the error
    } cases[] = {
        {std::string("{") + minimal + "}", std::nullopt, ""},
        {std::string("{") + minimal + R"(,"expires_at_unix":null,"support_url":null,"device_removed":"x"})",
         std::nullopt, ""},
        {R"({"version":3.0,"pull_interval_seconds":6e2,"tier_0_apps":{"ios":[]}})", std::nullopt, ""},
        // Required members.
        {R"({"pull_interval_seconds":600,"tier_0_apps":{"ios":[]}})", DecodingError::Kind::keyNotFound, "version"},
        {R"({"version":3,"tier_0_apps":{"ios":[]}})", DecodingError::Kind::keyNotFound, "pull_interval_seconds"},
        {R"({"version":3,"pull_interval_seconds":600})", DecodingError::Kind::keyNotFound, "tier_0_apps"},
        {R"({"version":3,"pull_interval_seconds":600,"tier_0_apps":{}})", DecodingError::Kind::keyNotFound,
         "tier_0_apps.ios"},
        {R"({"version":null,"pull_interval_seconds":600,"tier_0_apps":{"ios":[]}})", DecodingError::Kind::typeMismatch,
         "version"},
        // Integers, doubles, Booleans and texts are kept apart.
        {R"({"version":"3","pull_interval_seconds":600,"tier_0_apps":{"ios":[]}})", DecodingError::Kind::typeMismatch,
         "version"},
        {R"({"version":true,"pull_interval_seconds":600,"tier_0_apps":{"ios":[]}})", DecodingError::Kind::typeMismatch,
         "version"},
        {R"({"version":3,"pull_interval_seconds":600.5,"tier_0_apps":{"ios":[]}})", DecodingError::Kind::typeMismatch,
         "pull_interval_seconds"},
        {R"({"version":9223372036854775808,"pull_interval_seconds":600,"tier_0_apps":{"ios":[]}})",
         DecodingError::Kind::typeMismatch, "version"},
        {std::string("{") + minimal + R"(,"expires_at_unix":"1700000000"})", DecodingError::Kind::typeMismatch,
         "expires_at_unix"},
        {std::string("{") + minimal + R"(,"support_max":5})", DecodingError::Kind::typeMismatch, "support_max"},
        {R"({"version":3,"pull_interval_seconds":600,"tier_0_apps":{"ios":{}}})", DecodingError::Kind::typeMismatch,
         "tier_0_apps.ios"},
        {R"({"version":3,"pull_interval_seconds":600,"tier_0_apps":{"ios":[{"name":"A","bundle_id":"a"},{"name":"B"}]}})",
         DecodingError::Kind::keyNotFound, "tier_0_apps.ios[1].bundle_id"},
        {R"({"version":3,"pull_interval_seconds":600,"tier_0_apps":{"ios":[{"name":1,"bundle_id":"a"}]}})",
         DecodingError::Kind::typeMismatch, "tier_0_apps.ios[0].name"},
        // Not a metadata object at all.
        {"[1,2]", DecodingError::Kind::typeMismatch, ""},
        {"{\"version\":", DecodingError::Kind::dataCorrupted, ""},
        {std::string(300, '[') + std::string(300, ']'), DecodingError::Kind::dataCorrupted, ""},
    };
    for (const auto& c : cases) {
        try {
            const auto meta = SubscriptionMeta::decode(c.text);
            EXPECT_FALSE(c.error) << c.text << " decoded";
            EXPECT_EQ(meta.version, 3) << c.text;
            EXPECT_EQ(meta.pullIntervalSeconds, 600) << c.text;
            EXPECT_EQ(meta.expiresAtUnix, std::nullopt) << c.text;
            EXPECT_EQ(meta.supportURL, std::nullopt) << c.text;
        } catch (const DecodingError& e) {
            ASSERT_TRUE(c.error) << c.text << ": " << e.what();
            EXPECT_EQ(e.kind(), *c.error) << c.text << ": " << e.what();
            EXPECT_EQ(e.path(), c.path) << c.text << ": " << e.what();
        }
    }
}

TEST(SubscriptionMetaTest, EncodingLeavesAbsentMembersOutAndRoundTrips) {
    SubscriptionMeta meta;
    meta.version = 7;
    meta.pullIntervalSeconds = 900;
    EXPECT_EQ(meta.encoded(), R"({"version":7,"pull_interval_seconds":900,"tier_0_apps":{"ios":[]}})");
    EXPECT_EQ(SubscriptionMeta::decode(meta.encoded()), meta);

    meta.expiresAtUnix = -1;
    meta.supportURL = "https://s.example/help";
    meta.supportMaxURL = "https://max.example/s";
    meta.otherDevicesURL = "https://d.example";
    meta.tier0Apps.ios = {{"Mail", "com.x.mail", std::nullopt}, {"Bank", "ru.bank", "anchor apple generic"}};
    EXPECT_EQ(meta.encoded(),
              R"({"version":7,"pull_interval_seconds":900,"expires_at_unix":-1,"support_url":"https://s.example/help",)"
              R"("support_max":"https://max.example/s","other_devices_url":"https://d.example","tier_0_apps":{"ios":[)"
              R"({"name":"Mail","bundle_id":"com.x.mail"},)"
              R"({"name":"Bank","bundle_id":"ru.bank","designated_requirement":"anchor apple generic"}]}})");
    EXPECT_EQ(SubscriptionMeta::decode(meta.encoded()), meta);
}

TEST(SubscriptionUserinfoTest, ParsesTheHeaderPieceByPiece) {
    const struct {
        const char* header;
        SubscriptionUserinfo expected;
    } cases[] = {
        {"upload=1;download=2", {1, 2, std::nullopt, std::nullopt}},
        {"upload=1; download=2; total=3; expire=1700000000", {1, 2, 3, 1700000000}},
        {" total = 50 ; expire=abc", {0, 0, 50, std::nullopt}},
        {"upload=5;UPLOAD=7", {5, 0, std::nullopt, std::nullopt}},
        {"upload=5;upload=7", {7, 0, std::nullopt, std::nullopt}},
        {"upload=-3;download=+4", {-3, 4, std::nullopt, std::nullopt}},
        {"", {}},
        {";;;", {}},
        // Garbage: no "=", empty sides, a second "=", signs alone, non-digits,
        // overflow, line breaks (not trimmed), unknown keys.
        {"upload;=5;download=;total==5;expire=-", {}},
        {"upload=1e3;download=0x10;total=12.5;expire= 7 x", {}},
        {"upload=9223372036854775807;download=9223372036854775808",
         {9223372036854775807, 0, std::nullopt, std::nullopt}},
        {"total=-9223372036854775808;expire=\n5", {0, 0, -9223372036854775807 - 1, std::nullopt}},
        {"\tdownload\t=\t8\t;quota=9;upload=\xD9\xA3", {0, 8, std::nullopt, std::nullopt}},
    };
    for (const auto& c : cases) EXPECT_EQ(SubscriptionUserinfo::parse(c.header), c.expected) << c.header;
}

}  // namespace
}  // namespace kavri
