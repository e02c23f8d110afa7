#include "core/attestation_provider.h"

#include <gtest/gtest.h>

#include <regex>

namespace kavri {
namespace {

TEST(AttestationProvider, ReferralAndLeadFromClipboardText) {
    const struct {
        const char* clipboard;
        std::optional<std::int64_t> ref;
        std::optional<std::string> lead;
    } cases[] = {
        {"go kavriref=42 now", 42, std::nullopt},
        {"kavriref=42 and later kavriref=7", 42, std::nullopt},
        {"kavriref=x kavriref=0007", 7, std::nullopt},
        {"KAVRIREF=42", std::nullopt, std::nullopt},
        {"kavriref=9223372036854775807", INT64_MAX, std::nullopt},
        {"kavriref=9223372036854775808", std::nullopt, std::nullopt},
        {"kavriref=42\u0663", std::nullopt, std::nullopt},  // an Arabic-Indic digit in the match
        {"kavrilead=123456789012.0a1b2c3d", std::nullopt, "123456789012.0a1b2c3d"},
        {"kavrilead=1234567890123.0a1b2c3d", std::nullopt, std::nullopt},
        {"kavrilead=12.0A1B2C3D", std::nullopt, std::nullopt},
        {"kavrilead=12.0a1b2c3", std::nullopt, std::nullopt},
        {"kavrilead=12.0a1b2c3d9f", std::nullopt, "12.0a1b2c3d"},
        {"kavrilead=.0a1b2c3d kavrilead=5.ffffffff", std::nullopt, "5.ffffffff"},
        {"https://kavri-app.com/?kavriref=15&kavrilead=77.deadbeef", 15, "77.deadbeef"},
    };
    for (const auto& c : cases) {
        TextPasteboard clipboard(c.clipboard);
        const auto payload = AttestationProvider::payload(clipboard);
        if (c.ref) {
            ASSERT_TRUE(payload.contains("ref")) << c.clipboard;
            EXPECT_TRUE(payload["ref"].is_number_integer());
            EXPECT_EQ(payload["ref"].get<std::int64_t>(), *c.ref) << c.clipboard;
        } else {
            EXPECT_FALSE(payload.contains("ref")) << c.clipboard;
        }
        if (c.lead) {
            EXPECT_EQ(payload.value("lead", ""), *c.lead) << c.clipboard;
        } else {
            EXPECT_FALSE(payload.contains("lead")) << c.clipboard;
        }
        EXPECT_EQ(clipboard.string(), c.clipboard);  // the clipboard is left alone
    }
}

TEST(AttestationProvider, EmptyClipboardGivesTheThreeFixedKeys) {
    for (const std::optional<std::string>& text : {std::optional<std::string>(), std::optional<std::string>("")}) {
        Pasteboard::install(std::make_shared<TextPasteboard>(text));
        const auto payload = AttestationProvider::payload();
        EXPECT_EQ(payload.size(), 3u);
        EXPECT_EQ(payload["platform"], "macos");
        EXPECT_TRUE(std::regex_match(payload["os_version"].get<std::string>(), std::regex(R"(\d+\.\d+\.\d+)")));
        EXPECT_FALSE(payload["locale"].get<std::string>().empty());
    }
    Pasteboard::install(nullptr);
}

TEST(AttestationProvider, LocaleIdentifierFromTheEnvironment) {
    const struct {
        const char* lang;
        const char* id;
    } cases[] = {{"ru_RU.UTF-8", "ru_RU"}, {"de_DE@euro", "de_DE"}, {"C", "en_US_POSIX"}, {"", "en_US_POSIX"}};
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    for (const auto& c : cases) {
        ::setenv("LANG", c.lang, 1);
        EXPECT_EQ(AttestationProvider::localeIdentifier(), c.id) << c.lang;
    }
}

}  // namespace
}  // namespace kavri
