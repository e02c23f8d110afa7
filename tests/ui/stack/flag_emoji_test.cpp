#include "ui/main/stack/flag_emoji.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

TEST(FlagEmojiTest, LettersBecomeRegionalIndicatorsAndNothingGivesTheWhiteFlag) {
    const std::string white = "\U0001F3F3\uFE0F";
    const struct {
        std::string code;
        std::string flag;
    } rows[] = {
        {"DE", "\U0001F1E9\U0001F1EA"},
        {"de", "\U0001F1E9\U0001F1EA"},
        {"nL", "\U0001F1F3\U0001F1F1"},
        {"D-E", "\U0001F1E9\U0001F1EA"},                 // a non-letter between is dropped
        {"n-l1", "\U0001F1F3\U0001F1F1"},
        {"USA", "\U0001F1FA\U0001F1F8\U0001F1E6"},       // no length check
        {"AZ", "\U0001F1E6\U0001F1FF"},
        {"", white},
        {"42", white},
        {"ДЕ", white},  // Cyrillic letters are not Latin
    };
    for (const auto& row : rows) EXPECT_EQ(flagEmoji(row.code), row.flag) << row.code;
}

}  // namespace
}  // namespace kavri
