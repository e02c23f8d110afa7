#include "platform/runtime/internet_date_time.h"

#include <cstdint>

#include "platform/runtime/checked_date.h"

namespace kavri {
namespace {

// Reads exactly `width` ASCII digits at `pos`.
std::optional<int> digits(std::string_view text, std::size_t& pos, std::size_t width) {
    if (pos + width > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    pos += width;
    return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leapYear(y) ? 29 : days[m - 1];
}

}  // namespace

std::optional<InternetDateTime::Date> InternetDateTime::parse(std::string_view text, Fraction fraction) {
    std::size_t pos = 0;
    const auto year = digits(text, pos, 4);
    if (!year || !expect(text, pos, '-')) return std::nullopt;
    const auto month = digits(text, pos, 2);
    if (!month || *month < 1 || *month > 12 || !expect(text, pos, '-')) return std::nullopt;
    const auto day = digits(text, pos, 2);
    if (!day || *day < 1 || *day > daysInMonth(*year, *month) || !expect(text, pos, 'T')) return std::nullopt;
    const auto hour = digits(text, pos, 2);
    if (!hour || *hour > 23 || !expect(text, pos, ':')) return std::nullopt;
    const auto minute = digits(text, pos, 2);
    if (!minute || *minute > 59 || !expect(text, pos, ':')) return std::nullopt;
    const auto second = digits(text, pos, 2);
    if (!second || *second > 59) return std::nullopt;

    std::chrono::nanoseconds sub{0};
    const bool dotted = pos < text.size() && text[pos] == '.';
    if (dotted != (fraction == Fraction::required)) return std::nullopt;
    if (dotted) {
        ++pos;
        std::int64_t scale = 100'000'000;
        std::size_t count = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (scale > 0) sub += std::chrono::nanoseconds((text[pos] - '0') * scale);
            scale /= 10;
            ++pos;
            ++count;
        }
        if (count == 0) return std::nullopt;
    }

    std::chrono::minutes offset{0};
    if (expect(text, pos, 'Z')) {
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos++] == '-' ? -1 : 1;
        const auto oh = digits(text, pos, 2);
        if (!oh || *oh > 23 || !expect(text, pos, ':')) return std::nullopt;
        const auto om = digits(text, pos, 2);
        if (!om || *om > 59) return std::nullopt;
        offset = std::chrono::minutes(sign * (*oh * 60 + *om));
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;

    // Counted in whole seconds (years 0000 to 9999 fit easily), then made a
    // Date through the one checked conversion: a year the Date cannot hold
    // reads as no date, never as a wrapped one.
    using namespace std::chrono;
    const sys_days date = year_month_day{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                                         std::chrono::day(static_cast<unsigned>(*day))};
    const sys_seconds local = date + hours(*hour) + minutes(*minute) + seconds(*second);
    return CheckedDate::fromUnixSeconds((local - offset).time_since_epoch().count(), sub);
}

std::optional<InternetDateTime::Date> InternetDateTime::parseEitherForm(std::string_view text) {
    if (auto date = parse(text, Fraction::required)) return date;
    return parse(text, Fraction::absent);
}

}  // namespace kavri
