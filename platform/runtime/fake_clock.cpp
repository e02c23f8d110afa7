#include "platform/runtime/fake_clock.h"

#include <thread>

namespace kavri {

FakeClock::FakeClock() : FakeClock(WallTime(std::chrono::seconds(1'800'000'000))) {}

FakeClock::FakeClock(WallTime wallStart) : wall_(wallStart), mono_(std::chrono::hours(1000)) {}

Clock::WallTime FakeClock::wallNow() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

Clock::MonoTime FakeClock::monoNow() const {
    std::lock_guard lock(mutex_);
    return mono_;
}

bool FakeClock::sleepFor(Duration d, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (stop.stop_requested()) return false;
    const MonoTime deadline = mono_ + d;
    ++sleepers_;
    const auto mine = deadlines_.insert(deadline);
    changed_.notify_all();
    const bool done = changed_.wait(lock, stop, [&] { return mono_ >= deadline; });
    --sleepers_;
    deadlines_.erase(mine);
    changed_.notify_all();
    return done;
}

void FakeClock::advance(Duration d) {
    std::lock_guard lock(mutex_);
    mono_ += d;
    wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(d);
    changed_.notify_all();
}

void FakeClock::setWall(WallTime t) {
    std::lock_guard lock(mutex_);
    wall_ = t;
    changed_.notify_all();
}

std::size_t FakeClock::sleepers() const {
    std::lock_guard lock(mutex_);
    return sleepers_;
}

bool FakeClock::waitForSleepers(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sleepers_ >= n; });
}

bool FakeClock::waitUntilSettled(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return sleepers_ >= n && (deadlines_.empty() || *deadlines_.begin() > mono_);
    });
}

void FakeClock::advanceInSteps(Duration total, Duration step) {
    for (Duration done{}; done < total; done += step) {
        const std::size_t before = sleepers();
        advance(std::min(step, total - done));
        // Give woken threads a moment to do their work and sleep again.
        for (int i = 0; i < 50 && sleepers() < before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace kavri
