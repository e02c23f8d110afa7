#include "core/utf8.h"

namespace kavri {
namespace {

// Length of the white-space or line-break character that starts (atEnd =
// false) or ends (atEnd = true) `s`, 0 when there is none.
std::size_t spaceLength(std::string_view s, bool atEnd) {
    static constexpr std::string_view multiByte[] = {
        "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
        "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029",
        "\u202F", "\u205F", "\u3000"};
    if (s.empty()) return 0;
    const char c = atEnd ? s.back() : s.front();
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    for (std::string_view m : multiByte) {
        if (atEnd ? s.ends_with(m) : s.starts_with(m)) return m.size();
    }
    return 0;
}

}  // namespace

std::string_view Utf8::trimmedWhitespace(std::string_view s) {
    while (std::size_t n = spaceLength(s, false)) s.remove_prefix(n);
    while (std::size_t n = spaceLength(s, true)) s.remove_suffix(n);
    return s;
}

bool Utf8::isValid(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    auto continuation = [&](std::size_t k) { return k < n && (at(k) & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned char c = at(i);
        if (c < 0x80) {
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF) {
            if (!continuation(i + 1)) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!continuation(i + 1) || !continuation(i + 2)) return false;
            const unsigned char c1 = at(i + 1);
            if (c == 0xE0 && c1 < 0xA0) return false;  // overlong
            if (c == 0xED && c1 > 0x9F) return false;  // surrogate
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (!continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3)) return false;
            const unsigned char c1 = at(i + 1);
            if (c == 0xF0 && c1 < 0x90) return false;  // overlong
            if (c == 0xF4 && c1 > 0x8F) return false;  // above U+10FFFF
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

std::string Utf8::prefix(std::string_view text, std::size_t count) {
    std::size_t i = 0, chars = 0;
    while (i < text.size() && chars < count) {
        ++i;
        // Continuation bytes belong to the character already counted.
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
        ++chars;
    }
    return std::string(text.substr(0, i));
}

}  // namespace kavri
