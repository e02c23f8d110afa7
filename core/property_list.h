#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/plist_value.h"

namespace kavri {

// Property-list files on libplist: any format is read, the binary one written.
class PropertyList {
public:
    // The value at the top of the file, or nothing when it does not parse.
    static std::optional<PlistValue> decode(std::string_view bytes);
    // The binary form, or nothing when a value has no property-list form
    // (a date outside what the format holds).
    static std::optional<std::string> encodeBinary(const PlistValue& value);
};

}  // namespace kavri
