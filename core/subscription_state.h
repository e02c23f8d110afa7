#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace kavri {

// The account state as the backend names it. The raw values are compared
// exactly (case-sensitive, no trimming); the cases are ordered as declared.
class SubscriptionState {
public:
    enum Value { trial, paidAutopay, paidCancelled, chargeFailed, granted, expired };

    // Thrown when a coded value is not one of the six raw values.
    struct DataCorrupted : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    constexpr SubscriptionState(Value v) : value_(v) {}

    // The case whose raw value is exactly `raw`.
    static std::optional<SubscriptionState> fromRawValue(std::string_view raw);
    // Nothing for an absent text, else as fromRawValue.
    static std::optional<SubscriptionState> fromServerValue(const std::optional<std::string>& raw);

    constexpr Value value() const { return value_; }
    std::string_view rawValue() const;
    // True for chargeFailed and expired.
    constexpr bool needsPayment() const { return value_ == chargeFailed || value_ == expired; }

    constexpr bool operator==(const SubscriptionState&) const = default;
    constexpr auto operator<=>(const SubscriptionState&) const = default;

private:
    Value value_;
};

}  // namespace kavri

template <>
struct std::hash<kavri::SubscriptionState> {
    std::size_t operator()(const kavri::SubscriptionState& s) const noexcept {
        return std::hash<std::string_view>{}(s.rawValue());
    }
};

// Coded as its raw text, a single JSON string; decoding any other value
// throws SubscriptionState::DataCorrupted.
namespace nlohmann {
template <>
struct adl_serializer<kavri::SubscriptionState> {
    template <class Json>
    static void to_json(Json& j, const kavri::SubscriptionState& s) {
        j = std::string(s.rawValue());
    }
    template <class Json>
    static kavri::SubscriptionState from_json(const Json& j) {
        if (j.is_string())
            if (auto s = kavri::SubscriptionState::fromRawValue(j.template get_ref<const std::string&>())) return *s;
        throw kavri::SubscriptionState::DataCorrupted("not a subscription state: " + j.dump());
    }
};
}  // namespace nlohmann
