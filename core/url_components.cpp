#include "core/url_components.h"

#include <algorithm>

#include "core/utf8.h"

namespace kavri {
namespace {

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

bool isSchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return alpha;
    return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

}  // namespace

std::optional<UrlComponents> UrlComponents::parse(std::string_view s) {
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
    UrlComponents parts;
    if (const auto q = rest.find('?'); q != std::string_view::npos) {
        parts.query = std::string(rest.substr(q + 1));
        rest = rest.substr(0, q);
    }
    // Scheme: letters, digits, "+", "-", "." before the first ":".
    if (const auto colon = rest.find(':'); colon != std::string_view::npos && colon > 0) {
        bool scheme = true;
        for (std::size_t i = 0; i < colon; ++i) scheme = scheme && isSchemeChar(rest[i], i == 0);
        if (scheme) {
            parts.scheme = std::string(rest.substr(0, colon));
            rest.remove_prefix(colon + 1);
        }
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
    parts.path = std::string(rest);
    return parts;
}

std::vector<UrlComponents::QueryItem> UrlComponents::queryItems() const {
    std::vector<QueryItem> items;
    if (!query) return items;
    const std::string_view q = *query;
    std::size_t start = 0;
    while (start <= q.size()) {
        const auto end = std::min(q.find('&', start), q.size());
        const std::string_view piece = q.substr(start, end - start);
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

std::string UrlComponents::lastPathComponent() const {
    std::string_view p = path;
    while (!p.empty() && p.back() == '/') p.remove_suffix(1);
    if (p.empty()) return path.empty() ? "" : "/";
    const auto slash = p.rfind('/');
    const std::string_view raw = slash == std::string_view::npos ? p : p.substr(slash + 1);
    std::string decoded = percentDecode(raw);
    return Utf8::isValid(decoded) ? decoded : std::string(raw);
}

}  // namespace kavri
