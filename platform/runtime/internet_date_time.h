#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace kavri {

// Internet date-times ("2025-01-31T10:00:00Z", "2025-01-31T13:00:00.123+03:00"),
// read the way the system's ISO 8601 formatter reads them: a full date, "T",
// a full time, then "Z" or a "+hh:mm"/"-hh:mm" offset. A bare date, a time
// without a zone or anything around the text is refused, and so is a moment
// outside what a Date holds (CheckedDate).
class InternetDateTime {
public:
    using Date = std::chrono::system_clock::time_point;

    enum class Fraction {
        required,  // the seconds carry "." and one or more digits
        absent,    // whole seconds only
    };

    static std::optional<Date> parse(std::string_view text, Fraction fraction);
    // With fractional seconds first, then without: the form the backend's
    // dates come in either way.
    static std::optional<Date> parseEitherForm(std::string_view text);
};

}  // namespace kavri
