#pragma once

#include <string>
#include <string_view>

namespace kavri {

// Turns whatever the user pasted, or a link carried, into the bare
// subscription token.
class KavriToken {
public:
    // In order: the value of the first query item named exactly "token" (when
    // not empty), whatever the scheme; for an "http://" or "https://" link the
    // last path component unless it is empty, "sub" or "/"; otherwise the text
    // itself. Blanks and line breaks around the text never reach the result.
    static std::string bare(std::string_view text);
};

}  // namespace kavri
