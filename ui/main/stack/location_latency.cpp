#include "ui/main/stack/location_latency.h"

namespace kavri {

std::optional<std::int64_t> LocationLatency::freshEstimate(const StackAPI::Catalog::Location& location) {
    if (!location.rttMs || *location.rttMs < 1) return std::nullopt;
    if (location.rttAgeSec && *location.rttAgeSec > estimateMaxAgeSeconds) return std::nullopt;
    return location.rttMs;
}

PaletteColor LocationLatency::colorFor(std::optional<std::int64_t> ms) {
    if (!ms || *ms > 200) return PaletteColor::textSecondary;
    return *ms < 80 ? PaletteColor::success : PaletteColor::accent;
}

LocationLatency LocationLatency::of(const StackAPI::Catalog::Location& location,
                                    std::optional<std::int64_t> measured) {
    LocationLatency l;
    if (measured) {
        l.ms = measured;
        l.text = std::to_string(*measured) + " мс";
    } else if (auto estimate = freshEstimate(location)) {
        l.ms = estimate;
        l.text = "~" + std::to_string(*estimate) + " мс";
    }
    l.color = colorFor(l.ms);
    return l;
}

}  // namespace kavri
