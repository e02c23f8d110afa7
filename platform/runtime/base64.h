#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// Standard base64 (RFC 4648 alphabet with "=" padding) over byte strings.
class Base64 {
public:
    static std::string encode(std::string_view bytes);
    // Strict: only the alphabet, length a multiple of 4, padding only at the
    // end; any white space or other character makes it fail.
    static std::optional<std::string> decode(std::string_view text);
};

}  // namespace kavri
