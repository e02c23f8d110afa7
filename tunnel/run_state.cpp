#include "tunnel/run_state.h"

#include <utility>

namespace kavri {

RunState::RunState()
    : lastPollAt_(StallWatch::distantPast()),
      lastWakeAt_(StallWatch::distantPast()),
      lastNetChangeAt_(StallWatch::distantPast()) {}

bool RunState::beginPoll(Clock::WallTime now) {
    std::lock_guard lock(mutex_);
    if (now - lastPollAt_ < pollThrottle) return false;
    lastPollAt_ = now;
    return true;
}

void RunState::resetPollThrottle() {
    std::lock_guard lock(mutex_);
    lastPollAt_ = StallWatch::distantPast();
}

bool RunState::claimRunEnd() {
    std::lock_guard lock(mutex_);
    return !std::exchange(runEnding_, true);
}

void RunState::reopenRun() {
    std::lock_guard lock(mutex_);
    runEnding_ = false;
}

StallWatch::Decision RunState::decideStall(const StallWatch::Config& config, const StallWatch::Snapshot& sample,
                                           Clock::WallTime now, bool foreground) {
    std::lock_guard lock(mutex_);
    StallWatch::relaxLadder(stallState_, now);
    return StallWatch::decide(config, stallState_, sample, now, foreground, lastNetChangeAt_);
}

void RunState::noteSwitched(const StallWatch::Config& config, Clock::WallTime now) {
    std::lock_guard lock(mutex_);
    StallWatch::noteSwitched(config, stallState_, now);
}

bool RunState::groupProbeDue(Clock::WallTime now, std::int64_t probeSec) const {
    std::lock_guard lock(mutex_);
    return std::chrono::duration<double>(now - lastGroupProbeAt_).count() >= static_cast<double>(probeSec);
}

void RunState::noteGroupProbe(Clock::WallTime now) {
    std::lock_guard lock(mutex_);
    lastGroupProbeAt_ = now;
}

std::optional<std::string> RunState::activeMember() const {
    std::lock_guard lock(mutex_);
    return activeMember_;
}

bool RunState::setActiveMember(const std::optional<std::string>& member) {
    std::lock_guard lock(mutex_);
    if (activeMember_ && activeMember_ == member) return false;
    activeMember_ = member;
    return true;
}

Clock::WallTime RunState::noteWake(Clock::WallTime now) {
    std::lock_guard lock(mutex_);
    return std::exchange(lastWakeAt_, now);
}

Clock::WallTime RunState::lastWakeAt() const {
    std::lock_guard lock(mutex_);
    return lastWakeAt_;
}

void RunState::noteNetChange(Clock::WallTime now) {
    std::lock_guard lock(mutex_);
    lastNetChangeAt_ = now;
}

Clock::WallTime RunState::lastNetChangeAt() const {
    std::lock_guard lock(mutex_);
    return lastNetChangeAt_;
}

void RunState::setRunningConfig(std::string text) {
    std::lock_guard lock(mutex_);
    runningConfig_ = std::move(text);
}

bool RunState::runs(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return !runningConfig_ || *runningConfig_ == text;
}

}  // namespace kavri
