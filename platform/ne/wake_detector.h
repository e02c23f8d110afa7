#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/runtime/clock.h"
#include "platform/runtime/task.h"

namespace kavri {

// Notices that the machine came back from suspend. Linux tells a process no
// such thing, but CLOCK_BOOTTIME keeps counting while the machine sleeps and
// CLOCK_MONOTONIC does not: the gap between them grows by the time slept. A
// cheap check every `interval` compares the gap with the previous one.
class WakeDetector {
public:
    struct Readings {
        std::chrono::nanoseconds boottime{};
        std::chrono::nanoseconds monotonic{};
    };
    using ReadingsSource = std::function<Readings()>;
    using WakeHandler = std::function<void(std::chrono::nanoseconds slept)>;

    struct Config {
        Clock::Duration interval = std::chrono::seconds(5);
        // A growth of the gap below this is not counted as sleep.
        std::chrono::nanoseconds threshold = std::chrono::seconds(1);
        // The two clock readings; the kernel's by default.
        ReadingsSource readings;
    };

    static Readings kernelReadings();

    // Takes the first readings at once and checks every interval of `clock`
    // on a task of its own until destroyed.
    WakeDetector(Config config, Clock& clock, WakeHandler onWake);
    ~WakeDetector();
    WakeDetector(const WakeDetector&) = delete;
    WakeDetector& operator=(const WakeDetector&) = delete;

    // One check: the time slept since the previous check, when it reaches the
    // threshold (the handler is not called from here).
    std::optional<std::chrono::nanoseconds> check();

private:
    Config config_;
    Clock& clock_;
    WakeHandler onWake_;
    std::mutex mutex_;
    std::chrono::nanoseconds lastGap_{};
    Task task_;
};

}  // namespace kavri
