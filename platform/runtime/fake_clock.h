#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>

#include "platform/runtime/clock.h"

namespace kavri {

// A clock that moves only when a test advances it. Sleepers block until the
// clock has been advanced past their deadline or their stop is requested.
class FakeClock final : public Clock {
public:
    FakeClock();
    explicit FakeClock(WallTime wallStart);

    WallTime wallNow() const override;
    MonoTime monoNow() const override;
    bool sleepFor(Duration d, std::stop_token stop) override;

    // Moves both wall and monotonic time forward and wakes due sleepers.
    void advance(Duration d);
    // Sets the wall time alone (monotonic time is unaffected).
    void setWall(WallTime t);

    // Number of threads currently blocked in sleepFor.
    std::size_t sleepers() const;
    // Blocks (in real time, at most `timeout`) until at least `n` threads
    // sleep on this clock. Returns false on time-out.
    bool waitForSleepers(std::size_t n,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Blocks (in real time, at most `timeout`) until at least `n` threads
    // sleep on this clock and none of them is due: every sleeper an advance
    // woke has run and slept again (or left). Returns false on time-out.
    bool waitUntilSettled(std::size_t n,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Advances in `step` increments until `total` has passed, letting each
    // woken sleeper run (waits briefly for the sleepers to settle).
    void advanceInSteps(Duration total, Duration step);

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    WallTime wall_;
    MonoTime mono_;
    std::size_t sleepers_ = 0;
    std::multiset<MonoTime> deadlines_;  // of the threads in sleepFor
};

}  // namespace kavri
