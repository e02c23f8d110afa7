#include "platform/runtime/internet_date_time.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

using namespace std::chrono;
using Fraction = InternetDateTime::Fraction;

TEST(InternetDateTimeTest, ReadsBothFormsAndNothingElse) {
    const auto noon = sys_days(year(2025) / 1 / 31) + hours(10);
    const struct {
        const char* text;
        std::optional<InternetDateTime::Date> withFraction;
        std::optional<InternetDateTime::Date> without;
    } cases[] = {
        {"2025-01-31T10:00:00Z", std::nullopt, noon},
        {"2025-01-31T10:00:00.123Z", noon + milliseconds(123), std::nullopt},
        {"2025-01-31T10:00:00.5Z", noon + milliseconds(500), std::nullopt},
        {"2025-01-31T13:30:00+03:30", std::nullopt, noon},
        {"2025-01-31T05:00:00.000-05:00", noon, std::nullopt},
        {"2024-02-29T00:00:00Z", std::nullopt, sys_days(year(2024) / 2 / 29)},
        {"2025-02-29T00:00:00Z", std::nullopt, std::nullopt},
        {"2025-01-31", std::nullopt, std::nullopt},
        {"2025-01-31T10:00:00", std::nullopt, std::nullopt},
        {"2025-01-31 10:00:00Z", std::nullopt, std::nullopt},
        {"2025-01-31T10:00:00.Z", std::nullopt, std::nullopt},
        {"2025-01-31T24:00:00Z", std::nullopt, std::nullopt},
        {"2025-01-31T10:00:00Z ", std::nullopt, std::nullopt},
        {"1738317600", std::nullopt, std::nullopt},
        // Years a Date cannot hold read as no date, never as a wrapped one.
        {"9999-12-31T23:59:59Z", std::nullopt, std::nullopt},
        {"2262-04-12T00:00:00Z", std::nullopt, std::nullopt},
        {"1677-09-21T00:00:00Z", std::nullopt, std::nullopt},
        {"0000-01-01T00:00:00.5Z", std::nullopt, std::nullopt},
        {"2261-12-31T23:59:59Z", std::nullopt, sys_days(year(2261) / 12 / 31) + hours(23) + minutes(59) + seconds(59)},
        {"1678-01-01T03:00:00+03:00", std::nullopt, sys_days(year(1678) / 1 / 1)},
        {"", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(InternetDateTime::parse(c.text, Fraction::required), c.withFraction);
        EXPECT_EQ(InternetDateTime::parse(c.text, Fraction::absent), c.without);
        EXPECT_EQ(InternetDateTime::parseEitherForm(c.text), c.withFraction ? c.withFraction : c.without);
    }
}

}  // namespace
}  // namespace kavri
