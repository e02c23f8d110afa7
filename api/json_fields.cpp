#include "api/json_fields.h"

#include <cmath>
#include <limits>

#include "platform/runtime/json_depth.h"

namespace kavri {
namespace {

[[noreturn]] void mismatch(const std::string& path, const char* expected) {
    throw DecodingError(DecodingError::Kind::typeMismatch, path, expected);
}

}  // namespace

nlohmann::json JsonFields::parse(std::string_view text, std::size_t nestingLimit) {
    if (!JsonDepth::within(text, nestingLimit))
        throw DecodingError(DecodingError::Kind::dataCorrupted, "",
                            "nested deeper than " + std::to_string(nestingLimit));
    auto value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) throw DecodingError(DecodingError::Kind::dataCorrupted, "", "the data is not valid JSON");
    return value;
}

JsonFields::JsonFields(const nlohmann::json& object, std::string path) : object_(object), path_(std::move(path)) {
    if (!object_.is_object()) mismatch(path_, "an object");
}

std::string JsonFields::pathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

const nlohmann::json& JsonFields::required(std::string_view key) const {
    const auto it = object_.find(key);
    if (it == object_.end()) throw DecodingError(DecodingError::Kind::keyNotFound, pathOf(key), "");
    if (it->is_null()) mismatch(pathOf(key), "a value, found null");
    return *it;
}

const nlohmann::json* JsonFields::optional(std::string_view key) const {
    const auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string JsonFields::requiredString(std::string_view key) const { return stringValue(required(key), pathOf(key)); }

std::optional<std::string> JsonFields::optionalString(std::string_view key) const {
    if (const auto* v = optional(key)) return stringValue(*v, pathOf(key));
    return std::nullopt;
}

std::int64_t JsonFields::requiredInt64(std::string_view key) const { return int64Value(required(key), pathOf(key)); }

std::optional<std::int64_t> JsonFields::optionalInt64(std::string_view key) const {
    if (const auto* v = optional(key)) return int64Value(*v, pathOf(key));
    return std::nullopt;
}

double JsonFields::requiredDouble(std::string_view key) const { return doubleValue(required(key), pathOf(key)); }

std::optional<double> JsonFields::optionalDouble(std::string_view key) const {
    if (const auto* v = optional(key)) return doubleValue(*v, pathOf(key));
    return std::nullopt;
}

bool JsonFields::requiredBool(std::string_view key) const { return boolValue(required(key), pathOf(key)); }

std::optional<bool> JsonFields::optionalBool(std::string_view key) const {
    if (const auto* v = optional(key)) return boolValue(*v, pathOf(key));
    return std::nullopt;
}

std::string JsonFields::stringValue(const nlohmann::json& value, const std::string& path) {
    if (!value.is_string()) mismatch(path, "a text");
    return value.get<std::string>();
}

std::int64_t JsonFields::int64Value(const nlohmann::json& value, const std::string& path) {
    if (value.is_number_unsigned()) {  // (also an "integer" to the JSON library)
        const auto u = value.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(u);
    } else if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    } else if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
    }
    mismatch(path, "a 64-bit integer");
}

double JsonFields::doubleValue(const nlohmann::json& value, const std::string& path) {
    if (!value.is_number()) mismatch(path, "a number");
    return value.get<double>();
}

bool JsonFields::boolValue(const nlohmann::json& value, const std::string& path) {
    if (!value.is_boolean()) mismatch(path, "a Boolean");
    return value.get<bool>();
}

}  // namespace kavri
