// Configuration preparation and the provider's helpers, without an engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "core/kavri_store.h"
#include "core/ru_rules.h"
#include "platform/runtime/log.h"
#include "tests/support/temp_dir.h"
#include "tests/tunnel/loop_parts.h"
#include "tunnel/runtime_params.h"

using namespace kavri;
using json = nlohmann::json;

namespace {

class ProviderConfig : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& [key, value] : KavriStore::shared().snapshot()) KavriStore::shared().removeObject(key);
    }
    PacketTunnelProvider provider;
};

std::string padded(json config, std::size_t size) {
    config["pad"] = "";
    const auto base = config.dump().size();
    config["pad"] = std::string(size > base ? size - base : 0, 'x');
    return config.dump();
}

}  // namespace

TEST_F(ProviderConfig, CacheFileGoesIntoTheSharedDirectory) {
    const auto out = json::parse(provider.applyLocalPaths(
        R"({"b": 1, "experimental": {"cache_file": {"enabled": false, "keep": 7}, "z": {"y": 1, "x": 2}}, "a": 0})"));
    const auto& cache = out["experimental"]["cache_file"];
    EXPECT_EQ(cache["enabled"], true);
    EXPECT_EQ(cache["keep"], 7);
    EXPECT_EQ(cache["path"], (KavriStore::directory() / "cache.db").string());

    const std::string bare = provider.applyLocalPaths(R"({"outbounds": []})");
    EXPECT_EQ(json::parse(bare)["experimental"],
              (json{{"cache_file", {{"enabled", true}, {"path", (KavriStore::directory() / "cache.db").string()}}}}));
    // Keys sorted at every level, no spacing.
    EXPECT_EQ(provider.applyLocalPaths(R"({"b": {"d": 1, "c": 2}, "a": 1, "experimental": {"cache_file": {"path": "p"}}})")
                  .substr(0, 29),
              R"({"a":1,"b":{"c":2,"d":1},"exp)");
    EXPECT_EQ(provider.applyLocalPaths("not json"), "not json");
}

TEST_F(ProviderConfig, LearnsTheHeartbeatInboundGroupAndSecret) {
    struct Case {
        const char* name;
        const char* config;
        std::int64_t port;
        bool present;
        std::string tag;
        std::optional<std::string> surface;
    };
    const std::vector<Case> cases = {
        {"tag pass wins over the type pass",
         R"({"inbounds": [{"type": "mixed", "listen": "127.0.0.1", "listen_port": 2080}, {"tag": "hb-in", "listen_port": 7000}],
             "outbounds": [{"type": "selector", "tag": "auto", "outbounds": ["a"]}, {"type": "vless", "tag": "a", "server": "s.example"}]})",
         7000, true, "auto", "s.example"},
        {"a mixed inbound off loopback is not taken",
         R"({"inbounds": [{"type": "mixed", "listen": "0.0.0.0", "listen_port": 2080}],
             "outbounds": [{"type": "direct", "tag": "d"}, {"type": "dns", "tag": "n"}, {"type": "selector", "tag": "auto"}]})",
         7000, false, "auto", "s.example"},
        {"a port given as text does not count",
         R"({"inbounds": [{"tag": "hb-in", "listen_port": "7001"}], "outbounds": [{"type": "direct"}, {"type": "block"}]})",
         7000, false, "proxy", "s.example"},
        {"an untagged proxy first gives proxy",
         R"({"outbounds": [{"type": "vless", "server": "x"}, {"type": "selector", "tag": "g"}]})", 7000, false, "proxy",
         "s.example"},
        {"route.final is taken as it is",
         R"({"route": {"final": "grp"}, "outbounds": [{"type": "selector", "tag": "grp", "server": "own.example"}]})",
         7000, false, "grp", "own.example"},
        {"without outbounds the group stays",
         R"({"inbounds": [{"tag": "hb-in", "listen_port": 9999}], "experimental": {"clash_api": {"secret": "s2"}}})",
         9999, true, "grp", "own.example"},
    };
    ClashClient clash;
    Telemetry telemetry;
    // As the provider learns from a configuration text.
    auto learn = [&](const std::string& text) {
        const json root = json::parse(text, nullptr, false);
        return root.is_object() && RuntimeParams::learn(root, clash, telemetry);
    };
    for (const auto& c : cases) {
        learn(c.config);
        EXPECT_EQ(clash.hbPort(), c.port) << c.name;
        EXPECT_EQ(clash.hbInboundPresent(), c.present) << c.name;
        EXPECT_EQ(clash.probeTag(), c.tag) << c.name;
        EXPECT_EQ(telemetry.fields().groupTag, c.tag) << c.name;
        EXPECT_EQ(telemetry.fields().surfaceID, c.surface) << c.name;
    }
    EXPECT_EQ(clash.secret(), "s2");
    EXPECT_EQ(telemetry.fields().clashSecret, "s2");
    learn(R"({"outbounds": []})");
    EXPECT_EQ(clash.secret(), "");  // an absent secret clears the old one
    EXPECT_EQ(clash.probeTag(), "proxy");  // no outbound qualifies
    learn(R"({"route": {"final": "x"}})");
    EXPECT_FALSE(learn("[1, 2]"));  // not an object: nothing changes
    EXPECT_EQ(clash.probeTag(), "proxy");
    provider.learnRuntimeParams("[1, 2]");

    // The group's server is read from the engine only when the configuration
    // does not tell it.
    EXPECT_FALSE(learn(R"({"outbounds": [{"type": "vless", "tag": "a", "server": "s.example"}]})"));
    EXPECT_TRUE(learn(R"({"outbounds": [{"type": "selector", "tag": "g", "outbounds": ["x"]}]})"));
    EXPECT_FALSE(learn(R"({"inbounds": []})"));
}

TEST_F(ProviderConfig, PlausibilityNeedsSizeOutboundsAndRoute) {
    const json good = {{"outbounds", json::array({{{"type", "direct"}}})}, {"route", json::object()}};
    EXPECT_FALSE(SelfHeal::isPlausibleConfig(padded(good, 200)));
    EXPECT_TRUE(SelfHeal::isPlausibleConfig(padded(good, 201)));
    EXPECT_FALSE(SelfHeal::isPlausibleConfig(padded({{"outbounds", json::array()}, {"route", json::object()}}, 400)));
    EXPECT_FALSE(SelfHeal::isPlausibleConfig(padded({{"outbounds", json::array({{{"type", "direct"}}})}, {"route", 1}}, 400)));
    EXPECT_FALSE(SelfHeal::isPlausibleConfig(padded({{"outbounds", json::array({{{"type", "direct"}}})}}, 400)));
}

TEST_F(ProviderConfig, CurrentTextAndTokensFallBackInOrder) {
    const json good = {{"outbounds", json::array({{{"type", "selector"}, {"tag", "g"}, {"outbounds", {"nowhere"}}}})},
                       {"route", json::object()}};
    const std::string optionsText = padded(good, 300);
    KavriStore::shared().set("cached_singbox_config", Data{"{\"short\": true}"});
    KavriStore::shared().set("sub_token_ne", "stored-token");
    KavriStore::shared().set("device_id_ne", "");
    EXPECT_EQ(provider.currentConfigText(), std::nullopt);
    EXPECT_EQ(provider.subToken(), "stored-token");
    EXPECT_EQ(provider.deviceID(), std::nullopt);

    // The engine refuses this start (its group names no member it knows),
    // but the framework holds the options all the same.
    std::promise<void> done;
    provider.startTunnel({{"configContent", optionsText}, {"subToken", ""}, {"deviceID", "DEV"}},
                         [&](std::optional<std::string>) { done.set_value(); });
    done.get_future().get();
    const std::string prepared = provider.tunnelOptions().value()["configContent"];
    EXPECT_EQ(json::parse(prepared)["pad"], json::parse(optionsText)["pad"]);
    EXPECT_EQ(provider.currentConfigText(), prepared);
    EXPECT_EQ(provider.subToken(), "stored-token");  // an empty option falls back to the store
    EXPECT_EQ(provider.deviceID(), "DEV");

    const std::string stored = padded(good, 250);
    KavriStore::shared().set("cached_singbox_config", Data{stored});
    EXPECT_EQ(provider.currentConfigText(), stored);
}

TEST_F(ProviderConfig, NetworkTypeOfAPath) {
    NetworkPath path;
    EXPECT_EQ(Telemetry::networkType(path), std::nullopt);
    path.status = NetworkPath::Status::satisfied;
    EXPECT_EQ(Telemetry::networkType(path), std::nullopt);
    const std::vector<std::pair<NetworkPath::InterfaceType, std::string>> kinds = {
        {NetworkPath::InterfaceType::wifi, "wifi"},
        {NetworkPath::InterfaceType::cellular, "cellular"},
        {NetworkPath::InterfaceType::wiredEthernet, "ethernet"},
        {NetworkPath::InterfaceType::loopback, "other"},
        {NetworkPath::InterfaceType::other, "other"}};
    for (const auto& [type, word] : kinds) {
        path.availableInterfaces = {{"if0", 1, type}};
        EXPECT_EQ(Telemetry::networkType(path), word);
    }
    // No monitor: the last known type stays, with its radio.
    test::LoopParts parts(provider, Clock::system(), "http://127.0.0.1:9", "");
    parts.telemetry.update([](Telemetry::Fields& f) { f.networkType = "wifi"; });
    EXPECT_EQ(parts.telemetryLoop.updateNetworkType(),
              std::make_pair(std::optional<std::string>("wifi"), std::optional<std::string>("wifi")));
}

TEST_F(ProviderConfig, ServerTunablesAreStored) {
    ConfigFetcher::Fetched fetched;
    fetched.pullIntervalSeconds = 0;
    fetched.detectRaw = json{{"hb_interval_ms", 5000}};
    fetched.stallWatchRaw = json{{"enabled", true}, {"ladder", {5, 15}}};
    KavriStore::shared().set("ne_poll_interval_sec", 120);
    provider.applyServerTunables(fetched);
    EXPECT_EQ(KavriStore::shared().integer("ne_poll_interval_sec"), 120);  // 0 leaves it
    EXPECT_TRUE(KavriStore::shared().data("detect_config_json"));
    const auto raw = KavriStore::shared().object("stall_watch_raw");
    ASSERT_TRUE(raw && raw->is<PlistValue::Dict>());
    EXPECT_EQ(raw->toJson(), *fetched.stallWatchRaw);
    fetched.pullIntervalSeconds = 600;
    provider.applyServerTunables(fetched);
    EXPECT_EQ(KavriStore::shared().integer("ne_poll_interval_sec"), 600);
}

TEST_F(ProviderConfig, AStallWatchKeyTheStoreCannotHoldCostsOnlyItsOwnEntry) {
    using namespace std::string_literals;
    ConfigFetcher::Fetched fetched;
    fetched.stallWatchRaw = json{{"stall_seconds", 9},
                                 {"poll_ms", 1500},
                                 {"bad\u0000key"s, 1},
                                 {"note", "cut\u0000here"s},
                                 {"nested", {{"ok", 1}, {"x\u0000"s, 2}}}};
    LogCapture log;
    provider.applyServerTunables(fetched);
    const auto raw = KavriStore::shared().object("stall_watch_raw");
    ASSERT_TRUE(raw && raw->is<PlistValue::Dict>());
    EXPECT_EQ(raw->toJson(), (json{{"stall_seconds", 9}, {"poll_ms", 1500}, {"nested", {{"ok", 1}}}}));
    EXPECT_TRUE(log.containsText("\"note\" cannot be stored, left out"));
    EXPECT_TRUE(log.containsText("\"bad\\u0000key\" cannot be stored, left out"));
}

TEST_F(ProviderConfig, AConfigurationNestedTooDeeplyIsLeftAsItIs) {
    // Copying or printing a million levels would exhaust the stack.
    const std::string deep = R"({"outbounds":[{"type":"direct"}],"route":{"rule_set":[{"tag":"geoip-ru"}]},"x":)" +
                             std::string(1'000'000, '[') + std::string(1'000'000, ']') + "}";
    EXPECT_EQ(provider.prepareConfiguration(deep), deep);
    EXPECT_EQ(provider.applyLocalPaths(deep), deep);
    provider.learnRuntimeParams(deep);
}

TEST_F(ProviderConfig, ARewriteThatCannotBeWrittenOutGivesTheRulePathText) {
    // A shared directory whose name is not UTF-8: the cache path cannot go
    // into the JSON text.
    test::TempDir dir;
    const auto shared = dir / "shared\xFF";
    std::filesystem::create_directories(shared);
    KavriStore store(shared);
    ProviderSettings s;
    s.store = &store;
    PacketTunnelProvider odd(s);

    const std::string config =
        R"({"route": {"rule_set": [{"tag": "geoip-ru", "type": "remote", "url": "https://x.example/a.srs"}],
                      "rules": [{"rule_set": ["geoip-ru"], "outbound": "direct"}], "final": "proxy"},
            "outbounds": [{"type": "direct", "tag": "direct"}]})";
    const auto rulePathText = RuRules::absolutizeRulePaths(config).config;
    ASSERT_NE(rulePathText, config);
    EXPECT_EQ(odd.applyLocalPaths(config), rulePathText);
    EXPECT_EQ(odd.prepareConfiguration(config), rulePathText);
}
