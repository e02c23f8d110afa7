#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "core/stall_watch.h"
#include "platform/runtime/clock.h"

namespace kavri {

// What the loops of one tunnel run share: the poll throttle, the stall
// watchdog's memory, the member probe's last time, the group's active member,
// the wake and network-change times and the configuration the engine runs.
// Every operation is one step under the state's own lock.
class RunState {
public:
    // Polls closer than this to the previous one are refused.
    static constexpr std::chrono::seconds pollThrottle{20};

    RunState();

    // Poll throttle: true (and `now` becomes the last poll) when at least
    // pollThrottle has passed since the last poll; false otherwise. Read and
    // written in one step, so that polls started together pass one at a time.
    bool beginPoll(Clock::WallTime now);
    // Lets the next poll through (callers that must not be throttled).
    void resetPollThrottle();
    // Set once a poll met a revoked subscription and ends the run: true for
    // the first caller only. A new start opens the run again.
    bool claimRunEnd();
    void reopenRun();

    // The stall watchdog's memory, kept across restarts of its loop: relaxes
    // the ladder and decides on the sample (with the last network change).
    StallWatch::Decision decideStall(const StallWatch::Config& config, const StallWatch::Snapshot& sample,
                                     Clock::WallTime now, bool foreground);
    void noteSwitched(const StallWatch::Config& config, Clock::WallTime now);

    // The member probe's start time: true when at least `probeSec` seconds
    // have passed since it.
    bool groupProbeDue(Clock::WallTime now, std::int64_t probeSec) const;
    void noteGroupProbe(Clock::WallTime now);

    // The member the proxy group is known to use.
    std::optional<std::string> activeMember() const;
    // True when `member` differs from the known one (and now replaces it).
    bool setActiveMember(const std::optional<std::string>& member);

    // The previous wake (or "revalidate"); `now` becomes the last one.
    Clock::WallTime noteWake(Clock::WallTime now);
    Clock::WallTime lastWakeAt() const;
    void noteNetChange(Clock::WallTime now);
    Clock::WallTime lastNetChangeAt() const;

    // The configuration text the engine runs, as received (before the local
    // paths): the start's, then each reload's. The stored last-good text is
    // not always it, since the app stores every configuration it pulls.
    void setRunningConfig(std::string text);
    // True when the engine runs `text`, or when what it runs is not known.
    bool runs(const std::string& text) const;

private:
    mutable std::mutex mutex_;
    Clock::WallTime lastPollAt_;
    bool runEnding_ = false;
    StallWatch::State stallState_;
    Clock::WallTime lastGroupProbeAt_{};
    std::optional<std::string> activeMember_;
    Clock::WallTime lastWakeAt_;
    Clock::WallTime lastNetChangeAt_;
    std::optional<std::string> runningConfig_;
};

}  // namespace kavri
