#include "platform/runtime/shell_quote.h"

namespace kavri {

std::optional<std::string> ShellQuote::singleQuoted(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

std::string ShellQuote::insideDoubleQuotes(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '$' || c == '`' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace kavri
