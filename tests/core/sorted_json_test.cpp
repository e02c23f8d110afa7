#include "core/sorted_json.h"

#include <gtest/gtest.h>

#include "core/config_fetcher.h"

using namespace kavri;
using json = nlohmann::json;

namespace {

// What the JSON library makes of the text: parsed, the member erased, dumped
// compact with every "/" escaped; nothing when it cannot parse it.
std::optional<SortedJson::Split> throughTheLibrary(std::string_view text, const std::string& key) {
    auto root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return std::nullopt;
    SortedJson::Split split;
    if (auto it = root.find(key); it != root.end()) split.member = *it;
    root.erase(key);
    for (char c : root.dump()) {
        if (c == '/') split.rest.push_back('\\');
        split.rest.push_back(c);
    }
    return split;
}

TEST(SortedJson, WritesWhatTheLibraryWrites) {
    const std::string cases[] = {
        R"({})",
        R"( { "b" : 1 , "a" : [ 1 , 2 , { "d" : null , "c" : true } ] , "_kavri_meta" : { "v" : 2 } } )",
        R"({"_kavri_meta":{"v":1},"z":{},"y":[],"x":false})",
        R"({"b":1,"a":2,"b":3,"_kavri_meta":1,"_kavri_meta":{"last":true}})",  // the last of equal keys
        R"({"outer":{"k":1,"k":{"deep":[{"b":2,"a":1,"a":0}]}}})",
        R"({"url":"http://a/b/c","a/b":"/","esc":"\/\/x"})",
        R"({"s":"tab\tnl\nquote\"back\\uni\u00e9\u0001\u007f\ud83d\ude00","\u0061":"escaped key"})",
        R"({"\u005fkavri_meta":"dropped by its decoded name","k":1})",
        "{\"utf8\":\"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xf0\x9f\x98\x80\",\"del\":\"\x7f\"}",
        "{\"\xc3\xa9\":1,\"Z\":2,\"z\":3,\"\xe2\x82\xac\":4,\"_\":5}",  // byte order of keys
        R"({"n":[0,-0,7,-7,123456789012345678,-123456789012345678,1234567890123456789,18446744073709551615,18446744073709551616,-9223372036854775808,-9223372036854775809]})",
        R"({"f":[1.0,1.50,-0.0,0.1,1e2,1E+2,2.5e-3,-1.25E-10,123.456e7]})",
        "{\"ws\":\t[\r\n1\n]\r}",
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(text);
        const auto expected = throughTheLibrary(text, "_kavri_meta");
        ASSERT_TRUE(expected);
        const auto split = SortedJson::withoutMember(text, "_kavri_meta");
        ASSERT_TRUE(split);
        EXPECT_EQ(split->rest, expected->rest);
        EXPECT_EQ(split->member, expected->member);
    }
}

TEST(SortedJson, LeavesToTheLibraryWhatItIsNotSureOf) {
    const std::string cases[] = {
        "",
        "[1,2]",
        "\"text\"",
        "\xef\xbb\xbf{\"a\":1}",  // a byte-order mark
        R"({"a":1} x)",
        R"({"a":1,})",
        R"({"a" 1})",
        R"({"a":01})",
        R"({"a":1.})",
        R"({"a":-})",
        R"({"a":1e400})",  // out of the range of a double
        R"({"a":tru})",
        R"({"a":"\x"})",
        R"({"a":"\ud800"})",
        "{\"a\":\"cut\x01\"}",
        "{\"a\":\"\xc0\xaf\"}",  // overlong
        "{\"a\":\"\xed\xa0\x80\"}",  // a surrogate
        R"({"a":"open)",
        std::string(SortedJson::maxNesting, '[') + std::string(SortedJson::maxNesting, ']'),
        "{\"a\":" + std::string(SortedJson::maxNesting, '[') + std::string(SortedJson::maxNesting, ']') + "}",
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(SortedJson::withoutMember(text, "_kavri_meta"));
    }
}

TEST(SortedJson, AReplyReadsTheSameThroughEitherPath) {
    const std::string body =
        R"({"route":{"rules":[{"domain":"x/y"}]},"log":{"level":"warn"},"_kavri_meta":{"pull_interval_seconds":900,)"
        R"("device_removed":true,"control_plane_fallbacks":["h1:1"],"detect":{"hb_interval_ms":2500}}})";
    const auto fast = ConfigFetcher::readReply(body);
    const auto tree = ConfigFetcher::readReply(json::parse(body));
    EXPECT_EQ(fast.fetched.config, tree.fetched.config);
    EXPECT_EQ(fast.fetched.pullIntervalSeconds, tree.fetched.pullIntervalSeconds);
    EXPECT_EQ(fast.fetched.detectRaw, tree.fetched.detectRaw);
    EXPECT_EQ(fast.deviceRemoved, tree.deviceRemoved);
    EXPECT_EQ(fast.fallbacks, tree.fallbacks);
}

}  // namespace
