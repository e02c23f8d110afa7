#pragma once

#include <cstdint>
#include <optional>

namespace kavri {

// Turns a download's byte counts into progress to publish: at most one
// fraction per whole percent, none while the length is unknown.
class DownloadProgress {
public:
    // The fraction to publish for `written` of `expected` bytes, or nothing.
    std::optional<double> next(std::int64_t written, std::int64_t expected);

private:
    int lastPercent_ = -1;
};

}  // namespace kavri
