#include "core/kavri_token.h"

#include <optional>
#include <vector>

#include "core/utf8.h"

namespace kavri {
namespace {

// Length of the white-space or line-break character that starts (atEnd =
// false) or ends (atEnd = true) `s`, 0 when there is none. Covers the Unicode
// White_Space set.
std::size_t spaceLength(std::string_view s, bool atEnd) {
    static constexpr std::string_view multiByte[] = {
        "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
        "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029",
        "\u202F", "\u205F", "\u3000"};
    if (s.empty()) return 0;
    const char c = atEnd ? s.back() : s.front();
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    for (std::string_view m : multiByte) {
        if (atEnd ? s.ends_with(m) : s.starts_with(m)) return m.size();
    }
    return 0;
}

std::string_view trim(std::string_view s) {
    while (std::size_t n = spaceLength(s, false)) s.remove_prefix(n);
    while (std::size_t n = spaceLength(s, true)) s.remove_suffix(n);
    return s;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// The parts of a URL reference that the token rules look at.
struct UrlParts {
    std::string_view path;
    std::optional<std::string_view> query;  // absent without "?"
};

bool isSchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return alpha;
    return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Parses `s` as a URL reference: only characters a URL may hold, every "%"
// starting an escape, a numeric port. std::nullopt when it is none.
std::optional<UrlParts> parseUrl(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c <= 0x20 || c >= 0x7F) return std::nullopt;
        if (std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos) {
            return std::nullopt;
        }
        if (c == '%' && (i + 2 >= s.size() || hexValue(s[i + 1]) < 0 || hexValue(s[i + 2]) < 0)) {
            return std::nullopt;
        }
    }
    std::string_view rest = s;
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    UrlParts parts;
    if (const auto q = rest.find('?'); q != std::string_view::npos) {
        parts.query = rest.substr(q + 1);
        rest = rest.substr(0, q);
    }
    // Scheme: letters, digits, "+", "-", "." before the first ":".
    if (const auto colon = rest.find(':'); colon != std::string_view::npos && colon > 0) {
        bool scheme = true;
        for (std::size_t i = 0; i < colon; ++i) scheme = scheme && isSchemeChar(rest[i], i == 0);
        if (scheme) rest.remove_prefix(colon + 1);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
        const auto bracket = authority.rfind(']');
        const auto colon = authority.rfind(':');
        if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
            for (char c : authority.substr(colon + 1)) {
                if (c < '0' || c > '9') return std::nullopt;
            }
        }
    }
    parts.path = rest;
    return parts;
}

struct QueryItem {
    std::string name;
    std::optional<std::string> value;
};

std::vector<QueryItem> queryItems(std::string_view query) {
    std::vector<QueryItem> items;
    std::size_t start = 0;
    while (start <= query.size()) {
        const auto end = std::min(query.find('&', start), query.size());
        const std::string_view piece = query.substr(start, end - start);
        QueryItem item;
        if (const auto eq = piece.find('='); eq != std::string_view::npos) {
            item.name = percentDecode(piece.substr(0, eq));
            item.value = percentDecode(piece.substr(eq + 1));
        } else {
            item.name = percentDecode(piece);
        }
        items.push_back(std::move(item));
        start = end + 1;
    }
    return items;
}

// The last component of a URL path, as the platform's URL gives it: trailing
// slashes ignored, "/" for a path of slashes only, "" for an empty path.
std::string lastPathComponent(std::string_view path) {
    std::string_view p = path;
    while (!p.empty() && p.back() == '/') p.remove_suffix(1);
    if (p.empty()) return path.empty() ? "" : "/";
    const auto slash = p.rfind('/');
    const std::string_view raw = slash == std::string_view::npos ? p : p.substr(slash + 1);
    std::string decoded = percentDecode(raw);
    return Utf8::isValid(decoded) ? decoded : std::string(raw);
}

}  // namespace

std::string KavriToken::bare(std::string_view text) {
    const std::string_view t = trim(text);
    const auto url = parseUrl(t);
    if (url && url->query && !url->query->empty()) {
        for (const QueryItem& item : queryItems(*url->query)) {
            if (item.name != "token") continue;
            if (item.value && !item.value->empty()) return *item.value;
            break;
        }
    }
    if (t.starts_with("http://") || t.starts_with("https://")) {
        if (!url) return std::string(t);
        const std::string last = lastPathComponent(url->path);
        if (last.empty() || last == "sub" || last == "/") return std::string(t);
        return last;
    }
    return std::string(t);
}

}  // namespace kavri
