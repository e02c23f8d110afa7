#pragma once

#include <string>
#include <string_view>

namespace kavri {

class Utf8 {
public:
    // True when `bytes` is well-formed UTF-8: no stray continuation bytes, no
    // truncated or overlong sequences, no surrogates, nothing above U+10FFFF.
    static bool isValid(std::string_view bytes);
    // The first `count` characters (code points) of a UTF-8 text; the whole
    // text when it is shorter. Never cuts a character in half.
    static std::string prefix(std::string_view text, std::size_t count);
    // `text` without the white space and line breaks (the Unicode White_Space
    // set) at either end.
    static std::string_view trimmedWhitespace(std::string_view text);
};

}  // namespace kavri
