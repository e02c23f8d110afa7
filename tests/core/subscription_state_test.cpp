#include "core/subscription_state.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unordered_set>

using namespace kavri;

TEST(SubscriptionState, RawValuesAreExactAndRoundTrip) {
    const std::vector<std::pair<SubscriptionState, std::string>> all = {
        {SubscriptionState::trial, "trial"},
        {SubscriptionState::paidAutopay, "paid_autopay"},
        {SubscriptionState::paidCancelled, "paid_cancelled"},
        {SubscriptionState::chargeFailed, "charge_failed"},
        {SubscriptionState::granted, "granted"},
        {SubscriptionState::expired, "expired"},
    };
    std::unordered_set<SubscriptionState> seen;
    for (const auto& [state, raw] : all) {
        EXPECT_EQ(state.rawValue(), raw);
        EXPECT_EQ(SubscriptionState::fromRawValue(raw), state);
        EXPECT_EQ(nlohmann::json(state), nlohmann::json(raw));
        EXPECT_EQ(nlohmann::json(raw).get<SubscriptionState>(), state);
        EXPECT_EQ(state.needsPayment(), raw == "charge_failed" || raw == "expired") << raw;
        seen.insert(state);
    }
    EXPECT_EQ(seen.size(), 6u);
    EXPECT_LT(SubscriptionState(SubscriptionState::trial), SubscriptionState(SubscriptionState::expired));

    for (const char* text : {"Trial", "trial ", " trial", "", "paid", "EXPIRED"})
        EXPECT_EQ(SubscriptionState::fromRawValue(text), std::nullopt) << '"' << text << '"';
    EXPECT_EQ(SubscriptionState::fromServerValue(std::nullopt), std::nullopt);
    EXPECT_EQ(SubscriptionState::fromServerValue("expired"), SubscriptionState::expired);
}

TEST(SubscriptionState, DecodingAnythingElseIsDataCorruption) {
    for (const auto& bad : {nlohmann::json("Trial"), nlohmann::json(1), nlohmann::json(nullptr),
                            nlohmann::json::array({"trial"})})
        EXPECT_THROW(bad.get<SubscriptionState>(), SubscriptionState::DataCorrupted) << bad.dump();
}
