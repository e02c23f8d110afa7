#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kavri {

class Decimal {
public:
    // A whole decimal number: an optional "+" or "-", then ASCII digits only,
    // within the signed 64-bit range. Nothing for anything else.
    static std::optional<std::int64_t> int64(std::string_view text);
};

}  // namespace kavri
