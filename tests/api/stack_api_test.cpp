#include "api/stack_api.h"

#include <gtest/gtest.h>

#include <functional>

#include "api/decoding_error.h"

namespace kavri {
namespace {

using json = nlohmann::json;
using Snapshot = StackAPI::Snapshot;
using Catalog = StackAPI::Catalog;

const json location = {{"id", "de-1"},       {"title", "Германия"},     {"country_code", "DE"},
                       {"protocols", {"reality", "hysteria2"}}, {"probe_host", "de.example"}, {"probe_port", 443}};
const json proto = {{"key", "reality"}, {"title", "Reality"}, {"badge", "new"}};

json snapshotWith(const json& changes) {
    json s = {{"manual_allowed", true}, {"location", json::object()}, {"protocol", json::object()}};
    if (changes.is_object()) s.update(changes);
    return s;
}

TEST(StackSnapshotTest, AnEmptyAxisHasTheDefaultsAndEachMemberFallsBackAlone) {
    const Snapshot::Axis defaults;
    EXPECT_EQ(Snapshot::Axis::fromJson(json::object(), "location"), defaults);
    EXPECT_EQ(defaults.mode, "auto");
    EXPECT_EQ(defaults.label, "Авто");
    EXPECT_TRUE(defaults.online);

    const auto axis = Snapshot::Axis::fromJson(
        {{"mode", nullptr}, {"online", "no"}, {"label", 5}, {"id", "de-1"}, {"country_code", "DE"}}, "location");
    EXPECT_EQ(axis.mode, "auto");
    EXPECT_TRUE(axis.online);
    EXPECT_EQ(axis.label, "Авто");
    EXPECT_EQ(axis.id, "de-1");
    EXPECT_EQ(axis.countryCode, "DE");

    EXPECT_TRUE(Snapshot::Axis::fromJson({{"mode", "manual"}}, "p").isManual());
    EXPECT_FALSE(Snapshot::Axis::fromJson({{"mode", "Manual"}}, "p").isManual());
    EXPECT_THROW(Snapshot::Axis::fromJson("manual", "p"), DecodingError);
}

TEST(StackSnapshotTest, RequiredMembersAndTypesDecideWhetherItDecodes) {
    const json effective = {{"location_label", "Германия"}, {"country_code", "DE"}, {"protocol_label", "Reality"}};
    const struct {
        const char* name;
        json body;
        bool decodes;
    } cases[] = {
        {"the minimum", snapshotWith({}), true},
        {"with an effective record", snapshotWith({{"effective", effective}}), true},
        {"effective null", snapshotWith({{"effective", nullptr}}), true},
        {"locked reason null", snapshotWith({{"locked_reason", nullptr}}), true},
        {"an empty effective record", snapshotWith({{"effective", json::object()}}), false},
        {"effective without its protocol", snapshotWith({{"effective", {{"location_label", "a"}, {"country_code", "b"}}}}),
         false},
        {"no manual flag", json{{"location", json::object()}, {"protocol", json::object()}}, false},
        {"manual flag as text", snapshotWith({{"manual_allowed", "true"}}), false},
        {"locked reason a number", snapshotWith({{"locked_reason", 3}}), false},
        {"no location", json{{"manual_allowed", true}, {"protocol", json::object()}}, false},
        {"protocol not an object", snapshotWith({{"protocol", "auto"}}), false},
        {"a list", json::array(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.decodes) {
            EXPECT_NO_THROW(Snapshot::decode(c.body.dump()));
        } else {
            EXPECT_THROW(Snapshot::decode(c.body.dump()), DecodingError);
        }
    }
    const auto full = Snapshot::decode(
        snapshotWith({{"effective", effective}, {"locked_reason", "Тариф"}, {"protocol", {{"key", "reality"}}}}).dump());
    EXPECT_EQ(full.effective, (Snapshot::Effective{"Германия", "DE", "Reality"}));
    EXPECT_EQ(full.lockedReason, "Тариф");
    EXPECT_EQ(full.proto.key, "reality");
    EXPECT_EQ(full.effective == Snapshot::decode(snapshotWith({}).dump()).effective, false);
}

TEST(StackCatalogTest, EachMemberFallsBackOnItsOwn) {
    std::vector<json> tenAndOneBad(10, location);
    json bad = location;
    bad.erase("country_code");
    tenAndOneBad.push_back(bad);
    json offline = location;
    offline["online"] = false;
    json unreported = location;
    unreported["online"] = nullptr;
    json onlineText = location;
    onlineText["online"] = "yes";
    json portText = location;
    portText["probe_port"] = "443";

    const struct {
        const char* name;
        json body;
        std::function<void(const Catalog&)> check;
    } cases[] = {
        {"empty", json::object(),
         [](const Catalog& c) {
             EXPECT_FALSE(c.manualAllowed);
             EXPECT_EQ(c.lockedReason, std::nullopt);
             EXPECT_EQ(c.autoChoice.title, "Автоматически");
             EXPECT_EQ(c.autoChoice.subtitle, std::nullopt);
             EXPECT_TRUE(c.locations.empty());
             EXPECT_TRUE(c.protocols.empty());
         }},
        {"one bad location of eleven empties the locations alone",
         {{"locations", tenAndOneBad}, {"protocols", {proto}}, {"manual_allowed", true}},
         [](const Catalog& c) {
             EXPECT_TRUE(c.locations.empty());
             ASSERT_EQ(c.protocols.size(), 1u);
             EXPECT_EQ(c.protocols[0].badge, "new");
             EXPECT_TRUE(c.manualAllowed);
         }},
        {"auto as text", {{"auto", "Авто"}},
         [](const Catalog& c) { EXPECT_EQ(c.autoChoice.title, "Автоматически"); }},
        {"auto without a title", {{"auto", {{"subtitle", "x"}}}},
         [](const Catalog& c) { EXPECT_EQ(c.autoChoice.subtitle, std::nullopt); }},
        {"auto", {{"auto", {{"title", "Лучшее"}, {"subtitle", "само"}}}},
         [](const Catalog& c) {
             EXPECT_EQ(c.autoChoice.title, "Лучшее");
             EXPECT_EQ(c.autoChoice.subtitle, "само");
         }},
        {"online false, null and absent", {{"locations", {offline, unreported, location}}},
         [](const Catalog& c) {
             ASSERT_EQ(c.locations.size(), 3u);
             EXPECT_TRUE(c.locations[0].isOffline());
             EXPECT_EQ(c.locations[1].online, std::nullopt);
             EXPECT_FALSE(c.locations[1].isOffline());
             EXPECT_EQ(c.locations[2].probePort, 443);
             EXPECT_EQ(c.locations[2].protocols, (std::vector<std::string>{"reality", "hysteria2"}));
         }},
        {"online as text", {{"locations", {location, onlineText}}},
         [](const Catalog& c) { EXPECT_TRUE(c.locations.empty()); }},
        {"a port as text", {{"locations", {portText}}}, [](const Catalog& c) { EXPECT_TRUE(c.locations.empty()); }},
        {"a protocol without a title", {{"protocols", {proto, {{"key", "x"}}}}},
         [](const Catalog& c) { EXPECT_TRUE(c.protocols.empty()); }},
        {"members of other types", {{"manual_allowed", "yes"}, {"locked_reason", 1}, {"locations", "de"}},
         [](const Catalog& c) {
             EXPECT_FALSE(c.manualAllowed);
             EXPECT_EQ(c.lockedReason, std::nullopt);
             EXPECT_TRUE(c.locations.empty());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(Catalog::decode(c.body.dump()));
    }
    for (const char* body : {"[]", "not json", ""}) EXPECT_THROW(Catalog::decode(body), DecodingError) << body;
}

TEST(StackSelectResponseTest, OnlyTheStackIsCarriedAndAPresentBadMemberFailsTheWhole) {
    EXPECT_EQ(StackAPI::SelectResponse::decode(R"({"error":"busy"})").stack, std::nullopt);
    EXPECT_EQ(StackAPI::SelectResponse::decode(R"({"error":null,"stack":null})").error, std::nullopt);
    EXPECT_EQ(StackAPI::SelectResponse::decode(json{{"stack", snapshotWith({})}}.dump()).stack,
              Snapshot::decode(snapshotWith({}).dump()));
    EXPECT_THROW(StackAPI::SelectResponse::decode(R"({"stack":{}})"), DecodingError);
    EXPECT_THROW(StackAPI::SelectResponse::decode(R"({"error":5})"), DecodingError);
    EXPECT_THROW(StackAPI::SelectResponse::decode("<html>"), DecodingError);
}

}  // namespace
}  // namespace kavri
