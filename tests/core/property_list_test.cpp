#include "core/property_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace kavri;
using namespace std::string_literals;

namespace {

// One object of a binary property list: its marker and bytes, then the
// objects it refers to (containers only).
struct Object {
    std::string head;
    std::vector<std::uint32_t> refs;
};

// The marker of a container of `count` references: the count in the marker,
// or after it as a four-byte integer.
std::string containerHead(unsigned char type, std::size_t count) {
    if (count < 15) return std::string(1, static_cast<char>(type | count));
    std::string head{static_cast<char>(type | 0x0F), '\x12'};
    for (int shift = 24; shift >= 0; shift -= 8) head.push_back(static_cast<char>((count >> shift) & 0xFF));
    return head;
}

Object array(std::vector<std::uint32_t> refs) { return {containerHead(0xA0, refs.size()), std::move(refs)}; }
Object dict(std::uint32_t key, std::uint32_t value) { return {containerHead(0xD0, 1), {key, value}}; }
Object ascii(const std::string& text) { return {containerHead(0x50, text.size()) + text, {}}; }

std::string bigEndian(std::uint64_t v, int bytes) {
    std::string out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
    return out;
}

// A binary property list whose top object is object 0, with four-byte
// offsets and references.
std::string bplist(const std::vector<Object>& objects) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const Object& o : objects) {
        offsets.push_back(out.size());
        out += o.head;
        for (std::uint32_t r : o.refs) out += bigEndian(r, 4);
    }
    const std::uint64_t table = out.size();
    for (std::uint64_t offset : offsets) out += bigEndian(offset, 4);
    out += std::string(6, '\0') + "\x04\x04"s + bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
    return out;
}

// Arrays nested `levels` deep, each holding the next.
std::string deepBinary(std::uint32_t levels) {
    std::vector<Object> objects;
    for (std::uint32_t i = 0; i + 1 < levels; ++i) objects.push_back(array({i + 1}));
    objects.push_back(array({}));
    return bplist(objects);
}

std::string deepXml(std::size_t levels) {
    std::string out = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0">)";
    for (std::size_t i = 0; i < levels; ++i) out += "<array>";
    for (std::size_t i = 0; i < levels; ++i) out += "</array>";
    return out + "</plist>";
}

std::string xmlDict(const std::string& body) {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)" + body + "</dict></plist>";
}

}  // namespace

TEST(PropertyList, FilesTheParserCannotSurviveOrKeepAreRefused) {
    // Each array holds the next one twice: forty levels stand for 2^40 values.
    std::vector<Object> doubling;
    for (std::uint32_t i = 0; i < 40; ++i) doubling.push_back(array({i + 1, i + 1}));
    doubling.push_back(ascii("x"));
    const std::pair<const char*, std::string> cases[] = {
        {"key holding NUL", bplist({dict(1, 2), ascii("a\0b"s), ascii("x")})},
        {"text holding NUL", bplist({dict(1, 2), ascii("k"), ascii("a\0b"s)})},
        {"UTF-16 text holding NUL", bplist({dict(1, 2), ascii("k"), {"\x62\x00\x61\x00\x00"s, {}}})},
        {"XML text holding NUL", xmlDict("<key>k</key><string>a<![CDATA[\0]]>b</string>"s)},
        {"key that is not UTF-8", bplist({dict(1, 2), ascii("cp_last_goo\xa1_host"), ascii("x")})},
        {"text that is not UTF-8", bplist({dict(1, 2), ascii("k"), ascii("\xff\xfe")})},
        {"date that is not a number", bplist({dict(1, 2), ascii("k"), {"\x33\x7f\xf8\x00\x00\x00\x00\x00\x00"s, {}}})},
        {"XML nested 100,000 levels", deepXml(100'000)},
        {"binary nested 100,000 levels", deepBinary(100'000)},
        {"binary that expands to 2^40 values", bplist(doubling)},
        {"binary array holding itself", bplist({array({0})})},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(PropertyList::decode(bytes));
    }
}

TEST(PropertyList, NestingUpToTheLimitReads) {
    for (const std::string& bytes : {deepBinary(400), deepXml(400)}) {
        const auto value = PropertyList::decode(bytes);
        ASSERT_TRUE(value);
        int levels = 0;
        for (const PlistValue* v = &*value; v; ++levels) {
            const auto* items = v->get<PlistValue::Array>();
            v = items && !items->empty() ? &items->front() : nullptr;
        }
        EXPECT_EQ(levels, 400);
    }
}

TEST(PropertyList, DatesKeepTheirMicrosecondAcrossRewrites) {
    using std::chrono::microseconds;
    constexpr std::int64_t epoch2001 = 978'307'200'000'000;
    std::vector<std::int64_t> micros = {epoch2001 - 500'000, epoch2001 - 1, epoch2001, epoch2001 + 1, 0, -1,
                                        1'765'432'109'123'456,
                                        -2'208'988'800'000'000,   // 1900-01-01
                                        4'070'908'800'123'456,    // 2099-01-01, beyond 32-bit seconds from 2001
                                        -9'000'000'000'000'000, 9'000'000'000'000'000};  // 1684, 2255: whole seconds
    std::mt19937_64 rng(7);
    // Every moment the format's double holds to the microsecond: 2^32
    // seconds either side of 2001 (1865 to 2137).
    std::uniform_int_distribution<std::int64_t> any(epoch2001 - 4'290'000'000'000'000, epoch2001 + 4'290'000'000'000'000);
    for (int i = 0; i < 20'000; ++i) micros.push_back(any(rng));
    for (std::int64_t m : micros) {
        const PlistValue date{Date(microseconds(m))};
        std::optional<PlistValue> value = date;
        for (int round = 0; round < 3 && value; ++round) {
            const auto bytes = PropertyList::encodeBinary(*value);
            ASSERT_TRUE(bytes) << m;
            value = PropertyList::decode(*bytes);
        }
        ASSERT_TRUE(value) << m;
        ASSERT_EQ(*value, date) << m;
    }
}

TEST(PropertyList, DatesBeyondWhatADateHoldsReadAsItsEnds) {
    // 1e11 seconds either side of 2001: the format holds them, a Date not.
    const auto date = [](const std::string& doubleBytes) {
        return bplist({dict(1, 2), ascii("k"), {"\x33"s + doubleBytes, {}}});
    };
    const auto far = PropertyList::decode(date("\x42\x37\x48\x76\xe8\x00\x00\x00"s));
    const auto early = PropertyList::decode(date("\xc2\x37\x48\x76\xe8\x00\x00\x00"s));
    ASSERT_TRUE(far && early);
    EXPECT_EQ(*far->get<PlistValue::Dict>()->at("k").get<Date>(), Date::max());
    EXPECT_EQ(*early->get<PlistValue::Dict>()->at("k").get<Date>(), Date::min());
}

TEST(PropertyList, TextsTheWriterWouldCutHaveNoFileForm) {
    const std::pair<const char*, PlistValue> cases[] = {
        {"text holding NUL", PlistValue("a\0b"s)},
        {"text that is not UTF-8", PlistValue("\xff")},
        {"key holding NUL", PlistValue(PlistValue::Dict{{"a\0b"s, 1}})},
        {"key that is not UTF-8", PlistValue(PlistValue::Dict{{"\xc3", 1}})},
        {"nested deeper", PlistValue(PlistValue::Array{PlistValue::Dict{{"k", "\xed\xa0\x80"}}})},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(PropertyList::encodeBinary(value));
    }
    EXPECT_TRUE(PropertyList::encodeBinary(PlistValue(PlistValue::Dict{{"ключ", "текст 😀"}})));
}
