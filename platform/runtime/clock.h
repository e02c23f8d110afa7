#pragma once

#include <chrono>
#include <stop_token>

namespace kavri {

// Source of time for every loop, time-out and time stamp. Production code uses
// Clock::system(); tests hand a FakeClock to the object under test.
class Clock {
public:
    using WallTime = std::chrono::system_clock::time_point;
    using MonoTime = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~Clock() = default;

    virtual WallTime wallNow() const = 0;
    virtual MonoTime monoNow() const = 0;

    // Sleeps for `d` of this clock's monotonic time. Returns false as soon as a
    // stop is requested on `stop` (true when the whole time passed).
    virtual bool sleepFor(Duration d, std::stop_token stop) = 0;

    // Seconds since 1970 as a double, as the wire formats want it.
    double unixSeconds() const;
    // Milliseconds of monotonic time since an arbitrary origin.
    std::int64_t monoMillis() const;

    static Clock& system();
};

class SystemClock final : public Clock {
public:
    WallTime wallNow() const override;
    MonoTime monoNow() const override;
    bool sleepFor(Duration d, std::stop_token stop) override;
};

}  // namespace kavri
