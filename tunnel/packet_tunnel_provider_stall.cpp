// The stall watchdog and the member probe: two loops over the engine's
// connection table. The watchdog feeds each sample to the stall decision and
// carries out its verdict (drop every connection, or ask the backend for a
// configuration that sheds the current server); the member probe measures the
// proxy group's members for telemetry while connections exist.
#include <climits>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "core/kavri_defaults_key.h"
#include "platform/runtime/log.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kavri {
namespace {

using json = nlohmann::json;

// A JSON number that is a whole 64-bit integer (a whole floating-point value
// included); nothing for anything else.
std::optional<std::int64_t> wholeNumber(const json& v) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::int64_t> wholeNumber(const PlistValue& v) {
    if (const auto* i = v.get<std::int64_t>()) return *i;
    if (const auto* d = v.get<double>()) return wholeNumber(json(*d));
    return std::nullopt;
}

// The "connections" array of a connection table when it is an array of
// objects; nothing otherwise.
const json* connectionList(const json& table) {
    if (!table.is_object()) return nullptr;
    const auto it = table.find("connections");
    if (it == table.end() || !it->is_array()) return nullptr;
    for (const auto& c : *it)
        if (!c.is_object()) return nullptr;
    return &*it;
}

std::string format(const char* pattern, std::int64_t a, std::int64_t b = 0, std::int64_t c = 0, std::int64_t d = 0) {
    char line[256];
    std::snprintf(line, sizeof line, pattern, static_cast<long long>(a), static_cast<long long>(b),
                  static_cast<long long>(c), static_cast<long long>(d));
    return line;
}

}  // namespace

// ---- Samples ------------------------------------------------------------------

StallWatch::Snapshot PacketTunnelProvider::snapshotOf(const json& table) {
    StallWatch::Snapshot s;
    if (!table.is_object()) return s;
    const auto total = [&](const char* key) -> std::int64_t {
        const auto it = table.find(key);
        return it == table.end() ? 0 : wholeNumber(*it).value_or(0);
    };
    s.downBytes = total("downloadTotal");
    s.upBytes = total("uploadTotal");
    if (const json* list = connectionList(table)) {
        s.openStreams = static_cast<int>(std::min<std::size_t>(list->size(), INT_MAX));
        for (const auto& c : *list)
            if (const auto id = c.find("id"); id != c.end() && id->is_string()) s.connIDs.insert(id->get<std::string>());
    }
    return s;
}

std::optional<StallWatch::Snapshot> PacketTunnelProvider::connectionsSnapshot(std::stop_token stop) {
    const auto table = clash_.clashGET("connections", stop);
    if (!table) return std::nullopt;
    return snapshotOf(*table);
}

// ---- Stall watchdog -------------------------------------------------------------

void PacketTunnelProvider::startStallTask() {
    restartTask(stallTask_, [this](std::stop_token stop) {
        while (!stop.stop_requested()) {
            // The settings are read afresh on every pass: switching the
            // watchdog on or changing its period needs no restart.
            const StallWatch::Config config = StallWatch::Config::stored(store_);
            telemetry_.update([&](Telemetry::Fields& f) { f.stallWatchVersion = config.version; });
            clock_.sleepFor(std::chrono::milliseconds(std::llround(config.pollMs)), stop);
            if (stop.stop_requested()) return;
            stallWatchPass(config, stop);
        }
    });
}

void PacketTunnelProvider::stallWatchPass(const StallWatch::Config& config, std::stop_token stop) {
    if (!config.enabled) return;
    const auto snapshot = connectionsSnapshot(stop);
    if (!snapshot || stop.stop_requested()) return;
    const auto now = clock_.wallNow();
    const bool foreground = store_.string(KavriDefaultsKey::appState) == "foreground";

    StallWatch::Decision verdict;
    {
        std::lock_guard lock(mutex_);
        StallWatch::relaxLadder(stallState_, now);
        verdict = StallWatch::decide(config, stallState_, *snapshot, now, foreground, lastNetChangeAt_);
        // A failed shed is not recorded by the decision, which therefore
        // proposes the switch again on every sample. Ask the backend again
        // only once the poll spacing has passed since the failure.
        if (verdict.kind == StallWatch::Decision::Kind::switchCandidate && lastFailedShedAt_ &&
            now - *lastFailedShedAt_ < settings_.shedRetrySpacing)
            return;
    }

    json healResult = {{"stall_ms", verdict.stallMs},
                       {"streams_killed", verdict.streams},
                       {"new_conns", verdict.newConns},
                       {"sw_version", config.version},
                       {"foreground", foreground}};
    std::string action;
    std::string result;
    switch (verdict.kind) {
        case StallWatch::Decision::Kind::nothing:
            return;
        case StallWatch::Decision::Kind::rebuild:
            Log::line(format("[Kavri] сторож: молчание %lld мс, %lld соединений, %lld новых → пересборка #%lld",
                             verdict.stallMs, verdict.streams, verdict.newConns, verdict.index));
            clash_.closeAllConnections(stop);
            action = "rebuild_streams";
            result = "ok";
            healResult["rebuild_index"] = verdict.index;
            break;
        case StallWatch::Decision::Kind::switchCandidate: {
            Log::line(format("[Kavri] сторож: %lld мс молчания после пересборок → просим шед", verdict.stallMs));
            resetPollThrottle();  // the shed must not be refused for a recent poll
            const bool ok = selfHealPoll("stall_shed", true, stop);
            {
                std::lock_guard lock(mutex_);
                if (ok) {
                    StallWatch::noteSwitched(config, stallState_, clock_.wallNow());
                    lastFailedShedAt_.reset();
                } else {
                    lastFailedShedAt_ = now;
                }
            }
            action = "shed";
            result = ok ? "ok" : "failed";
            break;
        }
    }

    // Reported only with a subscription token; the action happened anyway.
    // A run that ended meanwhile (a revoked subscription ends it from within
    // the shed poll) reports nothing more.
    if (stop.stop_requested()) return;
    const auto token = subToken();
    if (!token) return;
    telemetry_.sendEvent(*token, "heal", std::nullopt,
                         {{"reason", "stalled_session"}, {"action", action}, {"result", result}, {"heal_result", healResult}},
                         stop);
}

// ---- Member probe ---------------------------------------------------------------

std::int64_t PacketTunnelProvider::memberProbeSec(const std::optional<PlistValue>& stallWatchRaw) {
    constexpr std::int64_t kDefault = 20;
    if (!stallWatchRaw) return kDefault;
    const auto* dict = stallWatchRaw->get<PlistValue::Dict>();
    if (!dict) return kDefault;
    const auto it = dict->find("member_probe_sec");
    if (it == dict->end()) return kDefault;
    return wholeNumber(it->second).value_or(kDefault);
}

std::map<std::string, std::int64_t> PacketTunnelProvider::memberDelaysOf(const json& reply) {
    std::map<std::string, std::int64_t> delays;
    if (!reply.is_object()) return delays;
    for (const auto& [member, value] : reply.items())
        if (const auto ms = wholeNumber(value); ms && *ms >= 1) delays[member] = *ms;
    return delays;
}

void PacketTunnelProvider::startMemberProbeTask() {
    restartTask(memberTask_, [this](std::stop_token stop) {
        while (!stop.stop_requested()) {
            const std::int64_t probeSec = memberProbeSec(store_.object(KavriDefaultsKey::stallWatchRaw));
            clock_.sleepFor(settings_.memberProbeTick, stop);
            if (stop.stop_requested()) return;
            memberProbePass(probeSec, stop);
        }
    });
}

void PacketTunnelProvider::memberProbePass(std::int64_t probeSec, std::stop_token stop) {
    if (probeSec < 1) return;
    const auto now = clock_.wallNow();
    {
        std::lock_guard lock(mutex_);
        if (std::chrono::duration<double>(now - lastGroupProbeAt_).count() < static_cast<double>(probeSec)) return;
    }
    // Only while connections exist; otherwise the probe runs as soon as some appear.
    const auto table = clash_.clashGET("connections", stop);
    const json* list = table ? connectionList(*table) : nullptr;
    if (!list || list->empty()) return;
    {
        std::lock_guard lock(mutex_);
        lastGroupProbeAt_ = now;
    }
    const auto reply = clash_.clashGET("group/" + ClashClient::encode(clash_.probeTag()) + "/delay?timeout=3000", stop);
    if (!reply) return;  // the previous delays stay
    telemetry_.update([&](Telemetry::Fields& f) { f.memberDelays = memberDelaysOf(*reply); });
}

}  // namespace kavri
