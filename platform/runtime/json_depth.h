#pragma once

#include <cstddef>
#include <string_view>

namespace kavri {

// How deeply the arrays and objects of a JSON text nest. The JSON library
// parses any depth, but copying, printing and converting a value recurse once
// per level, so a hostile text a few megabytes long can exhaust the stack;
// readers of outside text check the depth before they parse.
class JsonDepth {
public:
    // The deepest nesting of "[" and "{" outside strings (0 for a scalar).
    // Meant for text about to be parsed: for text that is not JSON the answer
    // only bounds what a parser could build from it.
    static std::size_t of(std::string_view text);
    // True when the text nests at most `limit` deep; stops counting early.
    static bool within(std::string_view text, std::size_t limit);
};

}  // namespace kavri
