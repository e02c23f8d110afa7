#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/pasteboard/pasteboard.h"

namespace kavri {

// The attribution record sent when the device is registered: platform,
// system version, locale, and the referral number and lead code that the
// download page put on the clipboard.
class AttestationProvider {
public:
    // Reads the general clipboard once; never fails.
    static nlohmann::json payload();
    static nlohmann::json payload(const Pasteboard& pasteboard);

    // The number after the first "kavriref=" followed by digits; nothing when
    // those digits are not 0-9 or do not fit in 64 bits.
    static std::optional<std::int64_t> referral(std::string_view text);
    // The first "kavrilead=" + 1 to 12 digits + "." + 8 lower-case hex
    // digits, without the prefix.
    static std::optional<std::string> lead(std::string_view text);

    // The running system's version as "major.minor.patch".
    static std::string osVersion();
    // The identifier of the user's locale ("ru_RU").
    static std::string localeIdentifier();
};

}  // namespace kavri
