#include "core/plist_value.h"

#include <cstdint>
#include <nlohmann/json.hpp>

#include "platform/runtime/base64.h"

namespace kavri {

PlistValue PlistValue::fromJson(const nlohmann::json& json) {
    switch (json.type()) {
        case nlohmann::json::value_t::string:
            return PlistValue(json.get<std::string>());
        case nlohmann::json::value_t::boolean:
            return PlistValue(json.get<bool>());
        case nlohmann::json::value_t::number_integer:
            return PlistValue(json.get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned: {
            // Beyond the signed range only a real keeps the magnitude.
            const auto u = json.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(INT64_MAX)) return PlistValue(static_cast<double>(u));
            return PlistValue(static_cast<std::int64_t>(u));
        }
        case nlohmann::json::value_t::number_float:
            return PlistValue(json.get<double>());
        case nlohmann::json::value_t::array: {
            Array items;
            for (const auto& item : json)
                if (!item.is_null()) items.push_back(fromJson(item));
            return PlistValue(std::move(items));
        }
        case nlohmann::json::value_t::object: {
            Dict dict;
            for (const auto& [k, v] : json.items())
                if (!v.is_null()) dict.emplace(k, fromJson(v));
            return PlistValue(std::move(dict));
        }
        default:
            return PlistValue(std::string());
    }
}

nlohmann::json PlistValue::toJson() const {
    struct Visitor {
        nlohmann::json operator()(const std::string& s) const { return s; }
        nlohmann::json operator()(const Data& d) const { return Base64::encode(d.bytes); }
        nlohmann::json operator()(std::int64_t i) const { return i; }
        nlohmann::json operator()(double d) const { return d; }
        nlohmann::json operator()(bool b) const { return b; }
        nlohmann::json operator()(const Date& d) const {
            return std::chrono::duration<double>(d.time_since_epoch()).count();
        }
        nlohmann::json operator()(const Array& a) const {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& item : a) out.push_back(item.toJson());
            return out;
        }
        nlohmann::json operator()(const Dict& d) const {
            nlohmann::json out = nlohmann::json::object();
            for (const auto& [k, v] : d) out[k] = v.toJson();
            return out;
        }
    };
    return std::visit(Visitor{}, v_);
}

}  // namespace kavri
