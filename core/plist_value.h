#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace kavri {

// Raw bytes, kept apart from text so that a stored value keeps its type.
struct Data {
    std::string bytes;
    bool operator==(const Data&) const = default;
};

using Date = std::chrono::system_clock::time_point;

// One property-list value: text, data, integer, real, boolean, date, array or
// dictionary with text keys.
class PlistValue {
public:
    using Array = std::vector<PlistValue>;
    using Dict = std::map<std::string, PlistValue>;
    using Variant = std::variant<std::string, Data, std::int64_t, double, bool, Date, Array, Dict>;

    PlistValue() : v_(std::string()) {}
    PlistValue(std::string s) : v_(std::move(s)) {}
    PlistValue(const char* s) : v_(std::string(s)) {}
    PlistValue(Data d) : v_(std::move(d)) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    PlistValue(T i) : v_(static_cast<std::int64_t>(i)) {}
    PlistValue(double d) : v_(d) {}
    PlistValue(bool b) : v_(b) {}
    PlistValue(Date d) : v_(d) {}
    PlistValue(Array a) : v_(std::move(a)) {}
    PlistValue(Dict d) : v_(std::move(d)) {}

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(v_);
    }
    template <class T>
    const T* get() const {
        return std::get_if<T>(&v_);
    }
    const Variant& variant() const { return v_; }
    bool operator==(const PlistValue& other) const { return v_ == other.v_; }

    // JSON objects, arrays, texts, booleans and numbers map one to one
    // (integers stay integers, doubles stay doubles); null has no property-list
    // form and is left out of objects and arrays (fromJson of a bare null
    // gives the empty text).
    static PlistValue fromJson(const nlohmann::json& json);
    // Data becomes base64 text, dates seconds since 1970.
    nlohmann::json toJson() const;

private:
    Variant v_;
};

}  // namespace kavri
