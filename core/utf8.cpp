#include "core/utf8.h"

namespace kavri {

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
