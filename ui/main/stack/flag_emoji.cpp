#include "ui/main/stack/flag_emoji.h"

namespace kavri {

std::string flagEmoji(std::string_view countryCode) {
    std::string flag;
    for (char c : countryCode) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        if (c < 'A' || c > 'Z') continue;
        // U+1F1E6 + (c - 'A') in UTF-8: F0 9F 87 A6..BF.
        const unsigned point = 0x1F1E6u + unsigned(c - 'A');
        flag += char(0xF0 | (point >> 18));
        flag += char(0x80 | ((point >> 12) & 0x3F));
        flag += char(0x80 | ((point >> 6) & 0x3F));
        flag += char(0x80 | (point & 0x3F));
    }
    return flag.empty() ? std::string("\U0001F3F3\uFE0F") : flag;
}

}  // namespace kavri
