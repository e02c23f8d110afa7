#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kavri {

// The traffic counters and expiry of a subscription, as the server sends
// them in the "Subscription-Userinfo" reply header
// ("upload=1; download=2; total=3; expire=1700000000").
struct SubscriptionUserinfo {
    std::int64_t upload = 0;                 // bytes
    std::int64_t download = 0;               // bytes
    std::optional<std::int64_t> total;       // bytes
    std::optional<std::int64_t> expireUnix;  // Unix seconds

    bool operator==(const SubscriptionUserinfo&) const = default;

    // Always a record: pieces separated by ";", each "key=value" split at its
    // first "=", both sides trimmed of spaces and tabs, the value a decimal
    // 64-bit integer with an optional sign. Pieces that do not read, and keys
    // other than exactly "upload", "download", "total" and "expire", are
    // skipped; a key given twice keeps its later value.
    static SubscriptionUserinfo parse(std::string_view header);
};

}  // namespace kavri
