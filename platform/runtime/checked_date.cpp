#include "platform/runtime/checked_date.h"

#include <cmath>

namespace kavri {
namespace {

using namespace std::chrono;

static_assert(CheckedDate::Date::period::num == 1, "a Date counts fractions of a second");

constexpr std::int64_t firstSecond = sys_seconds{sys_days{year{1678} / January / 1}}.time_since_epoch().count();
constexpr std::int64_t endSecond = sys_seconds{sys_days{year{2262} / January / 1}}.time_since_epoch().count();

}  // namespace

CheckedDate::Date CheckedDate::earliest() { return Date(seconds(firstSecond)); }

CheckedDate::Date CheckedDate::latest() { return Date(seconds(endSecond)) - Date::duration(1); }

std::optional<CheckedDate::Date> CheckedDate::fromUnixSeconds(std::int64_t whole, nanoseconds fraction) {
    // Checked before anything is multiplied, so no step can overflow: the
    // fraction moves the moment by at most its own size.
    const std::int64_t carry = fraction.count() / 1'000'000'000;
    const nanoseconds rest(fraction.count() % 1'000'000'000);
    if (whole < firstSecond - carry - 1 || whole > endSecond - carry) return std::nullopt;
    const Date date = Date(seconds(whole + carry)) + duration_cast<Date::duration>(rest);
    if (date < earliest() || date > latest()) return std::nullopt;
    return date;
}

std::optional<CheckedDate::Date> CheckedDate::fromUnixSeconds(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    const double whole = std::floor(value);
    // Out of range long before the integer conversion could overflow.
    if (whole < static_cast<double>(firstSecond) - 1 || whole > static_cast<double>(endSecond))
        return std::nullopt;
    const auto nanos = static_cast<std::int64_t>(std::llround((value - whole) * 1e9));
    return fromUnixSeconds(static_cast<std::int64_t>(whole), nanoseconds(nanos));
}

}  // namespace kavri
