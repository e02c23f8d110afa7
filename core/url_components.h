#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// A URL reference taken apart the way the platform's URL components read
// pasted text: only characters a URL may hold, every "%" starting an escape,
// a numeric port. Scheme, path and query stay as written (still encoded).
struct UrlComponents {
    struct QueryItem {
        std::string name;                  // decoded
        std::optional<std::string> value;  // decoded; absent without "="
    };

    std::optional<std::string> scheme;  // absent for a relative reference
    std::string path;
    std::optional<std::string> query;  // absent without "?"

    // std::nullopt when `text` is no URL reference.
    static std::optional<UrlComponents> parse(std::string_view text);

    // The query's items in order ("&"-separated); none without a query.
    std::vector<QueryItem> queryItems() const;
    // The path's last component, decoded when that gives UTF-8: trailing
    // slashes ignored, "/" for a path of slashes only, "" for an empty path.
    std::string lastPathComponent() const;
};

}  // namespace kavri
