#include "api/lenient_fields.h"

#include "api/json_fields.h"

namespace kavri {

const nlohmann::json* LenientFields::member(std::string_view key) const {
    if (!value_.is_object()) return nullptr;
    const auto it = value_.find(key);
    if (it == value_.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::string> LenientFields::string(std::string_view key) const {
    const auto* v = member(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<std::int64_t> LenientFields::int64(std::string_view key) const {
    const auto* v = member(key);
    if (!v) return std::nullopt;
    try {
        return JsonFields::int64Value(*v, std::string(key));
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

std::optional<bool> LenientFields::boolean(std::string_view key) const {
    const auto* v = member(key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

}  // namespace kavri
