#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/plist_value.h"

namespace kavri {

class KavriStore;

// The stall decision: from one sample of the engine's connection table at a
// time it tells the watchdog to do nothing, to drop every connection so that
// they are rebuilt, or (after rebuilds did not help) to ask the backend for
// another server. It rate-limits itself with a grace time after a network
// change, a per-minute rebuild limit with a growing cooldown, and a quiet time
// after a switch. No input or output: the caller passes the settings, the
// state, the sample and the time.
class StallWatch {
public:
    // The server's "stall_watch" object with defaults and limits applied.
    struct Config {
        bool enabled = false;
        std::int64_t version = 0;
        int stallSeconds = 8;                 // 3 ... 120, foreground
        int stallSecondsBg = 16;              // 3 ... 300, background
        int minNewConns = 1;                  // 1 ... 100
        double pathChangeGraceMs = 5000;      // 0 ... 60000
        int maxRebuildsPerMin = 3;            // 1 ... 20
        std::vector<std::int64_t> cooldownLadderSec{5, 15, 30};  // never empty, entries > 0
        double pollMs = 2000;                 // 500 ... 30000
        int rebuildsBeforeSwitch = 2;         // 1 ... 10
        double switchMinIntervalSec = 600;    // 30 ... 3600
        double quietAfterSwitchSec = 60;      // 5 ... 600

        // Reads the stored object tolerantly: anything but a dictionary gives
        // the defaults; each key independently falls back to its default
        // when missing or mistyped; numbers are clamped to their limits.
        static Config parse(const std::optional<PlistValue>& raw);
        // The same over a JSON value (the server's reply).
        static Config parseJson(const nlohmann::json& raw);
        // The settings stored under "stall_watch_raw".
        static Config stored(KavriStore& store);

        bool operator==(const Config&) const = default;
    };

    // One sample of the engine's connection table.
    struct Snapshot {
        std::int64_t downBytes = 0;
        std::int64_t upBytes = 0;  // carried, not used by the decision
        int openStreams = 0;
        std::set<std::string> connIDs;
    };

    // The watchdog's memory, kept for the life of a tunnel run.
    struct State {
        std::int64_t lastBytes = -1;  // -1: no sample yet
        std::optional<Date> lastChangeAt;
        std::set<std::string> seenIDs;
        int newConnsInWindow = 0;
        std::vector<Date> rebuildsAt;
        int rebuildsSinceBytes = 0;
        Date cooldownUntil = distantPast();
        int ladderStep = 0;
        Date lastSwitchAt = distantPast();
        Date quietUntil = distantPast();
    };

    struct Decision {
        enum class Kind { rebuild, switchCandidate, nothing };
        Kind kind = Kind::nothing;
        std::int64_t stallMs = 0;
        int streams = 0;
        int newConns = 0;
        int index = 0;  // rebuild only: rebuilds since bytes last moved, from 1

        static Decision rebuild(std::int64_t stallMs, int streams, int newConns, int index) {
            return {Kind::rebuild, stallMs, streams, newConns, index};
        }
        static Decision switchCandidate(std::int64_t stallMs, int streams, int newConns) {
            return {Kind::switchCandidate, stallMs, streams, newConns, 0};
        }
        static Decision nothing() { return {}; }

        bool operator==(const Decision&) const = default;
    };

    // Judges one sample and updates the state.
    static Decision decide(const Config& config, State& state, const Snapshot& snapshot, Date now,
                           bool foreground, Date lastPathChange);
    // Records a switch that the backend carried out.
    static void noteSwitched(const Config& config, State& state, Date now);
    // Forgets the cooldown ladder once no rebuild is remembered and the last
    // cooldown is over.
    static void relaxLadder(State& state, Date now);

    // A time long before any real one ("never").
    static constexpr Date distantPast() { return Date(std::chrono::seconds(-2'208'988'800)); }
};

}  // namespace kavri
