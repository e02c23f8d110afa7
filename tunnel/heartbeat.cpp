#include "tunnel/heartbeat.h"

#include <algorithm>
#include <cmath>

#include "core/stall_watch.h"

namespace kavri {

using json = nlohmann::json;

Heartbeat::Heartbeat(KavriHeartbeatDeps d, Clock& clock) : Heartbeat(std::move(d), clock, Timing{}) {}

Heartbeat::Heartbeat(KavriHeartbeatDeps d, Clock& clock, Timing timing, Jitter jitter)
    : d_(std::move(d)),
      clock_(clock),
      timing_(timing),
      jitter_(jitter ? std::move(jitter) : Jitter(&Heartbeat::drawJitter)),
      lastSeenNetChange_(StallWatch::distantPast()),
      lastSwitchAt_(StallWatch::distantPast()) {}

Heartbeat::~Heartbeat() {
    std::lock_guard lock(taskMutex_);
    task_.cancelAndJoin();
}

void Heartbeat::start() {
    std::lock_guard lock(taskMutex_);
    task_.cancelAndJoin();
    // The old loop has ended: these fields are ours until the new one starts.
    lastSeenNetChange_ = d_.netChangeStamp();
    lastAppState_ = d_.appState();
    task_ = Task([this](std::stop_token stop) { loop(stop); });
}

void Heartbeat::cancel() {
    std::lock_guard lock(taskMutex_);
    task_.cancel();
}

double Heartbeat::drawJitter() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    // The upper end belongs to the range.
    std::uniform_real_distribution<double> factor(0.7, std::nextafter(1.0, 2.0));
    return std::min(factor(engine), 1.0);
}

std::uint64_t Heartbeat::baseInterval(const DetectConfig& cfg, const std::optional<std::string>& appState) const {
    const std::int64_t ms = appState == "foreground" ? cfg.hbIntervalMs : cfg.hbIntervalBgMs;
    return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

std::int64_t Heartbeat::millisBetween(Clock::WallTime from, Clock::WallTime to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

void Heartbeat::clearOutage() {
    missStreak_ = 0;
    ringExhausted_ = false;
    switchesSinceOk_ = 0;
    recoverFrom_.reset();
    recoverStartAt_.reset();
}

void Heartbeat::loop(std::stop_token stop) {
    const auto tickMs = static_cast<std::uint64_t>(timing_.tick.count());
    std::uint64_t elapsedMs = 0;
    std::uint64_t intervalMs = 0;  // 0: not chosen yet
    auto scaled = [](double f, std::uint64_t base) {
        return static_cast<std::uint64_t>(f * static_cast<double>(base));
    };

    while (true) {
        if (!clock_.sleepFor(timing_.tick, stop) || stop.stop_requested()) return;
        const DetectConfig cfg = d_.cfg();

        if (!cfg.enabled) {
            if (missStreak_ != 0 || ringExhausted_) clearOutage();
            if (!clock_.sleepFor(timing_.disabledWait, stop) || stop.stop_requested()) return;
            elapsedMs = 0;
            intervalMs = 0;
            continue;
        }

        if (const auto stamp = d_.netChangeStamp(); stamp != lastSeenNetChange_) {
            lastSeenNetChange_ = stamp;
            clearOutage();
            intervalMs = 0;
            elapsedMs = 0;
        }

        const auto a = d_.appState();
        if (a != lastAppState_) {
            if (a == "foreground") pulseNow_ = true;
            lastAppState_ = a;
            intervalMs = 0;
        }

        if (intervalMs == 0) intervalMs = scaled(jitter_(), baseInterval(cfg, a));

        if (!pulseNow_ && elapsedMs + tickMs < intervalMs) {
            elapsedMs += tickMs;
            continue;
        }

        pulseNow_ = false;
        const std::uint64_t base = baseInterval(cfg, d_.appState());
        const double f = jitter_();
        beat(cfg, stop);
        if (stop.stop_requested()) return;
        elapsedMs = 0;
        intervalMs = scaled(f, base);
    }
}

void Heartbeat::beat(const DetectConfig& cfg, std::stop_token stop) {
    const auto g = d_.groupMembers(stop);
    const std::optional<std::string> now = g ? g->now : std::nullopt;
    const auto probe = d_.heartbeatOnce(cfg.hbURL, cfg.hbTimeoutMs, stop);
    const bool miss = probe.status != okStatus;
    missStreak_ = miss ? missStreak_ + 1 : 0;

    d_.sendEvent("hb", json{{"hb_result", miss ? "miss" : "ok"},
                            {"hb_rtt_ms", probe.rttMs ? json(*probe.rttMs) : json(nullptr)},
                            {"hb_member", now ? json(*now) : json(nullptr)},
                            {"hb_miss_streak", missStreak_}});

    if (miss) {
        const auto sinceNetChange = millisBetween(d_.netChangeStamp(), clock_.wallNow());
        if (missStreak_ >= cfg.hbMissToSwitch && sinceNetChange >= cfg.hbGraceAfterPathMs && !ringExhausted_) {
            missStreak_ = 0;
            switchNext(cfg, stop);
        }
        return;
    }

    if (recoverFrom_ && recoverStartAt_ && now) {
        d_.sendEvent("member_switch", json{{"from", *recoverFrom_},
                                           {"to", *now},
                                           {"reason", "hb_miss"},
                                           {"ms_to_first_hb_ok", millisBetween(*recoverStartAt_, clock_.wallNow())}});
    }
    recoverFrom_.reset();
    recoverStartAt_.reset();
    switchesSinceOk_ = 0;
    ringExhausted_ = false;
}

void Heartbeat::prune() {
    const auto horizon = clock_.wallNow() - switchWindow;
    std::erase_if(switchTimestamps_, [&](Clock::WallTime t) { return t < horizon; });
}

void Heartbeat::switchNext(const DetectConfig& cfg, std::stop_token stop) {
    prune();
    if (cfg.maxSwitchPerHour == 0) {
        d_.sendEvent("switch_capped", json{{"reason", "disabled"}});
        return;
    }
    if (static_cast<std::int64_t>(switchTimestamps_.size()) >= cfg.maxSwitchPerHour) {
        d_.sendEvent("switch_capped", json{{"reason", "max_per_hour"}});
        return;
    }
    if (millisBetween(lastSwitchAt_, clock_.wallNow()) < cfg.switchMinIntervalMs) {
        d_.sendEvent("switch_capped", json{{"reason", "min_interval"}});
        return;
    }

    const auto g = d_.groupMembers(stop);
    if (!g || g->members.size() < 2) return;
    const auto n = g->members.size();
    const auto current = g->now ? std::find(g->members.begin(), g->members.end(), *g->now) : g->members.end();
    const std::string candidate =
        current == g->members.end() ? g->members.front()
                                    : g->members[(static_cast<std::size_t>(current - g->members.begin()) + 1) % n];

    if (switchesSinceOk_ >= static_cast<std::int64_t>(n)) {
        ringExhausted_ = true;
        d_.sendEvent("ring_exhausted", json{{"members_tried", n}});
        return;
    }

    if (!d_.clashSelect(candidate, stop)) return;
    d_.setActiveMember(candidate);
    const auto at = clock_.wallNow();
    lastSwitchAt_ = at;
    switchTimestamps_.push_back(at);
    ++switchesSinceOk_;
    if (!recoverFrom_) {
        recoverFrom_ = g->now;
        recoverStartAt_ = at;
    }
}

}  // namespace kavri
