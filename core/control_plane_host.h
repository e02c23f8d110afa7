#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kavri {

// One backend host: a name with an optional ":port", and the IPv4 addresses
// that travel with it (no request uses them; names are resolved normally).
struct ControlPlaneHost {
    std::string host;
    std::vector<std::string> pinnedIPs;

    // "https://" + host, when that is a valid URL.
    std::optional<std::string> baseURL() const;
    bool operator==(const ControlPlaneHost&) const = default;
};

}  // namespace kavri
