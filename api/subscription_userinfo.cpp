#include "api/subscription_userinfo.h"

#include <algorithm>

#include "platform/runtime/decimal.h"

namespace kavri {
namespace {

std::string_view trimSpacesAndTabs(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

SubscriptionUserinfo SubscriptionUserinfo::parse(std::string_view header) {
    SubscriptionUserinfo info;
    std::size_t start = 0;
    while (start <= header.size()) {
        const std::size_t end = std::min(header.find(';', start), header.size());
        const std::string_view piece = header.substr(start, end - start);
        start = end + 1;
        const std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view rawKey = piece.substr(0, eq), rawValue = piece.substr(eq + 1);
        if (rawKey.empty() || rawValue.empty()) continue;
        const std::string_view key = trimSpacesAndTabs(rawKey);
        const auto value = Decimal::int64(trimSpacesAndTabs(rawValue));
        if (!value) continue;
        if (key == "upload")
            info.upload = *value;
        else if (key == "download")
            info.download = *value;
        else if (key == "total")
            info.total = *value;
        else if (key == "expire")
            info.expireUnix = *value;
    }
    return info;
}

}  // namespace kavri
