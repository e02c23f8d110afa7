#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavri {

// Puts arbitrary text into a POSIX shell command as one literal word.
class ShellQuote {
public:
    // The text inside single quotes, each single quote written as '\''.
    // Nothing for text that holds a NUL byte, which no shell word can carry.
    static std::optional<std::string> singleQuoted(std::string_view text);
    // The text as it must stand between double quotes to stay literal: a
    // backslash before each '"', '$', '`' and '\'. The caller adds the quotes.
    static std::string insideDoubleQuotes(std::string_view text);
};

}  // namespace kavri
