#pragma once

#include <optional>
#include <string>

namespace kavri {

class SystemInfo {
public:
    // The running kernel's version as "major.minor.patch" (missing parts 0).
    static std::string osVersion();
    // The same from a release text such as "6.1.0-18-amd64".
    static std::string versionFromRelease(const std::string& release);
    // The computer's name as the system gives it; nothing when it gives none.
    static std::optional<std::string> hostName();
};

}  // namespace kavri
