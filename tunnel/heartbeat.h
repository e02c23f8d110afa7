#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/detect_config.h"
#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"
#include "tunnel/clash_client.h"

namespace kavri {

// Everything the heartbeat needs of the provider, as eight operations. The
// blocking ones take a stop token so that a stopped heartbeat does not wait
// for a request in flight.
struct KavriHeartbeatDeps {
    // The proxy group: its members in the group's order, the member now
    // selected and the group's type.
    using Group = ClashClient::Group;

    // The detection settings in force (heartbeat disabled without the inbound).
    std::function<DetectConfig()> cfg;
    // The app's state ("foreground", ...), when known.
    std::function<std::optional<std::string>()> appState;
    // Nothing when the group cannot be read or has fewer than two members.
    std::function<std::optional<Group>(std::stop_token)> groupMembers;
    // Selects a member of the group: true when the engine took it.
    std::function<bool(const std::string& member, std::stop_token)> clashSelect;
    // Records the member the group now uses.
    std::function<void(const std::string& member)> setActiveMember;
    // One fetch of `url` through the heartbeat inbound.
    std::function<ClashClient::HeartbeatResult(const std::string& url, std::int64_t timeoutMs, std::stop_token)>
        heartbeatOnce;
    // The time of the last network change.
    std::function<Clock::WallTime()> netChangeStamp;
    // Sends a telemetry event; returns at once.
    std::function<void(const std::string& name, nlohmann::json fields)> sendEvent;
};

// The member heartbeat: at a jittered interval it fetches a small URL through
// the engine's heartbeat inbound, counts missed beats and, after enough
// misses, moves the proxy group to its next member, within the limits on how
// often it may switch. Every beat and every switch decision is reported as a
// telemetry event.
//
// The loop runs on a task of its own; the state below is written by that task
// alone (pulseNow excepted).
class Heartbeat {
public:
    struct Timing {
        // One tick of the loop; the beat interval is counted in ticks.
        std::chrono::milliseconds tick{200};
        // The wait between looks at the settings while disabled.
        std::chrono::milliseconds disabledWait{2000};
    };
    // Draws the jitter factor of an interval, from 0.7 ... 1.0.
    using Jitter = std::function<double()>;

    // Success status of a beat.
    static constexpr int okStatus = 204;
    // The window of the hourly switch limit.
    static constexpr std::chrono::seconds switchWindow{3600};

    explicit Heartbeat(KavriHeartbeatDeps d, Clock& clock = Clock::system());
    Heartbeat(KavriHeartbeatDeps d, Clock& clock, Timing timing, Jitter jitter = nullptr);
    // Stops the loop and waits for it.
    ~Heartbeat();
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    // Starts the loop, replacing a running one.
    void start();
    // Asks the loop to stop and returns at once; destroying the heartbeat
    // waits for the loop.
    void cancel();
    // Asks for a beat at the next tick, whatever the interval.
    void pulse() { pulseNow_ = true; }

    // A uniform draw from the closed range 0.7 ... 1.0.
    static double drawJitter();

private:
    void loop(std::stop_token stop);
    void beat(const DetectConfig& cfg, std::stop_token stop);
    void switchNext(const DetectConfig& cfg, std::stop_token stop);
    void prune();
    void clearOutage();
    std::uint64_t baseInterval(const DetectConfig& cfg, const std::optional<std::string>& appState) const;
    static std::int64_t millisBetween(Clock::WallTime from, Clock::WallTime to);

    KavriHeartbeatDeps d_;
    Clock& clock_;
    Timing timing_;
    Jitter jitter_;
    std::mutex taskMutex_;
    Task task_;

    // Loop state.
    std::int64_t missStreak_ = 0;
    Clock::WallTime lastSeenNetChange_;
    std::optional<std::string> lastAppState_;
    std::atomic<bool> pulseNow_{false};
    Clock::WallTime lastSwitchAt_;
    std::vector<Clock::WallTime> switchTimestamps_;
    bool ringExhausted_ = false;
    std::int64_t switchesSinceOk_ = 0;
    std::optional<std::string> recoverFrom_;
    std::optional<Clock::WallTime> recoverStartAt_;
};

}  // namespace kavri
