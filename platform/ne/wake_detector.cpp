#include "platform/ne/wake_detector.h"

#include <time.h>

namespace kavri {
namespace {

std::chrono::nanoseconds read(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace

WakeDetector::Readings WakeDetector::kernelReadings() {
    Readings r;
    r.monotonic = read(CLOCK_MONOTONIC);
    r.boottime = read(CLOCK_BOOTTIME);
    return r;
}

WakeDetector::WakeDetector(Config config, Clock& clock, WakeHandler onWake)
    : config_(std::move(config)), clock_(clock), onWake_(std::move(onWake)) {
    if (!config_.readings) config_.readings = kernelReadings;
    const Readings first = config_.readings();
    lastGap_ = first.boottime - first.monotonic;
    task_ = Task([this](std::stop_token stop) {
        while (clock_.sleepFor(config_.interval, stop)) {
            if (auto slept = check(); slept && onWake_) onWake_(*slept);
        }
    });
}

WakeDetector::~WakeDetector() { task_.cancelAndJoin(); }

std::optional<std::chrono::nanoseconds> WakeDetector::check() {
    const Readings now = config_.readings();
    const auto gap = now.boottime - now.monotonic;
    std::lock_guard lock(mutex_);
    const auto grown = gap - lastGap_;
    lastGap_ = gap;
    if (grown >= config_.threshold) return grown;
    return std::nullopt;
}

}  // namespace kavri
