#include "core/detect_config.h"

#include <gtest/gtest.h>

#include "core/kavri_defaults_key.h"
#include "tests/support/temp_dir.h"

using namespace kavri;
using json = nlohmann::json;

namespace {

struct IntRow {
    const char* key;
    std::int64_t DetectConfig::*field;
    std::int64_t def, low, high;
    bool zeroStays;
};

const std::vector<IntRow> intRows = {
    {"hb_interval_ms", &DetectConfig::hbIntervalMs, 2500, 1000, 30000, false},
    {"hb_interval_bg_ms", &DetectConfig::hbIntervalBgMs, 45000, 5000, 300000, false},
    {"hb_timeout_ms", &DetectConfig::hbTimeoutMs, 2000, 500, 10000, false},
    {"hb_miss_to_switch", &DetectConfig::hbMissToSwitch, 2, 1, 10, false},
    {"hb_grace_after_path_ms", &DetectConfig::hbGraceAfterPathMs, 15000, 0, 60000, false},
    {"switch_min_interval_ms", &DetectConfig::switchMinIntervalMs, 15000, 5000, 600000, false},
    {"max_switch_per_hour", &DetectConfig::maxSwitchPerHour, 20, 0, 100, false},
    {"config_poll_sec", &DetectConfig::configPollSec, 900, 60, 3600, false},
    {"stalled_age_sec", &DetectConfig::stalledAgeSec, 5, 1, 600, false},
    {"tls_handshake_timeout_ms", &DetectConfig::tlsHandshakeTimeoutMs, 2500, 500, 30000, true},
    {"reality_spider_timeout_ms", &DetectConfig::realitySpiderTimeoutMs, 5000, 500, 60000, false},
    {"reality_spider_max", &DetectConfig::realitySpiderMax, 8, 0, 64, false},
    {"wake_reset_sec", &DetectConfig::wakeResetSec, 240, 30, 3600, true},
    {"wake_skip_if_traffic_sec", &DetectConfig::wakeSkipIfTrafficSec, 30, 5, 600, true},
};

struct BoolRow {
    const char* key;
    bool DetectConfig::*field;
    bool def;
};

const std::vector<BoolRow> boolRows = {
    {"hb_enabled", &DetectConfig::enabled, true},
    {"diag_phase_stats", &DetectConfig::diagPhaseStats, true},
    {"diag_sched_canary", &DetectConfig::diagSchedCanary, true},
    {"diag_stall_dump", &DetectConfig::diagStallDump, true},
    {"ignore_memory_limit", &DetectConfig::ignoreMemoryLimit, false},
};

}  // namespace

TEST(DetectConfig, BakedHasEveryDefaultAndAnEmptyObjectYieldsIt) {
    const DetectConfig baked = DetectConfig::baked();
    for (const auto& row : intRows) EXPECT_EQ(baked.*row.field, row.def) << row.key;
    for (const auto& row : boolRows) EXPECT_EQ(baked.*row.field, row.def) << row.key;
    EXPECT_TRUE(baked.hbURL.starts_with("http://"));
    EXPECT_TRUE(baked.hbURL.ends_with("/generate_204"));
    EXPECT_EQ(DetectConfig::parse(json::object()), baked);
    for (const auto& notObject : {json(), json::array({1}), json(5), json("x")})
        EXPECT_EQ(DetectConfig::parse(notObject), baked) << notObject.dump();
}

TEST(DetectConfig, EveryIntegerFieldTakesDefaultsAndInclusiveLimits) {
    for (const auto& row : intRows) {
        const std::int64_t zeroGives = row.zeroStays ? 0 : std::clamp<std::int64_t>(0, row.low, row.high);
        const std::int64_t mid = (row.low + row.high) / 2;
        const std::vector<std::pair<json, std::int64_t>> cases = {
            {json(), row.def},                            // null
            {json::array({mid}), row.def},                // mistyped
            {json::object({{"v", mid}}), row.def},        // mistyped
            {json(std::to_string(mid) + "ms"), row.def},  // unreadable text
            {json(" " + std::to_string(mid)), row.def},   // blank inside the text
            {json(std::to_string(mid)), mid},             // digits as text
            {json(mid), mid},
            {json(static_cast<double>(mid) + 0.7), mid},  // cut toward zero
            {json(row.low), row.low},                     // limits are inclusive
            {json(row.high), row.high},
            {json(row.low - 1), row.low},
            {json(row.high + 1), row.high},
            {json(-5), row.low},  // negative: raised to the lower limit, also where 0 stays
            {json(std::int64_t{1} << 40), row.high},
            {json(0), zeroGives},
            {json(0.0), zeroGives},
            {json("0"), zeroGives},
        };
        for (const auto& [value, expected] : cases) {
            DetectConfig want = DetectConfig::baked();
            want.*row.field = expected;
            EXPECT_EQ(DetectConfig::parse(json{{row.key, value}}), want) << row.key << " = " << value.dump();
        }
        // A missing key takes the default whatever else is there.
        EXPECT_EQ(DetectConfig::parse(json{{"unrelated", 1}}).*row.field, row.def) << row.key;
    }
}

TEST(DetectConfig, EveryBooleanFieldReadsTolerantly) {
    for (const auto& row : boolRows) {
        const std::vector<std::pair<json, bool>> cases = {
            {json(), row.def},           {json::array(), row.def}, {json::object(), row.def},
            {json(true), true},          {json(false), false},     {json(0), false},
            {json(2), true},             {json(0.5), true},        {json("TRUE"), true},
            {json("True"), true},        {json("1"), true},        {json("no"), false},
            {json("yes"), false},        {json("false"), false},   {json(""), false},
            {json(" true"), false},
        };
        for (const auto& [value, expected] : cases) {
            DetectConfig want = DetectConfig::baked();
            want.*row.field = expected;
            EXPECT_EQ(DetectConfig::parse(json{{row.key, value}}), want) << row.key << " = " << value.dump();
        }
    }
}

TEST(DetectConfig, HeartbeatURLMustBeginWithHttp) {
    const std::string def = DetectConfig::baked().hbURL;
    const std::vector<std::pair<json, std::string>> cases = {
        {json("ftp://example.test/generate_204"), def},
        {json("HTTP://example.test/generate_204"), def},
        {json(204), def},
        {json(), def},
        {json("https://example.test/generate_204"), "https://example.test/generate_204"},
        {json("http://127.0.0.1:8080/generate_204"), "http://127.0.0.1:8080/generate_204"},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(DetectConfig::parse(json{{"hb_url", value}}).hbURL, expected) << value.dump();
}

TEST(DetectConfig, IntegerReaderAcceptsOnlyWholeDecimalText) {
    const std::vector<std::pair<json, std::optional<std::int64_t>>> cases = {
        {json("+7"), 7},
        {json("-3"), -3},
        {json("-9223372036854775808"), std::numeric_limits<std::int64_t>::min()},
        {json("9223372036854775808"), std::nullopt},  // overflow
        {json("+"), std::nullopt},
        {json("-"), std::nullopt},
        {json("+-1"), std::nullopt},
        {json("12.5"), std::nullopt},
        {json("1e3"), std::nullopt},
        {json("0x10"), std::nullopt},
        {json(""), std::nullopt},
        {json(2.9), 2},
        {json(-2.9), -2},
        {json(1e300), std::numeric_limits<std::int64_t>::max()},
        {json(), std::nullopt},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(DetectConfig::readInt(value), expected) << value.dump();
}

TEST(DetectConfig, StoredObjectIsKeptAsReceivedAndReadWithLimits) {
    test::TempDir dir;
    KavriStore store(dir.path());
    EXPECT_EQ(DetectConfig::current(store), DetectConfig::baked());
    EXPECT_EQ(DetectConfig::rawDict(store), std::nullopt);

    const json detect = {{"hb_interval_ms", 100}, {"wake_reset_sec", 0}, {"custom", "kept"}};
    DetectConfig::persist(detect, {"ref"}, store);
    EXPECT_EQ(DetectConfig::rawDict(store), detect);  // the server's values, not the limited ones
    EXPECT_EQ(DetectConfig::current(store).hbIntervalMs, 1000);
    EXPECT_EQ(DetectConfig::current(store).wakeResetSec, 0);

    // Anything but an object leaves the stored one in place.
    for (const auto& notObject : {std::optional<json>(), std::optional<json>(json::array({1})),
                                  std::optional<json>(json(3)), std::optional<json>(json())})
        DetectConfig::persist(notObject, {}, store);
    EXPECT_EQ(DetectConfig::rawDict(store), detect);

    // A new object replaces the old one whole.
    DetectConfig::persist(json{{"hb_timeout_ms", 700}}, {}, store);
    EXPECT_EQ(DetectConfig::current(store).hbIntervalMs, 2500);
    EXPECT_EQ(DetectConfig::current(store).hbTimeoutMs, 700);

    // Any local user can write the store: an object nested a million levels
    // deep would exhaust the stack when it is copied or sent to the engine.
    const std::string deep = R"({"hb_timeout_ms":700,"x":)" + std::string(1'000'000, '[') +
                             std::string(1'000'000, ']') + "}";
    for (const auto& damaged :
         {PlistValue(Data{"{not json"}), PlistValue(Data{"[1,2]"}), PlistValue("{}"), PlistValue(Data{deep})}) {
        store.set(KavriDefaultsKey::detectConfigJSON, damaged);
        EXPECT_EQ(DetectConfig::current(store), DetectConfig::baked());
        EXPECT_EQ(DetectConfig::rawDict(store), std::nullopt);
    }
}
