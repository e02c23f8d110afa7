#include "core/plist_value.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace kavri;

TEST(PlistValue, JsonNumbersKeepTheirKinds) {
    const auto v = PlistValue::fromJson(nlohmann::json::parse(R"({"i": -3, "d": 2.5, "b": true, "s": "x", "n": null,
        "big": 18446744073709551615, "a": [1, null, "y"]})"));
    const auto& d = *v.get<PlistValue::Dict>();
    EXPECT_TRUE(d.at("i").is<std::int64_t>());
    EXPECT_TRUE(d.at("d").is<double>());
    EXPECT_TRUE(d.at("b").is<bool>());
    EXPECT_FALSE(d.count("n"));
    EXPECT_GT(*d.at("big").get<double>(), 1.8e19);  // never wraps to a negative integer
    EXPECT_EQ(d.at("a").get<PlistValue::Array>()->size(), 2u);
    EXPECT_EQ(v.toJson(), nlohmann::json::parse(R"({"i": -3, "d": 2.5, "b": true, "s": "x",
        "big": 1.8446744073709552e19, "a": [1, "y"]})"));
}
