// The controller client steering the stand-in engine on loopback, with two
// member proxies behind its group.
#include <gtest/gtest.h>

#include "platform/runtime/log.h"
#include "testing/engine_rig.h"
#include "tunnel/clash_client.h"

using namespace kavri;
using nlohmann::json;

namespace {

std::unique_ptr<ClashClient> clientFor(const EngineRig& rig) {
    ClashClientSettings settings;
    settings.controllerBase = rig.controllerBase();
    auto client = std::make_unique<ClashClient>(settings);
    client->setSecret(rig.secret);
    client->setProbeTag("proxy");
    client->setHbPort(rig.hbPort());
    client->setHbInboundPresent(true);
    return client;
}

// The telemetry's side of the upload, reading the engine through the
// client's own request form and keeping what would have been sent.
struct RecordingTelemetry : StallDumpTelemetry {
    const ClashClient& client;
    std::vector<std::pair<json, json>> sent;  // dump, fields
    explicit RecordingTelemetry(const ClashClient& c) : client(c) {}
    std::optional<json> fetchStallDump() override {
        auto dump = client.clashGET("kavri/stall_dump");
        if (!dump || dump->contains("empty")) return std::nullopt;
        return dump;
    }
    void sendStallDump(const std::string& token, const json& dump, const json& fields) override {
        EXPECT_EQ(token, "tok");
        sent.emplace_back(dump, fields);
    }
};

}  // namespace

TEST(EngineSteering, BeatsFollowTheSelectedMemberAndFailWhenItDies) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const auto client = clientFor(rig);
    const std::string hb = rig.origin.url("/generate_204");

    EXPECT_EQ(client->heartbeatOnce(hb, 2000).status, 204);
    EXPECT_EQ(rig.m1.requestCount(), 1u);

    EXPECT_TRUE(client->clashSelect("m2"));
    EXPECT_EQ(client->heartbeatOnce(hb, 2000).status, 204);
    EXPECT_EQ(rig.m1.requestCount(), 1u);
    EXPECT_EQ(rig.m2.requestCount(), 1u);
    EXPECT_TRUE(client->memberDelayProbe(hb, 2000));

    rig.m2.stop();
    const auto beat = client->heartbeatOnce(hb, 2000);
    EXPECT_NE(beat.status, 204);  // a miss: the engine could not reach its member
    EXPECT_FALSE(client->memberDelayProbe(hb, 2000));
    const auto delays = client->clashGET("group/proxy/delay?timeout=3000");
    ASSERT_TRUE(delays);
    EXPECT_GE((*delays)["m1"].get<int>(), 1);
    EXPECT_EQ((*delays)["m2"], 0);

    EXPECT_TRUE(client->clashSelect("m1"));
    EXPECT_EQ(client->heartbeatOnce(hb, 2000).status, 204);
    EXPECT_TRUE(client->memberDelayProbe(hb, 2000));
}

TEST(EngineSteering, GroupTagWithASpaceAndASlash) {
    EngineRig rig;
    json config = rig.config();
    config["outbounds"][0]["tag"] = "my group/x";
    config["route"]["final"] = "my group/x";
    ASSERT_EQ(rig.start(config), std::nullopt);
    const auto client = clientFor(rig);
    client->setProbeTag("my group/x");

    EXPECT_TRUE(client->clashSelect("m2"));
    const auto proxies = client->clashGET("proxies");
    ASSERT_TRUE(proxies);
    EXPECT_EQ((*proxies)["proxies"]["my group/x"]["now"], "m2");
    EXPECT_TRUE(client->memberDelayProbe(rig.origin.url("/generate_204"), 2000));
    EXPECT_EQ(rig.m2.requestCount(), 1u);  // the delay test went through the selected member
}

TEST(EngineSteering, WhatTheClientTellsTheEngine) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const auto client = clientFor(rig);
    const json detect = {{"hb_enabled", true}, {"hb_interval_ms", "4000"}, {"reality_spider_max", 9}};
    client->pushEngineTunables(detect);
    EXPECT_EQ(rig.provider.engineScript().tunables(), detect);
    client->closeAllConnections();
    EXPECT_EQ(rig.provider.engineScript().closeAllCount(), 1u);

    const auto wrong = clientFor(rig);
    wrong->setSecret("wrong");
    LogCapture log;
    EXPECT_FALSE(wrong->clashSelect("m2"));
    EXPECT_EQ(wrong->clashGET("connections"), std::nullopt);
    wrong->pushEngineTunables(json{{"hb_enabled", false}});
    EXPECT_TRUE(log.contains("[Kavri][clash] 401 на select — секрет clash_api не совпал"));
    EXPECT_TRUE(log.contains("[Kavri][clash] 401 на connections — секрет clash_api не совпал"));
    EXPECT_TRUE(log.contains("[Kavri][diag] 401 на kavri/config — секрет clash_api не совпал"));
    EXPECT_EQ(rig.provider.engineScript().tunables(), detect);
    EXPECT_EQ(rig.selected(), "m1");
}

TEST(EngineSteering, StallDumpUploadSendsAtMostTwo) {
    EngineRig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    const auto client = clientFor(rig);
    const json fields = {{"path_status", "satisfied"}};
    const auto pathFields = [&] { return fields; };

    RecordingTelemetry none(*client);
    LogCapture log;
    client->uploadStallDump("tok", none, pathFields);
    EXPECT_TRUE(none.sent.empty());
    EXPECT_EQ(log.count("stall_dump"), 0u);

    EngineScript& script = rig.provider.engineScript();
    script.pushStallDump({{"groups", 4}, {"at", "t1"}});
    script.pushStallDump({{"at", "t2"}});
    script.pushStallDump({{"groups", 1}});
    RecordingTelemetry some(*client);
    client->uploadStallDump("tok", some, pathFields);
    ASSERT_EQ(some.sent.size(), 2u);
    EXPECT_EQ(some.sent[0].first, json({{"groups", 4}, {"at", "t1"}}));
    EXPECT_EQ(some.sent[1].first, json({{"at", "t2"}}));
    EXPECT_EQ(some.sent[0].second, fields);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[Kavri][diag] stall_dump отправлен (групп 4)",
                                                     "[Kavri][diag] stall_dump отправлен (групп ?)"}));
    EXPECT_EQ(script.pendingStallDumps(), 1u);
}
