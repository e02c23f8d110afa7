#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "api/stack_api.h"
#include "ui/style/palette_color.h"

namespace kavri {

// The latency a location row shows: a measurement of ours ("42 мс"), the
// server's estimate while it is fresh ("~42 мс"), or "—"; coloured by speed.
struct LocationLatency {
    // The server's estimate counts up to this age.
    static constexpr std::int64_t estimateMaxAgeSeconds = 900;

    std::optional<std::int64_t> ms;
    std::string text = "—";
    PaletteColor color = PaletteColor::textSecondary;

    // `measured`: our own measurement, when the row may show one.
    static LocationLatency of(const StackAPI::Catalog::Location& location, std::optional<std::int64_t> measured);
    // rttMs when at least 1 ms and no older than estimateMaxAgeSeconds.
    static std::optional<std::int64_t> freshEstimate(const StackAPI::Catalog::Location& location);
    // Below 80 ms success, up to 200 ms accent, else (and none) secondary.
    static PaletteColor colorFor(std::optional<std::int64_t> ms);

    bool operator==(const LocationLatency&) const = default;
};

}  // namespace kavri
