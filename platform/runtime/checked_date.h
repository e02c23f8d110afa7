#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace kavri {

// The one way a count of seconds since 1970-01-01T00:00:00Z becomes a Date,
// for dates read from text and from numbers alike. A Date counts nanoseconds
// in 64 bits and so holds only the years 1677 to 2262; a moment outside the
// whole years 1678 to 2261 (which leaves room for a day's arithmetic either
// way), or a number that is no moment at all, gives no date: the caller
// treats it as an unreadable date, never as a wrapped one.
class CheckedDate {
public:
    using Date = std::chrono::system_clock::time_point;

    // The earliest and latest moment accepted: 1678-01-01T00:00:00Z and
    // 2261-12-31T23:59:59.999999999Z.
    static Date earliest();
    static Date latest();

    static std::optional<Date> fromUnixSeconds(std::int64_t seconds,
                                               std::chrono::nanoseconds fraction = std::chrono::nanoseconds{0});
    // Fractions kept to the nanosecond; NaN and the infinities give nothing.
    static std::optional<Date> fromUnixSeconds(double seconds);
};

}  // namespace kavri
