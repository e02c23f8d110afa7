#include "core/detect_config.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <limits>

#include "core/kavri_defaults_key.h"
#include "platform/runtime/decimal.h"
#include "platform/runtime/json_depth.h"

namespace kavri {
namespace {

struct IntField {
    std::int64_t DetectConfig::*field;
    const char* key;
    std::int64_t low, high;
    bool zeroStays;  // exactly 0 switches the behaviour off
};

struct BoolField {
    bool DetectConfig::*field;
    const char* key;
};

constexpr std::array<IntField, 14> intFields{{
    {&DetectConfig::hbIntervalMs, "hb_interval_ms", 1000, 30000, false},
    {&DetectConfig::hbIntervalBgMs, "hb_interval_bg_ms", 5000, 300000, false},
    {&DetectConfig::hbTimeoutMs, "hb_timeout_ms", 500, 10000, false},
    {&DetectConfig::hbMissToSwitch, "hb_miss_to_switch", 1, 10, false},
    {&DetectConfig::hbGraceAfterPathMs, "hb_grace_after_path_ms", 0, 60000, false},
    {&DetectConfig::switchMinIntervalMs, "switch_min_interval_ms", 5000, 600000, false},
    {&DetectConfig::maxSwitchPerHour, "max_switch_per_hour", 0, 100, false},
    {&DetectConfig::configPollSec, "config_poll_sec", 60, 3600, false},
    {&DetectConfig::stalledAgeSec, "stalled_age_sec", 1, 600, false},
    {&DetectConfig::tlsHandshakeTimeoutMs, "tls_handshake_timeout_ms", 500, 30000, true},
    {&DetectConfig::realitySpiderTimeoutMs, "reality_spider_timeout_ms", 500, 60000, false},
    {&DetectConfig::realitySpiderMax, "reality_spider_max", 0, 64, false},
    {&DetectConfig::wakeResetSec, "wake_reset_sec", 30, 3600, true},
    {&DetectConfig::wakeSkipIfTrafficSec, "wake_skip_if_traffic_sec", 5, 600, true},
}};

constexpr std::array<BoolField, 5> boolFields{{
    {&DetectConfig::enabled, "hb_enabled"},
    {&DetectConfig::diagPhaseStats, "diag_phase_stats"},
    {&DetectConfig::diagSchedCanary, "diag_sched_canary"},
    {&DetectConfig::diagStallDump, "diag_stall_dump"},
    {&DetectConfig::ignoreMemoryLimit, "ignore_memory_limit"},
}};

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
    static const nlohmann::json absent;
    const auto it = object.find(key);
    return it == object.end() ? absent : *it;
}

// A double cut toward zero; values beyond the 64-bit range stop at its ends.
std::int64_t truncate(double d) {
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (std::isnan(d)) return 0;
    if (d >= limit) return std::numeric_limits<std::int64_t>::max();
    if (d <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(std::trunc(d));
}

std::optional<nlohmann::json> decodeStored(KavriStore& store) {
    const auto bytes = store.data(KavriDefaultsKey::detectConfigJSON);
    if (!bytes || !JsonDepth::within(*bytes, DetectConfig::maxNesting)) return std::nullopt;
    auto value = nlohmann::json::parse(*bytes, nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

}  // namespace

DetectConfig DetectConfig::baked() { return DetectConfig{}; }

std::optional<bool> DetectConfig::readBool(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer()) return value.get<std::int64_t>() != 0;
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() != 0;
    if (value.is_number_float()) return value.get<double>() != 0.0;
    if (value.is_string()) {
        std::string text = value.get<std::string>();
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text == "true" || text == "1";
    }
    return std::nullopt;
}

std::optional<std::int64_t> DetectConfig::readInt(const nlohmann::json& value) {
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(u);
    }
    if (value.is_number_float()) return truncate(value.get<double>());
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;  // true and false are numbers on the wire's decoder
    if (value.is_string()) return Decimal::int64(value.get_ref<const std::string&>());
    return std::nullopt;
}

DetectConfig DetectConfig::parse(const nlohmann::json& raw) {
    DetectConfig config;
    if (!raw.is_object()) return config;
    for (const auto& f : boolFields)
        if (const auto v = readBool(member(raw, f.key))) config.*f.field = *v;
    for (const auto& f : intFields) {
        const auto v = readInt(member(raw, f.key));
        if (!v) continue;
        config.*f.field = (f.zeroStays && *v == 0) ? 0 : std::clamp(*v, f.low, f.high);
    }
    const auto& url = member(raw, "hb_url");
    if (url.is_string() && url.get_ref<const std::string&>().starts_with("http")) config.hbURL = url.get<std::string>();
    return config;
}

std::optional<nlohmann::json> DetectConfig::rawDict(KavriStore& store) {
    auto value = decodeStored(store);
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

DetectConfig DetectConfig::current(KavriStore& store) {
    const auto value = decodeStored(store);
    return value ? parse(*value) : baked();
}

std::optional<std::string> DetectConfig::storedForm(const std::optional<nlohmann::json>& detectRaw) {
    if (!detectRaw || !detectRaw->is_object()) return std::nullopt;
    try {
        return detectRaw->dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;  // e.g. text that is not valid UTF-8
    }
}

void DetectConfig::persist(const std::optional<nlohmann::json>& detectRaw, const std::vector<std::string>&,
                           KavriStore& store) {
    if (auto bytes = storedForm(detectRaw)) store.set(KavriDefaultsKey::detectConfigJSON, Data{std::move(*bytes)});
}

}  // namespace kavri
