#include "tunnel/stall_watchdog.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <utility>

#include "core/kavri_defaults_key.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

using json = nlohmann::json;

std::string format(const char* pattern, std::int64_t a, std::int64_t b = 0, std::int64_t c = 0, std::int64_t d = 0) {
    char line[256];
    std::snprintf(line, sizeof line, pattern, static_cast<long long>(a), static_cast<long long>(b),
                  static_cast<long long>(c), static_cast<long long>(d));
    return line;
}

}  // namespace

StallWatchdog::StallWatchdog(Clock& clock, KavriStore& store, ClashClient& clash, Telemetry& telemetry, RunState& run,
                             Ports ports, std::chrono::milliseconds shedRetrySpacing)
    : clock_(clock),
      store_(store),
      clash_(clash),
      telemetry_(telemetry),
      run_(run),
      ports_(std::move(ports)),
      shedRetrySpacing_(shedRetrySpacing) {}

void StallWatchdog::start(std::vector<Task>& retired) {
    task_.retireInto(retired);
    task_ = Task([this](std::stop_token stop) { loop(stop); });
}

void StallWatchdog::cancel(std::vector<Task>& retired) { task_.retireInto(retired); }

void StallWatchdog::loop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        // The settings are read afresh on every pass: switching the watchdog
        // on or changing its period needs no restart.
        const StallWatch::Config config = StallWatch::Config::stored(store_);
        telemetry_.update([&](Telemetry::Fields& f) { f.stallWatchVersion = config.version; });
        clock_.sleepFor(std::chrono::milliseconds(std::llround(config.pollMs)), stop);
        if (stop.stop_requested()) return;
        pass(config, stop);
    }
}

StallWatch::Snapshot StallWatchdog::snapshotOf(const json& table) {
    StallWatch::Snapshot s;
    if (!table.is_object()) return s;
    const auto total = [&](const char* key) -> std::int64_t {
        const auto it = table.find(key);
        return it == table.end() ? 0 : ClashClient::wholeNumber(*it).value_or(0);
    };
    s.downBytes = total("downloadTotal");
    s.upBytes = total("uploadTotal");
    if (const json* list = ClashClient::connectionList(table)) {
        s.openStreams = static_cast<int>(std::min<std::size_t>(list->size(), INT_MAX));
        for (const auto& c : *list)
            if (const auto id = c.find("id"); id != c.end() && id->is_string()) s.connIDs.insert(id->get<std::string>());
    }
    return s;
}

void StallWatchdog::pass(const StallWatch::Config& config, std::stop_token stop) {
    if (!config.enabled) return;
    // The engine's connection table; a pass without one does nothing.
    const auto table = clash_.clashGET("connections", stop);
    if (!table || stop.stop_requested()) return;
    const StallWatch::Snapshot snapshot = snapshotOf(*table);
    const auto now = clock_.wallNow();
    const bool foreground = store_.string(KavriDefaultsKey::appState) == "foreground";

    const StallWatch::Decision verdict = run_.decideStall(config, snapshot, now, foreground);
    {
        // A failed shed is not recorded by the decision, which therefore
        // proposes the switch again on every sample. Ask the backend again
        // only once the poll spacing has passed since the failure.
        std::lock_guard lock(mutex_);
        if (verdict.kind == StallWatch::Decision::Kind::switchCandidate && lastFailedShedAt_ &&
            now - *lastFailedShedAt_ < shedRetrySpacing_)
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
            run_.resetPollThrottle();  // the shed must not be refused for a recent poll
            const bool ok = ports_.shedPoll(stop);
            if (ok) run_.noteSwitched(config, clock_.wallNow());
            {
                std::lock_guard lock(mutex_);
                if (ok)
                    lastFailedShedAt_.reset();
                else
                    lastFailedShedAt_ = now;
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
    const auto token = ports_.subToken();
    if (!token) return;
    telemetry_.sendEvent(*token, "heal", std::nullopt,
                         {{"reason", "stalled_session"}, {"action", action}, {"result", result}, {"heal_result", healResult}},
                         stop);
}

}  // namespace kavri
