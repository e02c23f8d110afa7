#include "platform/runtime/clock.h"

#include <condition_variable>
#include <mutex>

namespace kavri {

double Clock::unixSeconds() const {
    return std::chrono::duration<double>(wallNow().time_since_epoch()).count();
}

std::int64_t Clock::monoMillis() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(monoNow().time_since_epoch()).count();
}

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

Clock::WallTime SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

Clock::MonoTime SystemClock::monoNow() const { return std::chrono::steady_clock::now(); }

bool SystemClock::sleepFor(Duration d, std::stop_token stop) {
    if (stop.stop_requested()) return false;
    if (d <= Duration::zero()) return true;
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    const auto deadline = std::chrono::steady_clock::now() + d;
    // Returns true only when the predicate (never set) held, i.e. never;
    // a stop request or the deadline ends the wait.
    cv.wait_until(lock, stop, deadline, [] { return false; });
    return !stop.stop_requested();
}

}  // namespace kavri
