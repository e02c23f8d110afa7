#include "platform/runtime/decimal.h"

#include <charconv>
#include <string>

namespace kavri {

std::optional<std::int64_t> Decimal::int64(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    // Parsed with its sign so that the most negative value fits.
    const std::string signedText = (negative ? "-" : "") + std::string(text);
    std::int64_t out = 0;
    const auto [end, error] = std::from_chars(signedText.data(), signedText.data() + signedText.size(), out);
    if (error != std::errc() || end != signedText.data() + signedText.size()) return std::nullopt;
    return out;
}

}  // namespace kavri
