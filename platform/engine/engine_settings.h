#pragma once

#include <chrono>
#include <string>

namespace kavri {

// Limits of the proxy engine that a real run leaves at their defaults and
// tests shorten.
struct EngineSettings {
    // Longest wait for a TCP connection to an outbound.
    std::chrono::milliseconds dialTimeout{5000};
    // Tested by a group delay request that names no URL, when the group has
    // no "url" of its own.
    std::string defaultTestURL = "https://www.gstatic.com/generate_204";
};

}  // namespace kavri
