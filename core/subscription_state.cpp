#include "core/subscription_state.h"

#include <array>
#include <utility>

namespace kavri {
namespace {

constexpr std::array<std::pair<SubscriptionState::Value, std::string_view>, 6> rawValues{{
    {SubscriptionState::trial, "trial"},
    {SubscriptionState::paidAutopay, "paid_autopay"},
    {SubscriptionState::paidCancelled, "paid_cancelled"},
    {SubscriptionState::chargeFailed, "charge_failed"},
    {SubscriptionState::granted, "granted"},
    {SubscriptionState::expired, "expired"},
}};

}  // namespace

std::optional<SubscriptionState> SubscriptionState::fromRawValue(std::string_view raw) {
    for (const auto& [value, text] : rawValues)
        if (text == raw) return SubscriptionState(value);
    return std::nullopt;
}

std::optional<SubscriptionState> SubscriptionState::fromServerValue(const std::optional<std::string>& raw) {
    if (!raw) return std::nullopt;
    return fromRawValue(*raw);
}

std::string_view SubscriptionState::rawValue() const {
    for (const auto& [value, text] : rawValues)
        if (value == value_) return text;
    return {};
}

}  // namespace kavri
