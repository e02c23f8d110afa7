#include "core/attestation_provider.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <limits>

#include "core/kavri_constants.h"

namespace kavri {
namespace {

constexpr std::string_view kRefPrefix = "kavriref=";
constexpr std::string_view kLeadPrefix = "kavrilead=";

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// The code point that starts `s` and its length in bytes (length 1 for a
// byte that starts no valid sequence).
std::pair<char32_t, std::size_t> firstCodePoint(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (len > s.size()) return {c, 1};
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t i = 1; i < len; ++i) {
        if ((b(i) & 0xC0) != 0x80) return {c, 1};
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    return {cp, len};
}

// Decimal digits of other scripts (Unicode category Nd), which a "\d" of the
// pattern also matches: the first digit (zero) of each run of ten.
bool isOtherDecimalDigit(char32_t cp) {
    static constexpr char32_t zeros[] = {
        0x0660,  0x06F0,  0x07C0,  0x0966,  0x09E6,  0x0A66,  0x0AE6,  0x0B66,  0x0BE6,  0x0C66,  0x0CE6,
        0x0D66,  0x0DE6,  0x0E50,  0x0ED0,  0x0F20,  0x1040,  0x1090,  0x17E0,  0x1810,  0x1946,  0x19D0,
        0x1A80,  0x1A90,  0x1B50,  0x1BB0,  0x1C40,  0x1C50,  0xA620,  0xA8D0,  0xA900,  0xA9D0,  0xA9F0,
        0xAA50,  0xABF0,  0xFF10,  0x104A0, 0x10D30, 0x11066, 0x110F0, 0x11136, 0x111D0, 0x112F0, 0x11450,
        0x114D0, 0x11650, 0x116C0, 0x11730, 0x118E0, 0x11950, 0x11C50, 0x11D50, 0x11DA0, 0x16A60, 0x16AC0,
        0x16B50, 0x1E140, 0x1E2F0, 0x1E950, 0x1FBF0};
    for (char32_t zero : zeros) {
        if (cp >= zero && cp < zero + 10) return true;
    }
    return cp >= 0x1D7CE && cp <= 0x1D7FF;  // mathematical digits
}

}  // namespace

std::optional<std::int64_t> AttestationProvider::referral(std::string_view text) {
    for (std::size_t at = text.find(kRefPrefix); at != std::string_view::npos;
         at = text.find(kRefPrefix, at + 1)) {
        std::string_view rest = text.substr(at + kRefPrefix.size());
        // The digits the pattern takes: any decimal digits, of any script.
        std::size_t length = 0;
        bool asciiOnly = true;
        while (length < rest.size()) {
            if (isAsciiDigit(rest[length])) {
                ++length;
                continue;
            }
            const auto [cp, size] = firstCodePoint(rest.substr(length));
            if (!isOtherDecimalDigit(cp)) break;
            asciiOnly = false;
            length += size;
        }
        if (length == 0) continue;  // no match here; the search goes on
        if (!asciiOnly) return std::nullopt;
        std::int64_t value = 0;
        for (char c : rest.substr(0, length)) {
            const int digit = c - '0';
            if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return std::nullopt;
            value = value * 10 + digit;
        }
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> AttestationProvider::lead(std::string_view text) {
    for (std::size_t at = text.find(kLeadPrefix); at != std::string_view::npos;
         at = text.find(kLeadPrefix, at + 1)) {
        const std::string_view rest = text.substr(at + kLeadPrefix.size());
        std::size_t digits = 0;
        while (digits < rest.size() && isAsciiDigit(rest[digits])) ++digits;
        if (digits < 1 || digits > 12 || rest.size() < digits + 9 || rest[digits] != '.') continue;
        const std::string_view hex = rest.substr(digits + 1, 8);
        bool ok = true;
        for (char c : hex) ok = ok && (isAsciiDigit(c) || (c >= 'a' && c <= 'f'));
        if (ok) return std::string(rest.substr(0, digits + 9));
    }
    return std::nullopt;
}

std::string AttestationProvider::osVersion() {
    int parts[3] = {0, 0, 0};
    utsname info{};
    if (::uname(&info) == 0) {
        // "6.1.0-18-amd64" -> 6.1.0; missing parts are 0.
        std::string_view release = info.release;
        for (int i = 0; i < 3 && !release.empty() && isAsciiDigit(release.front()); ++i) {
            int n = 0;
            while (!release.empty() && isAsciiDigit(release.front())) {
                n = n * 10 + (release.front() - '0');
                release.remove_prefix(1);
            }
            parts[i] = n;
            if (release.empty() || release.front() != '.') break;
            release.remove_prefix(1);
        }
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

std::string AttestationProvider::localeIdentifier() {
    std::string name;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* v = std::getenv(var); v && *v) {
            name = v;
            break;
        }
    }
    // "ru_RU.UTF-8@euro" -> "ru_RU"
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return "en_US_POSIX";
    return name;
}

nlohmann::json AttestationProvider::payload() { return payload(*Pasteboard::general()); }

nlohmann::json AttestationProvider::payload(const Pasteboard& pasteboard) {
    nlohmann::json out = {{"platform", KavriConstants::platformName},
                          {"os_version", osVersion()},
                          {"locale", localeIdentifier()}};
    const auto text = pasteboard.string();
    if (!text) return out;
    if (const auto ref = referral(*text)) out["ref"] = *ref;
    if (const auto code = lead(*text)) out["lead"] = *code;
    return out;
}

}  // namespace kavri
