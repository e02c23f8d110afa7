#pragma once

#include <string_view>

namespace kavri {

class Utf8 {
public:
    // True when `bytes` is well-formed UTF-8: no stray continuation bytes, no
    // truncated or overlong sequences, no surrogates, nothing above U+10FFFF.
    static bool isValid(std::string_view bytes);
};

}  // namespace kavri
