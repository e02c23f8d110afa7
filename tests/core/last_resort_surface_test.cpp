#include "core/last_resort_surface.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "core/deployment.h"

namespace kavri {
namespace {

TEST(LastResortSurface, DecodesToTheCompleteConfiguration) {
    EXPECT_EQ(LastResortSurface::storedText().size(), 3688u);
    const auto text = LastResortSurface::config();
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->starts_with("{\n \"log\": {\n  \"level\""));  // one blank per level
    EXPECT_TRUE(text->ends_with("}\n"));

    const auto config = nlohmann::ordered_json::parse(*text);
    std::vector<std::string> keys;
    for (const auto& [key, value] : config.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"log", "dns", "inbounds", "outbounds", "route", "experimental"}));

    EXPECT_EQ(config["log"], nlohmann::ordered_json::parse(R"({"level":"warn","timestamp":true})"));
    const auto& dns = config["dns"];
    ASSERT_EQ(dns["servers"].size(), 3u);
    EXPECT_EQ(dns["servers"][0]["tag"], "hosts-cf");
    EXPECT_EQ(dns["servers"][1]["tag"], "dns-ru");
    EXPECT_EQ(dns["servers"][2]["tag"], "dns-remote");
    EXPECT_EQ(dns["servers"][2]["domain_resolver"], "hosts-cf");
    // The resolver's host name is the one the hosts server maps.
    EXPECT_TRUE(dns["servers"][0]["predefined"].contains(dns["servers"][2]["server"].get<std::string>()));
    EXPECT_EQ(dns["final"], "dns-remote");
    EXPECT_EQ(dns["strategy"], "ipv4_only");

    ASSERT_EQ(config["inbounds"].size(), 1u);
    EXPECT_EQ(config["inbounds"][0]["type"], "tun");
    EXPECT_EQ(config["inbounds"][0]["address"], nlohmann::ordered_json::array({"172.19.0.1/30"}));

    std::set<std::string> outboundTags;
    for (const auto& o : config["outbounds"]) outboundTags.insert(o["tag"].get<std::string>());
    EXPECT_EQ(outboundTags, (std::set<std::string>{"proxy", "direct"}));  // no "hb-in", no group
    const auto& proxy = config["outbounds"][0];
    EXPECT_EQ(proxy["type"], "vless");
    EXPECT_EQ(proxy["server_port"], 9443);
    EXPECT_EQ(proxy["uuid"].get<std::string>().size(), 36u);
    EXPECT_EQ(proxy["tls"]["utls"]["fingerprint"], "chrome");
    EXPECT_EQ(proxy["tls"]["reality"]["public_key"].get<std::string>().size(), 43u);
    EXPECT_EQ(proxy["tls"]["reality"]["short_id"].get<std::string>().size(), 16u);

    const auto& route = config["route"];
    EXPECT_TRUE(outboundTags.contains(route["final"].get<std::string>()));
    std::set<std::string> defined;
    for (const auto& rs : route["rule_set"]) {
        defined.insert(rs["tag"].get<std::string>());
        EXPECT_EQ(rs["url"], Deployment::builtIn().apiBaseURL + "/rules/" + rs["tag"].get<std::string>() + ".srs");
        EXPECT_EQ(rs["download_detour"], "proxy");
    }
    EXPECT_EQ(defined, (std::set<std::string>{"geoip-ru", "geosite-category-ru", "ru-extra"}));
    auto checkNamed = [&](const nlohmann::ordered_json& rules) {
        for (const auto& rule : rules) {
            if (!rule.contains("rule_set")) continue;
            for (const auto& tag : rule["rule_set"]) EXPECT_TRUE(defined.contains(tag.get<std::string>())) << tag;
        }
    };
    checkNamed(route["rules"]);
    checkNamed(dns["rules"]);
    EXPECT_EQ(route["rules"].size(), 7u);
    EXPECT_EQ(config["experimental"]["clash_api"]["external_controller"], "127.0.0.1:9090");
    EXPECT_EQ(config["experimental"]["cache_file"]["path"], "cache.db");
}

TEST(LastResortSurface, RefusesADamagedCopy) {
    const std::string good(LastResortSurface::storedText());
    std::string lineBreak = good;
    lineBreak.insert(76, "\n");
    std::string badCharacter = good;
    badCharacter[100] = '*';
    std::string cut = good.substr(0, good.size() - 1);
    for (const std::string& damaged : {lineBreak, badCharacter, cut, std::string()}) {
        EXPECT_EQ(LastResortSurface::decode(damaged), std::nullopt);
    }
    // Bytes that are not UTF-8.
    EXPECT_EQ(LastResortSurface::decode("/w=="), std::nullopt);
    EXPECT_EQ(LastResortSurface::decode(good), LastResortSurface::config());
}

}  // namespace
}  // namespace kavri
