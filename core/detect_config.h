#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/kavri_store.h"

namespace kavri {

// The server-tunable settings of failure detection: heartbeat and member
// switching, the self-heal polling interval, engine diagnostics and limits,
// the memory-limit start option and the reaction to waking. The server sends
// them as the "detect" object of a subscription reply's "_kavri_meta"; it is
// stored as received under "detect_config_json" and read back with a default
// and inclusive limits for every field, so that no value can stop the tunnel.
struct DetectConfig {
    bool enabled = true;                          // "hb_enabled"
    std::int64_t hbIntervalMs = 2500;             // "hb_interval_ms", 1000 ... 30000
    std::int64_t hbIntervalBgMs = 45000;          // "hb_interval_bg_ms", 5000 ... 300000
    std::int64_t hbTimeoutMs = 2000;              // "hb_timeout_ms", 500 ... 10000
    std::int64_t hbMissToSwitch = 2;              // "hb_miss_to_switch", 1 ... 10
    std::int64_t hbGraceAfterPathMs = 15000;      // "hb_grace_after_path_ms", 0 ... 60000
    std::string hbURL = defaultHeartbeatURL;      // "hb_url", text beginning with "http"
    std::int64_t switchMinIntervalMs = 15000;     // "switch_min_interval_ms", 5000 ... 600000
    std::int64_t maxSwitchPerHour = 20;           // "max_switch_per_hour", 0 ... 100
    std::int64_t configPollSec = 900;             // "config_poll_sec", 60 ... 3600
    std::int64_t stalledAgeSec = 5;               // "stalled_age_sec", 1 ... 600
    std::int64_t tlsHandshakeTimeoutMs = 2500;    // "tls_handshake_timeout_ms", 0 or 500 ... 30000
    std::int64_t realitySpiderTimeoutMs = 5000;   // "reality_spider_timeout_ms", 500 ... 60000
    std::int64_t realitySpiderMax = 8;            // "reality_spider_max", 0 ... 64
    bool diagPhaseStats = true;                   // "diag_phase_stats"
    bool diagSchedCanary = true;                  // "diag_sched_canary"
    bool diagStallDump = true;                    // "diag_stall_dump"
    bool ignoreMemoryLimit = false;               // "ignore_memory_limit"
    std::int64_t wakeResetSec = 240;              // "wake_reset_sec", 0 or 30 ... 3600
    std::int64_t wakeSkipIfTrafficSec = 30;       // "wake_skip_if_traffic_sec", 0 or 5 ... 600

    static constexpr const char* defaultHeartbeatURL = "http://www.gstatic.com/generate_204";

    bool operator==(const DetectConfig&) const = default;

    // Every field at its default.
    static DetectConfig baked();
    // The record from a decoded "detect" value (null when absent); anything
    // but an object gives baked(). Never fails.
    static DetectConfig parse(const nlohmann::json& raw);
    // Deepest nesting a stored object may have (as deep as a fetched reply
    // may nest); a deeper one is unreadable.
    static constexpr std::size_t maxNesting = 256;
    // The stored object as received, or nothing when absent or unreadable.
    static std::optional<nlohmann::json> rawDict(KavriStore& store = KavriStore::shared());
    // The record in force now, read from the store on every call.
    static DetectConfig current(KavriStore& store = KavriStore::shared());
    // The stored form of `detectRaw` (its compact JSON) when it is an object
    // that can be written; nothing otherwise.
    static std::optional<std::string> storedForm(const std::optional<nlohmann::json>& detectRaw);
    // Stores `detectRaw` when it is an object; anything else keeps the stored
    // value. `detectRefs` has no effect.
    static void persist(const std::optional<nlohmann::json>& detectRaw, const std::vector<std::string>& detectRefs,
                        KavriStore& store = KavriStore::shared());

    // Tolerant readers: a number (true/false included) or the texts "true"
    // and "1" in any case for Booleans; an integer, a number cut toward zero
    // or a whole decimal text for integers. Nothing for null or other types.
    static std::optional<bool> readBool(const nlohmann::json& value);
    static std::optional<std::int64_t> readInt(const nlohmann::json& value);
};

}  // namespace kavri
