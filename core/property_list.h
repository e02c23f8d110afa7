#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/plist_value.h"

namespace kavri {

// Property-list files on libplist: any format is read, the binary one written.
class PropertyList {
public:
    // The value at the top of the file, or nothing when it does not parse.
    static std::optional<PlistValue> decode(std::string_view bytes);
    // The binary form, or nothing when a value has no property-list form
    // (a text holding NUL or bytes that are not UTF-8, in a key or a value).
    static std::optional<std::string> encodeBinary(const PlistValue& value);
    // What of `value` has a binary form: a dictionary loses each entry whose
    // key, or whose value as a whole, has none (dictionaries inside are
    // trimmed the same way, an array goes whole); the keys left out are added
    // to `leftOut` as "outer.inner" paths. Nothing when the value itself has
    // no form.
    static std::optional<PlistValue> storablePart(const PlistValue& value, std::vector<std::string>& leftOut);
};

}  // namespace kavri
