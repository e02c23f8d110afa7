#include "core/kavri_token.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

TEST(KavriToken, BareTokenFromPastedLinksAndTexts) {
    const struct {
        const char* pasted;
        const char* bare;
    } cases[] = {
        // A "token" query item wins, whatever the scheme.
        {"kavri://import?token=AbC-123", "AbC-123"},
        {"https://kvr.link/sub/IGNORED?x=1&token=T%2B1&token=second", "T+1"},
        {"ftp://h/x?token=F1", "F1"},
        // Only the exact name counts; an empty item falls through to the link rules.
        {"https://h.example/sub/T9?Token=Z", "T9"},
        {"https://h.example/sub/T9?token=", "T9"},
        {"https://h.example/sub/T9?token", "T9"},
        // Links: the last path component unless it is empty, "sub" or "/".
        {"https://h.example/sub/T9", "T9"},
        {"http://h.example/sub/T9/", "T9"},
        {"https://h.example:2053/api/sub/T%209#frag", "T 9"},
        {"https://h.example/sub", "https://h.example/sub"},
        {"https://h.example/sub/", "https://h.example/sub/"},
        {"https://h.example/", "https://h.example/"},
        {"https://h.example", "https://h.example"},
        // Not a URL at all: returned as it is.
        {"https://h.example/sub/a b", "https://h.example/sub/a b"},
        {"https://h.example:port/sub/T9", "https://h.example:port/sub/T9"},
        // Scheme prefixes are compared exactly.
        {"HTTPS://H.EXAMPLE/SUB/T9", "HTTPS://H.EXAMPLE/SUB/T9"},
        {"kavri://open", "kavri://open"},
        // Blanks and line breaks around never reach the result; inner ones stay.
        {"  \t\r\nbareToken42 \n", "bareToken42"},
        {"\u00A0 https://h.example/sub/T9\u2028", "T9"},
        {"  two words  ", "two words"},
        {"", ""},
        {" \n ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(KavriToken::bare(c.pasted), c.bare) << c.pasted;
}

}  // namespace
}  // namespace kavri
