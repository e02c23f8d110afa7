#include "platform/runtime/checked_date.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kavri {
namespace {

using namespace std::chrono;
using Date = CheckedDate::Date;

TEST(CheckedDateTest, NumbersOfSecondsBecomeDatesOnlyWithinTheRange) {
    const Date first = sys_days(year(1678) / 1 / 1);
    const Date end = sys_days(year(2262) / 1 / 1);
    const struct {
        double seconds;
        std::optional<Date> date;
    } cases[] = {
        {0, Date{}},
        {1700000000.5, Date(seconds(1700000000)) + milliseconds(500)},
        {-1.25, Date(seconds(-2)) + milliseconds(750)},
        {1e10, std::nullopt},  // the year 2286
        {static_cast<double>(duration_cast<seconds>(first.time_since_epoch()).count()), first},
        {static_cast<double>(duration_cast<seconds>(end.time_since_epoch()).count()), std::nullopt},
        {static_cast<double>(duration_cast<seconds>(first.time_since_epoch()).count()) - 0.5, std::nullopt},
        {1e11, std::nullopt},
        {-1e11, std::nullopt},
        {1e300, std::nullopt},
        {-1e300, std::nullopt},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {-std::numeric_limits<double>::infinity(), std::nullopt},
        {std::nan(""), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(CheckedDate::fromUnixSeconds(c.seconds), c.date);
    }
}

TEST(CheckedDateTest, WholeSecondsAndAFractionStayWithinTheRange) {
    const auto end = duration_cast<seconds>(CheckedDate::latest().time_since_epoch()).count();
    EXPECT_EQ(CheckedDate::fromUnixSeconds(end, nanoseconds(999'999'999)), CheckedDate::latest());
    EXPECT_EQ(CheckedDate::fromUnixSeconds(end + 1), std::nullopt);
    EXPECT_EQ(CheckedDate::fromUnixSeconds(end, seconds(1)), std::nullopt);
    EXPECT_EQ(CheckedDate::fromUnixSeconds(std::numeric_limits<std::int64_t>::max()), std::nullopt);
    EXPECT_EQ(CheckedDate::fromUnixSeconds(std::numeric_limits<std::int64_t>::min()), std::nullopt);
    EXPECT_EQ(CheckedDate::fromUnixSeconds(std::int64_t{60}, -seconds(61)), Date(seconds(-1)));
    EXPECT_EQ(CheckedDate::fromUnixSeconds(std::int64_t{0}, nanoseconds(std::numeric_limits<std::int64_t>::max())),
              std::nullopt);
}

}  // namespace
}  // namespace kavri
