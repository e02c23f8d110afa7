#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "api/decoding_error.h"

namespace kavri {

// Strict reading of the members of one JSON object, as the backend's records
// type them: texts, integers, doubles and Booleans are kept apart (a Boolean
// is never a number, a fraction never an integer, a number never a text). A
// required member that is missing or null, or any member of another type,
// throws DecodingError naming its path; an optional member that is missing or
// null reads as absent.
class JsonFields {
public:
    // Deeper nesting than any reply of the backend has.
    static constexpr std::size_t maxNesting = 256;

    // Parses outside text; DecodingError (dataCorrupted) when it is not JSON
    // or nests deeper than `nestingLimit`.
    static nlohmann::json parse(std::string_view text, std::size_t nestingLimit = maxNesting);

    // `object` must be a JSON object, else typeMismatch at `path`. It must
    // outlive the reader.
    JsonFields(const nlohmann::json& object, std::string path);

    const nlohmann::json& object() const { return object_; }
    // "path.key" (or "key" at the top level).
    std::string pathOf(std::string_view key) const;

    // The member's value, which must be present and not null.
    const nlohmann::json& required(std::string_view key) const;
    // The member's value, or nothing when it is missing or null.
    const nlohmann::json* optional(std::string_view key) const;

    std::string requiredString(std::string_view key) const;
    std::optional<std::string> optionalString(std::string_view key) const;
    std::int64_t requiredInt64(std::string_view key) const;
    std::optional<std::int64_t> optionalInt64(std::string_view key) const;
    double requiredDouble(std::string_view key) const;
    std::optional<double> optionalDouble(std::string_view key) const;
    bool requiredBool(std::string_view key) const;
    std::optional<bool> optionalBool(std::string_view key) const;

    // The single-value readers behind the members above.
    static std::string stringValue(const nlohmann::json& value, const std::string& path);
    // A number with an integral value within 64 bits ("5" and "5.0", not "5.5").
    static std::int64_t int64Value(const nlohmann::json& value, const std::string& path);
    static double doubleValue(const nlohmann::json& value, const std::string& path);
    static bool boolValue(const nlohmann::json& value, const std::string& path);

private:
    const nlohmann::json& object_;
    std::string path_;
};

}  // namespace kavri
