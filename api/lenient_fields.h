#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kavri {

// Tolerant reading of the members of one JSON object: a member that is
// missing, null or of another type reads as nothing and never disturbs the
// others. Types stay apart as in JsonFields: a number sent as text is no
// number, a Boolean no integer. Reading a value that is no object yields
// nothing for every member.
class LenientFields {
public:
    // `value` must outlive the reader.
    explicit LenientFields(const nlohmann::json& value) : value_(value) {}

    // The member's value when present and not null.
    const nlohmann::json* member(std::string_view key) const;

    std::optional<std::string> string(std::string_view key) const;
    // A number with an integral value within 64 bits.
    std::optional<std::int64_t> int64(std::string_view key) const;
    std::optional<bool> boolean(std::string_view key) const;

    // The member decoded by a strict reader `decode(value, path)`; nothing
    // when the member is absent, null or the reader throws DecodingError.
    template <class Decode>
    auto decoded(std::string_view key, Decode&& decode) const
        -> std::optional<decltype(decode(std::declval<const nlohmann::json&>(), std::string()))>;

private:
    const nlohmann::json& value_;
};

}  // namespace kavri

#include "api/decoding_error.h"

namespace kavri {

template <class Decode>
auto LenientFields::decoded(std::string_view key, Decode&& decode) const
    -> std::optional<decltype(decode(std::declval<const nlohmann::json&>(), std::string()))> {
    const auto* v = member(key);
    if (!v) return std::nullopt;
    try {
        return decode(*v, std::string(key));
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace kavri
