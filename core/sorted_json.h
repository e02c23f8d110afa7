#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kavri {

// A JSON object written again in one pass over its text, without building
// the JSON library's tree: compact, the keys of every object sorted (the
// last of equal keys kept), "/" written as "\/", one member of the top level
// taken out. The bytes are those the library gives when it parses the text,
// erases the member, dumps the rest and every "/" is escaped; whatever the
// writer is not certain to handle so (text that is not JSON, invalid UTF-8,
// deep nesting, a byte-order mark) it leaves to the library.
class SortedJson {
public:
    struct Split {
        std::string rest;                      // the object without the member, written as above
        std::optional<nlohmann::json> member;  // the member's value (the last of its name), when present
    };
    // Nesting deeper than this is left to the library, whose own limits then apply.
    static constexpr std::size_t maxNesting = 64;

    // The object `text` split around its top-level member `key`; nothing
    // when the text must go through the library instead.
    static std::optional<Split> withoutMember(std::string_view text, std::string_view key);
};

}  // namespace kavri
