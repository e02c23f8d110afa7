#include "platform/runtime/json_depth.h"

#include <limits>

namespace kavri {
namespace {

// Walks the text once; gives up (returning limit + 1) as soon as the depth
// passes `limit`.
std::size_t scan(std::string_view text, std::size_t limit) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
            case '"':
                inString = true;
                break;
            case '[':
            case '{':
                if (++depth > deepest) {
                    deepest = depth;
                    if (deepest > limit) return deepest;
                }
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default:
                break;
        }
    }
    return deepest;
}

}  // namespace

std::size_t JsonDepth::of(std::string_view text) { return scan(text, std::numeric_limits<std::size_t>::max()); }

bool JsonDepth::within(std::string_view text, std::size_t limit) { return scan(text, limit) <= limit; }

}  // namespace kavri
