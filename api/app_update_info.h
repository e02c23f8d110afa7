#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kavri {

// One offer of the update manifest.
struct AppUpdateInfo {
    std::int64_t build = 0;             // always greater than 0
    std::string version = "?";          // for display
    std::optional<std::string> url;     // the image's absolute address, when the manifest gave one

    // The address to download: `url` when it has a scheme, else `url`
    // resolved against the distribution host's manifest; nothing without one.
    std::optional<std::string> downloadURL() const;

    bool operator==(const AppUpdateInfo&) const = default;
};

}  // namespace kavri
