#include "core/stall_watch.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include <nlohmann/json.hpp>

#include "core/kavri_defaults_key.h"
#include "core/kavri_store.h"

namespace kavri {

namespace {

constexpr double kRebuildWindowSec = 60.0;

std::optional<std::int64_t> wholeFromDouble(double d) {
    // 2^63 is exactly representable; every whole double below it fits.
    if (!std::isfinite(d) || std::trunc(d) != d) return std::nullopt;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

// Field access over the stored property-list dictionary.
struct PlistFields {
    const PlistValue::Dict& dict;

    const PlistValue* find(const char* key) const {
        auto it = dict.find(key);
        return it == dict.end() ? nullptr : &it->second;
    }
    static std::optional<std::int64_t> whole(const PlistValue& v) {
        if (auto i = v.get<std::int64_t>()) return *i;
        if (auto d = v.get<double>()) return wholeFromDouble(*d);
        return std::nullopt;
    }
    std::optional<std::int64_t> whole(const char* key) const {
        const PlistValue* v = find(key);
        return v ? whole(*v) : std::nullopt;
    }
    std::optional<bool> boolean(const char* key) const {
        const PlistValue* v = find(key);
        if (!v) return std::nullopt;
        if (auto b = v->get<bool>()) return *b;
        return std::nullopt;
    }
    std::optional<std::vector<std::int64_t>> wholeArray(const char* key) const {
        const PlistValue* v = find(key);
        if (!v) return std::nullopt;
        const auto* array = v->get<PlistValue::Array>();
        if (!array) return std::nullopt;
        std::vector<std::int64_t> out;
        for (const PlistValue& element : *array) {
            auto n = whole(element);
            if (!n) return std::nullopt;
            out.push_back(*n);
        }
        return out;
    }
};

// Field access over a JSON object.
struct JsonFields {
    const nlohmann::json& object;

    static std::optional<std::int64_t> whole(const nlohmann::json& v) {
        if (v.is_number_unsigned()) {
            auto u = v.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
            return static_cast<std::int64_t>(u);
        }
        if (v.is_number_integer()) return v.get<std::int64_t>();
        if (v.is_number_float()) return wholeFromDouble(v.get<double>());
        return std::nullopt;
    }
    const nlohmann::json* find(const char* key) const {
        auto it = object.find(key);
        return it == object.end() ? nullptr : &*it;
    }
    std::optional<std::int64_t> whole(const char* key) const {
        const nlohmann::json* v = find(key);
        return v ? whole(*v) : std::nullopt;
    }
    std::optional<bool> boolean(const char* key) const {
        const nlohmann::json* v = find(key);
        if (!v || !v->is_boolean()) return std::nullopt;
        return v->get<bool>();
    }
    std::optional<std::vector<std::int64_t>> wholeArray(const char* key) const {
        const nlohmann::json* v = find(key);
        if (!v || !v->is_array()) return std::nullopt;
        std::vector<std::int64_t> out;
        for (const nlohmann::json& element : *v) {
            auto n = whole(element);
            if (!n) return std::nullopt;
            out.push_back(*n);
        }
        return out;
    }
};

template <class Fields>
StallWatch::Config configFrom(const Fields& f) {
    StallWatch::Config c;
    auto clamped = [&](const char* key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) {
        return std::clamp(f.whole(key).value_or(fallback), lo, hi);
    };
    c.enabled = f.boolean("enabled").value_or(c.enabled);
    c.version = f.whole("version").value_or(c.version);
    c.stallSeconds = static_cast<int>(clamped("stall_seconds", c.stallSeconds, 3, 120));
    c.stallSecondsBg = static_cast<int>(clamped("stall_seconds_bg", c.stallSecondsBg, 3, 300));
    c.minNewConns = static_cast<int>(clamped("min_new_conns", c.minNewConns, 1, 100));
    c.pathChangeGraceMs = static_cast<double>(clamped("path_change_grace_ms", 5000, 0, 60000));
    c.maxRebuildsPerMin = static_cast<int>(clamped("max_rebuilds_per_min", c.maxRebuildsPerMin, 1, 20));
    if (auto ladder = f.wholeArray("cooldown_ladder_sec")) {
        std::vector<std::int64_t> kept;
        std::copy_if(ladder->begin(), ladder->end(), std::back_inserter(kept),
                     [](std::int64_t s) { return s > 0; });
        if (!kept.empty()) c.cooldownLadderSec = std::move(kept);
    }
    c.pollMs = static_cast<double>(clamped("poll_ms", 2000, 500, 30000));
    c.rebuildsBeforeSwitch = static_cast<int>(clamped("rebuilds_before_switch", c.rebuildsBeforeSwitch, 1, 10));
    c.switchMinIntervalSec = static_cast<double>(clamped("switch_min_interval_sec", 600, 30, 3600));
    c.quietAfterSwitchSec = static_cast<double>(clamped("quiet_after_switch_sec", 60, 5, 600));
    return c;
}

double millisSinceEpoch(Date t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

// Milliseconds from `earlier` to `later`, without overflow for far-apart times.
double millisBetween(Date later, Date earlier) { return millisSinceEpoch(later) - millisSinceEpoch(earlier); }

// now + seconds, held at the largest representable time instead of wrapping.
Date addSeconds(Date now, double seconds) {
    const double room = millisBetween(Date::max(), now) / 1000.0;
    if (seconds >= room) return Date::max();
    return now + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
}

// Forgets rebuilds older than the one-minute window (exactly 60 s stays).
void pruneRebuilds(StallWatch::State& state, Date now) {
    std::erase_if(state.rebuildsAt,
                  [&](Date t) { return millisBetween(now, t) / 1000.0 > kRebuildWindowSec; });
}

}  // namespace

StallWatch::Config StallWatch::Config::parse(const std::optional<PlistValue>& raw) {
    if (!raw) return {};
    const auto* dict = raw->get<PlistValue::Dict>();
    if (!dict) return {};
    return configFrom(PlistFields{*dict});
}

StallWatch::Config StallWatch::Config::parseJson(const nlohmann::json& raw) {
    if (!raw.is_object()) return {};
    return configFrom(JsonFields{raw});
}

StallWatch::Config StallWatch::Config::stored(KavriStore& store) {
    return parse(store.object(KavriDefaultsKey::stallWatchRaw));
}

StallWatch::Decision StallWatch::decide(const Config& config, State& state, const Snapshot& snapshot,
                                        Date now, bool foreground, Date lastPathChange) {
    // 1. Disabled: keep following the samples so that enabling starts afresh.
    if (!config.enabled) {
        state.lastBytes = snapshot.downBytes;
        state.lastChangeAt = now;
        state.seenIDs = snapshot.connIDs;
        state.newConnsInWindow = 0;
        state.rebuildsSinceBytes = 0;
        return Decision::nothing();
    }

    // 2. Connections that were not there at the last sample.
    const auto newCount = std::count_if(snapshot.connIDs.begin(), snapshot.connIDs.end(),
                                        [&](const std::string& id) { return !state.seenIDs.contains(id); });
    state.seenIDs = snapshot.connIDs;

    // 3. Downloads moved (or first sample): the silence ends.
    if (state.lastBytes < 0 || state.lastBytes != snapshot.downBytes) {
        state.lastBytes = snapshot.downBytes;
        state.lastChangeAt = now;
        state.newConnsInWindow = 0;
        state.rebuildsSinceBytes = 0;
        return Decision::nothing();
    }

    // 4. The silence goes on.
    state.newConnsInWindow = static_cast<int>(
        std::min<std::int64_t>(INT_MAX, static_cast<std::int64_t>(state.newConnsInWindow) + newCount));

    // 5.
    if (!state.lastChangeAt) {
        state.lastChangeAt = now;
        return Decision::nothing();
    }
    // 6, 7.
    if (now < state.quietUntil) return Decision::nothing();
    if (now < state.cooldownUntil) return Decision::nothing();
    // 8. Network grace.
    if (millisBetween(now, lastPathChange) <= config.pathChangeGraceMs) return Decision::nothing();

    // 9. Long enough?
    const double silenceMs = millisBetween(now, *state.lastChangeAt);
    const std::int64_t stallMs = silenceMs >= static_cast<double>(INT64_MAX)
                                     ? INT64_MAX
                                     : static_cast<std::int64_t>(std::trunc(silenceMs));
    const std::int64_t thresholdMs =
        static_cast<std::int64_t>(foreground ? config.stallSeconds : config.stallSecondsBg) * 1000;
    if (stallMs < thresholdMs) return Decision::nothing();

    // 10. Somebody is trying to use the tunnel.
    if (snapshot.openStreams < 1 || state.newConnsInWindow < config.minNewConns) return Decision::nothing();

    // 11.
    pruneRebuilds(state, now);

    // 12. Per-minute limit still open.
    if (static_cast<std::int64_t>(state.rebuildsAt.size()) < config.maxRebuildsPerMin) {
        if (state.rebuildsSinceBytes < config.rebuildsBeforeSwitch) {
            state.rebuildsAt.push_back(now);
            state.rebuildsSinceBytes += 1;
            state.lastChangeAt = now;
            return Decision::rebuild(stallMs, snapshot.openStreams, state.newConnsInWindow,
                                     state.rebuildsSinceBytes);
        }
        if (millisBetween(now, state.lastSwitchAt) / 1000.0 >= config.switchMinIntervalSec) {
            return Decision::switchCandidate(stallMs, snapshot.openStreams, state.newConnsInWindow);
        }
        return Decision::nothing();
    }

    // 13. Limit reached: the next cooldown of the ladder.
    static const std::vector<std::int64_t> kDefaultLadder = Config{}.cooldownLadderSec;
    const std::vector<std::int64_t>& ladder =
        config.cooldownLadderSec.empty() ? kDefaultLadder : config.cooldownLadderSec;
    const int n = static_cast<int>(ladder.size());
    const int step = std::max(state.ladderStep, 0);
    const std::int64_t cooldown = step < n ? ladder[step] : ladder.back();
    state.cooldownUntil = addSeconds(now, static_cast<double>(cooldown));
    state.ladderStep = std::min(step + 1, n - 1);
    return Decision::nothing();
}

void StallWatch::noteSwitched(const Config& config, State& state, Date now) {
    state.lastSwitchAt = now;
    state.quietUntil = addSeconds(now, config.quietAfterSwitchSec);
    state.rebuildsSinceBytes = 0;
    state.newConnsInWindow = 0;
    state.lastChangeAt = now;
}

void StallWatch::relaxLadder(State& state, Date now) {
    // Rebuilds older than the window no longer count as recent, even when no
    // stall has come by since to drop them.
    pruneRebuilds(state, now);
    if (state.rebuildsAt.empty() && now > state.cooldownUntil && state.ladderStep > 0) {
        state.ladderStep = 0;
    }
}

}  // namespace kavri
